#include <gtest/gtest.h>

#include "account/support/AccountTestSupport.h"

namespace brimo::account {
namespace {

using testing::ScriptedHttpServer;

constexpr const char* kUser =
    R"({"id":"u1","email":"ada@example.org","emailVerified":false,"authProvider":"email"})";
const std::string kSignedIn = std::string(R"({"token":"secret-token-new","user":)") + kUser + "}";
const std::string kMe = std::string(R"({"user":)") + kUser + "}";
constexpr const char* kPassword = "hunter2-long";

class AuthServiceTest : public testing::AccountClientTest {
  protected:
    void restore(AuthService& service) {
        bool done = false;
        service.checkAuthStatus([&] { done = true; });
        ASSERT_TRUE(testing::runMainQueueUntil(queue, [&] { return done; }));
        queue.runUntilIdle();
    }

    void TearDown() override { expectNotPrinted({"secret-token", kPassword}); }
};

TEST_F(AuthServiceTest, ASessionIsRestoredKeptOrEndedByWhatTheServiceSays) {
    tokens->save(APIService::keychainService, APIService::tokenKey, "secret-token-old");
    // Unreachable: signed out for now, no error shown, the token kept for the next start.
    routes.set("/api/user/me", ScriptedHttpServer::json(503, R"({"error":"Down for repairs."})"));
    ScriptedHttpServer server(routes.script());
    auto service = makeAuth(server.baseURL());
    restore(*service);
    EXPECT_FALSE(service->isAuthenticated().value());
    EXPECT_FALSE(service->error().value().has_value());
    EXPECT_FALSE(service->isLoading().value());
    EXPECT_TRUE(tokens->load(APIService::keychainService, APIService::tokenKey).has_value());

    routes.set("/api/user/me", ScriptedHttpServer::json(200, kMe));
    auto restored = makeAuth(server.baseURL());
    ASSERT_TRUE(
        testing::runMainQueueUntil(queue, [&] { return restored->isAuthenticated().value(); }));
    EXPECT_EQ(restored->user().value()->email, "ada@example.org");
    EXPECT_EQ(server.requests().at(0).header("authorization"), "Bearer secret-token-old");

    // Rejected: the token goes and the user is signed out; the next start sends nothing.
    routes.set("/api/user/me", ScriptedHttpServer::json(401, R"({"error":"expired"})"));
    restore(*restored);
    EXPECT_FALSE(restored->isAuthenticated().value());
    EXPECT_FALSE(restored->user().value().has_value());
    EXPECT_FALSE(tokens->load(APIService::keychainService, APIService::tokenKey).has_value());
    const auto sent = server.requests().size();
    auto next = makeAuth(server.baseURL());
    queue.runUntilIdle();
    EXPECT_FALSE(next->isAuthenticated().value());
    EXPECT_TRUE(queue.isEmpty());
    EXPECT_EQ(server.requests().size(), sent);
}

TEST_F(AuthServiceTest, SigningInStoresTheTokenAndFailuresShowTheirText) {
    routes.set("/api/auth/login", ScriptedHttpServer::json(401, R"({"error":"Wrong password."})"));
    routes.set("/api/auth/check-email", ScriptedHttpServer::json(500, "<html>"));
    routes.set("/api/auth/register", ScriptedHttpServer::json(200, kSignedIn));
    ScriptedHttpServer server(routes.script());
    auto service = makeAuth(server.baseURL());
    std::vector<bool> loading;
    auto watch = service->isLoading().subscribe([&](bool value) { loading.push_back(value); });

    EXPECT_FALSE(run([&](auto done) { service->login("ada@example.org", kPassword, done); }));
    EXPECT_EQ(service->error().value(), "Please login again");

    // A failed address check keeps the earlier text until an operation that clears it.
    routes.set("/api/auth/check-email", ScriptedHttpServer::json(200, R"({"exists":true})"));
    EXPECT_TRUE(run([&](auto done) { service->checkEmail("ada@example.org", done); }));
    EXPECT_EQ(service->error().value(), "Please login again");
    routes.set("/api/auth/check-email", ScriptedHttpServer::text(500, "text/html", "<html>"));
    EXPECT_FALSE(run([&](auto done) { service->checkEmail("ada@example.org", done); }));
    EXPECT_EQ(service->error().value(), "HTTP Error: 500");

    EXPECT_TRUE(
        run([&](auto done) { service->registerAccount("ada@example.org", kPassword, done); }));
    EXPECT_TRUE(service->isAuthenticated().value());
    EXPECT_FALSE(service->error().value().has_value());
    EXPECT_EQ(service->currentUser().value()->id, "u1");
    EXPECT_EQ(tokens->load(APIService::keychainService, APIService::tokenKey), "secret-token-new");
    EXPECT_EQ(server.requests().back().body,
              std::string(R"({"email":"ada@example.org","password":")") + kPassword + "\"}");
    EXPECT_EQ(loading,
              (std::vector<bool>{false, true, false, true, false, true, false, true, false}));
}

TEST_F(AuthServiceTest, ForgotPasswordAndLogoutWhileSignedOut) {
    routes.set("/api/auth/forgot-password",
               ScriptedHttpServer::json(200, R"({"message":"Check your inbox."})"));
    ScriptedHttpServer server(routes.script());
    auto service = makeAuth(server.baseURL());
    EXPECT_TRUE(run([&](auto done) { service->forgotPassword("ada@example.org", done); }));
    EXPECT_FALSE(service->error().value().has_value());
    routes.set("/api/auth/forgot-password",
               ScriptedHttpServer::json(429, R"({"error":"Too many attempts. Try again later."})"));
    EXPECT_FALSE(run([&](auto done) { service->forgotPassword("ada@example.org", done); }));
    EXPECT_EQ(service->error().value(), "Too many attempts. Try again later.");

    // Signed out already: harmless, and nothing is sent.
    const auto before = server.requests().size();
    service->logout();
    EXPECT_FALSE(service->isAuthenticated().value());
    queue.runUntilIdle();
    EXPECT_EQ(server.requests().size(), before);
}

TEST_F(AuthServiceTest, LogoutSignsOutAtOnceAndThenAsksTheServiceToEndTheSession) {
    // The service never answers: signing out here waits for nothing.
    routes.set("/api/auth/logout", ScriptedHttpServer::held());
    routes.set("/api/auth/check-email", ScriptedHttpServer::json(200, R"({"exists":true})"));
    ScriptedHttpServer server(routes.script());
    auto service = makeAuth(server.baseURL());
    service->handleAuthResponse(AuthResponse{"secret-token-x", {"u", "e", true, "email"}, false});
    std::vector<bool> signedIn;
    auto watch =
        service->isAuthenticated().subscribe([&](bool value) { signedIn.push_back(value); });
    service->logout();
    EXPECT_EQ(signedIn, (std::vector<bool>{true, false}));  // at once, before any answer
    EXPECT_FALSE(service->user().value().has_value());
    EXPECT_FALSE(tokens->load(APIService::keychainService, APIService::tokenKey).has_value());
    EXPECT_FALSE(service->isLoading().value());
    EXPECT_FALSE(service->error().value().has_value());
    ASSERT_TRUE(testing::runMainQueueUntil(queue, [&] { return !server.requests().empty(); }));
    const auto request = server.requests().at(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/api/auth/logout");
    EXPECT_EQ(request.header("authorization"), "Bearer secret-token-x");
    // Other requests go on meanwhile.
    EXPECT_TRUE(run([&](auto done) { service->checkEmail("ada@example.org", done); }));

    // A 401 to it (the session had ended already) deletes no token stored since.
    routes.set("/api/auth/logout", ScriptedHttpServer::json(401, R"({"error":"expired"})"));
    service->handleAuthResponse(AuthResponse{"secret-token-y", {"u", "e", true, "email"}, false});
    service->logout();
    service->handleAuthResponse(AuthResponse{"secret-token-z", {"u", "e", true, "email"}, false});
    ASSERT_TRUE(testing::runMainQueueUntil(queue, [&] { return server.requests().size() >= 3; }));
    EXPECT_TRUE(run([&](auto done) { service->checkEmail("ada@example.org", done); }));
    queue.runUntilIdle();
    EXPECT_EQ(tokens->load(APIService::keychainService, APIService::tokenKey), "secret-token-z");
    EXPECT_TRUE(service->isAuthenticated().value());
}

}  // namespace
}  // namespace brimo::account
