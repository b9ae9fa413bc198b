#include <gtest/gtest.h>

#include <thread>
#include <tuple>
#include <vector>

#include "account/api/APIService.h"
#include "account/api/ServiceAddress.h"
#include "account/support/AccountTestSupport.h"
#include "account/support/TestCertificates.h"
#include "support/LoopbackSocket.h"
#include "support/TemporaryDirectory.h"

namespace brimo::account {
namespace {

using testing::call;
using testing::ScriptedHttpServer;

constexpr const char* kUser =
    R"({"id":"u1","email":"ada@example.org","emailVerified":true,"authProvider":"email"})";
constexpr const char* kToken = "secret-token-\xC3\xA9";

std::string baseURLOf(const testing::LoopbackSocket& peer) {
    return "http://127.0.0.1:" + std::to_string(peer.port()) + "/api";
}

class APIServiceTest : public testing::AccountClientTest {
  protected:
    void TearDown() override { expectNotPrinted({"secret-token"}); }
};

TEST_F(APIServiceTest, SendsJsonHeadersAndTheTokenOnlyWhenOneIsStoredAndFitsTheHeader) {
    routes.set("/api/user/me", ScriptedHttpServer::json(
                                   200, std::string(R"({"user":)") + kUser + R"(,"extra":[1,2]})"));
    routes.set("/api/auth/login", ScriptedHttpServer::json(200, std::string(R"({"token":"t",)") +
                                                                    R"("user":)" + kUser + "}"));
    ScriptedHttpServer server(routes.script());
    auto api = makeAPI(server.baseURL());

    auto me = call<UserProfileResponse>(queue, *api, "/user/me", "GET");
    ASSERT_TRUE(me && me->isSuccess());
    EXPECT_EQ(me->value().user, (UserProfile{"u1", "ada@example.org", true, "email"}));

    api->saveToken(kToken);
    auto login = call<AuthResponse>(queue, *api, "/auth/login", "POST",
                                    LoginRequest{"ada@example.org", "pa\"ss wörd"});
    ASSERT_TRUE(login && login->isSuccess());
    EXPECT_FALSE(login->value().isNewUser.has_value());
    api->saveToken("abc\r\nX-Injected: 1");
    call<UserProfileResponse>(queue, *api, "/user/me", "GET");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3U);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "/api/user/me");
    EXPECT_EQ(requests[0].header("content-type"), "application/json");
    EXPECT_FALSE(requests[0].header("authorization").has_value());
    EXPECT_TRUE(requests[0].body.empty());

    EXPECT_EQ(requests[1].method, "POST");
    EXPECT_EQ(requests[1].header("content-type"), "application/json");
    EXPECT_EQ(requests[1].header("authorization"), std::string("Bearer ") + kToken);
    EXPECT_EQ(requests[1].body, R"({"email":"ada@example.org","password":"pa\"ss wörd"})");
    EXPECT_FALSE(requests[2].header("authorization").has_value());
    EXPECT_FALSE(requests[2].header("x-injected").has_value());
}

