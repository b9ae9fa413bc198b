#include "config/ServerConfig.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <charconv>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <utility>

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX leaves it undeclared

namespace brimo::server {
namespace {

using nlohmann::json;

std::filesystem::path defaultDataDirectory(const std::map<std::string, std::string>& env) {
    if (auto it = env.find("XDG_DATA_HOME"); it != env.end() && !it->second.empty()) {
        return std::filesystem::path(it->second) / "brimolavetrix" / "server";
    }
    if (auto it = env.find("HOME"); it != env.end() && !it->second.empty()) {
        return std::filesystem::path(it->second) / ".local" / "share" / "brimolavetrix" / "server";
    }
    return std::filesystem::current_path() / "brimolavetrix-server";
}

// One object of the configuration file. A key that is present and not null is read into its
// setting; an error names the key from the file's top ("smtp.url"), and a relative path is
// taken from the file's folder (an absolute one replaces it).
class FileSection {
  public:
    FileSection(const json& object, std::string where, std::filesystem::path base)
        : object_(object), where_(std::move(where)), base_(std::move(base)) {}

    // The object under `key`; an absent or null one reads as empty.
    [[nodiscard]] FileSection section(const char* key) const {
        static const json empty = json::object();
        auto it = object_.find(key);
        if (it == object_.end() || it->is_null()) {
            return {empty, where_ + key + ".", base_};
        }
        if (!it->is_object()) {
            throw ConfigError("configuration: \"" + where_ + key + "\" must be an object");
        }
        return {*it, where_ + key + ".", base_};
    }

    template <typename T>
    const FileSection& read(const char* key, T& target) const {
        auto it = object_.find(key);
        if (it == object_.end() || it->is_null()) {
            return *this;
        }
        try {
            target = it->get<T>();
        } catch (const json::exception&) {
            throw ConfigError("configuration: \"" + where_ + key + "\" has the wrong type");
        }
        return *this;
    }

    // A text setting, empty when absent.
    [[nodiscard]] std::string text(const char* key) const {
        std::string value;
        read(key, value);
        return value;
    }

    const FileSection& readPath(const char* key, std::filesystem::path& target) const {
        if (const std::string value = text(key); !value.empty()) {
            target = base_ / value;
        }
        return *this;
    }

    [[nodiscard]] const std::filesystem::path& base() const { return base_; }

  private:
    const json& object_;
    std::string where_;
    std::filesystem::path base_;
};

void applyFile(ServerConfig& config, const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) {
        throw ConfigError("configuration: cannot read " + file.string());
    }
    json root = json::parse(in, nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        throw ConfigError("configuration: " + file.string() + " is not a JSON object");
    }
    const FileSection top(root, "", std::filesystem::absolute(file).parent_path());

