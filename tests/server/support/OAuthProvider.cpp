#include "support/OAuthProvider.h"

#include <httplib.h>

#include <regex>
#include <sstream>
#include <stdexcept>

#include "support/FileText.h"

namespace brimo::server::testing {

OAuthProvider::OAuthProvider(const std::string& clientId) {
    const auto dir = directory_.path() / "provider";
    brimo::testing::ChildProcess::Options options;
    options.arguments = {BRIMO_OAUTH_PROVIDER, "--dir", dir.string(), "--client-id", clientId};
    options.output = directory_.path() / "provider.out";
    options.errors = directory_.path() / "provider.err";
    process_ = std::make_unique<brimo::testing::ChildProcess>(std::move(options));
    if (process_->waitForOutput(std::regex("listening on port (\\d+)")).empty()) {
        throw std::runtime_error("the OAuth provider did not start: " + process_->errors());
    }
    const auto about = nlohmann::json::parse(brimo::testing::readFileText(dir / "provider.json"));
    origin_ = about.at("origin").get<std::string>();
    port_ = about.at("port").get<int>();
    authority_ = about.at("ca").get<std::string>();
    redirectUri_ = about.at("redirectUri").get<std::string>();
}

std::unique_ptr<httplib::SSLClient> OAuthProvider::client() const {
    auto c = std::make_unique<httplib::SSLClient>("127.0.0.1", port_);
    c->set_ca_cert_path(authority_.c_str());
    c->enable_server_certificate_verification(true);
    c->set_read_timeout(20);
    return c;
}

OAuthProvider::~OAuthProvider() {
    process_->terminate();
}

nlohmann::json OAuthProvider::call(const std::string& path, const nlohmann::json& body,
                                   bool post) const {
    auto c = client();
    auto res = post ? c->Post(path, body.dump(), "application/json") : c->Get(path);
    if (!res || res->status != 200) {
        throw std::runtime_error("the OAuth provider did not answer " + path);
    }
    return nlohmann::json::parse(res->body);
}

std::string OAuthProvider::mint(const nlohmann::json& shape) const {
    return call("/control/mint", shape, true).at("id_token").get<std::string>();
}

std::string OAuthProvider::rotate(bool keepPrevious) const {
    return call("/control/rotate", {{"keep_previous", keepPrevious}}, true)
        .at("kid")
        .get<std::string>();
}

void OAuthProvider::configure(const nlohmann::json& settings) const {
    (void)call("/control/settings", settings, true);
}

std::string OAuthProvider::currentKeyId() const {
    return call("/control/state", {}, false).at("kid").get<std::string>();
}

unsigned OAuthProvider::jwksFetches() const {
    return call("/control/state", {}, false).at("jwks_fetches").get<unsigned>();
}

std::vector<std::string> OAuthProvider::issuedSecrets() const {
    std::vector<std::string> secrets;
    std::istringstream lines(
        brimo::testing::readFileText(directory_.path() / "provider" / "issued.txt"));
    std::string kind;
    std::string value;
    while (lines >> kind >> value) {
        secrets.push_back(value);
    }
    return secrets;
}

}  // namespace brimo::server::testing
