#pragma once

#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "accounts/AccountService.h"
#include "accounts/PasswordHasher.h"
#include "config/ServerConfig.h"
#include "http/AccessLog.h"
#include "http/ApiServer.h"
#include "mail/MailOutbox.h"
#include "store/AccountStore.h"
#include "support/FileText.h"
#include "support/TemporaryDirectory.h"

namespace brimo::server::testing {

// A fresh, empty database in the private PostgreSQL cluster of the test run (its directory is
// in BRIMO_TEST_POSTGRES_DIR), dropped afterwards.
class PostgresDatabase {
  public:
    PostgresDatabase();
    ~PostgresDatabase();
    PostgresDatabase(const PostgresDatabase&) = delete;
    PostgresDatabase& operator=(const PostgresDatabase&) = delete;
    [[nodiscard]] const std::string& url() const { return url_; }
    static bool available();

  private:
    std::string adminUrl_;
    std::string name_;
    std::string url_;
};

// Every limit off, for tests to turn on one by one.
inline RateLimits noRateLimits() {
    return RateLimits{0, 60, 0, 900, 0, 900, 0, 3600};
}

struct ServiceTweaks {
    RateLimits rateLimits = noRateLimits();
    std::optional<SmtpSettings> smtp;  // maildir when absent
    HttpLimits http;
    // Google sign-in's client ID and key set; by default an address nothing answers on, so no
    // test reaches Google.
    GoogleSettings google{
        "test-client.apps.googleusercontent.com", "https://127.0.0.1:1/certs", {}};
    // A database URL (or SQLite path) another service already uses, instead of a fresh one.
    std::string sharedDatabase;
    // Replaces the password hasher (given the cheap settings the service would use).
    std::function<std::unique_ptr<PasswordHasher>(const PasswordHashing&)> hasher;
    PasswordHashing hashing{1, 8, 2};  // the cheapest argon2id cost libsodium allows
    std::vector<std::string> trustedProxies;
};

// The whole service in process on a free loopback port, on "sqlite" or "postgresql", with a
// clock the test moves and the cheapest argon2 cost. Mail goes to maildir() unless SMTP is
// configured; the access log goes to accessLogPath().
class TestService {
  public:
    explicit TestService(const std::string& backend, ServiceTweaks tweaks = {});
    ~TestService();
    TestService(const TestService&) = delete;
    TestService& operator=(const TestService&) = delete;

    [[nodiscard]] httplib::Client client() const;
    [[nodiscard]] int port() const { return port_; }
    [[nodiscard]] std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // POST with a JSON body (or raw text with its content type); GET with an optional token.
    httplib::Result post(const std::string& path, const nlohmann::json& body) const;
    httplib::Result postRaw(const std::string& path, const std::string& body,
                            const std::string& contentType) const;
    httplib::Result get(const std::string& path, const std::string& token = "") const;

    // Registers and returns the token.
    std::string registerAccount(const std::string& email, const std::string& password) const;
    std::optional<std::string> login(const std::string& email, const std::string& password) const;

    // Moves the service's clock; Google sign-in's clock (real time, as the provider's tokens
    // carry it) moves with it.
    void advanceClock(double seconds) { now_.store(now_.load() + seconds); }
    [[nodiscard]] GoogleSignIn& google() { return *google_; }
    [[nodiscard]] AccountStore& store() { return *store_; }
    [[nodiscard]] AccountService& accounts() { return *accounts_; }
    [[nodiscard]] const std::string& database() const { return config_.database; }
    [[nodiscard]] std::filesystem::path maildir() const { return directory_.path() / "mail"; }
    [[nodiscard]] std::filesystem::path accessLogPath() const {
        return directory_.path() / "access.log";
    }
    // What the service reported to its error log.
    [[nodiscard]] std::vector<std::string> errors() const;

  private:
    brimo::testing::TemporaryDirectory directory_;
    std::unique_ptr<PostgresDatabase> postgres_;
    ServerConfig config_;
    static constexpr double kStart = 1.8e9;
    std::atomic<double> now_{kStart};
    std::unique_ptr<AccountStore> store_;
    std::unique_ptr<PasswordHasher> hasher_;
    std::unique_ptr<MailOutbox> mail_;
    std::unique_ptr<AccessLog> accessLog_;
    std::unique_ptr<AccountService> accounts_;
    std::unique_ptr<GoogleSignIn> google_;
    std::unique_ptr<ApiServer> server_;
    int port_ = 0;
    std::thread serving_;
    mutable std::mutex errorsMutex_;
    std::vector<std::string> errors_;
};

// Mails delivered into a maildir's new/ folder, oldest first, waiting up to 10 s for `count`.
std::vector<std::string> waitForMails(const std::filesystem::path& folder, std::size_t count,
                                      const std::string& prefix = "");

// The reset link's token in a mail's text, or empty.
std::string resetTokenInMail(const std::string& mail);

using brimo::testing::readFileText;

}  // namespace brimo::server::testing
