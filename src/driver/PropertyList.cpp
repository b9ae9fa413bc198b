#include "driver/PropertyList.h"

#include <plist/plist.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace brimo::driver {
namespace {

// Info.plist files are a few kilobytes; anything far larger is not one.
constexpr std::uintmax_t kMaximumFileSize = 4U * 1024U * 1024U;

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistHandle = std::unique_ptr<void, PlistFree>;

PlistHandle parse(const std::vector<char>& bytes) {
    plist_t root = nullptr;
#if BRIMO_PLIST_FROM_MEMORY_REPORTS_FORMAT
    if (plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root, nullptr) !=
        PLIST_ERR_SUCCESS) {
        plist_free(root);
        return nullptr;
    }
#else
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
#endif
    return PlistHandle(root);
}

}  // namespace

std::optional<std::string> readPropertyListString(const std::filesystem::path& file,
                                                  const std::string& key) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (error || size == 0 || size > kMaximumFileSize) {
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    if (bytes.empty()) {
        return std::nullopt;
    }
    const PlistHandle root = parse(bytes);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) {
        return std::nullopt;
    }
    plist_t value = plist_dict_get_item(root.get(), key.c_str());
    if (value == nullptr || plist_get_node_type(value) != PLIST_STRING) {
        return std::nullopt;
    }
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(value, &length);
    if (text == nullptr) {
        return std::nullopt;
    }
    return std::string(text, length);
}

}  // namespace brimo::driver
