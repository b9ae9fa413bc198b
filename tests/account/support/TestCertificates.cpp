#include "account/support/TestCertificates.h"

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/process/ProcessRunner.h"

namespace brimo::testing {
namespace {

void openssl(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"openssl"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const auto result = process::runProgram(command);
    if (result.exitStatus != 0) {
        throw std::runtime_error("openssl failed: " + result.errorText);
    }
}

void makeAuthority(const std::filesystem::path& certificate, const std::filesystem::path& key,
                   const std::string& name) {
    openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", key.string(), "-out", certificate.string(), "-days", "2", "-subj",
             "/CN=" + name, "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
             "keyUsage=critical,keyCertSign,cRLSign"});
}

}  // namespace

TestCertificates TestCertificates::makeIn(const std::filesystem::path& folder) {
    TestCertificates made{folder / "ca.pem", folder / "other-ca.pem", folder / "server.pem",
                          folder / "server.key"};
    makeAuthority(made.authority, folder / "ca.key", "Brimolavetrix Test CA");
    makeAuthority(made.otherAuthority, folder / "other-ca.key", "Unrelated Test CA");
    const auto request = folder / "server.csr";
    openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", made.key.string(), "-out", request.string(), "-subj", "/CN=127.0.0.1"});
    const auto extensions = folder / "server.ext";
    std::ofstream(extensions) << "subjectAltName=IP:127.0.0.1\n"
                                 "extendedKeyUsage=serverAuth\n"
                                 "basicConstraints=CA:FALSE\n";
    openssl({"x509", "-req", "-in", request.string(), "-CA", made.authority.string(), "-CAkey",
             (folder / "ca.key").string(), "-CAcreateserial", "-out", made.certificate.string(),
             "-days", "2", "-extfile", extensions.string()});
    return made;
}

}  // namespace brimo::testing
