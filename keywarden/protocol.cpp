// The connection protocol: newline-terminated JSON requests, the greeting
// that admits a verified peer, and the dispatch of the other operations.
#include <cstring>

#include "keywarden.h"

namespace keywarden {

std::optional<std::string> LineReader::readLine(const Read& read) {
  for (;;) {
    if (const void* found = std::memchr(buffer.data() + scanned, '\n', buffer.size() - scanned)) {
      std::size_t end = static_cast<const char*>(found) - buffer.data();
      std::string line = buffer.substr(0, end);
      buffer.erase(0, end + 1);
      scanned = 0;
      return line;
    }
    scanned = buffer.size();
    if (buffer.size() > maxLineBytes) return std::nullopt;
    char chunk[65536];
    long count = read(chunk, sizeof chunk);
    if (count <= 0) return std::nullopt;
    buffer.append(chunk, static_cast<std::size_t>(count));
  }
}

std::string messageLine(const json::Value& message) {
  std::optional<std::string> text =
      json::write(message, {.keyOrder = json::KeyOrder::declared, .invalidUtf8 = json::InvalidUtf8::replace});
  if (!text) text = R"({"ok":false,"error":"internal","message":"Operacja nie powiodła się."})";
  return *text + "\n";
}

void Session::fail(const std::string& code, const std::string& message) {
  json::Value reply = json::Value::object();
  reply["ok"] = false;
  reply["error"] = code;
  reply["message"] = message;
  send(reply);
}

bool Session::handleLine(const std::string& line) {
  services.activity.touch();
  std::optional<json::Value> request = json::parse(line);
  if (!request || !request->is_object() || request->empty() || !request->contains("op") ||
      !(*request)["op"].is_string()) {
    fail("request", "Nieczytelne żądanie.");
    return false;
  }
  std::string op = (*request)["op"].get<std::string>();
  if (op == "hello") return hello(*request);
  if (!peer) {
    fail("unauthorized", "Najpierw hello.");
    return false;
  }
  try {
    dispatch(op, *request);
  } catch (const AccessError& error) {
    fail(error.code, error.message);
  } catch (...) {
    fail("internal", "Operacja nie powiodła się.");
  }
  return true;
}

bool Session::hello(const json::Value& request) {
  try {
    int version = services.settings.protocolVersion;
    auto found = request.find("v");
    if (found == request.end() || !found->is_number_integer() || *found != version)
      throw AccessError{"protocol", "Ten pośrednik mówi protokołem " + std::to_string(version) + "."};
    Peer verified = services.verifier.verify(socket, request);
    peer = verified;
    log("hello: " + verified.identifier + " " + verified.codeHash.substr(0, 12) + " — przyjęty");
    json::Value reply = json::Value::object();
    reply["ok"] = true;
    reply["v"] = version;
    reply["identifier"] = verified.identifier;
    send(reply);
    return true;
  } catch (const AccessError& error) {
    peer.reset();
    log("hello odrzucony: " + error.message);
    fail(error.code, error.message);
  } catch (...) {
    peer.reset();
    fail("internal", "Weryfikacja nie powiodła się.");
  }
  return false;
}

void Session::dispatch(const std::string& op, const json::Value& request) {
  if (op == "secret.get") {
    send(secretGet(services.secretStore, request));
  } else if (op == "secret.set") {
    send(secretSet(services.secretStore, request));
  } else if (op == "secret.delete") {
    send(secretDelete(services.secretStore, request));
  } else if (op == "run") {
    services.tools.run(request, *peer, send);
  } else {
    fail("request", "Nieznana operacja.");
  }
}

}  // namespace keywarden
