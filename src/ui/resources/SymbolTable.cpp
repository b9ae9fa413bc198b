#include "ui/resources/SymbolTable.h"

#include <fstream>
#include <nlohmann/json.hpp>

namespace brimo::ui {

SymbolTable::SymbolTable(const std::filesystem::path& resourcesRoot) {
    const std::filesystem::path table = resourcesRoot / kTablePath;
    folder_ = table.parent_path();
    std::ifstream in(table);
    const auto json = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
    if (!json.is_object()) {
        return;
    }
    for (const auto& [name, file] : json.items()) {
        if (file.is_string()) {
            entries_.emplace(name, file.get<std::string>());
        }
    }
}

std::optional<std::filesystem::path> SymbolTable::iconFor(const std::string& name) const {
    const auto found = entries_.find(name);
    if (found == entries_.end()) {
        return std::nullopt;
    }
    const std::filesystem::path relative = std::filesystem::path(found->second).lexically_normal();
    // The table may only name files inside its own folder.
    if (relative.empty() || relative.is_absolute() || *relative.begin() == "..") {
        return std::nullopt;
    }
    std::error_code error;
    const auto path = folder_ / relative;
    if (!std::filesystem::is_regular_file(path, error)) {
        return std::nullopt;
    }
    return path;
}

}  // namespace brimo::ui
