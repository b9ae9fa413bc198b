// Hostile and broken requests: each gets a clear answer, none crashes the service or touches
// the accounts it holds.
#include <gtest/gtest.h>

#include <random>

#include "support/BackendTest.h"
#include "support/LoopbackSocket.h"

namespace brimo::server::testing {
namespace {

using nlohmann::json;

class BadInputTest : public BackendTest {};

const std::vector<std::string> kJsonEndpoints = {"/api/auth/check-email", "/api/auth/login",
                                                 "/api/auth/register", "/api/auth/forgot-password"};

// A 4xx answer with an ErrorResponse body, or a success; never a 5xx or no answer.
::testing::AssertionResult answeredCleanly(const httplib::Result& res) {
    if (!res) {
        return ::testing::AssertionFailure() << "no answer: " << httplib::to_string(res.error());
    }
    if (res->status >= 500) {
        return ::testing::AssertionFailure() << "status " << res->status << ": " << res->body;
    }
    if (res->status >= 400) {
        const json body = json::parse(res->body, nullptr, false);
        if (!body.is_object() || !body.contains("error") || !body["error"].is_string() ||
            body["error"].get<std::string>().empty()) {
            return ::testing::AssertionFailure()
                   << "status " << res->status << " without an ErrorResponse: " << res->body;
        }
    }
    return ::testing::AssertionSuccess();
}

TEST_P(BadInputTest, MalformedOversizedAndMisdirectedRequestsGetNamedErrors) {
    TestService service(GetParam());
    struct Case {
        std::string body;
        std::string contentType;
        int status;
        std::string error;
    };
    const std::vector<Case> cases = {
        {R"({"email":"a@b.com","password":"12345678"})", "text/plain", 415,
         "Requests must be sent as application/json."},
        {"{\"email\":", "application/json", 400, "The request body is not valid JSON."},
        {"", "application/json", 400, "The request body is not valid JSON."},
        {"[\"a@b.com\"]", "application/json", 400, "The request body must be a JSON object."},
        {R"({"password":"12345678"})", "application/json", 400,
         "The request is missing \"email\"."},
        {R"({"email":null,"password":"12345678"})", "application/json", 400,
         "The request is missing \"email\"."},
        {R"({"email":42,"password":"12345678"})", "application/json", 400,
         "\"email\" must be a string."},
        {R"({"email":"a@b.com","password":["1234","5678"]})", "application/json; charset=utf-8",
         400, "\"password\" must be a string."},
        {"{\"email\":\"a@b.com\",\"password\":\"\xff\xfe\xfd\xfc\xfb\xfa\xf9\xf8\"}",
         "application/json", 400, "The request body is not valid JSON."},
        {R"({"email":"a@b.com","password":")" + std::string(5000, 'p') + "\"}", "application/json",
         400, "\"password\" is too long."},
        {R"({"email":")" + std::string(200 * 1024, 'a') + "\"}", "application/json", 413, ""},
    };
    for (const auto& c : cases) {
        auto res = service.postRaw("/api/auth/register", c.body, c.contentType);
        ASSERT_TRUE(answeredCleanly(res)) << c.body.substr(0, 100);
        EXPECT_EQ(res->status, c.status) << c.body.substr(0, 100);
        if (!c.error.empty()) {
            EXPECT_EQ(bodyOf(res)["error"], c.error) << c.body;
        }
    }
    // Unknown keys are ignored.
    auto extra =
        service.post("/api/auth/register",
                     {{"email", "extra@example.com"}, {"password", "12345678"}, {"admin", true}});
    EXPECT_EQ(extra->status, 200);

    auto c = service.client();
    auto wrongMethod = c.Get("/api/auth/login");
    EXPECT_TRUE(answeredCleanly(wrongMethod));
    EXPECT_EQ(wrongMethod->status, 404);
    EXPECT_TRUE(answeredCleanly(c.Delete("/api/user/me")));
    EXPECT_TRUE(answeredCleanly(c.Get("/api/../../etc/passwd")));
    EXPECT_TRUE(answeredCleanly(c.Get("/%ff%fe")));
    // Not a token at all: refused before any key is fetched.
    auto google = service.post("/api/auth/google", {{"idToken", "eyJ..."}});
    EXPECT_EQ(google->status, 401);
    EXPECT_EQ(bodyOf(google)["error"], "Google sign-in failed. Please try again.");
    EXPECT_EQ(service.post("/api/auth/google", {{"token", "eyJ..."}})->status, 400);
    EXPECT_EQ(service.google().keySetFetches(), 0U);
}

