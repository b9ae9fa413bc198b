#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace brimo::ui {

// Which icon file stands for each symbol name the views use ("gear", "arrow.clockwise", ...),
// read from the resources' table: a JSON object of name → file in the table's folder.
// Unknown names, an unreadable table, and files that are missing or outside that folder give
// no icon.
class SymbolTable {
  public:
    static constexpr const char* kTablePath = "icons/symbols.json";

    SymbolTable() = default;
    explicit SymbolTable(const std::filesystem::path& resourcesRoot);

    [[nodiscard]] std::optional<std::filesystem::path> iconFor(const std::string& name) const;

  private:
    std::filesystem::path folder_;
    std::map<std::string, std::string> entries_;
};

}  // namespace brimo::ui
