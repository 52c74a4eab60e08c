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
