#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace brimo::server {

struct TlsSettings {
    std::filesystem::path certificate;
    std::filesystem::path key;
    [[nodiscard]] bool enabled() const { return !certificate.empty() || !key.empty(); }
};

// Without a URL, reset mails go to the maildir instead.
struct SmtpSettings {
    std::string url;  // smtp://host:587 (STARTTLS required) or smtps://host:465
    std::string username;
    std::string password;
    std::string from = "Brimolavetrix <no-reply@localhost>";
    std::filesystem::path caFile;  // empty: the system's CA store
    bool requireTls = true;        // refuse to send over a connection that stays plain
    [[nodiscard]] bool enabled() const { return !url.empty(); }
};

struct VersionInfo {
    std::string version = BRIMO_SERVER_VERSION;
    std::string releaseNotes;
    std::string downloadUrl;
    bool forceUpdate = false;
};

// Default cost is libsodium's interactive level; tests and benchmarks lower it.
struct PasswordHashing {
    std::uint64_t opsLimit = 2;
    std::size_t memLimitKiB = 65536;
    unsigned concurrency = 0;  // hashes computed at once; 0 means one per core
    // Logins and registrations are refused (503) while those admitted would take longer than
    // this to work off; queueLimit, when not 0, fixes their number instead.
    double queueSeconds = 2.0;
    std::size_t queueLimit = 0;
};

// Google sign-in: ID tokens are accepted for this client ID, checked against the key set at
// jwksUrl (HTTPS only). An empty client ID turns the endpoint off.
struct GoogleSettings {
    std::string clientId = BRIMO_GOOGLE_CLIENT_ID;
    std::string jwksUrl = "https://www.googleapis.com/oauth2/v3/certs";
    std::filesystem::path caFile;  // empty: the system's CA store
};

// How the outbox sends: a failed mail is tried again after firstSeconds, doubling up to
// longestSeconds, `attempts` times in all; a stop waits for mails that are due at most
// shutdownSeconds.
struct MailDelivery {
    unsigned firstRetrySeconds = 5;
    unsigned longestRetrySeconds = 600;
    unsigned attempts = 8;
    unsigned shutdownSeconds = 5;
};

// Buckets refill evenly over the window; 0 turns a limit off. A client is its network (an
// IPv4 address, an IPv6 /64).
struct RateLimits {
    // Requests per client to the endpoints that answer about or mail an address.
    unsigned perClient = 30;
    unsigned perClientWindowSeconds = 60;
    // Failed logins for one address from one client.
    unsigned perAddress = 10;
    unsigned perAddressWindowSeconds = 900;
    // Failed logins from one client, whatever the addresses.
    unsigned failuresPerClient = 50;
    unsigned failuresPerClientWindowSeconds = 900;
    // Reset mails to one address.
    unsigned mailsPerAddress = 3;
    unsigned mailsPerAddressWindowSeconds = 3600;
};

// What the connection layer allows one request and one client (server/README.md says why).
struct HttpLimits {
    std::size_t requestLineBytes = 8 * 1024;  // the request target; 414 beyond
    std::size_t headerBytes = 16 * 1024;      // all header lines together; 431 beyond
    unsigned headerCount = 64;                // 431 beyond
    unsigned connections = 1000;              // open at once, from everyone
    unsigned connectionsPerClient = 64;       // open at once from one address; 0: no limit
    unsigned requestSeconds = 20;             // for a whole request to arrive
    unsigned idleSeconds = 15;                // of silence on an open connection
};

struct ServerConfig {
    std::string listenHost = "127.0.0.1";
    int listenPort = 8432;
    std::string publicUrl;  // where reset links point; empty: derived from the listen address
    std::string database;   // a SQLite file path, sqlite:PATH, or postgresql://...
    std::filesystem::path maildir;
    std::string accessLog = "-";  // "-" standard output, "off", or a file path
    TlsSettings tls;
    SmtpSettings smtp;
    VersionInfo version;
    PasswordHashing hashing;
    RateLimits rateLimits;
    GoogleSettings google;
    // Proxies whose X-Forwarded-For names the client (addresses as the service sees them).
    std::vector<std::string> trustedProxies;
    MailDelivery mailDelivery;
    std::size_t bodyLimitBytes = 64 * 1024;
    unsigned threads = 16;  // the worker pool for handlers that touch the store
    HttpLimits http;
    unsigned databasePoolSize = 8;
    unsigned sessionDays = 30;
    unsigned resetLinkMinutes = 60;

    // "http(s)://host:port" of the listen address, with the port given.
    [[nodiscard]] std::string origin(int port) const;
};

// Thrown for a configuration that cannot be used; the text names the key.
struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Defaults, then the JSON file (when given), then BRIMO_SERVER_* variables from `environment`.
// Relative paths in the file are taken from the file's folder.
ServerConfig loadServerConfig(const std::optional<std::filesystem::path>& file,
                              const std::map<std::string, std::string>& environment);

// The process environment as a map, for loadServerConfig.
std::map<std::string, std::string> processEnvironment();

// Refuses what would run unsafely: plain HTTP beyond loopback (listening, or in the reset
// links' public address), a half TLS pair, no store.
void validateServerConfig(const ServerConfig& config);

bool isLoopbackHost(const std::string& host);

// "host:port", "[v6]:port" or ":port".
void parseListenAddress(const std::string& text, std::string& host, int& port);

}  // namespace brimo::server
