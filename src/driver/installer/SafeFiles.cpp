#include "driver/installer/SafeFiles.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

namespace brimo::driver::installer {
namespace {

constexpr mode_t kFolderMode = 0755;
constexpr mode_t kFileMode = 0644;
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string describe(const std::string& what, int code) {
    return what + ": " + std::strerror(code);  // NOLINT(concurrency-mt-unsafe): one thread
}

bool fail(FileError& error, const std::string& what, int code) {
    error.message = describe(what, code);
    return false;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

std::string temporaryName(const std::string& name) {
    std::array<unsigned char, 8> random{};
    if (getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size())) {
        random.fill(0);
    }
    static constexpr std::string_view kHex = "0123456789abcdef";
    std::string result = "." + name + ".";
    for (const unsigned char byte : random) {
        result += kHex[byte >> 4U];
        result += kHex[byte & 0xFU];
    }
    return result;
}

}  // namespace

FileHandle::~FileHandle() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = other.release();
    }
    return *this;
}

int FileHandle::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

std::optional<FileHandle> openFolder(int base, const std::filesystem::path& relative, bool create,
                                     FileError& error) {
    FileHandle current(::fcntl(base, F_DUPFD_CLOEXEC, 0));
    if (!current.isOpen()) {
        fail(error, "cannot use the base folder", errno);
        return std::nullopt;
    }
    for (const auto& part : relative) {
        const std::string name = part.string();
        if (name.empty() || name == "." || name == "/") {
            continue;
        }
        if (name == "..") {
            error.message = "refused: a path that climbs out (" + relative.string() + ")";
            return std::nullopt;
        }
        int fd = ::openat(current.get(), name.c_str(), kFolderFlags);
        if (fd < 0 && errno == ENOENT && create) {
            if (::mkdirat(current.get(), name.c_str(), kFolderMode) != 0 && errno != EEXIST) {
                fail(error, "cannot make " + name, errno);
                return std::nullopt;
            }
            fd = ::openat(current.get(), name.c_str(), kFolderFlags);
            // The umask may have taken bits away from the new folder.
            if (fd >= 0 && ::fchmod(fd, kFolderMode) != 0) {
                fail(error, "cannot set the mode of " + name, errno);
                ::close(fd);
                return std::nullopt;
            }
        }
        if (fd < 0) {
            const int code = errno;
            error.message = code == ELOOP || code == ENOTDIR
                                ? "refused: " + name + " in " + relative.string() +
                                      " is a symbolic link or not a folder"
                                : describe("cannot open " + name, code);
            return std::nullopt;
        }
        current = FileHandle(fd);
    }
    return current;
}

bool replaceFile(int folder, const std::string& name, std::string_view contents, FileError& error) {
    const std::string temporary = temporaryName(name);
    const FileHandle file(::openat(folder, temporary.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                   kFileMode));
    if (!file.isOpen()) {
        return fail(error, "cannot create a file beside " + name, errno);
    }
    // fchmod, not the creation mode: the umask applies to that.
    if (!writeAll(file.get(), contents) || ::fchmod(file.get(), kFileMode) != 0 ||
        ::fsync(file.get()) != 0) {
        const int code = errno;
        ::unlinkat(folder, temporary.c_str(), 0);
        return fail(error, "cannot write " + name, code);
    }
    if (::renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
        const int code = errno;
        ::unlinkat(folder, temporary.c_str(), 0);
        return fail(error, "cannot put " + name + " in place", code);
    }
    if (::fsync(folder) != 0) {
        return fail(error, "cannot sync the folder of " + name, errno);
    }
    return true;
}

bool removeEntry(int folder, const std::string& name, FileError& error) {
    if (::unlinkat(folder, name.c_str(), 0) != 0 && errno != ENOENT) {
        return fail(error, "cannot remove " + name, errno);
    }
    return true;
}

bool removeEmptyFolder(int folder, const std::string& name, FileError& error) {
    if (::unlinkat(folder, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT &&
        errno != ENOTEMPTY && errno != EEXIST) {
        return fail(error, "cannot remove the folder " + name, errno);
    }
    return true;
}

std::optional<std::string> readTrustedFile(const std::filesystem::path& path, int checkedDepth,
                                           FileError& error) {
    // The folders we own are walked without following links; what lies above them (the
    // prefix, /usr) is the system's.
    std::vector<std::string> owned;
    std::filesystem::path above = path;
    for (int i = 0; i < checkedDepth && above.has_relative_path(); ++i) {
        owned.insert(owned.begin(), above.filename().string());
        above = above.parent_path();
    }
    FileHandle folder(::open(above.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.isOpen()) {
        fail(error, "cannot open " + above.string(), errno);
        return std::nullopt;
    }
    std::filesystem::path folders;
    for (size_t i = 0; i + 1 < owned.size(); ++i) {
        folders /= owned[i];
    }
    auto inner = openFolder(folder.get(), folders, false, error);
    if (!inner) {
        return std::nullopt;
    }
    const FileHandle file(
        ::openat(inner->get(), owned.back().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
    if (!file.isOpen()) {
        const int code = errno;
        error.message = code == ELOOP ? "refused: " + path.string() + " is a symbolic link"
                                      : describe("cannot open " + path.string(), code);
        return std::nullopt;
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) {
        fail(error, "cannot read " + path.string(), errno);
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        error.message = "refused: " + path.string() + " is not a regular file";
        return std::nullopt;
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error.message = "refused: " + path.string() + " is writable by others than its owner";
        return std::nullopt;
    }
    std::string contents;
    std::array<char, 4096> buffer{};
    while (true) {
        const ssize_t count = ::read(file.get(), buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            fail(error, "cannot read " + path.string(), errno);
            return std::nullopt;
        }
        if (count == 0) {
            break;
        }
        contents.append(buffer.data(), static_cast<size_t>(count));
    }
    return contents;
}

}  // namespace brimo::driver::installer
