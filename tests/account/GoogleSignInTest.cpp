#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <regex>

#include "account/auth/AuthService.h"
#include "account/support/AccountTestSupport.h"
#include "account/support/TestCertificates.h"
#include "platform/browser/BrowserAuthenticationSession.h"
#include "platform/browser/UrlComponents.h"
#include "support/TemporaryDirectory.h"

namespace brimo::account {
namespace {

using std::chrono::minutes;
using std::chrono::seconds;
using testing::ScriptedHttpServer;

constexpr const char* kClientID = "123-abc.apps.googleusercontent.com";
constexpr const char* kRedirect = "com.googleusercontent.apps.123-abc:/oauth2callback";
// A "+" and a "/" as Google's codes have them: the form must carry them unchanged.
constexpr const char* kCode = "4/code-SECRET+xyz";
constexpr const char* kIDToken = "eyJ.id-token-SECRET.sig";
constexpr const char* kAccessToken = "ya29.access-token-SECRET";
constexpr const char* kSession = "session-token-SECRET";
const std::string kTokens = std::string(R"({"id_token":")") + kIDToken + R"(","access_token":")" +
                            kAccessToken +
                            R"(","refresh_token":"1//refresh-token-SECRET","expires_in":3599})";
const std::string kSignedIn =
    std::string(R"({"token":")") + kSession +
    R"(","user":{"id":"g1","email":"ada@example.org","emailVerified":true,"authProvider":"google"},"isNewUser":true})";

std::string callbackWithCode() {
    return std::string(kRedirect) + "?code=" + browser::percentEncode(kCode) +
           "&scope=email%20openid";
}

// Decoded form fields of a request body.
std::map<std::string, std::string> formFields(const std::string& body) {
    std::map<std::string, std::string> fields;
    const auto parsed = browser::UrlComponents::parse("form:?" + body);
    for (const auto& item : parsed.value().queryItems) {
        fields[item.name] = item.value.value_or("");
    }
    return fields;
}

class GoogleSignInTest : public testing::AccountClientTest {
  protected:
    static void SetUpTestSuite() {
        folder_ = new testing::TemporaryDirectory();  // NOLINT(cppcoreguidelines-owning-memory)
        certificates_ = testing::TestCertificates::makeIn(folder_->path());
    }
    static void TearDownTestSuite() {
        delete folder_;  // NOLINT(cppcoreguidelines-owning-memory)
        folder_ = nullptr;
    }

    void SetUp() override {
        routes.set("/api/token", ScriptedHttpServer::json(200, kTokens));
        routes.set("/api/auth/google", ScriptedHttpServer::json(200, kSignedIn));
        server_ = std::make_unique<ScriptedHttpServer>(
            routes.script(), ScriptedHttpServer::Tls{certificates_.certificate, certificates_.key});
        service = makeService();
    }

    void TearDown() override {
        expectNotPrinted({kCode, browser::percentEncode(kCode), kIDToken, kAccessToken,
                          "refresh-token-SECRET", kSession});
        for (const auto& verifier : verifiers_) {
            expectNotPrinted({verifier});
        }
    }

    std::shared_ptr<AuthService> makeService(pkce::RandomSource random = {}) {
        http::HttpTransportOptions tls;
        tls.caFile = certificates_.authority;
        AuthService::Options options;
        options.mainQueue = &queue;
        options.api = makeAPI(server_->baseURL(), tls);
        options.authSession = browser::BrowserAuthenticationSession::create(
            {&queue,
             [this](const std::string& url) -> std::optional<std::string> {
                 opened.push_back(url);
                 return std::nullopt;
             },
             minutes(10), printed.writer()});
        options.google = GoogleConfiguration{kClientID, "https://accounts.example/o/auth",
                                             server_->baseURL() + "/token", std::nullopt};
        options.tokenTransport = tls;
        options.random = std::move(random);
        options.print = printed.writer();
        return AuthService::create(std::move(options));
    }

