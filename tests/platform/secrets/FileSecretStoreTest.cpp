#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/secrets/FileSecretStore.h"
#include "platform/secrets/UserSecretStore.h"
#include "support/LineCollector.h"
#include "support/TemporaryDirectory.h"

namespace brimo::secrets {
namespace {

namespace fs = std::filesystem;

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 0777U;
}

std::size_t filesIn(const fs::path& folder) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), {}));
}

TEST(FileSecretStoreTest, SecretsAreTheUsersAloneAndReplacedWhole) {
    const testing::TemporaryDirectory home;
    const fs::path folder = home.path() / "data" / "brimolavetrix" / "secrets";
    FileSecretStore store(folder);

    EXPECT_FALSE(store.load("com.brimolavetrix.auth", "jwt_token").has_value());
    EXPECT_TRUE(store.remove("com.brimolavetrix.auth", "jwt_token"));

    ASSERT_TRUE(store.save("com.brimolavetrix.auth", "jwt_token", "first"));
    const std::string second(
        "t\xC3\xB6k\xE2\x82\xAC"
        "n\0\n-\xF0\x9F\x94\x91",
        14);
    ASSERT_TRUE(store.save("com.brimolavetrix.auth", "jwt_token", second));
    EXPECT_EQ(store.load("com.brimolavetrix.auth", "jwt_token"), second);
    EXPECT_EQ(modeOf(folder), 0700U);
    EXPECT_EQ(modeOf(store.pathFor("com.brimolavetrix.auth", "jwt_token")), 0600U);
    EXPECT_EQ(filesIn(folder), 1U);  // no temporary file left behind

    ASSERT_TRUE(store.remove("com.brimolavetrix.auth", "jwt_token"));
    EXPECT_FALSE(store.load("com.brimolavetrix.auth", "jwt_token").has_value());
    EXPECT_EQ(filesIn(folder), 0U);
}

TEST(FileSecretStoreTest, NamesStayInsideTheFolderAndLinksAreNotFollowed) {
    const testing::TemporaryDirectory home;
    const fs::path folder = home.path() / "secrets";
    FileSecretStore store(folder);
    ASSERT_TRUE(store.save("../escape", "/etc/passwd", "x"));
    ASSERT_TRUE(store.save("..", "a@b", "y"));
    for (const auto& entry : fs::directory_iterator(folder)) {
        EXPECT_EQ(entry.path().parent_path(), folder);
    }
    EXPECT_EQ(filesIn(home.path()), 1U);
    EXPECT_EQ(store.load("..", "a@b"), "y");
    EXPECT_FALSE(store.load("../escape", "/etc").has_value());

    // A link planted where the secret lives is neither read through nor written through.
    const fs::path elsewhere = home.path() / "elsewhere";
    std::ofstream(elsewhere) << "planted";
    const fs::path target = store.pathFor("svc", "acct");
    fs::create_symlink(elsewhere, target);
    EXPECT_FALSE(store.load("svc", "acct").has_value());
    ASSERT_TRUE(store.save("svc", "acct", "mine"));
    EXPECT_EQ(testing::readFileText(elsewhere), "planted");
    EXPECT_FALSE(fs::is_symlink(target));
    EXPECT_EQ(store.load("svc", "acct"), "mine");
}

TEST(FileSecretStoreTest, WithoutASessionBusTheUsersStoreIsTheFileInTheDataFolder) {
    const testing::TemporaryDirectory home;
    const testing::ScopedEnvironment noBus("DBUS_SESSION_BUS_ADDRESS", "");
    const testing::ScopedEnvironment runtime("XDG_RUNTIME_DIR", home.path().string());
    const testing::ScopedEnvironment data("XDG_DATA_HOME", (home.path() / "data").string());
    EXPECT_EQ(FileSecretStore::defaultFolder(), home.path() / "data" / "brimolavetrix" / "secrets");

    auto store = openUserSecretStore({{"com.brimolavetrix.auth", "jwt_token"}});
    EXPECT_NE(store->description().find(home.path().string()), std::string::npos);
    ASSERT_TRUE(store->save("com.brimolavetrix.auth", "jwt_token", "secret-token"));
    FileSecretStore files(FileSecretStore::defaultFolder());
    EXPECT_EQ(files.load("com.brimolavetrix.auth", "jwt_token"), "secret-token");
}

}  // namespace
}  // namespace brimo::secrets
