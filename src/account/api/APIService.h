#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "account/api/APIError.h"
#include "account/api/Records.h"
#include "account/api/Result.h"
#include "account/http/HttpTransport.h"
#include "platform/console/ConsoleOutput.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/secrets/SecretStore.h"

namespace brimo::account {

// The one client of the account web service: turns a call (path, method, optional body,
// expected record) into one HTTP request with the session token attached, and the answer into
// the record or one failure. It also owns the stored session token.
//
// Completions always run on the main queue, never inside the call that starts the request.
class APIService {
  public:
    using RequestID = http::HttpTransport::RequestID;
    template <typename Response>
    using Completion = std::function<void(const Result<Response>& result)>;

    static constexpr const char* keychainService = "com.brimolavetrix.auth";
    static constexpr const char* tokenKey = "jwt_token";

    struct Options {
        // Where completions run; must outlive the service.
        dispatch::MainQueue* mainQueue = nullptr;
        // The built-in address unless given.
        std::string baseURL;
        // The user's secret store unless given.
        std::shared_ptr<secrets::SecretStore> tokenStore;
        // Time-outs, trusted certificate authorities (the system's unless given).
        http::HttpTransportOptions transport;
        // Standard output unless given.
        console::LineWriter print;
    };

    // The address built in at configuration time (the BRIMO_API_BASE_URL cache variable).
    [[nodiscard]] static std::string defaultBaseURL();

    static std::shared_ptr<APIService> create(Options options);

    // The process-wide instance, made with the default options for `mainQueue` on first use and
    // never released; later calls return it whatever queue they name.
    static std::shared_ptr<APIService> shared(dispatch::MainQueue& mainQueue);

    APIService(const APIService&) = delete;
    APIService& operator=(const APIService&) = delete;
    // Ends the requests in flight; their completions are not called.
    ~APIService();

    [[nodiscard]] const std::string& baseURL() const { return baseURL_; }

    // "GET" or "POST" to baseURL + path, without a body. Safe from any thread.
    template <typename Response>
    RequestID request(std::string_view path, std::string_view method,
                      Completion<Response> completion) {
        return send(path, method, std::nullopt, decoding(std::move(completion)));
    }

    // With `body`, one of the request records, as its JSON object.
    template <typename Response, typename Body>
    RequestID request(std::string_view path, std::string_view method, const Body& body,
                      Completion<Response> completion) {
        return send(path, method, encodeRecord(body), decoding(std::move(completion)));
    }

    // Sends a request without a body, with `token` as its bearer, and looks at nothing that
    // comes back: no completion, and a 401 deletes no stored token (one stored since may be a
    // new session's). For telling the service something on the way out. Safe from any thread.
    void sendIgnoringAnswer(std::string_view path, std::string_view method,
                            const std::string& token);

    // Ends the request: its completion receives the "cancelled" transport error unless the
    // answer had already arrived.
    void cancel(RequestID id);

    // Stores the token, replacing any stored one. Failures are silent (the user then stays
    // signed in for this run only).
    void saveToken(const std::string& token);
    // The stored token, or none (also when it cannot be read or is not UTF-8).
    [[nodiscard]] std::optional<std::string> loadToken() const;
    // Removes the stored token; failures, and the absence of one, are silent.
    void deleteToken();

  private:
    using BodyCompletion = std::function<void(std::variant<std::string, RequestError> outcome)>;

    explicit APIService(Options options);

    RequestID send(std::string_view path, std::string_view method, std::optional<EncodedBody> body,
                   BodyCompletion completion);

    template <typename Response>
    BodyCompletion decoding(Completion<Response> completion) const {
        return [completion = std::move(completion),
                print = print_](std::variant<std::string, RequestError> outcome) {
            if (auto* failure = std::get_if<RequestError>(&outcome)) {
                completion(Result<Response>(std::move(*failure)));
                return;
            }
            auto decoded = decodeRecord<Response>(std::get<std::string>(outcome));
            if (auto* error = std::get_if<DecodingError>(&decoded)) {
                print("Decode error: " + error->description);
                completion(Result<Response>(RequestError(APIError::decodingError(*error))));
                return;
            }
            completion(Result<Response>(std::move(std::get<Response>(decoded))));
        };
    }

    dispatch::MainQueue& mainQueue_;
    const std::string baseURL_;
    const std::shared_ptr<secrets::SecretStore> tokenStore_;
    const console::LineWriter print_;
    http::HttpTransport transport_;
};

}  // namespace brimo::account
