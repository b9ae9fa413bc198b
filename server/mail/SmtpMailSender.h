#pragma once

#include <atomic>

#include "config/ServerConfig.h"
#include "mail/MailSender.h"

namespace brimo::server {

// Sends through an SMTP server with libcurl: smtps:// for implicit TLS, smtp:// with STARTTLS
// (required unless requireTls is off, which only a loopback test server should need).
class SmtpMailSender final : public MailSender {
  public:
    explicit SmtpMailSender(SmtpSettings settings);
    void send(const Mail& mail) override;
    [[nodiscard]] std::string description() const override;
    void abort() override { aborted_ = true; }

  private:
    SmtpSettings settings_;
    std::atomic<bool> aborted_{false};
};

// The address inside a From value ("Name <a@b>" gives "a@b").
std::string envelopeAddress(const std::string& from);

}  // namespace brimo::server
