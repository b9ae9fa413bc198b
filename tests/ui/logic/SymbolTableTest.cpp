#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/TemporaryDirectory.h"
#include "ui/resources/SymbolTable.h"

namespace brimo::ui {
namespace {

TEST(SymbolTableTest, MapsNamesToFilesInsideItsFolderOnly) {
    testing::TemporaryDirectory root;
    std::filesystem::create_directories(root.path() / "icons");
    std::ofstream(root.path() / "icons" / "gear.svg") << "<svg/>";
    std::ofstream(root.path() / "secret.svg") << "<svg/>";
    std::ofstream(root.path() / "icons" / "symbols.json")
        << R"({"gear": "gear.svg", "missing": "missing.svg", "escape": "../secret.svg",
              "absolute": "/etc/passwd", "number": 3})";
    const SymbolTable table(root.path());
    EXPECT_EQ(table.iconFor("gear"), root.path() / "icons" / "gear.svg");
    EXPECT_FALSE(table.iconFor("missing"));
    EXPECT_FALSE(table.iconFor("escape"));
    EXPECT_FALSE(table.iconFor("absolute"));
    EXPECT_FALSE(table.iconFor("number"));
    EXPECT_FALSE(table.iconFor("unknown"));
}

TEST(SymbolTableTest, AMissingOrMalformedTableHasNoIcons) {
    testing::TemporaryDirectory root;
    EXPECT_FALSE(SymbolTable(root.path()).iconFor("gear"));
    std::filesystem::create_directories(root.path() / "icons");
    std::ofstream(root.path() / "icons" / "symbols.json") << R"({"gear": "gear.svg")";
    EXPECT_FALSE(SymbolTable(root.path()).iconFor("gear"));
}

TEST(SymbolTableTest, TheApplicationsTableNamesAnIconForEverySymbolTheViewsUse) {
    const SymbolTable table(BRIMO_SOURCE_RESOURCES_DIR);
    for (const char* name :
         {"exclamationmark.triangle.fill", "speaker.wave.2.circle.fill", "arrow.down.circle.fill",
          "gear", "arrow.down.circle", "arrow.clockwise", "speaker.wave.2.fill", "chevron.down",
          "checkmark", "speaker.fill", "speaker.wave.3.fill", "eye.circle.fill", "xmark",
          "minus"}) {
        EXPECT_TRUE(table.iconFor(name)) << name;
    }
}

}  // namespace
}  // namespace brimo::ui
