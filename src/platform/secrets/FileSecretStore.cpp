#include "platform/secrets/FileSecretStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <string>

namespace brimo::secrets {
namespace {

// Names become file names: anything beyond letters, digits, "-", "_" and "." is written as
// %XX, so a name can neither leave the folder nor collide with another.
std::string encodeName(std::string_view name) {
    static constexpr std::string_view kHex = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= '0' && byte <= '9') || byte == '-' || byte == '_' ||
                           byte == '.';
        if (plain) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4U];
            encoded += kHex[byte & 0xFU];
        }
    }
    // "." and ".." alone would name folders.
    if (encoded == "." || encoded == "..") {
        encoded = "%2E" + encoded.substr(1);
    }
    return encoded;
}

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    [[nodiscard]] int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// The folder, made 0700 if missing; false when it cannot be made or is not ours alone.
bool prepareFolder(const std::filesystem::path& folder) {
    std::error_code failure;
    std::filesystem::create_directories(folder, failure);
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid()) {
        return false;
    }
    if ((info.st_mode & 0077U) != 0) {
        return ::chmod(folder.c_str(), 0700) == 0;
    }
    return true;
}

void syncFolder(const std::filesystem::path& folder) {
    const FileDescriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0) {
        ::fsync(directory.get());
    }
}

}  // namespace

std::filesystem::path FileSecretStore::defaultFolder() {
    // NOLINTBEGIN(concurrency-mt-unsafe): read-only use of the environment
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    // NOLINTEND(concurrency-mt-unsafe)
    std::filesystem::path base;
    // XDG directories must be absolute; a relative value is ignored, as desktops do.
    if (dataHome != nullptr && *dataHome == '/') {
        base = dataHome;
    } else if (home != nullptr && *home == '/') {
        base = std::filesystem::path(home) / ".local" / "share";
    } else {
        return {};
    }
    return base / "brimolavetrix" / "secrets";
}

std::filesystem::path FileSecretStore::pathFor(std::string_view service,
                                               std::string_view account) const {
    return folder_ / (encodeName(service) + "@" + encodeName(account));
}

std::string FileSecretStore::description() const {
    return "file store in " + folder_.string();
}

bool FileSecretStore::save(std::string_view service, std::string_view account,
                           std::string_view secret) {
    if (folder_.empty() || !prepareFolder(folder_)) {
        return false;
    }
    const std::filesystem::path target = pathFor(service, account);
    std::string temporary = target.string() + ".XXXXXX";
    // mkstemp creates the file 0600 and exclusively, so nobody else can open it in between.
    FileDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (file.get() < 0) {
        return false;
    }
    const bool written = writeAll(file.get(), secret) && ::fsync(file.get()) == 0;
    const int fd = file.release();
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    syncFolder(folder_);
    return true;
}

std::optional<std::string> FileSecretStore::load(std::string_view service,
                                                 std::string_view account) {
    if (folder_.empty()) {
        return std::nullopt;
    }
    const std::filesystem::path path = pathFor(service, account);
    // A link planted in our place is not followed.
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (file.get() < 0) {
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        return std::nullopt;
    }
    std::string secret;
    std::array<char, 4096> chunk{};
    for (;;) {
        const ssize_t got = ::read(file.get(), chunk.data(), chunk.size());
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        secret.append(chunk.data(), static_cast<std::size_t>(got));
    }
    return secret;
}

bool FileSecretStore::remove(std::string_view service, std::string_view account) {
    if (folder_.empty()) {
        return true;
    }
    const std::filesystem::path path = pathFor(service, account);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return false;
    }
    syncFolder(folder_);
    return true;
}

}  // namespace brimo::secrets