TEST_F(APIServiceTest, EveryAnswerMapsToItsRecordOrItsFailure) {
    const std::vector<std::tuple<std::string, ScriptedHttpServer::Reply, std::string>> answers = {
        {"/422", ScriptedHttpServer::json(422, R"({"error":"That address looks wrong."})"),
         "That address looks wrong."},
        {"/500", ScriptedHttpServer::text(500, "text/html", "<html>oops</html>"),
         "HTTP Error: 500"},
        {"/404", ScriptedHttpServer::text(404, "text/plain", ""), "HTTP Error: 404"},
        {"/400", ScriptedHttpServer::json(400, R"({"error":42})"), "HTTP Error: 400"},
        {"/302", {302, "", R"({"exists":true})", {{"Location", "/elsewhere"}}}, "exists=1"},
        {"/html", ScriptedHttpServer::text(200, "text/html", "<html></html>"),
         "Failed to decode response: The answer is not valid JSON (at byte 1)."},
        {"/array", ScriptedHttpServer::json(200, "[1]"),
         "Failed to decode response: Expected an object at the top level, found an array."},
    };
    for (const auto& [path, reply, expected] : answers) {
        routes.set("/api" + path, reply);
    }
    routes.set("/api/no-force",
               ScriptedHttpServer::json(
                   200, R"({"version":"2.0","releaseNotes":"n","downloadUrl":"https://x.org/"})"));
    routes.set("/api/nested",
               ScriptedHttpServer::json(200, R"({"token":"t","user":{"id":"u","email":"e",)"
                                             R"("emailVerified":"yes","authProvider":"p"}})"));
    routes.set("/api/null-new-user",
               ScriptedHttpServer::json(200, std::string(R"({"token":"t","isNewUser":null,)") +
                                                 R"("user":)" + kUser + "}"));
    ScriptedHttpServer server(routes.script());
    auto api = makeAPI(server.baseURL());

    auto text = [&](const std::string& path) {
        auto result = call<CheckEmailResponse>(queue, *api, path, "GET");
        return result->isSuccess() ? std::string("exists=") + (result->value().exists ? "1" : "0")
                                   : result->error().localizedDescription();
    };
    for (const auto& [path, reply, expected] : answers) {
        EXPECT_EQ(text(path), expected) << path;
    }
    EXPECT_EQ(text("/with space"), "Invalid URL");

    auto version = call<VersionResponse>(queue, *api, "/no-force", "GET");
    ASSERT_FALSE(version->isSuccess());
    ASSERT_NE(version->error().apiError(), nullptr);
    EXPECT_EQ(version->error().apiError()->code(), APIError::Code::decodingError);
    EXPECT_EQ(version->error().localizedDescription(),
              "Failed to decode response: Missing key \"forceUpdate\".");

    auto nested = call<AuthResponse>(queue, *api, "/nested", "GET");
    EXPECT_EQ(nested->error().localizedDescription(),
              "Failed to decode response: Key \"user.emailVerified\" is not a boolean (found a "
              "string).");
    auto newUser = call<AuthResponse>(queue, *api, "/null-new-user", "GET");
    ASSERT_TRUE(newUser->isSuccess());
    EXPECT_FALSE(newUser->value().isNewUser.has_value());

    // Decoding failures are also written to the console.
    const auto lines = printed.lines();
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [](const std::string& line) { return line.starts_with("Decode error: "); }),
        4);
    // The address that does not parse was never sent.
    for (const auto& request : server.requests()) {
        EXPECT_EQ(request.target.find("with"), std::string::npos);
    }

    // A peer that does not speak HTTP at all.
    const auto ssh = testing::LoopbackSocket::bound(true);
    const std::jthread peer(
        [&] { ssh.accept(std::chrono::seconds(30)).send("SSH-2.0-OpenSSH_9.2\r\n\r\n"); });
    auto notHttp = makeAPI(baseURLOf(ssh));
    EXPECT_EQ(
        call<CheckEmailResponse>(queue, *notHttp, "/x", "GET")->error().localizedDescription(),
        "Invalid response from server");
}

TEST_F(APIServiceTest, A401RemovesTheTokenBeforeTheFailureArrives) {
    routes.set("/api/auth/login",
               ScriptedHttpServer::json(401, R"({"error":"Incorrect email or password."})"));
    ScriptedHttpServer server(routes.script());
    auto api = makeAPI(server.baseURL());
    api->saveToken(kToken);

    std::optional<std::string> text;
    std::optional<std::string> tokenWhenFailed = "unset";
    api->request<AuthResponse>("/auth/login", "POST", LoginRequest{"a@b.c", "password1"},
                               [&](const Result<AuthResponse>& result) {
                                   tokenWhenFailed = api->loadToken();
                                   text = result.error().localizedDescription();
                               });
    ASSERT_TRUE(testing::runMainQueueUntil(queue, [&] { return text.has_value(); }));
    EXPECT_EQ(*text, "Please login again");
    EXPECT_EQ(tokenWhenFailed, std::nullopt);
    EXPECT_EQ(api->loadToken(), std::nullopt);
}

TEST_F(APIServiceTest, TransportFailuresArriveWithTheirOwnText) {
    const auto closed = testing::LoopbackSocket::bound();  // never listening
    auto refused = makeAPI(baseURLOf(closed));
    auto result = call<UserProfileResponse>(queue, *refused, "/user/me", "GET");
    ASSERT_NE(result->error().transportError(), nullptr);
    EXPECT_EQ(result->error().localizedDescription(), "Could not connect to the server.");

    routes.set("/api/held", ScriptedHttpServer::held());
    routes.set("/api/big", ScriptedHttpServer::json(200, std::string(4096, ' ') + "{}"));
    ScriptedHttpServer server(routes.script());
    http::HttpTransportOptions quick;
    quick.requestTimeout = std::chrono::milliseconds(1000);
    quick.resourceTimeout = std::chrono::milliseconds(1500);
    quick.maximumResponseBytes = 1024;
    auto api = makeAPI(server.baseURL(), quick);
    EXPECT_EQ(call<MessageResponse>(queue, *api, "/held", "GET")->error().localizedDescription(),
              "The request timed out.");
    EXPECT_EQ(call<MessageResponse>(queue, *api, "/big", "GET")->error().localizedDescription(),
              "The server's answer is too large.");

    // Plain HTTP leaves the machine only as HTTPS.
    auto remote = makeAPI("http://192.0.2.1/api");
    auto insecure = call<MessageResponse>(queue, *remote, "/app/version", "GET");
    ASSERT_NE(insecure->error().transportError(), nullptr);
    EXPECT_EQ(insecure->error().transportError()->kind,
              TransportError::Kind::secureConnectionRequired);
}