    // Starts a sign-in and returns the address the browser was sent to.
    std::string start() {
        service->signInWithGoogle();
        queue.runUntilIdle();
        if (service->codeVerifier()) {
            verifiers_.push_back(*service->codeVerifier());
        }
        return opened.empty() ? std::string() : opened.back();
    }

    // Hands the browser's redirect over and lets the flow run to its end.
    bool answer(const std::string& callback) {
        const bool taken = service->handOverURL(callback);
        EXPECT_TRUE(
            testing::runMainQueueUntil(queue, [&] { return !service->isLoading().value(); }));
        return taken;
    }

    [[nodiscard]] std::size_t requestsTo(const std::string& target) const {
        const auto all = server_->requests();
        return static_cast<std::size_t>(std::count_if(
            all.begin(), all.end(), [&](const auto& request) { return request.target == target; }));
    }

    static testing::TemporaryDirectory* folder_;
    static testing::TestCertificates certificates_;
    std::unique_ptr<ScriptedHttpServer> server_;
    std::shared_ptr<AuthService> service;
    std::vector<std::string> opened;
    std::vector<std::string> verifiers_;
};

testing::TemporaryDirectory* GoogleSignInTest::folder_ = nullptr;
testing::TestCertificates GoogleSignInTest::certificates_;

TEST(PkceTest, VerifiersAndChallengesAreUnpaddedBase64UrlOfTheRightLength) {
    const std::regex alphabet("[A-Za-z0-9_-]{43}");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const auto verifier = AuthService::generateCodeVerifier();
        ASSERT_TRUE(verifier.has_value());
        EXPECT_TRUE(std::regex_match(*verifier, alphabet)) << *verifier;
        EXPECT_TRUE(std::regex_match(AuthService::generateCodeChallenge(*verifier), alphabet));
        seen.insert(*verifier);
    }
    EXPECT_EQ(seen.size(), 200U);

    // RFC 7636, appendix B: its 32 octets give its verifier, and the verifier its challenge.
    const std::array<unsigned char, 32> octets{
        116, 24,  223, 180, 151, 153, 224, 37,  79, 250, 96, 125, 216, 173, 187, 186,
        22,  212, 37,  77,  105, 214, 191, 240, 91, 88,  5,  88,  83,  132, 141, 121};
    const auto verifier = AuthService::generateCodeVerifier([&](std::span<unsigned char> bytes) {
        std::memcpy(bytes.data(), octets.data(), std::min(bytes.size(), octets.size()));
        return bytes.size() == octets.size();
    });
    EXPECT_EQ(verifier, "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk");
    EXPECT_EQ(AuthService::generateCodeChallenge(verifier.value()),
              "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST(PkceTest, TheCodeIsTheFirstValuedCodeItemOfAParsableURL) {
    EXPECT_EQ(AuthService::extractAuthorizationCode(std::string(kRedirect) +
                                                    "?state=x&code=4%2Fab%2Bc&code=second"),
              "4/ab+c");
    EXPECT_EQ(AuthService::extractAuthorizationCode(std::string(kRedirect) + "?code=a+b#code=c"),
              "a+b");
    for (const std::string& url :
         {std::string(kRedirect), std::string(kRedirect) + "?error=x",
          std::string(kRedirect) + "?code", std::string(kRedirect) + "?code=",
          std::string(kRedirect) + "?xcode=1", std::string("no scheme?code=1"),
          std::string(":/x?code=1"), std::string(kRedirect) + "?code=%zz"}) {
        EXPECT_FALSE(AuthService::extractAuthorizationCode(url).has_value()) << url;
    }
}

