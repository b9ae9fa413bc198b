#include "mail/ResetMail.h"

#include <array>
#include <ctime>

#include "accounts/SecureToken.h"
#include "mail/SmtpMailSender.h"

namespace brimo::server {

Mail resetMail(const std::string& from, const std::string& recipient, const std::string& link,
               unsigned validMinutes, std::int64_t now) {
    const std::time_t t = now;
    std::tm utc{};
    gmtime_r(&t, &utc);
    std::array<char, 64> date{};
    std::strftime(date.data(), date.size(), "%a, %d %b %Y %H:%M:%S +0000", &utc);
    const std::string sender = envelopeAddress(from);
    const auto at = sender.find('@');
    const std::string domain = at == std::string::npos ? "localhost" : sender.substr(at + 1);
    const std::string lifetime =
        validMinutes % 60 == 0
            ? (validMinutes == 60 ? "one hour" : std::to_string(validMinutes / 60) + " hours")
            : std::to_string(validMinutes) + " minutes";

    // The recipient passed the address check (ASCII, no spaces or line breaks), so it is safe
    // in a header as it stands.
    std::string m;
    m += "From: " + from + "\r\n";
    m += "To: " + recipient + "\r\n";
    m += "Subject: Reset your Brimolavetrix password\r\n";
    m += "Date: " + std::string(date.data()) + "\r\n";
    m += "Message-ID: <" + newUuid() + "@" + domain + ">\r\n";
    m += "MIME-Version: 1.0\r\n";
    m += "Content-Type: text/plain; charset=utf-8\r\n";
    m += "Content-Transfer-Encoding: 8bit\r\n";
    m += "Auto-Submitted: auto-generated\r\n";
    m += "\r\n";
    m += "Hello,\r\n\r\n";
    m += "someone asked to reset the password of the Brimolavetrix account for this address.\r\n";
    m += "To choose a new password, open this link:\r\n\r\n";
    m += link + "\r\n\r\n";
    m += "The link works once and expires in " + lifetime + ". Setting a new password signs\r\n";
    m += "you out everywhere else.\r\n\r\n";
    m += "If you did not ask for this, ignore this mail: your password stays as it is.\r\n";
    return Mail{recipient, m};
}

}  // namespace brimo::server
