#include "google/JsonWebKeySet.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <nlohmann/json.hpp>

#include "google/Base64Url.h"

namespace brimo::server {
namespace {

constexpr int kLeastModulusBits = 2048;

template <typename T, void (*Free)(T*)>
struct Freer {
    void operator()(T* p) const { Free(p); }
};
using BigNumber = std::unique_ptr<BIGNUM, Freer<BIGNUM, BN_free>>;
using ParamBuilder = std::unique_ptr<OSSL_PARAM_BLD, Freer<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Freer<OSSL_PARAM, OSSL_PARAM_free>>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, Freer<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Freer<EVP_MD_CTX, EVP_MD_CTX_free>>;

BigNumber bigNumber(const nlohmann::json& jwk, const char* member) {
    const auto it = jwk.find(member);
    if (it == jwk.end() || !it->is_string()) {
        return nullptr;
    }
    const auto bytes = decodeBase64Url(it->get_ref<const std::string&>());
    if (!bytes || bytes->empty()) {
        return nullptr;
    }
    return BigNumber(BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes->data()),
                               static_cast<int>(bytes->size()), nullptr));
}

// The public RSA key of a JWK's modulus and exponent, through OpenSSL's key import.
PublicKey rsaKey(const nlohmann::json& jwk) {
    const BigNumber n = bigNumber(jwk, "n");
    const BigNumber e = bigNumber(jwk, "e");
    if (!n || !e) {
        return nullptr;
    }
    const ParamBuilder builder(OSSL_PARAM_BLD_new());
    if (!builder || OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1) {
        return nullptr;
    }
    const Params params(OSSL_PARAM_BLD_to_param(builder.get()));
    const KeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        return nullptr;
    }
    PublicKey owned(key, EVP_PKEY_free);
    if (EVP_PKEY_get_bits(key) < kLeastModulusBits) {
        return nullptr;
    }
    return owned;
}

bool isRsaSigningKey(const nlohmann::json& jwk) {
    auto text = [&](const char* member) {
        const auto it = jwk.find(member);
        return it != jwk.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    const std::string use = text("use");
    const std::string alg = text("alg");
    return text("kty") == "RSA" && !text("kid").empty() && (use.empty() || use == "sig") &&
           (alg.empty() || alg == "RS256");
}

}  // namespace

std::optional<JsonWebKeySet> JsonWebKeySet::parse(std::string_view json) {
    const auto root = nlohmann::json::parse(json, nullptr, false);
    if (!root.is_object() || !root.contains("keys") || !root["keys"].is_array()) {
        return std::nullopt;
    }
    JsonWebKeySet set;
    for (const auto& jwk : root["keys"]) {
        if (!jwk.is_object() || !isRsaSigningKey(jwk)) {
            continue;
        }
        if (auto key = rsaKey(jwk)) {
            set.keys_.emplace(jwk["kid"].get<std::string>(), std::move(key));
        }
    }
    return set;
}

PublicKey JsonWebKeySet::find(const std::string& keyId) const {
    const auto it = keys_.find(keyId);
    return it == keys_.end() ? nullptr : it->second;
}

bool verifyRs256(const PublicKey& key, std::string_view signedPart, std::string_view signature) {
    const DigestContext context(EVP_MD_CTX_new());
    // RSA keys verify with PKCS #1 v1.5 padding unless told otherwise.
    if (!context || EVP_DigestVerifyInit_ex(context.get(), nullptr, "SHA256", nullptr, nullptr,
                                            key.get(), nullptr) != 1) {
        return false;
    }
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                            signature.size(),
                            reinterpret_cast<const unsigned char*>(signedPart.data()),
                            signedPart.size()) == 1;
}

}  // namespace brimo::server