TEST_F(GoogleSignInTest, TheBrowserGetsTheSevenItemsInOrder) {
    std::vector<bool> loading;
    auto watch = service->isLoading().subscribe([&](bool value) { loading.push_back(value); });
    const std::string url = start();
    ASSERT_EQ(url.rfind("https://accounts.example/o/auth?", 0), 0U) << url;
    EXPECT_NE(url.find("scope=openid%20email%20profile"), std::string::npos);
    const auto parts = browser::UrlComponents::parse(url).value();
    const std::vector<browser::QueryItem> expected{
        {"client_id", kClientID},
        {"redirect_uri", kRedirect},
        {"response_type", "code"},
        {"scope", "openid email profile"},
        {"code_challenge", AuthService::generateCodeChallenge(service->codeVerifier().value())},
        {"code_challenge_method", "S256"},
        {"access_type", "offline"}};
    EXPECT_EQ(parts.queryItems, expected);
    EXPECT_EQ(service->googleRedirectURI(), kRedirect);
    EXPECT_TRUE(service->isWaitingForBrowser().value());
    EXPECT_EQ(loading, (std::vector<bool>{false, true}));

    // One flow at a time: a second press while the browser is open changes nothing.
    const auto verifier = service->codeVerifier();
    service->signInWithGoogle();
    queue.runUntilIdle();
    EXPECT_EQ(opened.size(), 1U);
    EXPECT_EQ(service->codeVerifier(), verifier);
}

TEST_F(GoogleSignInTest, ACallbackIsExchangedAndSignsIn) {
    start();
    EXPECT_TRUE(answer(callbackWithCode()));
    EXPECT_TRUE(service->isAuthenticated().value());
    EXPECT_FALSE(service->error().value().has_value());
    EXPECT_FALSE(service->isWaitingForBrowser().value());
    EXPECT_EQ(service->user().value()->authProvider, "google");
    EXPECT_EQ(tokens->load(APIService::keychainService, APIService::tokenKey), kSession);

    const auto requests = server_->requests();
    ASSERT_EQ(requests.size(), 2U);
    const auto& exchange = requests[0];
    EXPECT_EQ(exchange.target, "/api/token");
    EXPECT_EQ(exchange.method, "POST");
    EXPECT_EQ(exchange.header("content-type"), "application/x-www-form-urlencoded");
    EXPECT_FALSE(exchange.header("authorization").has_value());
    EXPECT_EQ(formFields(exchange.body),
              (std::map<std::string, std::string>{{"client_id", kClientID},
                                                  {"code", kCode},
                                                  {"code_verifier", *service->codeVerifier()},
                                                  {"grant_type", "authorization_code"},
                                                  {"redirect_uri", kRedirect}}));
    EXPECT_EQ(requests[1].target, "/api/auth/google");
    EXPECT_EQ(requests[1].body, std::string(R"({"idToken":")") + kIDToken + "\"}");

    // Every step said what it did, stamped with the time, its secrets by their length only.
    const auto lines = printed.lines();
    const std::regex stamped(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] .*)");
    const auto said = [&](const std::string& text) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos && std::regex_match(line, stamped);
        });
    };
    EXPECT_TRUE(said("🔵 [GOOGLE AUTH] ========== STARTING GOOGLE SIGN-IN =========="));
    EXPECT_TRUE(said("🔵 [GOOGLE AUTH] PKCE verifier generated (length: 43)"));
    EXPECT_TRUE(said("🔵 [GOOGLE AUTH] Received callback URL: " + std::string(kRedirect) +
                     "?code=<redacted 21 chars>&scope=email%20openid"));
    EXPECT_TRUE(said("🔵 [GOOGLE AUTH] Authorization code received (length: 17)"));
    EXPECT_TRUE(said("code_verifier=<redacted 43 chars>"));
    EXPECT_TRUE(said(R"("id_token":"<redacted 23 chars>")"));
    EXPECT_TRUE(said("🔵 [GOOGLE AUTH] Tokens received! ID token length: 23"));
    EXPECT_TRUE(said("🔵 [GOOGLE AUTH] ✅ SUCCESS! User: ada@example.org"));
    EXPECT_TRUE(said("🔵 [GOOGLE AUTH] ========== GOOGLE SIGN-IN COMPLETE =========="));

    // The callback was taken once: a second one is somebody else's.
    EXPECT_FALSE(service->handOverURL(callbackWithCode()));
    queue.runUntilIdle();
    EXPECT_EQ(server_->requests().size(), 2U);
}

