#include "platform/secrets/SecretServiceStore.h"

// The path-level calls count items without making a proxy object for each.
#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>

#include <string>

namespace brimo::secrets {
namespace {

// Our own schema, so our items are told apart from other programs' and found by exactly the
// two attributes.
const SecretSchema* tokenSchema() {
    static const SecretSchema schema = {"com.brimolavetrix.Secret",
                                        SECRET_SCHEMA_NONE,
                                        {
                                            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                        },
                                        0,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr};
    return &schema;
}

struct ErrorHolder {
    GError* error = nullptr;
    ErrorHolder() = default;
    ErrorHolder(const ErrorHolder&) = delete;
    ErrorHolder& operator=(const ErrorHolder&) = delete;
    ~ErrorHolder() {
        if (error != nullptr) {
            g_error_free(error);
        }
    }
    [[nodiscard]] std::string message() const {
        return error != nullptr && error->message != nullptr ? error->message : "unknown error";
    }
};

GHashTable* attributesFor(const std::string& service, const std::string& account) {
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    // The table does not own its strings; the callers' strings outlive it.
    g_hash_table_insert(attributes, const_cast<char*>("service"),  // NOLINT
                        const_cast<char*>(service.c_str()));       // NOLINT
    g_hash_table_insert(attributes, const_cast<char*>("account"),  // NOLINT
                        const_cast<char*>(account.c_str()));       // NOLINT
    return attributes;
}

}  // namespace

std::unique_ptr<SecretServiceStore> SecretServiceStore::connect(std::string* whyNot) {
    // A lookup of an item that needs no unlocking prompt tells whether a service answers.
    ErrorHolder failure;
    const std::string service = "com.brimolavetrix.probe";
    const std::string account = "probe";
    GHashTable* attributes = attributesFor(service, account);
    GList* found = secret_password_searchv_sync(tokenSchema(), attributes, SECRET_SEARCH_NONE,
                                                nullptr, &failure.error);
    g_hash_table_unref(attributes);
    g_list_free_full(found, g_object_unref);
    if (failure.error != nullptr) {
        if (whyNot != nullptr) {
            *whyNot = failure.message();
        }
        return nullptr;
    }
    return std::unique_ptr<SecretServiceStore>(new SecretServiceStore());
}

bool SecretServiceStore::save(std::string_view service, std::string_view account,
                              std::string_view secret) {
    const std::string serviceText(service);
    const std::string accountText(account);
    SecretValue* value = secret_value_new(secret.data(), static_cast<gssize>(secret.size()),
                                          "application/octet-stream");
    GHashTable* attributes = attributesFor(serviceText, accountText);
    ErrorHolder failure;
    // Storing with the same attributes replaces the item, so there is never a moment without
    // one (deleting first would lose the old secret when the store then fails).
    const gboolean stored = secret_password_storev_binary_sync(
        tokenSchema(), attributes, SECRET_COLLECTION_DEFAULT, "Brimolavetrix session token", value,
        nullptr, &failure.error);
    g_hash_table_unref(attributes);
    secret_value_unref(value);
    return stored != FALSE && failure.error == nullptr;
}

std::optional<std::string> SecretServiceStore::load(std::string_view service,
                                                    std::string_view account) {
    const std::string serviceText(service);
    const std::string accountText(account);
    GHashTable* attributes = attributesFor(serviceText, accountText);
    ErrorHolder failure;
    SecretValue* value =
        secret_password_lookupv_binary_sync(tokenSchema(), attributes, nullptr, &failure.error);
    g_hash_table_unref(attributes);
    if (value == nullptr) {
        return std::nullopt;
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value, &length);
    std::optional<std::string> secret;
    if (bytes != nullptr) {
        secret.emplace(bytes, length);
    }
    secret_value_unref(value);
    return secret;
}

bool SecretServiceStore::remove(std::string_view service, std::string_view account) {
    const std::string serviceText(service);
    const std::string accountText(account);
    GHashTable* attributes = attributesFor(serviceText, accountText);
    ErrorHolder failure;
    // Clears every match, so stray duplicates left by another writer go too.
    secret_password_clearv_sync(tokenSchema(), attributes, nullptr, &failure.error);
    g_hash_table_unref(attributes);
    return failure.error == nullptr;
}

int SecretServiceStore::countItems(std::string_view service, std::string_view account) const {
    const std::string serviceText(service);
    const std::string accountText(account);
    ErrorHolder failure;
    SecretService* connection =
        secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &failure.error);
    if (connection == nullptr) {
        return 0;
    }
    GHashTable* attributes = attributesFor(serviceText, accountText);
    gchar** unlocked = nullptr;
    gchar** locked = nullptr;
    secret_service_search_for_dbus_paths_sync(connection, tokenSchema(), attributes, nullptr,
                                              &unlocked, &locked, &failure.error);
    g_hash_table_unref(attributes);
    const auto count = [](gchar** paths) {
        return paths == nullptr ? 0 : static_cast<int>(g_strv_length(paths));
    };
    const int total = count(unlocked) + count(locked);
    g_strfreev(unlocked);
    g_strfreev(locked);
    g_object_unref(connection);
    return total;
}

}  // namespace brimo::secrets
