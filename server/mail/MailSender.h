#pragma once

#include <string>

namespace brimo::server {

// One outgoing message. `message` is the whole RFC 5322 text (headers, blank line, body) with
// CRLF line ends; `recipient` is the envelope address.
struct Mail {
    std::string recipient;
    std::string message;
};

class MailSender {
  public:
    virtual ~MailSender() = default;
    // Throws std::runtime_error with a text fit for the service log (no message content).
    virtual void send(const Mail& mail) = 0;
    // What the start-up line says about where mail goes (no credentials).
    [[nodiscard]] virtual std::string description() const = 0;
    // Cuts off a delivery under way, and every later one (at shutdown): they throw. Safe from
    // any thread.
    virtual void abort() {}
};

}  // namespace brimo::server