TEST_F(GoogleSignInTest, EachFailureEndsWithItsTextAndGoesNoFurther) {
    // Google sends the user back with an error instead of a code.
    start();
    EXPECT_TRUE(answer(std::string(kRedirect) + "?error=access_denied"));
    EXPECT_EQ(service->error().value(), "Failed to get authorization code");
    EXPECT_EQ(server_->requests().size(), 0U);

    // Google refuses the code: its own words, and our service never hears of it.
    const std::string refusal = R"({"error":"invalid_grant","error_description":"Bad Request"})";
    routes.set("/api/token", ScriptedHttpServer::json(400, refusal));
    start();
    EXPECT_TRUE(answer(callbackWithCode()));
    EXPECT_EQ(service->error().value(), refusal);
    EXPECT_EQ(requestsTo("/api/auth/google"), 0U);

    // An answer without an ID token.
    routes.set("/api/token", ScriptedHttpServer::json(200, R"({"access_token":"x"})"));
    start();
    EXPECT_TRUE(answer(callbackWithCode()));
    EXPECT_EQ(service->error().value(), R"(Failed to decode response: Missing key "id_token".)");
    EXPECT_EQ(requestsTo("/api/auth/google"), 0U);

    // Our service refuses the ID token.
    routes.set("/api/token", ScriptedHttpServer::json(200, kTokens));
    routes.set("/api/auth/google", ScriptedHttpServer::json(401, R"({"error":"Bad token."})"));
    start();
    EXPECT_TRUE(answer(callbackWithCode()));
    EXPECT_EQ(service->error().value(), "Please login again");
    EXPECT_EQ(requestsTo("/api/auth/google"), 1U);

    EXPECT_FALSE(service->isAuthenticated().value());
    EXPECT_FALSE(service->isLoading().value());
    EXPECT_FALSE(tokens->load(APIService::keychainService, APIService::tokenKey).has_value());
}

TEST_F(GoogleSignInTest, CancelTimeOutAndStrayLinksLeaveNothingBehind) {
    start();
    // Not ours, or ours with another path: ignored, the browser still awaited.
    EXPECT_FALSE(service->handOverURL("https://evil.example/oauth2callback?code=1"));
    EXPECT_FALSE(service->handOverURL("com.googleusercontent.apps.123-abc:/other?code=1"));
    EXPECT_FALSE(service->handOverURL("com.googleusercontent.apps.999:/oauth2callback?code=1"));
    EXPECT_TRUE(service->isWaitingForBrowser().value());
    service->cancelGoogleSignIn();
    EXPECT_EQ(service->error().value(), "Google sign-in was cancelled.");
    EXPECT_FALSE(service->isLoading().value());
    EXPECT_FALSE(service->isWaitingForBrowser().value());
    // The tab the user abandoned may still redirect later.
    EXPECT_FALSE(service->handOverURL(callbackWithCode()));

    start();
    EXPECT_FALSE(service->error().value().has_value());
    queue.advanceBy(minutes(10) - seconds(1));
    EXPECT_TRUE(service->isWaitingForBrowser().value());
    queue.advanceBy(seconds(1));
    EXPECT_EQ(service->error().value(), "Google sign-in timed out.");
    EXPECT_FALSE(service->isLoading().value());

    // The first session's timer is spent: the next one gets its full ten minutes.
    start();
    queue.advanceBy(minutes(5));
    service->cancelGoogleSignIn();
    start();
    queue.advanceBy(minutes(9));
    EXPECT_TRUE(service->isWaitingForBrowser().value());
    EXPECT_TRUE(answer(callbackWithCode()));
    EXPECT_TRUE(service->isAuthenticated().value());
    EXPECT_EQ(opened.size(), 4U);
}

TEST_F(GoogleSignInTest, AFailedRandomSourceNeverSendsAVerifier) {
    service = makeService([](std::span<unsigned char>) { return false; });
    start();
    EXPECT_TRUE(opened.empty());
    EXPECT_FALSE(service->codeVerifier().has_value());
    EXPECT_EQ(service->error().value(), "Could not start Google sign-in securely: no random data");
    EXPECT_FALSE(service->isLoading().value());
}

}  // namespace
}  // namespace brimo::account