TEST_F(APIServiceTest, CancellingOrDroppingTheClientEndsHeldRequests) {
    routes.set("/api/held", ScriptedHttpServer::held());
    ScriptedHttpServer server(routes.script());
    auto api = makeAPI(server.baseURL());

    std::optional<std::string> text;
    const auto id = api->request<MessageResponse>(
        "/held", "GET",
        [&](const Result<MessageResponse>& r) { text = r.error().localizedDescription(); });
    ASSERT_TRUE(testing::runMainQueueUntil(queue, [&] { return server.requests().size() == 1; }));
    api->cancel(id);
    ASSERT_TRUE(testing::runMainQueueUntil(queue, [&] { return text.has_value(); }));
    EXPECT_EQ(*text, "cancelled");

    bool called = false;
    api->request<MessageResponse>("/held", "GET",
                                  [&](const Result<MessageResponse>&) { called = true; });
    ASSERT_TRUE(testing::runMainQueueUntil(queue, [&] { return server.requests().size() == 2; }));
    api.reset();
    queue.runUntilIdle();
    EXPECT_FALSE(called);
}

TEST_F(APIServiceTest, HttpsTrustsOnlyTheGivenAuthority) {
    const testing::TemporaryDirectory folder;
    const auto certificates = testing::TestCertificates::makeIn(folder.path());
    routes.set("/api/auth/check-email", ScriptedHttpServer::json(200, R"({"exists":false})"));
    ScriptedHttpServer server(routes.script(),
                              ScriptedHttpServer::Tls{certificates.certificate, certificates.key});

    http::HttpTransportOptions trusted;
    trusted.caFile = certificates.authority;
    auto api = makeAPI(server.baseURL(), trusted);
    auto answer = call<CheckEmailResponse>(queue, *api, "/auth/check-email", "POST",
                                           CheckEmailRequest{"a@b.c"});
    ASSERT_TRUE(answer->isSuccess()) << answer->error().fullDescription();
    EXPECT_FALSE(answer->value().exists);

    http::HttpTransportOptions untrusted;
    untrusted.caFile = certificates.otherAuthority;
    auto wary = makeAPI(server.baseURL(), untrusted);
    auto refused = call<CheckEmailResponse>(queue, *wary, "/auth/check-email", "POST",
                                            CheckEmailRequest{"a@b.c"});
    ASSERT_NE(refused->error().transportError(), nullptr);
    EXPECT_EQ(refused->error().transportError()->kind,
              TransportError::Kind::secureConnectionFailed);
    EXPECT_EQ(server.requests().size(), 1U);
}

TEST(ServiceAddressTest, PlainHttpOnlyToLoopback) {
    auto allowed = [](const std::string& url) {
        return std::holds_alternative<ServiceAddress>(checkServiceAddress(url));
    };
    EXPECT_TRUE(allowed("https://accounts.example.org/api/auth/login"));
    EXPECT_TRUE(allowed("http://127.0.0.1:8432/api/user/me"));
    EXPECT_TRUE(allowed("http://127.9.8.7/api"));
    EXPECT_TRUE(allowed("http://[::1]:8432/api"));
    EXPECT_TRUE(allowed("http://localhost:8432/api"));
    EXPECT_FALSE(allowed("http://10.0.0.1/api"));
    EXPECT_FALSE(allowed("http://128.0.0.1/api"));
    EXPECT_FALSE(allowed("http://127.0.0.1.example.org/api"));
    EXPECT_FALSE(allowed("ftp://127.0.0.1/api"));
    EXPECT_FALSE(allowed("127.0.0.1/api"));
    EXPECT_FALSE(allowed(std::string("https://a.org/\0x", 16)));

    EXPECT_TRUE(isWebAddress("https://example.org/download"));
    EXPECT_FALSE(isWebAddress("not a url"));
    EXPECT_FALSE(isWebAddress("javascript:alert(1)"));
    EXPECT_FALSE(isWebAddress("file:///etc/passwd"));
}

}  // namespace
}  // namespace brimo::account
