// The Secret Service through libsecret's synchronous calls. Each call makes
// its own main context for the duration of the round trip, and libsecret
// guards its shared service connection itself, so calls from several threads
// at once need no locking here.
#include "keychain.h"

#include <libsecret/secret.h>

#include <memory>

namespace keychain {
namespace {

// Items are matched by their two attributes only, whatever schema name they
// were stored with, so that items written by other Secret Service clients
// with the same service and account are the same items.
const SecretSchema itemSchema = {
    "org.freedesktop.Secret.Generic",
    SECRET_SCHEMA_DONT_MATCH_NAME,
    {
        {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
        {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
    },
    0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

struct ErrorDeleter {
  void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPointer = std::unique_ptr<GError, ErrorDeleter>;

struct ValueDeleter {
  void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using ValuePointer = std::unique_ptr<SecretValue, ValueDeleter>;

// Attribute strings travel over D-Bus, which carries only UTF-8 without NUL.
bool isAttributeText(std::string_view text) {
  return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr) &&
         text.find('\0') == std::string_view::npos;
}

// The code and text reported when an attribute cannot be sent at all: the
// GIO code for an invalid argument, as the store's own client would give.
constexpr int invalidArgumentCode = G_IO_ERROR_INVALID_ARGUMENT;
constexpr const char* invalidArgumentText = "attribute is not UTF-8 text";

Status failureOf(GError* error) {
  ErrorPointer owned(error);
  return {Outcome::failure, error->code, error->message ? error->message : ""};
}

struct ServiceDeleter {
  void operator()(SecretService* service) const { g_object_unref(service); }
};
using ServicePointer = std::unique_ptr<SecretService, ServiceDeleter>;

struct TableDeleter {
  void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using TablePointer = std::unique_ptr<GHashTable, TableDeleter>;

struct ItemListDeleter {
  void operator()(GList* items) const { g_list_free_full(items, g_object_unref); }
};
using ItemList = std::unique_ptr<GList, ItemListDeleter>;

// An item as store() creates it: our schema and our two attributes only.
bool isOwnItem(SecretItem* item) {
  TablePointer attributes(secret_item_get_attributes(item));
  if (!attributes || g_hash_table_size(attributes.get()) != 3) return false;
  const auto* schema = static_cast<const char*>(g_hash_table_lookup(attributes.get(), "xdg:schema"));
  return schema && std::string_view(schema) == itemSchema.name;
}

}  // namespace

Lookup lookup(std::string_view service, std::string_view account) {
  if (!isAttributeText(service) || !isAttributeText(account)) {
    return {Outcome::failure, {}, invalidArgumentCode, invalidArgumentText};
  }
  const std::string serviceText(service);
  const std::string accountText(account);
  GError* error = nullptr;
  ValuePointer value(secret_password_lookup_binary_sync(&itemSchema, nullptr, &error, "service",
                                                        serviceText.c_str(), "account",
                                                        accountText.c_str(), nullptr));
  if (error) {
    Status failure = failureOf(error);
    return {Outcome::failure, {}, failure.code, std::move(failure.message)};
  }
  if (!value) return {Outcome::notFound, {}, 0, {}};
  gsize length = 0;
  const gchar* bytes = secret_value_get(value.get(), &length);
  return {Outcome::success, std::string(bytes ? bytes : "", bytes ? length : 0), 0, {}};
}

Status store(std::string_view service, std::string_view account, std::string_view label,
             std::string_view value) {
  if (!isAttributeText(service) || !isAttributeText(account) || !isAttributeText(label)) {
    return {Outcome::failure, invalidArgumentCode, invalidArgumentText};
  }
  const std::string serviceText(service);
  const std::string accountText(account);
  const std::string labelText(label);
  ValuePointer secret(
      secret_value_new(value.data(), static_cast<gssize>(value.size()), "text/plain"));
  GError* error = nullptr;

  // Every item that a lookup could return gets the new value, so that a
  // later lookup reads it whichever item it finds: other clients may have
  // stored items with the same two attributes and more, or under another
  // schema, which the store would not replace but keep beside a new one.
  ServicePointer secretService(secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error));
  if (error) return failureOf(error);
  TablePointer attributes(secret_attributes_build(&itemSchema, "service", serviceText.c_str(), "account",
                                                  accountText.c_str(), nullptr));
  ItemList items(secret_service_search_sync(secretService.get(), &itemSchema, attributes.get(),
                                            static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK),
                                            nullptr, &error));
  if (error) return failureOf(error);
  if (items) {
    for (GList* entry = items.get(); entry; entry = entry->next) {
      SecretItem* item = static_cast<SecretItem*>(entry->data);
      if (!secret_item_set_secret_sync(item, secret.get(), nullptr, &error)) {
        if (error) return failureOf(error);
        return {Outcome::failure, 0, "the store did not keep the item"};
      }
      // Our own items take the new label too; other clients' labels stay.
      if (isOwnItem(item) && !secret_item_set_label_sync(item, labelText.c_str(), nullptr, &error) && error)
        return failureOf(error);
    }
    return {};
  }

  const gboolean stored = secret_password_store_binary_sync(
      &itemSchema, SECRET_COLLECTION_DEFAULT, labelText.c_str(), secret.get(), nullptr, &error,
      "service", serviceText.c_str(), "account", accountText.c_str(), nullptr);
  if (error) return failureOf(error);
  if (!stored) return {Outcome::failure, 0, "the store did not keep the item"};
  return {};
}

Status remove(std::string_view service, std::string_view account) {
  if (!isAttributeText(service) || !isAttributeText(account)) {
    return {Outcome::failure, invalidArgumentCode, invalidArgumentText};
  }
  const std::string serviceText(service);
  const std::string accountText(account);
  GError* error = nullptr;
  const gboolean removed = secret_password_clear_sync(&itemSchema, nullptr, &error, "service",
                                                      serviceText.c_str(), "account",
                                                      accountText.c_str(), nullptr);
  if (error) return failureOf(error);
  if (!removed) return {Outcome::notFound, 0, {}};
  return {};
}

}  // namespace keychain