TEST_P(BadInputTest, BrokenHttpIsRefusedAndServingGoesOn) {
    TestService service(GetParam());
    // Raw bytes, and what came back until the server closed (it must close).
    auto exchange = [&service](const std::string& request, bool endWriting) {
        const auto socket = brimo::testing::LoopbackSocket::connectedTo(service.port());
        socket.send(request, endWriting);
        return socket.receive().value_or("(still open)");
    };
    const std::vector<std::pair<std::string, std::string>> answered = {
        {"POST /api/auth/login HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
         "Content-Length: 2\r\n\r\n{}",
         "HTTP/1.1 415"},
        {"GET /" + std::string(20000, 'a') + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
         "HTTP/1.1 414"},
    };
    for (const auto& [request, status] : answered) {
        const std::string answer = exchange(request, false);
        EXPECT_TRUE(answer.starts_with(status)) << answer.substr(0, 200);
        EXPECT_NE(answer.find("{\"error\":"), std::string::npos) << answer.substr(0, 400);
    }
    // What is not HTTP at all has its connection closed, or an error answer.
    for (const std::string& noise :
         {std::string("GARBAGE\r\n\r\n"), std::string(10000, '\0'),
          std::string("POST /api/auth/login HTTP/1.1\r\nHost: x\r\n"
                      "Content-Length: nope\r\n\r\n{}"),
          std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11)}) {
        // The server closes at once with our unread bytes still queued, so the kernel may
        // reset the connection before the answer's body (sent apart from its headers) is read.
        const std::string answer = exchange(noise, true);
        EXPECT_TRUE(answer.empty() || answer.starts_with("HTTP/1.1 4")) << answer.substr(0, 200);
    }
    EXPECT_EQ(service.get("/api/app/version")->status, 200);  // still serving
}

// Bodies made from valid ones by a seeded random mutator, plus shapes that break parsers.
std::vector<std::string> fuzzCorpus() {
    const std::vector<std::string> seeds = {
        R"({"email":"fuzz@example.com","password":"fuzz password"})",
        R"({"email":"victim@example.com","password":"victim password"})",
        R"({"email":"victim@example.com"})",
    };
    std::vector<std::string> corpus = {
        std::string(30000, '[') + std::string(30000, ']'),
        "{\"email\":" + std::string(20000, '{'),
        R"({"email":"\ud800","password":"\udfff\u0000"})",
        std::string("{\"email\":\"victim@example.com\u0000\",\"password\":\"x\"}", 46),
        R"({"email":"victim@example.com","email":"other@example.com","password":"victim password"})",
        R"({"email":1e999999,"password":-0})",
        R"({"email":"victim@example.com","password":"victim password"}garbage)",
        "\xef\xbb\xbf{\"email\":\"bom@example.com\"}",
        "{\"" + std::string(30000, 'k') + "\":1}",
        R"({"email":"%00%0d%0aBcc:@example.com","password":"12345678"})",
    };
    std::mt19937 random(20261206);  // fixed seed: the same corpus on every run
    const std::string alphabet("{}[]\":,\\ \t\n0123456789eE+-.truefalsnl@\x00\x80\xc3\xff", 41);
    for (int i = 0; i < 400; ++i) {
        std::string body = seeds[random() % seeds.size()];
        const int edits = 1 + static_cast<int>(random() % 6);
        for (int e = 0; e < edits && !body.empty(); ++e) {
            const std::size_t at = random() % body.size();
            switch (random() % 4) {
                case 0:
                    body[at] = alphabet[random() % alphabet.size()];
                    break;
                case 1:
                    body.insert(at, 1, alphabet[random() % alphabet.size()]);
                    break;
                case 2:
                    body.erase(at, 1 + (random() % 8));
                    break;
                default:
                    body.resize(at);
                    break;
            }
        }
        corpus.push_back(body);
    }
    return corpus;
}

TEST_P(BadInputTest, AFuzzedBodyCorpusNeverCrashesNorCorruptsTheStore) {
    TestService service(GetParam());
    const std::string token = service.registerAccount("victim@example.com", "victim password");
    const auto corpus = fuzzCorpus();
    std::size_t index = 0;
    for (const auto& body : corpus) {
        const std::string& path = kJsonEndpoints[index++ % kJsonEndpoints.size()];
        auto res = service.postRaw(path, body, "application/json");
        ASSERT_TRUE(answeredCleanly(res)) << path << " " << ::testing::PrintToString(body);
    }
    // The victim's account is as it was: same password, same session.
    EXPECT_TRUE(service.login("victim@example.com", "victim password"));
    EXPECT_EQ(service.get("/api/user/me", token)->status, 200);
    EXPECT_TRUE(service.errors().empty());
    EXPECT_EQ(service.get("/api/app/version")->status, 200);
}

BRIMO_INSTANTIATE_BACKENDS(BadInputTest);

}  // namespace
}  // namespace brimo::server::testing
