#pragma once

#include <string>
#include <utility>
#include <vector>

namespace brimo::account {

// What a log line prints in place of a secret: "<redacted 43 chars>". The length stays, for
// telling a truncated code from a whole one.
std::string redacted(const std::string& secret);

// A form body with the values of `secretFields` redacted.
std::string redactFormBody(const std::string& body, const std::vector<std::string>& secretFields);

// A URL (the sign-in callback) with the values of its query items named in `secretItems`
// redacted.
std::string redactQuery(const std::string& url, const std::vector<std::string>& secretItems);

// A token endpoint's answer as a log line: a JSON object with every string value of a key
// ending in "token" or "code" redacted; an answer that is not a JSON object redacted whole
// when `whole` (a success may carry tokens anywhere), else as it came.
std::string redactTokenAnswer(const std::string& body, bool whole);

// Response headers as one log line, with cookies redacted.
std::string describeHeaders(const std::vector<std::pair<std::string, std::string>>& headers);

}  // namespace brimo::account
