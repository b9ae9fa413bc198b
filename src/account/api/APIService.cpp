#include "account/api/APIService.h"

#include <algorithm>

#include "account/api/ServiceAddress.h"
#include "platform/dispatch/SharedService.h"
#include "platform/secrets/UserSecretStore.h"

#ifndef BRIMO_API_BASE_URL
#define BRIMO_API_BASE_URL "http://127.0.0.1:8432/api"
#endif

namespace brimo::account {
namespace {

bool isValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        std::uint32_t point = 0;
        if (lead < 0x80U) {
            ++i;
            continue;
        }
        if ((lead >> 5U) == 0x6U) {
            length = 2;
            point = lead & 0x1FU;
        } else if ((lead >> 4U) == 0xEU) {
            length = 3;
            point = lead & 0x0FU;
        } else if ((lead >> 3U) == 0x1EU) {
            length = 4;
            point = lead & 0x07U;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next >> 6U) != 0x2U) {
                return false;
            }
            point = (point << 6U) | (next & 0x3FU);
        }
        const bool overlong = (length == 2 && point < 0x80U) || (length == 3 && point < 0x800U) ||
                              (length == 4 && point < 0x10000U);
        if (overlong || point > 0x10FFFFU || (point >= 0xD800U && point <= 0xDFFFU)) {
            return false;
        }
        i += length;
    }
    return true;
}

// A token with a control character would end the header line and let whoever issued it write
// headers of their own; such a token is not sent (the service then answers 401).
bool isSendableInHeader(std::string_view token) {
    return std::none_of(token.begin(), token.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20U || byte == 0x7FU;
    });
}

}  // namespace

std::string APIService::defaultBaseURL() {
    return BRIMO_API_BASE_URL;
}

std::shared_ptr<APIService> APIService::create(Options options) {
    return std::shared_ptr<APIService>(new APIService(std::move(options)));
}

std::shared_ptr<APIService> APIService::shared(dispatch::MainQueue& mainQueue) {
    return dispatch::sharedService<APIService>(mainQueue);
}

APIService::APIService(Options options)
    : mainQueue_(*options.mainQueue),
      baseURL_(options.baseURL.empty() ? defaultBaseURL() : std::move(options.baseURL)),
      tokenStore_(options.tokenStore ? std::move(options.tokenStore)
                                     : secrets::openUserSecretStore({{keychainService, tokenKey}})),
      print_(console::orStandardOutput(std::move(options.print))),
      transport_(std::move(options.transport)) {}

APIService::~APIService() = default;

APIService::RequestID APIService::send(std::string_view path, std::string_view method,
                                       std::optional<EncodedBody> body, BodyCompletion completion) {
    auto failEarly = [&](RequestError error) {
        mainQueue_.post(
            [completion = std::move(completion), error = std::move(error)] { completion(error); });
        return RequestID{0};
    };

    auto address = checkServiceAddress(baseURL_ + std::string(path));
    if (auto* refused = std::get_if<RequestError>(&address)) {
        return failEarly(std::move(*refused));
    }

    http::HttpRequest request;
    request.url = std::get<ServiceAddress>(address).url;
    request.method = std::string(method);
    request.headers.emplace_back("Content-Type", "application/json");
    if (const auto token = loadToken(); token && isSendableInHeader(*token)) {
        request.headers.emplace_back("Authorization", "Bearer " + *token);
    }
    if (body) {
        if (auto* failure = std::get_if<EncodingError>(&*body)) {
            return failEarly(RequestError(std::move(*failure)));
        }
        request.body = std::move(std::get<std::string>(*body));
    }

    // Runs on the transport's thread: everything is worked out there, and the result reaches
    // the caller on the main queue.
    auto onOutcome = [&queue = mainQueue_, store = tokenStore_,
                      completion = std::move(completion)](http::HttpOutcome outcome) mutable {
        auto deliver = [&](std::variant<std::string, RequestError> result) {
            queue.post([completion = std::move(completion), result = std::move(result)] {
                completion(result);
            });
        };
        if (auto* transport = std::get_if<TransportError>(&outcome)) {
            deliver(RequestError(std::move(*transport)));
            return;
        }
        if (std::holds_alternative<http::NotHttpResponse>(outcome)) {
            deliver(RequestError(APIError::invalidResponse()));
            return;
        }
        auto& response = std::get<http::HttpResponse>(outcome);
        if (response.statusCode == 401) {
            // The token is gone before the caller hears of the failure.
            queue.post([completion = std::move(completion), store] {
                store->remove(keychainService, tokenKey);
                completion(RequestError(APIError::unauthorized()));
            });
            return;
        }
        if (response.statusCode >= 400) {
            auto decoded = decodeRecord<ErrorResponse>(response.body);
            if (auto* server = std::get_if<ErrorResponse>(&decoded)) {
                deliver(RequestError(APIError::serverError(std::move(server->error))));
            } else {
                deliver(RequestError(APIError::httpError(response.statusCode)));
            }
            return;
        }
        deliver(std::move(response.body));
    };
    return transport_.send(request, std::move(onOutcome));
}

void APIService::sendIgnoringAnswer(std::string_view path, std::string_view method,
                                    const std::string& token) {
    auto address = checkServiceAddress(baseURL_ + std::string(path));
    if (std::holds_alternative<RequestError>(address)) {
        return;
    }
    http::HttpRequest request;
    request.url = std::get<ServiceAddress>(address).url;
    request.method = std::string(method);
    request.headers.emplace_back("Content-Type", "application/json");
    if (isSendableInHeader(token)) {
        request.headers.emplace_back("Authorization", "Bearer " + token);
    }
    transport_.send(request, [](const http::HttpOutcome&) {});
}

void APIService::cancel(RequestID id) {
    if (id != 0) {
        transport_.cancel(id);
    }
}

void APIService::saveToken(const std::string& token) {
    tokenStore_->save(keychainService, tokenKey, token);
}

std::optional<std::string> APIService::loadToken() const {
    auto token = tokenStore_->load(keychainService, tokenKey);
    if (token && !isValidUtf8(*token)) {
        return std::nullopt;
    }
    return token;
}

void APIService::deleteToken() {
    tokenStore_->remove(keychainService, tokenKey);
}

}  // namespace brimo::account
