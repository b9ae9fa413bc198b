#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace brimo::driver::installer {

// An open file descriptor, closed when the handle goes.
class FileHandle {
  public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle(FileHandle&& other) noexcept : fd_(other.release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept;

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool isOpen() const { return fd_ >= 0; }
    int release();

  private:
    int fd_ = -1;
};

// What went wrong, in words for the log and the prompt's caller.
struct FileError {
    std::string message;
};

// The folder `relative` below the open folder `base`, walked one name at a time without
// following a symbolic link anywhere. With `create`, missing folders are made with mode 0755
// (whatever the umask); folders that exist keep their mode.
std::optional<FileHandle> openFolder(int base, const std::filesystem::path& relative, bool create,
                                     FileError& error);

// Writes `contents` as `name` in the open folder: a new 0644 file beside it, synced, then
// renamed over the old name (a link or file there is replaced, never followed), and the folder
// synced, so a reader sees the old file or the whole new one.
bool replaceFile(int folder, const std::string& name, std::string_view contents, FileError& error);

// Removes `name` from the open folder if it is there (a file or a link, never followed);
// a missing name is no failure.
bool removeEntry(int folder, const std::string& name, FileError& error);

// Removes the empty folder `name` from the open folder; a missing or non-empty folder stays
// without failure.
bool removeEmptyFolder(int folder, const std::string& name, FileError& error);

// The whole contents of a source file that must be a regular file reached without a link in
// its last `checkedDepth` names (the part of the path we own), writable by nobody but its
// owner.
std::optional<std::string> readTrustedFile(const std::filesystem::path& path, int checkedDepth,
                                           FileError& error);

}  // namespace brimo::driver::installer
