#include "support/TestService.h"

#include <chrono>
#include <pqxx/pqxx>
#include <regex>
#include <stdexcept>

#include "accounts/SecureToken.h"
#include "mail/MaildirMailSender.h"
#include "mail/SmtpMailSender.h"

namespace brimo::server::testing {

bool PostgresDatabase::available() {
    return std::getenv("BRIMO_TEST_POSTGRES_DIR") != nullptr;  // NOLINT(concurrency-mt-unsafe)
}

PostgresDatabase::PostgresDatabase() {
    const char* dir = std::getenv("BRIMO_TEST_POSTGRES_DIR");  // NOLINT(concurrency-mt-unsafe)
    if (dir == nullptr) {
        throw std::runtime_error("BRIMO_TEST_POSTGRES_DIR is not set");
    }
    adminUrl_ = readFileText(std::filesystem::path(dir) / "url");
    while (!adminUrl_.empty() && (adminUrl_.back() == '\n' || adminUrl_.back() == '\r')) {
        adminUrl_.pop_back();
    }
    name_ = "test_" + sha256Hex(newSecureToken()).substr(0, 16);
    {
        pqxx::connection admin(adminUrl_);
        pqxx::nontransaction w(admin);
        w.exec("CREATE DATABASE " + name_);
    }
    // The admin URL names the database "postgres"; the test's own replaces it.
    url_ = std::regex_replace(adminUrl_, std::regex("^postgresql:///postgres"),
                              "postgresql:///" + name_);
}

PostgresDatabase::~PostgresDatabase() {
    try {
        pqxx::connection admin(adminUrl_);
        pqxx::nontransaction w(admin);
        w.exec("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): the cluster goes anyway
    }
}

TestService::TestService(const std::string& backend, ServiceTweaks tweaks) {
    config_.listenHost = "127.0.0.1";
    config_.listenPort = 0;
    config_.threads = 16;
    config_.http = tweaks.http;
    config_.maildir = maildir();
    config_.accessLog = accessLogPath().string();
    config_.hashing = tweaks.hashing;
    config_.trustedProxies = tweaks.trustedProxies;
    if (!tweaks.sharedDatabase.empty()) {
        config_.database = tweaks.sharedDatabase;
    } else if (backend == "postgresql") {
        postgres_ = std::make_unique<PostgresDatabase>();
        config_.database = postgres_->url();
    } else {
        config_.database = (directory_.path() / "accounts.sqlite").string();
    }
    store_ = openAccountStore(config_.database, 4);
    hasher_ = tweaks.hasher ? tweaks.hasher(config_.hashing)
                            : std::make_unique<PasswordHasher>(config_.hashing);
    std::unique_ptr<MailSender> sender;
    if (tweaks.smtp) {
        sender = std::make_unique<SmtpMailSender>(*tweaks.smtp);
    } else {
        sender = std::make_unique<MaildirMailSender>(config_.maildir);
    }
    auto report = [this](const std::string& text) {
        std::lock_guard lock(errorsMutex_);
        errors_.push_back(text);
    };
    MailDelivery delivery;
    delivery.firstRetrySeconds = 1;
    delivery.attempts = 3;
    mail_ = std::make_unique<MailOutbox>(*store_, std::move(sender), report, delivery);
    accessLog_ = std::make_unique<AccessLog>(config_.accessLog);

    AccountService::Options options;
    options.mailFrom = tweaks.smtp ? tweaks.smtp->from : config_.smtp.from;
    options.rateLimits = tweaks.rateLimits;
    accounts_ = std::make_unique<AccountService>(*store_, *hasher_, *mail_, options,
                                                 [this] { return now_.load(); });
    config_.google = tweaks.google;
    google_ = std::make_unique<GoogleSignIn>(*accounts_, config_.google, report, [this] {
        const double real =
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        return real + (now_.load() - kStart);
    });
    server_ = std::make_unique<ApiServer>(*accounts_, config_, *accessLog_, report, *google_);
    port_ = server_->bind();
    accounts_->setResetLinkBase(origin());
    serving_ = std::thread([this] { server_->run(); });
    // One request before the test's own. The system's HTTP library is built without
    // ThreadSanitizer, which therefore cannot see the guard that orders the first use of the
    // library's lazily built tables (client and server side): built by one request here, they
    // are ordered before every test's concurrent requests.
    auto health = client().Get("/api/health");
    if (!health || health->status != 200) {
        server_->stop();
        serving_.join();
        throw std::runtime_error("the service does not answer on its port");
    }
}

TestService::~TestService() {
    server_->stop();
    serving_.join();
    mail_->stop();
}

std::vector<std::string> TestService::errors() const {
    std::lock_guard lock(errorsMutex_);
    return errors_;
}

httplib::Client TestService::client() const {
    httplib::Client c("127.0.0.1", port_);
    c.set_connection_timeout(10);
    c.set_read_timeout(30);
    return c;
}

httplib::Result TestService::post(const std::string& path, const nlohmann::json& body) const {
    return postRaw(path, body.dump(), "application/json");
}

httplib::Result TestService::postRaw(const std::string& path, const std::string& body,
                                     const std::string& contentType) const {
    auto c = client();
    return c.Post(path.c_str(), body, contentType.c_str());
}

httplib::Result TestService::get(const std::string& path, const std::string& token) const {
    auto c = client();
    httplib::Headers headers{{"Content-Type", "application/json"}};
    if (!token.empty()) {
        headers.emplace("Authorization", "Bearer " + token);
    }
    return c.Get(path.c_str(), headers);
}

std::string TestService::registerAccount(const std::string& email,
                                         const std::string& password) const {
    auto res = post("/api/auth/register", {{"email", email}, {"password", password}});
    if (!res || res->status != 200) {
        throw std::runtime_error("registration failed");
    }
    return nlohmann::json::parse(res->body).at("token").get<std::string>();
}

std::optional<std::string> TestService::login(const std::string& email,
                                              const std::string& password) const {
    auto res = post("/api/auth/login", {{"email", email}, {"password", password}});
    if (!res || res->status != 200) {
        return std::nullopt;
    }
    return nlohmann::json::parse(res->body).at("token").get<std::string>();
}

std::vector<std::string> waitForMails(const std::filesystem::path& folder, std::size_t count,
                                      const std::string& prefix) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        std::vector<std::filesystem::path> files;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            const auto name = entry.path().filename().string();
            if (entry.is_regular_file() && name.starts_with(prefix) && !name.ends_with(".tmp")) {
                files.push_back(entry.path());
            }
        }
        if (files.size() >= count || std::chrono::steady_clock::now() > deadline) {
            std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
                return std::filesystem::last_write_time(a) < std::filesystem::last_write_time(b);
            });
            std::vector<std::string> mails;
            for (const auto& f : files) {
                mails.push_back(readFileText(f));
            }
            return mails;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string resetTokenInMail(const std::string& mail) {
    static const std::regex link("/reset-password\\?token=([A-Za-z0-9_-]{43})");
    std::smatch match;
    return std::regex_search(mail, match, link) ? match[1].str() : std::string();
}

}  // namespace brimo::server::testing
