// The endpoints as the application's client uses them, on both stores.
#include <gtest/gtest.h>

#include "support/BackendTest.h"

namespace brimo::server::testing {
namespace {

using nlohmann::json;

class EndpointTest : public BackendTest {};

TEST_P(EndpointTest, RegisterAndEachLoginSignInAndTheirTokensOpenUserMe) {
    TestService service(GetParam());
    auto res = service.post("/api/auth/register", {{"email", "Ada.Lovelace+tune@Example.ORG"},
                                                   {"password", "correct horse"}});
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    const json auth = bodyOf(res);
    EXPECT_EQ(auth["isNewUser"], true);
    const std::string token = auth["token"];
    EXPECT_EQ(token.size(), 43U);
    const json& user = auth["user"];
    EXPECT_EQ(user["email"], "ada.lovelace+tune@example.org");  // stored normalised
    EXPECT_EQ(user["emailVerified"], false);
    EXPECT_EQ(user["authProvider"], "email");
    EXPECT_EQ(user["id"].get<std::string>().size(), 36U);

    auto me = service.get("/api/user/me", token);
    ASSERT_TRUE(me);
    ASSERT_EQ(me->status, 200);
    EXPECT_EQ(bodyOf(me)["user"], user);
    EXPECT_EQ(me->get_header_value("Cache-Control"), "no-store");

    // Every login is a session of its own, and is not a new user.
    auto login = service.post("/api/auth/login", {{"email", "ada.lovelace+tune@example.org"},
                                                  {"password", "correct horse"}});
    ASSERT_EQ(login->status, 200);
    EXPECT_EQ(bodyOf(login)["isNewUser"], false);
    const std::string second = bodyOf(login)["token"];
    EXPECT_NE(token, second);
    EXPECT_EQ(service.get("/api/user/me", token)->status, 200);
    EXPECT_EQ(service.get("/api/user/me", second)->status, 200);

    // The schema is created once and found again: a second store on the same database migrates
    // nothing and sees the account, its password hashed.
    auto reopened = openAccountStore(service.database(), 1);
    EXPECT_EQ(reopened->schemaVersion(), 2);
    const auto stored = reopened->findUserByEmail("ada.lovelace+tune@example.org");
    ASSERT_TRUE(stored);
    EXPECT_TRUE(stored->passwordHash.starts_with("$argon2id$"));
}

TEST_P(EndpointTest, AddressesCompareCaseInsensitivelyAndWrongCredentialsAreOne400) {
    TestService service(GetParam());
    service.registerAccount("Grace@Example.com", "compilers!");

    auto exists = service.post("/api/auth/check-email", {{"email", "GRACE@example.COM"}});
    ASSERT_EQ(exists->status, 200);
    EXPECT_EQ(bodyOf(exists), json({{"exists", true}}));
    auto absent = service.post("/api/auth/check-email", {{"email", "nobody@example.com"}});
    EXPECT_EQ(bodyOf(absent), json({{"exists", false}}));

    EXPECT_TRUE(service.login("grace@EXAMPLE.com", "compilers!"));
    auto taken = service.post("/api/auth/register",
                              {{"email", "GRACE@example.com"}, {"password", "another one"}});
    EXPECT_EQ(taken->status, 409);
    EXPECT_EQ(bodyOf(taken)["error"], "An account with this email already exists.");

    // The same text whether or not the address exists.
    for (const auto& [email, password] :
         std::vector<std::pair<std::string, std::string>>{{"grace@example.com", "compilers?"},
                                                          {"nobody@example.com", "compilers!"},
                                                          {"not an address", "compilers!"},
                                                          {"grace@example.com", ""}}) {
        auto res = service.post("/api/auth/login", {{"email", email}, {"password", password}});
        ASSERT_TRUE(res);
        // 401 would tell the client its token is gone; wrong credentials are not that.
        EXPECT_EQ(res->status, 400) << email;
        EXPECT_EQ(bodyOf(res), json({{"error", "Incorrect email or password."}})) << email;
    }
}

TEST_P(EndpointTest, UserMeIs401ForMissingMalformedUnknownAndExpiredTokensOnly) {
    TestService service(GetParam());
    const std::string token = service.registerAccount("barbara@example.com", "liskov-subst");
    const std::string unknown(43, 'A');
    auto c = service.client();
    for (const std::string& header : std::vector<std::string>{
             std::string(), "Bearer", "Bearer ", "Basic " + token, "Bearer " + token + "x",
             "Bearer " + unknown, "Bearer " + token.substr(0, 42) + "!", "Bearer ' OR 1=1 --"}) {
        httplib::Headers headers;
        if (!header.empty()) {
            headers.emplace("Authorization", header);
        }
        auto res = c.Get("/api/user/me", headers);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 401) << header;
        EXPECT_TRUE(bodyOf(res)["error"].is_string()) << header;
    }
    // The scheme is case-insensitive.
    EXPECT_EQ(c.Get("/api/user/me", {{"Authorization", "bearer " + token}})->status, 200);

