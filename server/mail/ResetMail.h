#pragma once

#include <cstdint>
#include <string>

#include "mail/MailSender.h"

namespace brimo::server {

// The password-reset mail for `recipient` with its link, dated `now` (Unix seconds).
Mail resetMail(const std::string& from, const std::string& recipient, const std::string& link,
               unsigned validMinutes, std::int64_t now);

}  // namespace brimo::server
