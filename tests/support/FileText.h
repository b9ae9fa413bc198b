#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace brimo::testing {

// The whole file, byte for byte; empty when it cannot be read.
inline std::string readFileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFileText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace brimo::testing