    service.advanceClock((30.0 * 86400) - 5);
    EXPECT_EQ(service.get("/api/user/me", token)->status, 200);
    service.advanceClock(10);
    EXPECT_EQ(service.get("/api/user/me", token)->status, 401);
    service.store().deleteExpired(static_cast<std::int64_t>(1.8e9 + (31.0 * 86400)));
    EXPECT_EQ(service.get("/api/user/me", token)->status, 401);
}

TEST_P(EndpointTest, RegistrationRefusesShortPasswordsAndInvalidAddresses) {
    TestService service(GetParam());
    auto registering = [&](const std::string& email, const std::string& password) {
        return service.post("/api/auth/register", {{"email", email}, {"password", password}});
    };
    auto shortPassword = registering("x@example.com", "1234567");
    EXPECT_EQ(shortPassword->status, 400);
    EXPECT_EQ(bodyOf(shortPassword)["error"], "Password must be at least 8 characters.");
    // Eight characters of non-ASCII text are eight characters, not their sixteen bytes.
    EXPECT_EQ(registering("y@example.com", "пароль12")->status, 200);
    EXPECT_EQ(registering("z@example.com", "пароль1")->status, 400);
    for (const char* address :
         {"", " x@example.com", "x@example.com ", "x@example.c", "x@@example.com", "ü@example.com",
          "x@example.com\r\nBcc: y@z.org"}) {
        auto res = registering(address, "long enough");
        EXPECT_EQ(res->status, 400) << address;
        EXPECT_EQ(bodyOf(res)["error"], "Please enter a valid email address.") << address;
    }
    const std::string longest = std::string(64, 'a') + "@" + std::string(185, 'b') + ".com";
    EXPECT_EQ(registering(longest, "long enough")->status, 200);
    EXPECT_EQ(registering("a" + longest, "long enough")->status, 400);
}

TEST_P(EndpointTest, ConcurrentRegistrationsOfOneAddressHaveExactlyOneWinner) {
    TestService service(GetParam());
    constexpr int kRacers = 12;
    std::vector<int> statuses(kRacers, 0);
    std::vector<std::thread> racers;
    for (int i = 0; i < kRacers; ++i) {
        racers.emplace_back([&, i] {
            auto res =
                service.post("/api/auth/register",
                             {{"email", i % 2 == 0 ? "race@example.com" : "RACE@example.com"},
                              {"password", "password-" + std::to_string(i)}});
            statuses[i] = res ? res->status : -1;
        });
    }
    for (auto& t : racers) {
        t.join();
    }
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 200), 1);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 409), kRacers - 1);
    const auto winner = std::find(statuses.begin(), statuses.end(), 200) - statuses.begin();
    EXPECT_TRUE(service.login("race@example.com", "password-" + std::to_string(winner)));
}

BRIMO_INSTANTIATE_BACKENDS(EndpointTest);

}  // namespace
}  // namespace brimo::server::testing
