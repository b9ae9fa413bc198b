#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace brimo::audio {

// Appends whole lines to a log file that is kept under a size bound. When a line would take
// the file past the bound, the file is renamed to the same name with ".1" (replacing an older
// one) and a fresh file is started; a file that cannot be renamed is emptied instead. Never
// fails: a line that cannot reach a file is dropped quietly.
//
// Other processes may append to the same file (two instances of the application): each
// append holds an advisory lock on the file, and a writer that finds the file renamed under
// it writes to the new one, so no line lands in a file that has just been retired. A symbolic
// link at the path is written through but never renamed or emptied, nor is its target: it
// is the user's own redirection, not a file we own.
//
// The caller serialises appends within its process.
void appendLineWithinBound(const std::filesystem::path& path, std::string_view line,
                           std::uintmax_t maxBytes);

// "<path>.1": where the previous file goes.
std::filesystem::path previousLogPath(const std::filesystem::path& path);

}  // namespace brimo::audio
