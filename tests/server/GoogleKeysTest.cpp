// The pieces under Google sign-in: the key set's lifetime, Base64url, the HTTPS fetch of the
// key set and which of its keys can verify a token.
#include <gtest/gtest.h>

#include "google/Base64Url.h"
#include "google/CacheLifetime.h"
#include "google/HttpsDocumentFetcher.h"
#include "google/JsonWebKeySet.h"
#include "support/OAuthProvider.h"

namespace brimo::server::testing {
namespace {

TEST(GoogleKeysTest, CacheControlGivesTheLifetime) {
    const std::vector<std::pair<std::string, std::int64_t>> cases = {
        {"public, max-age=19845, must-revalidate, no-transform", 19845},
        {"MAX-AGE=60", 60},
        {"max-age=\"30\"", 30},
        {" private ,max-age=5 ", 5},
        {"max-age=3600, no-cache", 0},
        {"no-store, max-age=3600", 0},
        {"max-age=-5", 0},
        {"max-age=12abc", 0},
        {"max-age=", 0},
        {"public", 0},
        {"", 0},
    };
    for (const auto& [header, seconds] : cases) {
        EXPECT_EQ(cacheLifetimeSeconds(header), seconds) << header;
    }
}

TEST(GoogleKeysTest, Base64UrlTakesTheUnpaddedUrlAlphabetOnly) {
    EXPECT_EQ(decodeBase64Url("-_8"), std::string("\xfb\xff", 2));
    EXPECT_EQ(decodeBase64Url(""), std::string());
    for (const char* refused : {"+/8", "-_8=", "YQ==", "Y", "a b", "YWJj."}) {
        EXPECT_FALSE(decodeBase64Url(refused)) << refused;
    }
}

TEST(GoogleKeysTest, TheKeySetIsFetchedOverVerifiedHttpsAndOnlyItsUsableKeysKept) {
    OAuthProvider provider("1-a.apps.googleusercontent.com");
    const HttpsDocumentFetcher fetcher(provider.authority());
    const auto document = fetcher.fetch(provider.jwksUrl());
    EXPECT_EQ(cacheLifetimeSeconds(document.cacheControl), 3600) << document.cacheControl;
    const auto keys = JsonWebKeySet::parse(document.body);
    ASSERT_TRUE(keys);
    EXPECT_EQ(keys->size(), 1U);
    EXPECT_TRUE(keys->find(provider.currentKeyId()));

    std::string plain = provider.jwksUrl();
    plain.replace(0, 5, "http");
    EXPECT_THROW((void)fetcher.fetch(plain), FetchFailed);
    EXPECT_THROW((void)HttpsDocumentFetcher().fetch(provider.jwksUrl()), FetchFailed);
    EXPECT_THROW((void)HttpsDocumentFetcher(provider.authority(), 100).fetch(provider.jwksUrl()),
                 FetchFailed);
    EXPECT_THROW((void)fetcher.fetch(provider.jwksUrl() + "/missing"), FetchFailed);

    // Only RSA signing keys of at least 2048 bits are kept.
    const auto published = nlohmann::json::parse(document.body)["keys"][0];
    auto variant = [&published](const std::string& kid, const nlohmann::json& changes) {
        nlohmann::json key = published;
        key.merge_patch(changes);
        key["kid"] = kid;
        return key;
    };
    const std::string n = published["n"];
    nlohmann::json set = {
        {"keys",
         {published, variant("ec", {{"kty", "EC"}}), variant("encryption", {{"use", "enc"}}),
          variant("rs384", {{"alg", "RS384"}}),
          variant("short", {{"n", n.substr(0, 86)}}),  // 512 bits
          variant("padded", {{"n", n + "="}}), variant("no-exponent", {{"e", nullptr}}),
          variant("", {}), "not an object"}}};
    const auto usable = JsonWebKeySet::parse(set.dump());
    ASSERT_TRUE(usable);
    EXPECT_EQ(usable->size(), 1U);
    EXPECT_TRUE(usable->find(published["kid"]));
    EXPECT_FALSE(usable->find("short"));

    for (const char* notASet : {"[]", "{\"keys\": {}}", "{", "<html>"}) {
        EXPECT_FALSE(JsonWebKeySet::parse(notASet)) << notASet;
    }
}

}  // namespace
}  // namespace brimo::server::testing
