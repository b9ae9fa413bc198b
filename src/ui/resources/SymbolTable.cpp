#include "ui/resources/SymbolTable.h"

#include <fstream>

namespace brimo::ui {

SymbolTable::SymbolTable(const std::filesystem::path& resourcesRoot) {
    const std::filesystem::path table = resourcesRoot / kTablePath;
    folder_ = table.parent_path();
    std::ifstream in(table);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const auto tab = line.find('\t');
        if (tab == std::string::npos || tab == 0 || tab + 1 == line.size()) {
            continue;
        }
        entries_.emplace(line.substr(0, tab), line.substr(tab + 1));
    }
}

std::optional<std::filesystem::path> SymbolTable::iconFor(const std::string& name) const {
    const auto found = entries_.find(name);
    if (found == entries_.end()) {
        return std::nullopt;
    }
    const std::filesystem::path relative(found->second);
    // The table may only name files inside its own folder.
    if (relative.is_absolute() || relative.lexically_normal().string().starts_with("..")) {
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
