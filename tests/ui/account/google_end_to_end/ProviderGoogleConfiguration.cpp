// The test build's Google: the loopback provider that `with-account-service --google` started,
// as its provider.json describes it. Linked only into the test build of the application, in
// place of the built-in endpoints.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>

#include "account/auth/GoogleConfiguration.h"

namespace brimo::account {

GoogleConfiguration GoogleConfiguration::builtIn() {
    const char* folder = std::getenv("BRIMO_GOOGLE_PROVIDER_DIR");  // NOLINT(concurrency-mt-unsafe)
    std::ifstream file(std::filesystem::path(folder == nullptr ? "" : folder) / "provider.json");
    const auto about = nlohmann::json::parse(file, nullptr, false);
    if (!about.is_object()) {
        std::fputs("test build: no provider.json in $BRIMO_GOOGLE_PROVIDER_DIR\n", stderr);
        std::abort();
    }
    GoogleConfiguration google{about.value("clientId", ""), about.value("authorize", ""),
                               about.value("token", ""), std::nullopt};
    if (about.contains("ca") && about["ca"].is_string()) {
        google.tokenCAFile = about["ca"].get<std::string>();
    }
    return google;
}

}  // namespace brimo::account
