// Google sign-in: ID tokens from an OAuth provider of our own, its key set fetched over real
// HTTPS, the accounts they open on both stores, and every token that must be refused.
#include <gtest/gtest.h>

#include "google/GoogleSignIn.h"
#include "support/BackendTest.h"
#include "support/OAuthProvider.h"

namespace brimo::server::testing {
namespace {

constexpr const char* kClientId = "1234-brimotest.apps.googleusercontent.com";

ServiceTweaks trusting(const OAuthProvider& provider) {
    ServiceTweaks tweaks;
    tweaks.google = GoogleSettings{kClientId, provider.jwksUrl(), provider.authority()};
    return tweaks;
}

httplib::Result signIn(const TestService& service, const std::string& idToken) {
    return service.post("/api/auth/google", {{"idToken", idToken}});
}

int statusOf(const httplib::Result& res) {
    return res ? res->status : 0;
}

bool accountExists(const TestService& service, const std::string& email) {
    return bodyOf(service.post("/api/auth/check-email", {{"email", email}}))["exists"] == true;
}

// No secret the provider issued appears in what the service wrote.
void expectNoSecretIn(const TestService& service, const OAuthProvider& provider) {
    std::string written = readFileText(service.accessLogPath());
    for (const auto& line : service.errors()) {
        written += line + "\n";
    }
    const auto secrets = provider.issuedSecrets();
    ASSERT_FALSE(secrets.empty());
    for (const auto& secret : secrets) {
        // The signature alone is secret enough to look for; a prefix may be a shared header.
        const std::string tail = secret.substr(secret.rfind('.') + 1);
        EXPECT_EQ(written.find(tail.empty() ? secret : tail), std::string::npos);
    }
}

class GoogleSignInTest : public BackendTest {};

TEST_P(GoogleSignInTest, ANewAddressGetsAnAccountWithoutPasswordUntilAResetSetsOne) {
    OAuthProvider provider(kClientId);
    TestService service(GetParam(), trusting(provider));

    auto first = signIn(service, provider.mint());
    ASSERT_EQ(statusOf(first), 200) << (first ? first->body : "");
    const auto body = bodyOf(first);
    EXPECT_EQ(body["isNewUser"], true);
    EXPECT_EQ(body["user"]["email"], provider.email());
    EXPECT_EQ(body["user"]["authProvider"], "google");
    EXPECT_EQ(body["user"]["emailVerified"], true);
    auto me = service.get("/api/user/me", body["token"].get<std::string>());
    ASSERT_EQ(statusOf(me), 200);
    EXPECT_EQ(bodyOf(me)["user"]["id"], body["user"]["id"]);

    auto again = signIn(service, provider.mint());
    ASSERT_EQ(statusOf(again), 200);
    EXPECT_EQ(bodyOf(again)["isNewUser"], false);
    EXPECT_EQ(bodyOf(again)["user"]["id"], body["user"]["id"]);
    EXPECT_NE(bodyOf(again)["token"], body["token"]);

    // No password matches, the empty one included; the answer says how to get in.
    EXPECT_TRUE(accountExists(service, provider.email()));
    for (const char* password : {"", "12345678"}) {
        auto login =
            service.post("/api/auth/login", {{"email", provider.email()}, {"password", password}});
        EXPECT_EQ(statusOf(login), 400);
        EXPECT_EQ(bodyOf(login)["error"], texts::kGoogleAccount);
    }

    // A reset link proves the mailbox as Google did: it gives the account a password.
    ASSERT_EQ(statusOf(service.post("/api/auth/forgot-password", {{"email", provider.email()}})),
              200);
    const auto mails = waitForMails(service.maildir() / "new", 1);
    ASSERT_EQ(mails.size(), 1U);
    auto c = service.client();
    auto reset = c.Post("/reset-password", httplib::Params{{"token", resetTokenInMail(mails[0])},
                                                           {"password", "a new password"},
                                                           {"confirm", "a new password"}});
    ASSERT_EQ(statusOf(reset), 200);
    EXPECT_TRUE(service.login(provider.email(), "a new password"));
    EXPECT_EQ(statusOf(signIn(service, provider.mint())), 200);
    expectNoSecretIn(service, provider);
}

TEST_P(GoogleSignInTest, AnEmailAccountOfTheSameAddressIsSignedInAndItsAddressVerified) {
    OAuthProvider provider(kClientId);
    TestService service(GetParam(), trusting(provider));
    const std::string session = service.registerAccount("Google.User@Example.org", "password 1");
    const auto registered = bodyOf(service.get("/api/user/me", session))["user"];
    EXPECT_EQ(registered["emailVerified"], false);

    auto res = signIn(service, provider.mint());
    ASSERT_EQ(statusOf(res), 200);
    const auto user = bodyOf(res)["user"];
    EXPECT_EQ(bodyOf(res)["isNewUser"], false);
    EXPECT_EQ(user["id"], registered["id"]);
    EXPECT_EQ(user["authProvider"], "email");
    EXPECT_EQ(user["emailVerified"], true);
    EXPECT_EQ(bodyOf(service.get("/api/user/me", session))["user"]["emailVerified"], true);
    EXPECT_TRUE(service.login(provider.email(), "password 1"));
}

BRIMO_INSTANTIATE_BACKENDS(GoogleSignInTest);

TEST(GoogleTokenTest, OnlyGooglesOwnTokensForThisClientAreTakenWithinTheLeeway) {
    OAuthProvider provider(kClientId);
    TestService service("sqlite", trusting(provider));
    const std::string valid = provider.mint();
    const std::string publishedKeyId = provider.currentKeyId();

    // Claims of one token under the signature of another.
    const std::string other = provider.mint({{"claims", {{"email", "intruder@example.org"}}}});
    const auto part = [](const std::string& token, int index) {
        const auto first = token.find('.');
        const auto second = token.find('.', first + 1);
        return index == 0   ? token.substr(0, first)
               : index == 1 ? token.substr(first + 1, second - first - 1)
                            : token.substr(second + 1);
    };
    const std::string spliced = part(valid, 0) + "." + part(other, 1) + "." + part(valid, 2);

    const std::vector<std::pair<std::string, std::string>> tokens = {
        {"alg none", provider.mint({{"alg", "none"}})},
        {"HS256", provider.mint({{"alg", "HS256"}})},
        {"RS512", provider.mint({{"alg", "RS512"}})},
        {"another key under a published ID",
         provider.mint({{"key", "unpublished"}, {"kid", publishedKeyId}})},
        {"claims spliced under another signature", spliced},
        {"no key ID", provider.mint({{"kid", ""}})},
        {"issuer not Google", provider.mint({{"claims", {{"iss", "https://id.example.org"}}}})},
        {"issuer over plain HTTP",
         provider.mint({{"claims", {{"iss", "http://accounts.google.com"}}}})},
        {"another client's audience",
         provider.mint({{"claims", {{"aud", "99-other.apps.googleusercontent.com"}}}})},
        {"expired past the leeway", provider.mint({{"exp_in", -400}})},
        {"issued in the future past the leeway", provider.mint({{"iat_in", 400}})},
        {"no expiry", provider.mint({{"remove", {"exp"}}})},
        {"unverified address", provider.mint({{"claims", {{"email_verified", false}}}})},
        {"no verification flag", provider.mint({{"remove", {"email_verified"}}})},
        {"no address", provider.mint({{"remove", {"email"}}})},
        {"larger than 8 KiB", provider.mint({{"pad", 8 * 1024}})},
        {"two parts", part(valid, 0) + "." + part(valid, 1)},
        {"four parts", valid + ".e30"},
    };
    for (const auto& [name, token] : tokens) {
        auto res = signIn(service, token);
        EXPECT_EQ(statusOf(res), 401) << name;
        EXPECT_EQ(bodyOf(res)["error"], texts::kGoogleRefused) << name;
    }
    EXPECT_FALSE(accountExists(service, provider.email()));
    EXPECT_FALSE(accountExists(service, "intruder@example.org"));
    // One reason per refusal in the service's log, and no token there or in the access log.
    const auto errors = service.errors();
    EXPECT_EQ(std::count_if(errors.begin(), errors.end(),
                            [](const std::string& line) {
                                return line.starts_with("Google sign-in refused: ");
                            }),
              static_cast<std::ptrdiff_t>(tokens.size()));
    expectNoSecretIn(service, provider);

    EXPECT_EQ(statusOf(signIn(service, valid)), 200);
    for (const auto& shape : std::vector<nlohmann::json>{
             {{"exp_in", -200}},
             {{"iat_in", 200}},
             {{"claims", {{"iss", "accounts.google.com"}}}},
             {{"claims", {{"email_verified", "true"}}}},
         }) {
        EXPECT_EQ(statusOf(signIn(service, provider.mint(shape))), 200) << shape;
    }
}

// The provider's own authorization-code flow, as the application runs it: its ID token signs
// in; a wrong verifier, a reused code or items out of order get nothing.
TEST(GoogleTokenTest, TheProvidersCodeFlowWithPkceIssuesATokenTheServiceTakes) {
    OAuthProvider provider(kClientId);
    TestService service("sqlite", trusting(provider));
    // RFC 7636, appendix B.
    const std::string verifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
    const std::string challenge = "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM";
    const std::string redirect = httplib::detail::encode_query_param(provider.redirectUri());
    const std::string items = "client_id=" + std::string(kClientId) + "&redirect_uri=" + redirect +
                              "&response_type=code&scope=openid%20email%20profile"
                              "&code_challenge=" +
                              challenge + "&code_challenge_method=S256&access_type=offline";
    auto c = provider.client();
    auto code = [&c](const std::string& query) {
        auto res = c->Get("/authorize?" + query);
        if (!res || res->status != 302) {
            return std::string();
        }
        const std::string location = res->get_header_value("Location");
        const auto at = location.find("?code=");
        return at == std::string::npos
                   ? std::string()
                   : httplib::detail::decode_url(
                         location.substr(at + 6, location.find('&', at) - at - 6), true);
    };
    auto exchange = [&c, &provider](const std::string& authorizationCode,
                                    const std::string& codeVerifier) {
        return c->Post("/token", httplib::Params{{"code", authorizationCode},
                                                 {"code_verifier", codeVerifier},
                                                 {"redirect_uri", provider.redirectUri()},
                                                 {"grant_type", "authorization_code"},
                                                 {"client_id", kClientId}});
    };
    EXPECT_TRUE(code("response_type=code&" + items).empty()) << "items out of order";

    const std::string first = code(items);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(statusOf(exchange(first, verifier.substr(1) + "A")), 400);
    const std::string second = code(items);
    auto tokens = exchange(second, verifier);
    ASSERT_EQ(statusOf(tokens), 200);
    EXPECT_EQ(statusOf(exchange(second, verifier)), 400) << "a code is good once";
    const auto idToken = bodyOf(tokens)["id_token"].get<std::string>();
    EXPECT_EQ(statusOf(signIn(service, idToken)), 200);
    expectNoSecretIn(service, provider);
}

TEST(GoogleKeySetTest, AnUnknownKeyIdFetchesTheKeySetAgainAtMostOnceAMinute) {
    OAuthProvider provider(kClientId);
    TestService service("sqlite", trusting(provider));
    ASSERT_EQ(statusOf(signIn(service, provider.mint())), 200);
    EXPECT_EQ(provider.jwksFetches(), 1U);

    const std::string unknown = provider.mint({{"key", "unpublished"}});
    EXPECT_EQ(statusOf(signIn(service, unknown)), 401);
    EXPECT_EQ(provider.jwksFetches(), 1U) << "fetched again within the minute";
    service.advanceClock(61);
    EXPECT_EQ(statusOf(signIn(service, unknown)), 401);
    EXPECT_EQ(provider.jwksFetches(), 2U);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(statusOf(signIn(service, unknown)), 401);
    }
    EXPECT_EQ(provider.jwksFetches(), 2U);
    EXPECT_EQ(service.google().keySetFetches(), 2U);
    EXPECT_EQ(statusOf(signIn(service, provider.mint())), 200);
}

TEST(GoogleKeySetTest, ARotatedKeyIsTakenUpAndARetiredOneRefused) {
    OAuthProvider provider(kClientId);
    TestService service("sqlite", trusting(provider));
    const std::string beforeRotation = provider.mint();
    ASSERT_EQ(statusOf(signIn(service, beforeRotation)), 200);

    // The provider publishes a new key next to the old one and signs with it.
    provider.rotate(true);
    service.advanceClock(61);
    EXPECT_EQ(statusOf(signIn(service, provider.mint())), 200);
    EXPECT_EQ(statusOf(signIn(service, beforeRotation)), 200);
    EXPECT_EQ(provider.jwksFetches(), 2U);

    // Then retires the old one: tokens it signed are no longer taken once the set is fetched.
    provider.rotate(false);
    service.advanceClock(61);
    EXPECT_EQ(statusOf(signIn(service, provider.mint())), 200);
    EXPECT_EQ(provider.jwksFetches(), 3U);
    EXPECT_EQ(statusOf(signIn(service, beforeRotation)), 401);
}

TEST(GoogleKeySetTest, TheKeySetIsKeptAsLongAsItsCacheControlAllows) {
    OAuthProvider provider(kClientId);
    provider.configure({{"jwks_max_age", 120}});
    TestService service("sqlite", trusting(provider));
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(statusOf(signIn(service, provider.mint())), 200);
    }
    EXPECT_EQ(provider.jwksFetches(), 1U);
    service.advanceClock(121);
    provider.configure({{"jwks_max_age", 0}});
    ASSERT_EQ(statusOf(signIn(service, provider.mint())), 200);
    EXPECT_EQ(provider.jwksFetches(), 2U);
    // max-age=0: not kept at all.
    ASSERT_EQ(statusOf(signIn(service, provider.mint())), 200);
    EXPECT_EQ(provider.jwksFetches(), 3U);
}