    if (const std::string listen = top.text("listen"); !listen.empty()) {
        parseListenAddress(listen, config.listenHost, config.listenPort);
    }
    top.read("publicUrl", config.publicUrl);
    if (const std::string database = top.text("database"); !database.empty()) {
        // A relative SQLite path is relative to the file, as every other path is.
        const bool isUrl = database.find("://") != std::string::npos;
        if (isUrl) {
            config.database = database;
        } else {
            const std::string prefix = "sqlite:";
            std::string path =
                database.starts_with(prefix) ? database.substr(prefix.size()) : database;
            config.database = (top.base() / path).string();
        }
    }
    top.readPath("maildir", config.maildir);
    if (const std::string accessLog = top.text("accessLog"); !accessLog.empty()) {
        config.accessLog = (accessLog == "-" || accessLog == "off")
                               ? accessLog
                               : (top.base() / accessLog).string();
    }
    top.read("bodyLimitBytes", config.bodyLimitBytes)
        .read("threads", config.threads)
        .read("databasePoolSize", config.databasePoolSize)
        .read("sessionDays", config.sessionDays)
        .read("resetLinkMinutes", config.resetLinkMinutes);
    top.section("connections")
        .read("limit", config.http.connections)
        .read("perClient", config.http.connectionsPerClient)
        .read("requestSeconds", config.http.requestSeconds)
        .read("idleSeconds", config.http.idleSeconds);
    top.section("tls")
        .readPath("certificate", config.tls.certificate)
        .readPath("key", config.tls.key);
    top.section("smtp")
        .read("url", config.smtp.url)
        .read("username", config.smtp.username)
        .read("password", config.smtp.password)
        .read("from", config.smtp.from)
        .readPath("caFile", config.smtp.caFile)
        .read("requireTls", config.smtp.requireTls);
    top.section("version")
        .read("version", config.version.version)
        .read("releaseNotes", config.version.releaseNotes)
        .read("downloadUrl", config.version.downloadUrl)
        .read("forceUpdate", config.version.forceUpdate);
    top.section("google")
        .read("clientId", config.google.clientId)
        .read("jwksUrl", config.google.jwksUrl)
        .readPath("caFile", config.google.caFile);
    top.section("passwordHashing")
        .read("opsLimit", config.hashing.opsLimit)
        .read("memLimitKiB", config.hashing.memLimitKiB)
        .read("concurrency", config.hashing.concurrency)
        .read("queueSeconds", config.hashing.queueSeconds)
        .read("queueLimit", config.hashing.queueLimit);
    top.read("trustedProxies", config.trustedProxies);
    top.section("mailDelivery")
        .read("firstRetrySeconds", config.mailDelivery.firstRetrySeconds)
        .read("longestRetrySeconds", config.mailDelivery.longestRetrySeconds)
        .read("attempts", config.mailDelivery.attempts)
        .read("shutdownSeconds", config.mailDelivery.shutdownSeconds);
    top.section("rateLimit")
        .read("perClient", config.rateLimits.perClient)
        .read("perClientWindowSeconds", config.rateLimits.perClientWindowSeconds)
        .read("perAddress", config.rateLimits.perAddress)
        .read("perAddressWindowSeconds", config.rateLimits.perAddressWindowSeconds)
        .read("failuresPerClient", config.rateLimits.failuresPerClient)
        .read("failuresPerClientWindowSeconds", config.rateLimits.failuresPerClientWindowSeconds)
        .read("mailsPerAddress", config.rateLimits.mailsPerAddress)
        .read("mailsPerAddressWindowSeconds", config.rateLimits.mailsPerAddressWindowSeconds);
}

bool parseBool(const std::string& name, const std::string& text) {
    if (text == "1" || text == "true" || text == "yes") {
        return true;
    }
    if (text == "0" || text == "false" || text == "no" || text.empty()) {
        return false;
    }
    throw ConfigError(name + " must be true or false");
}

void applyEnvironment(ServerConfig& config, const std::map<std::string, std::string>& env) {
    auto get = [&](const char* name) -> const std::string* {
        auto it = env.find(name);
        return it == env.end() ? nullptr : &it->second;
    };
    auto take = [&](const char* name, auto& target) {
        if (const auto* v = get(name)) {
            target = *v;
        }
    };
    if (const auto* v = get("BRIMO_SERVER_LISTEN")) {
        parseListenAddress(*v, config.listenHost, config.listenPort);
    }
    take("BRIMO_SERVER_PUBLIC_URL", config.publicUrl);
    take("BRIMO_SERVER_DATABASE", config.database);
    take("BRIMO_SERVER_MAILDIR", config.maildir);
    take("BRIMO_SERVER_ACCESS_LOG", config.accessLog);
    take("BRIMO_SERVER_TLS_CERTIFICATE", config.tls.certificate);
    take("BRIMO_SERVER_TLS_KEY", config.tls.key);
    take("BRIMO_SERVER_SMTP_URL", config.smtp.url);
    take("BRIMO_SERVER_SMTP_USERNAME", config.smtp.username);
    take("BRIMO_SERVER_SMTP_PASSWORD", config.smtp.password);
    take("BRIMO_SERVER_SMTP_FROM", config.smtp.from);
    take("BRIMO_SERVER_GOOGLE_CLIENT_ID", config.google.clientId);
    take("BRIMO_SERVER_GOOGLE_JWKS_URL", config.google.jwksUrl);
    take("BRIMO_SERVER_GOOGLE_CA_FILE", config.google.caFile);
    take("BRIMO_SERVER_VERSION", config.version.version);
    take("BRIMO_SERVER_RELEASE_NOTES", config.version.releaseNotes);
    take("BRIMO_SERVER_DOWNLOAD_URL", config.version.downloadUrl);
    if (const auto* v = get("BRIMO_SERVER_FORCE_UPDATE")) {
        config.version.forceUpdate = parseBool("BRIMO_SERVER_FORCE_UPDATE", *v);
    }
}

// Reset links carry a token that signs in: over plain HTTP only to this machine.
void checkPublicUrl(const std::string& url) {
    const std::unique_ptr<CURLU, void (*)(CURLU*)> parsed(curl_url(), &curl_url_cleanup);
    char* scheme = nullptr;
    char* host = nullptr;
    const bool valid = parsed &&
                       curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
                       curl_url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
                       curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK;
    std::string schemeText = scheme != nullptr ? scheme : "";
    std::string hostText = host != nullptr ? host : "";
    curl_free(scheme);
    curl_free(host);
    if (!valid || (schemeText != "https" && schemeText != "http")) {
        throw ConfigError("configuration: \"publicUrl\" must be an http(s) address");
    }
    if (hostText.size() >= 2 && hostText.front() == '[' && hostText.back() == ']') {
        hostText = hostText.substr(1, hostText.size() - 2);
    }
    if (schemeText == "http" && !isLoopbackHost(hostText)) {
        throw ConfigError(
            "configuration: \"publicUrl\" must be https:// (reset links sign in; "
            "plain http:// is allowed for loopback only)");
    }
}

}  // namespace

