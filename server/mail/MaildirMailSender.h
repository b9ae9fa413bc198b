#pragma once

#include <atomic>
#include <filesystem>

#include "mail/MailSender.h"

namespace brimo::server {

// Delivers into a maildir folder (tmp/, new/, cur/): each mail is written to tmp/ and renamed
// into new/, so a reader never sees half a message. Files are 0600: they carry reset links.
class MaildirMailSender final : public MailSender {
  public:
    explicit MaildirMailSender(std::filesystem::path folder);
    void send(const Mail& mail) override;
    [[nodiscard]] std::string description() const override;

  private:
    std::filesystem::path folder_;
    std::atomic<unsigned long> sequence_{0};
};

}  // namespace brimo::server
