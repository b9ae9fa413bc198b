#include <gtest/gtest.h>

#include "platform/secrets/FileSecretStore.h"
#include "platform/secrets/SecretServiceStore.h"
#include "platform/secrets/UserSecretStore.h"

// Runs inside with-private-keyring: a session bus and an unlocked gnome-keyring of its own.
namespace brimo::secrets {
namespace {

constexpr const char* kService = "com.brimolavetrix.auth";
constexpr const char* kAccount = "jwt_token";

std::unique_ptr<SecretServiceStore> connectOrFail() {
    std::string whyNot;
    auto store = SecretServiceStore::connect(&whyNot);
    EXPECT_TRUE(store) << whyNot;
    return store;
}

// The second token is any text at all, a NUL and non-ASCII among it, and comes back unchanged.
TEST(SecretServiceStoreTest, SavingTwiceKeepsOneItemWithTheSecondToken) {
    auto store = connectOrFail();
    ASSERT_TRUE(store);
    const std::string second(
        "t\xC3\xB6k\xE2\x82\xAC"
        "n-\xE6\x97\xA5\xE6\x9C\xAC\0-\xF0\x9F\x94\x91",
        20);
    ASSERT_TRUE(store->save(kService, kAccount, "first-token"));
    ASSERT_TRUE(store->save(kService, kAccount, second));
    EXPECT_EQ(store->countItems(kService, kAccount), 1);
    EXPECT_EQ(store->load(kService, kAccount), second);
    // Nothing of it lands in the file store.
    EXPECT_FALSE(FileSecretStore(FileSecretStore::defaultFolder()).load(kService, kAccount));
    // Another account of the same service is another item.
    ASSERT_TRUE(store->save(kService, "other", "x"));
    EXPECT_EQ(store->load(kService, kAccount), second);

    ASSERT_TRUE(store->remove(kService, kAccount));
    EXPECT_FALSE(store->load(kService, kAccount).has_value());
    EXPECT_TRUE(store->remove(kService, kAccount));
    EXPECT_EQ(store->countItems(kService, kAccount), 0);
    EXPECT_EQ(store->load(kService, "other"), "x");
    store->remove(kService, "other");
}

TEST(SecretServiceStoreTest, TheUsersStoreIsTheServiceAndTakesOverTheFileStoresToken) {
    FileSecretStore files(FileSecretStore::defaultFolder());
    ASSERT_TRUE(files.save(kService, kAccount, "token-from-a-session-without-keyring"));

    auto store = openUserSecretStore({{kService, kAccount}});
    EXPECT_EQ(store->description(), "Secret Service");
    EXPECT_EQ(store->load(kService, kAccount), "token-from-a-session-without-keyring");
    EXPECT_FALSE(files.load(kService, kAccount).has_value());
    store->remove(kService, kAccount);
}

}  // namespace
}  // namespace brimo::secrets