std::string ServerConfig::origin(int port) const {
    const bool v6 = listenHost.find(':') != std::string::npos;
    std::string host = listenHost.empty() || listenHost == "0.0.0.0" ? "127.0.0.1" : listenHost;
    if (v6) {
        host = "[" + host + "]";
    }
    return (tls.enabled() ? "https://" : "http://") + host + ":" + std::to_string(port);
}

void parseListenAddress(const std::string& text, std::string& host, int& port) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) {
        throw ConfigError("listen address \"" + text + "\" must be HOST:PORT");
    }
    std::string h = text.substr(0, colon);
    const std::string p = text.substr(colon + 1);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') {
        h = h.substr(1, h.size() - 2);
    }
    int value = -1;
    auto [end, error] = std::from_chars(p.data(), p.data() + p.size(), value);
    if (error != std::errc() || end != p.data() + p.size() || value < 0 || value > 65535) {
        throw ConfigError("listen address \"" + text + "\" has no valid port");
    }
    host = h.empty() ? "127.0.0.1" : h;
    port = value;
}

bool isLoopbackHost(const std::string& host) {
    if (host == "localhost" || host == "::1") {
        return true;
    }
    in_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) == 1) {
        return (ntohl(address.s_addr) >> 24) == 127;
    }
    return false;
}

std::map<std::string, std::string> processEnvironment() {
    std::map<std::string, std::string> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        const auto equals = text.find('=');
        if (equals != std::string_view::npos) {
            env.emplace(text.substr(0, equals), text.substr(equals + 1));
        }
    }
    return env;
}

ServerConfig loadServerConfig(const std::optional<std::filesystem::path>& file,
                              const std::map<std::string, std::string>& environment) {
    ServerConfig config;
    std::optional<std::filesystem::path> chosen = file;
    if (!chosen) {
        if (auto it = environment.find("BRIMO_SERVER_CONFIG"); it != environment.end()) {
            chosen = it->second;
        }
    }
    if (chosen) {
        applyFile(config, *chosen);
    }
    applyEnvironment(config, environment);

    const auto dataDirectory = defaultDataDirectory(environment);
    if (config.database.empty()) {
        config.database = (dataDirectory / "accounts.sqlite").string();
    }
    if (config.maildir.empty()) {
        config.maildir = dataDirectory / "mail";
    }
    return config;
}

void validateServerConfig(const ServerConfig& config) {
    if (config.tls.enabled() && (config.tls.certificate.empty() || config.tls.key.empty())) {
        throw ConfigError("configuration: TLS needs both tls.certificate and tls.key");
    }
    if (!config.tls.enabled() && !isLoopbackHost(config.listenHost)) {
        throw ConfigError("configuration: plain HTTP is served on loopback only; listening on " +
                          config.listenHost + " needs tls.certificate and tls.key");
    }
    if (!config.publicUrl.empty()) {
        checkPublicUrl(config.publicUrl);
    }
    if (config.http.connections == 0 || config.http.requestSeconds == 0 ||
        config.http.idleSeconds == 0) {
        throw ConfigError(
            "configuration: connections.limit, requestSeconds and idleSeconds must be positive");
    }
    if (config.threads < 2) {
        throw ConfigError("configuration: \"threads\" must be at least 2");
    }
    if (config.bodyLimitBytes < 1024) {
        throw ConfigError("configuration: \"bodyLimitBytes\" must be at least 1024");
    }
    if (config.sessionDays == 0 || config.resetLinkMinutes == 0) {
        throw ConfigError("configuration: session and reset-link lifetimes must be positive");
    }
    // The keys decide who may sign in: they come over an authenticated connection only.
    if (!config.google.clientId.empty() && !config.google.jwksUrl.starts_with("https://")) {
        throw ConfigError("configuration: \"google.jwksUrl\" must be an https:// address");
    }
    if (config.databasePoolSize == 0) {
        throw ConfigError("configuration: \"databasePoolSize\" must be at least 1");
    }
    if (config.mailDelivery.attempts == 0 || config.mailDelivery.firstRetrySeconds == 0) {
        throw ConfigError(
            "configuration: \"mailDelivery.attempts\" and \"mailDelivery.firstRetrySeconds\" "
            "must be at least 1");
    }
    if (!(config.hashing.queueSeconds > 0)) {
        throw ConfigError("configuration: \"passwordHashing.queueSeconds\" must be positive");
    }
}

}  // namespace brimo::server
