#include "platform/secrets/UserSecretStore.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "platform/log/UnifiedLog.h"
#include "platform/secrets/FileSecretStore.h"
#include "platform/secrets/MemorySecretStore.h"
#include "platform/secrets/SecretServiceStore.h"

namespace brimo::secrets {
namespace {

const log::Logger& secretsLog() {
    static const log::Logger logger("com.brimolavetrix", "Secrets");
    return logger;
}

// Without an address or the usual socket, asking GLib for the session bus would make it
// launch a bus of its own; a missing bus means no Secret Service.
bool sessionBusIsKnown() {
    // NOLINTBEGIN(concurrency-mt-unsafe): read-only use of the environment
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    // NOLINTEND(concurrency-mt-unsafe)
    if (address != nullptr && *address != '\0') {
        return true;
    }
    if (runtime == nullptr || *runtime == '\0') {
        return false;
    }
    struct stat info {};
    const std::string socket = std::string(runtime) + "/bus";
    return ::stat(socket.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

void carryOver(FileSecretStore& files, SecretStore& target,
               const std::vector<SecretAddress>& addresses) {
    for (const auto& address : addresses) {
        auto secret = files.load(address.service, address.account);
        if (!secret) {
            continue;
        }
        // The file goes only once the Secret Service holds the secret; one it already holds
        // is newer than the file's.
        if (target.load(address.service, address.account) ||
            target.save(address.service, address.account, *secret)) {
            files.remove(address.service, address.account);
            secretsLog().info("Moved a secret of " + address.service +
                              " from the file store into the Secret Service");
        }
    }
}

}  // namespace

std::shared_ptr<SecretStore> openUserSecretStore(const std::vector<SecretAddress>& carriedOver) {
    std::string whyNot = "no session bus";
    std::unique_ptr<SecretServiceStore> service;
    if (sessionBusIsKnown()) {
        service = SecretServiceStore::connect(&whyNot);
    }
    const std::filesystem::path folder = FileSecretStore::defaultFolder();
    if (service) {
        secretsLog().info("Secrets are kept in the Secret Service");
        if (!folder.empty()) {
            FileSecretStore files(folder);
            carryOver(files, *service, carriedOver);
        }
        return service;
    }
    if (folder.empty()) {
        secretsLog().error("Secrets are kept in memory for this session only (no Secret Service: " +
                           whyNot + "; no home folder)");
        return std::make_shared<MemorySecretStore>();
    }
    auto files = std::make_shared<FileSecretStore>(folder);
    secretsLog().info("Secrets are kept in the " + files->description() +
                      " (no Secret Service: " + whyNot + ")");
    return files;
}

}  // namespace brimo::secrets
