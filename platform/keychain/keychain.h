// The user's secret store: one item per (service, account) pair in the
// freedesktop Secret Service (GNOME Keyring, KeePassXC, KWallet), through
// libsecret's synchronous calls.
//
// Every function may be called from many threads at once: each call runs its
// own D-Bus round trip and keeps no state of its own between calls. The calls
// block until the store answers.
#pragma once

#include <string>
#include <string_view>

namespace keychain {

enum class Outcome {
  success,   // the item was found, stored or removed
  notFound,  // no item has this service and account
  failure,   // the store refused or could not be reached: see code and message
};

// Result of store() and remove(). On failure, `code` is the store's own error
// code (the GError code, signed, as the store reports it) and `message` its
// own text; both are empty/0 otherwise.
struct Status {
  Outcome outcome = Outcome::success;
  int code = 0;
  std::string message;
};

// Result of lookup(): on success `value` holds the item's secret bytes exactly
// as stored (may be empty, may hold any bytes).
struct Lookup {
  Outcome outcome = Outcome::notFound;
  std::string value;
  int code = 0;
  std::string message;
};

// Reads the secret of the item with this service and account.
Lookup lookup(std::string_view service, std::string_view account);

// Stores `value` (any bytes) under this service and account: every existing
// item that lookup() could find is updated in place (value, and the label of
// items this library created), else a new item with `label` is created in the
// default collection. Outcome is success or failure.
Status store(std::string_view service, std::string_view account, std::string_view label,
             std::string_view value);

// Removes every item with this service and account. Success when something
// was removed, notFound when nothing matched (callers usually treat both as
// done), failure otherwise.
Status remove(std::string_view service, std::string_view account);

}  // namespace keychain