TEST(GoogleKeySetTest, KeysThatCannotBeFetchedOverTrustedHttpsAnswer503) {
    OAuthProvider provider(kClientId);
    const std::string token = provider.mint();
    // Nothing listens at the default test address; the provider's certificate is not signed
    // by an authority of the system's store.
    ServiceTweaks untrusted = trusting(provider);
    untrusted.google.caFile.clear();
    for (const auto& tweaks : {ServiceTweaks{}, untrusted}) {
        ServiceTweaks adjusted = tweaks;
        adjusted.google.clientId = kClientId;
        TestService service("sqlite", adjusted);
        auto res = signIn(service, token);
        EXPECT_EQ(statusOf(res), 503);
        EXPECT_EQ(bodyOf(res)["error"], texts::kGoogleKeysUnavailable);
        EXPECT_FALSE(accountExists(service, provider.email()));
        // A provider that is down is not asked again for a few seconds.
        EXPECT_EQ(statusOf(signIn(service, token)), 503);
        EXPECT_EQ(service.google().keySetFetches(), 1U);
        service.advanceClock(11);
        EXPECT_EQ(statusOf(signIn(service, token)), 503);
        EXPECT_EQ(service.google().keySetFetches(), 2U);
        ASSERT_FALSE(service.errors().empty());
        EXPECT_TRUE(service.errors().back().starts_with("Google sign-in: "))
            << service.errors().back();
    }
    EXPECT_EQ(provider.jwksFetches(), 0U);
}

TEST(GoogleKeySetTest, WithoutAClientIdTheEndpointIsOff) {
    ServiceTweaks tweaks;
    tweaks.google.clientId.clear();
    TestService service("sqlite", tweaks);
    auto res = signIn(service, "a.b.c");
    EXPECT_EQ(statusOf(res), 501);
    EXPECT_EQ(bodyOf(res)["error"], texts::kGoogleUnavailable);
}

}  // namespace
}  // namespace brimo::server::testing
