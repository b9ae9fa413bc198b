#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace brimo::ui {

// Which icon file stands for each symbol name the views use ("gear", "arrow.clockwise", ...),
// read from the table in the resources: one "name<TAB>relative path" line each, '#' starting
// a comment. Unknown names, and files the table names but that do not exist, have no icon.
class SymbolTable {
  public:
    static constexpr const char* kTablePath = "icons/symbols.tsv";

    SymbolTable() = default;
    explicit SymbolTable(const std::filesystem::path& resourcesRoot);

    [[nodiscard]] std::optional<std::filesystem::path> iconFor(const std::string& name) const;

  private:
    std::filesystem::path folder_;
    std::map<std::string, std::string> entries_;
};

}  // namespace brimo::ui
