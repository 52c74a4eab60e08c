// The secret operations of the protocol: names, values and their replies.
#include "keywarden.h"

namespace keywarden {
namespace {

bool permittedNameCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
         c == '-';
}

const std::size_t maxSecretBytes = 65536;

}  // namespace

std::string secretName(const json::Value& request) {
  auto found = request.find("name");
  if (found != request.end() && found->is_string()) {
    const std::string& name = found->get_ref<const std::string&>();
    bool permitted = !name.empty() && name.size() <= 128;
    for (char c : name) permitted = permitted && permittedNameCharacter(c);
    if (permitted) return name;
  }
  throw AccessError{"request", "Nazwa sekretu: litery, cyfry, . _ - (do 128)."};
}

json::Value secretGet(SecretStore& store, const json::Value& request) {
  std::string name = secretName(request);
  std::optional<std::string> value = store.get(name);
  json::Value reply = json::Value::object();
  reply["ok"] = true;
  reply["found"] = value.has_value();
  if (value) reply["value"] = *value;
  return reply;
}

json::Value secretSet(SecretStore& store, const json::Value& request) {
  std::string name = secretName(request);
  auto found = request.find("value");
  if (found == request.end() || !found->is_string() || found->get_ref<const std::string&>().size() > maxSecretBytes)
    throw AccessError{"request", "Sekret musi być tekstem do 64 KB."};
  store.set(name, found->get<std::string>());
  return {{"ok", true}};
}

json::Value secretDelete(SecretStore& store, const json::Value& request) {
  store.remove(secretName(request));
  return {{"ok", true}};
}

}  // namespace keywarden
