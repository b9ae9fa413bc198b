#pragma once

#include <filesystem>

namespace brimo::testing {

// A certificate authority made for one test run with openssl, and a server certificate it
// signed for 127.0.0.1; plus a second authority that signed nothing, for a client that must
// refuse the server.
struct TestCertificates {
    std::filesystem::path authority;       // CA certificate (PEM)
    std::filesystem::path otherAuthority;  // an unrelated CA certificate
    std::filesystem::path certificate;     // server certificate (PEM)
    std::filesystem::path key;             // server key (PEM)

    // Made in `folder`; throws when openssl fails.
    static TestCertificates makeIn(const std::filesystem::path& folder);
};

}  // namespace brimo::testing
