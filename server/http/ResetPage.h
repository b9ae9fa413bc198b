#pragma once

#include <string>

namespace brimo::server {

// The small pages behind a reset link. Self-contained HTML (inline style, no script), meant
// to be served with a Content-Security-Policy that allows nothing else.
std::string resetFormPage(const std::string& token, const std::string& problem);
std::string resetDonePage();
std::string resetInvalidPage();

// Text made safe for HTML element content and attribute values.
std::string escapeHtml(const std::string& text);

}  // namespace brimo::server
