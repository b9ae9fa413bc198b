#include "config/ServerConfig.h"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <charconv>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

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

template <typename T>
void read(const json& object, const char* key, T& target, const std::string& where) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return;
    }
    try {
        target = it->get<T>();
    } catch (const json::exception&) {
        throw ConfigError("configuration: \"" + where + key + "\" has the wrong type");
    }
}

void readPath(const json& object, const char* key, std::filesystem::path& target,
              const std::filesystem::path& base, const std::string& where) {
    std::string text;
    read(object, key, text, where);
    if (!text.empty()) {
        target = base / text;  // an absolute text replaces the base
    }
}

const json& section(const json& object, const char* key) {
    static const json empty = json::object();
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return empty;
    }
    if (!it->is_object()) {
        throw ConfigError(std::string("configuration: \"") + key + "\" must be an object");
    }
    return *it;
}

void applyFile(ServerConfig& config, const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) {
        throw ConfigError("configuration: cannot read " + file.string());
    }
    json root = json::parse(in, nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        throw ConfigError("configuration: " + file.string() + " is not a JSON object");
    }
    const std::filesystem::path base = std::filesystem::absolute(file).parent_path();

    std::string listen;
    read(root, "listen", listen, "");
    if (!listen.empty()) {
        parseListenAddress(listen, config.listenHost, config.listenPort);
    }
    read(root, "publicUrl", config.publicUrl, "");
    std::string database;
    read(root, "database", database, "");
    if (!database.empty()) {
        // A relative SQLite path is relative to the file, as every other path is.
        const bool isUrl = database.find("://") != std::string::npos;
        if (isUrl) {
            config.database = database;
        } else {
            const std::string prefix = "sqlite:";
            std::string path =
                database.starts_with(prefix) ? database.substr(prefix.size()) : database;
            config.database = (base / path).string();
        }
    }
    readPath(root, "maildir", config.maildir, base, "");
    std::string accessLog;
    read(root, "accessLog", accessLog, "");
    if (!accessLog.empty()) {
        config.accessLog =
            (accessLog == "-" || accessLog == "off") ? accessLog : (base / accessLog).string();
    }
    read(root, "bodyLimitBytes", config.bodyLimitBytes, "");
    read(root, "threads", config.threads, "");
    read(root, "databasePoolSize", config.databasePoolSize, "");
    read(root, "sessionDays", config.sessionDays, "");
    read(root, "resetLinkMinutes", config.resetLinkMinutes, "");

    const json& connections = section(root, "connections");
    read(connections, "limit", config.http.connections, "connections.");
    read(connections, "perClient", config.http.connectionsPerClient, "connections.");
    read(connections, "requestSeconds", config.http.requestSeconds, "connections.");
    read(connections, "idleSeconds", config.http.idleSeconds, "connections.");

    const json& tls = section(root, "tls");
    readPath(tls, "certificate", config.tls.certificate, base, "tls.");
    readPath(tls, "key", config.tls.key, base, "tls.");

    const json& smtp = section(root, "smtp");
    read(smtp, "url", config.smtp.url, "smtp.");
    read(smtp, "username", config.smtp.username, "smtp.");
    read(smtp, "password", config.smtp.password, "smtp.");
    read(smtp, "from", config.smtp.from, "smtp.");
    readPath(smtp, "caFile", config.smtp.caFile, base, "smtp.");
    read(smtp, "requireTls", config.smtp.requireTls, "smtp.");

    const json& version = section(root, "version");
    read(version, "version", config.version.version, "version.");
    read(version, "releaseNotes", config.version.releaseNotes, "version.");
    read(version, "downloadUrl", config.version.downloadUrl, "version.");
    read(version, "forceUpdate", config.version.forceUpdate, "version.");

    const json& google = section(root, "google");
    read(google, "clientId", config.google.clientId, "google.");
    read(google, "jwksUrl", config.google.jwksUrl, "google.");
    readPath(google, "caFile", config.google.caFile, base, "google.");

    const json& hashing = section(root, "passwordHashing");
    read(hashing, "opsLimit", config.hashing.opsLimit, "passwordHashing.");
    read(hashing, "memLimitKiB", config.hashing.memLimitKiB, "passwordHashing.");
    read(hashing, "concurrency", config.hashing.concurrency, "passwordHashing.");
    read(hashing, "queueSeconds", config.hashing.queueSeconds, "passwordHashing.");
    read(hashing, "queueLimit", config.hashing.queueLimit, "passwordHashing.");

    read(root, "trustedProxies", config.trustedProxies, "");

    const json& delivery = section(root, "mailDelivery");
    read(delivery, "firstRetrySeconds", config.mailDelivery.firstRetrySeconds, "mailDelivery.");
    read(delivery, "longestRetrySeconds", config.mailDelivery.longestRetrySeconds, "mailDelivery.");
    read(delivery, "attempts", config.mailDelivery.attempts, "mailDelivery.");
    read(delivery, "shutdownSeconds", config.mailDelivery.shutdownSeconds, "mailDelivery.");

    const json& limits = section(root, "rateLimit");
    read(limits, "perClient", config.rateLimits.perClient, "rateLimit.");
    read(limits, "perClientWindowSeconds", config.rateLimits.perClientWindowSeconds, "rateLimit.");
    read(limits, "perAddress", config.rateLimits.perAddress, "rateLimit.");
    read(limits, "perAddressWindowSeconds", config.rateLimits.perAddressWindowSeconds,
         "rateLimit.");
    read(limits, "failuresPerClient", config.rateLimits.failuresPerClient, "rateLimit.");
    read(limits, "failuresPerClientWindowSeconds", config.rateLimits.failuresPerClientWindowSeconds,
         "rateLimit.");
    read(limits, "mailsPerAddress", config.rateLimits.mailsPerAddress, "rateLimit.");
    read(limits, "mailsPerAddressWindowSeconds", config.rateLimits.mailsPerAddressWindowSeconds,
         "rateLimit.");
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
    if (const auto* v = get("BRIMO_SERVER_LISTEN")) {
        parseListenAddress(*v, config.listenHost, config.listenPort);
    }
    if (const auto* v = get("BRIMO_SERVER_PUBLIC_URL")) {
        config.publicUrl = *v;
    }
    if (const auto* v = get("BRIMO_SERVER_DATABASE")) {
        config.database = *v;
    }
    if (const auto* v = get("BRIMO_SERVER_MAILDIR")) {
        config.maildir = *v;
    }
    if (const auto* v = get("BRIMO_SERVER_ACCESS_LOG")) {
        config.accessLog = *v;
    }
    if (const auto* v = get("BRIMO_SERVER_TLS_CERTIFICATE")) {
        config.tls.certificate = *v;
    }
    if (const auto* v = get("BRIMO_SERVER_TLS_KEY")) {
        config.tls.key = *v;
    }
    if (const auto* v = get("BRIMO_SERVER_SMTP_URL")) {
        config.smtp.url = *v;
    }
    if (const auto* v = get("BRIMO_SERVER_SMTP_USERNAME")) {
        config.smtp.username = *v;
    }
    if (const auto* v = get("BRIMO_SERVER_SMTP_PASSWORD")) {
        config.smtp.password = *v;
    }
    if (const auto* v = get("BRIMO_SERVER_SMTP_FROM")) {
        config.smtp.from = *v;
    }
    if (const auto* v = get("BRIMO_SERVER_GOOGLE_CLIENT_ID")) {
        config.google.clientId = *v;
    }
    if (const auto* v = get("BRIMO_SERVER_GOOGLE_JWKS_URL")) {
        config.google.jwksUrl = *v;
    }
    if (const auto* v = get("BRIMO_SERVER_GOOGLE_CA_FILE")) {
        config.google.caFile = *v;
    }
    if (const auto* v = get("BRIMO_SERVER_VERSION")) {
        config.version.version = *v;
    }
    if (const auto* v = get("BRIMO_SERVER_RELEASE_NOTES")) {
        config.version.releaseNotes = *v;
    }
    if (const auto* v = get("BRIMO_SERVER_DOWNLOAD_URL")) {
        config.version.downloadUrl = *v;
    }
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
