// brimo-server: the reference account web service. See server/README.md for its command line
// and configuration.
#include <curl/curl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "accounts/AccountService.h"
#include "accounts/PasswordHasher.h"
#include "config/ServerConfig.h"
#include "http/AccessLog.h"
#include "http/ApiServer.h"
#include "mail/MailOutbox.h"
#include "mail/MaildirMailSender.h"
#include "mail/SmtpMailSender.h"
#include "platform/text/PrintableText.h"
#include "store/AccountStore.h"
#include "support/Redaction.h"

namespace {

using namespace brimo::server;

constexpr const char* kUsage = R"(Usage: brimo-server [--config FILE] [--listen HOST:PORT]
                    [--database PATH|URL] [--maildir DIR] [--check-config]
       brimo-server --version | --help

Serves the account API under /api and the password-reset page. Settings come from
defaults, then the JSON file (--config or BRIMO_SERVER_CONFIG), then BRIMO_SERVER_*
variables, then these options. SIGTERM or SIGINT stops it cleanly.
)";

// Error texts may carry outside text (a request's path, a mail server's answer): its control
// characters are escaped, so no line on the operator's terminal can be forged or recoloured.
void errorLine(const std::string& text) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::cerr << "brimo-server: " << brimo::text::printable(text)
              << std::endl;  // NOLINT(performance-avoid-endl)
}

struct Arguments {
    std::optional<std::filesystem::path> config;
    std::optional<std::string> listen;
    std::optional<std::string> database;
    std::optional<std::string> maildir;
    bool checkOnly = false;
};

// Returns the exit status to stop with, or none to go on.
std::optional<int> parseArguments(int argc, char** argv, Arguments& out) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::optional<std::string>& target) {
            if (i + 1 >= argc) {
                errorLine(arg + " needs a value");
                return false;
            }
            target = argv[++i];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--version") {
            std::cout << "brimo-server " << BRIMO_SERVER_VERSION << "\n";
            return 0;
        }
        if (arg == "--check-config") {
            out.checkOnly = true;
            continue;
        }
        std::optional<std::string> text;
        if (arg == "--config") {
            if (!value(text)) {
                return 2;
            }
            out.config = *text;
        } else if (arg == "--listen") {
            if (!value(out.listen)) {
                return 2;
            }
        } else if (arg == "--database") {
            if (!value(out.database)) {
                return 2;
            }
        } else if (arg == "--maildir") {
            if (!value(out.maildir)) {
                return 2;
            }
        } else {
            errorLine("unknown option " + arg);
            std::cerr << kUsage;
            return 2;
        }
    }
    return std::nullopt;
}

int serve(const ServerConfig& config) {
    auto store = openAccountStore(config.database, config.databasePoolSize);
    std::cout << "brimo-server " << BRIMO_SERVER_VERSION << "\n"
              << "database: " << store->kind() << " " << redactedUrl(config.database)
              << " (schema version " << store->schemaVersion() << ")\n";

    std::unique_ptr<MailSender> sender;
    if (config.smtp.enabled()) {
        sender = std::make_unique<SmtpMailSender>(config.smtp);
    } else {
        sender = std::make_unique<MaildirMailSender>(config.maildir);
    }
    // Mails queued before a stop or a crash are sent from here on.
    MailOutbox mail(*store, std::move(sender), errorLine, config.mailDelivery);
    std::cout << "mail: " << mail.description() << "\n";
    std::cout << "google sign-in: "
              << (config.google.clientId.empty()
                      ? std::string("off")
                      : "client " + config.google.clientId + ", keys " + config.google.jwksUrl)
              << "\n";

    PasswordHasher hasher(config.hashing);
    AccessLog accessLog(config.accessLog);

    AccountService::Options options;
    options.mailFrom = config.smtp.from;
    options.sessionDays = config.sessionDays;
    options.resetLinkMinutes = config.resetLinkMinutes;
    options.rateLimits = config.rateLimits;
    options.version = config.version;

    AccountService accounts(*store, hasher, mail, options);
    GoogleSignIn google(accounts, config.google, errorLine);
    ApiServer server(accounts, config, accessLog, errorLine, google);
    // The port is known only after binding (port 0 picks one), and the links need it.
    const int port = server.bind();
    const std::string origin = config.origin(port);
    accounts.setResetLinkBase(config.publicUrl.empty() ? origin : config.publicUrl);

    // Signals are taken by one thread with sigwait; every other thread has them blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    std::atomic<bool> stopping{false};
    std::thread signalWaiter([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        if (!stopping.exchange(true)) {
            std::cout << "stopping (signal " << signal << ")" << std::endl;
        }
        server.stop();
    });

    // Expired sessions and links are swept hourly.
    std::mutex sweepMutex;
    std::condition_variable sweepWake;
    std::thread sweeper([&] {
        std::unique_lock lock(sweepMutex);
        while (!stopping) {
            try {
                accounts.deleteExpired();
            } catch (const std::exception& e) {
                errorLine(std::string("sweeping expired sessions failed: ") + e.what());
            }
            sweepWake.wait_for(lock, std::chrono::hours(1), [&] { return stopping.load(); });
        }
    });

    std::cout << "listening on " << origin << "/api" << std::endl;
    const bool served = server.run();

    if (!stopping.exchange(true)) {
        pthread_kill(signalWaiter.native_handle(), SIGINT);  // wakes its sigwait
    }
    signalWaiter.join();
    sweepWake.notify_all();
    sweeper.join();
    mail.stop();  // at most mailDelivery.shutdownSeconds
    if (!served) {
        errorLine("serving stopped with an error");
        return 1;
    }
    std::cout << "stopped" << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Blocked before any thread starts, so every thread inherits the mask and only the
    // signal thread takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // The connection limit (1000 by default) must fit the descriptors allowed: the soft
    // limit is often 1024, the hard one far above.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);

    Arguments args;
    if (auto status = parseArguments(argc, argv, args)) {
        return *status;
    }
    try {
        ServerConfig config = loadServerConfig(args.config, processEnvironment());
        if (args.listen) {
            parseListenAddress(*args.listen, config.listenHost, config.listenPort);
        }
        if (args.database) {
            config.database = *args.database;
        }
        if (args.maildir) {
            config.maildir = *args.maildir;
        }
        // Absolute, so the start-up lines name the folders whatever the working directory.
        config.maildir = std::filesystem::absolute(config.maildir).lexically_normal();
        if (config.database.find("://") == std::string::npos) {
            const std::string prefix = "sqlite:";
            const std::string path = config.database.starts_with(prefix)
                                         ? config.database.substr(prefix.size())
                                         : config.database;
            config.database = std::filesystem::absolute(path).lexically_normal().string();
        }
        validateServerConfig(config);
        if (args.checkOnly) {
            std::cout << "configuration is valid\n";
            return 0;
        }
        return serve(config);
    } catch (const std::exception& e) {
        errorLine(e.what());
        return 1;
    }
}
