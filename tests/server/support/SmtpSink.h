#pragma once

#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TemporaryDirectory.h"
#include "support/TestService.h"

namespace brimo::server::testing {

// A real SMTP server on loopback (tests/server/smtp-sink, over aiosmtpd) in a temporary folder
// of its own, stopped by process ID when dropped. Every mail it receives is kept in that folder,
// whole, as mail-N.eml, after a first line "X-Envelope-To: …".
class SmtpSink {
  public:
    static constexpr const char* kMailPrefix = "mail-";

    SmtpSink()
        : process_({{BRIMO_SMTP_SINK, folder_.path().string()},
                    folder_.path() / "sink.out",
                    folder_.path() / "sink.err",
                    std::nullopt,
                    std::nullopt}),
          port_(process_.waitForOutput(std::regex("listening on port (\\d+)"))) {}

    // The port it listens on; empty when it did not start (errors() says why).
    [[nodiscard]] const std::string& port() const { return port_; }
    [[nodiscard]] const std::filesystem::path& folder() const { return folder_.path(); }
    [[nodiscard]] std::string errors() const { return process_.errors(); }

    // The mails received, oldest first, waiting up to 10 s for `count`.
    [[nodiscard]] std::vector<std::string> waitForMails(std::size_t count) const {
        return brimo::server::testing::waitForMails(folder_.path(), count, kMailPrefix);
    }

  private:
    brimo::testing::TemporaryDirectory folder_;
    brimo::testing::ChildProcess process_;
    std::string port_;
};

}  // namespace brimo::server::testing
