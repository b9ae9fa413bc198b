#pragma once

#include <string>

namespace brimo::server {

// A URL fit for a log line: the password of its user part and any "password=" parameter
// replaced by "***" (database and SMTP addresses may carry credentials).
std::string redactedUrl(const std::string& url);

}  // namespace brimo::server
