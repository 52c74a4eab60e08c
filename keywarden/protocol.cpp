// The connection protocol: newline-terminated JSON requests, the greeting
// that admits a verified peer, and the dispatch of the other operations.
#include <cstring>

#include "keywarden.h"

namespace keywarden {

namespace {

// The kernel's word on two pieces: the same pid and, where pid descriptors
// tell processes apart, the same process.
bool sameCredentials(const trust::Writer& a, const trust::Writer& b) {
  return a.pid == b.pid && a.uid == b.uid && a.process.identity() == b.process.identity();
}

}  // namespace

void LineReader::takeWriterOf(std::size_t length) {
  lastWriter = pieces.empty() ? trust::Writer{} : pieces.front().writer;
  while (!pieces.empty() && pieces.front().end <= length) {
    if (!sameCredentials(pieces.front().writer, lastWriter)) lastWriter = {};
    pieces.pop_front();
  }
  if (!pieces.empty() && !sameCredentials(pieces.front().writer, lastWriter)) lastWriter = {};
  for (Piece& piece : pieces) piece.end -= length;
}

std::optional<std::string> LineReader::readLine(const Read& read) {
  for (;;) {
    if (const void* found = std::memchr(buffer.data() + scanned, '\n', buffer.size() - scanned)) {
      std::size_t end = static_cast<const char*>(found) - buffer.data();
      std::string line = buffer.substr(0, end);
      buffer.erase(0, end + 1);
      takeWriterOf(end + 1);
      scanned = 0;
      return line;
    }
    scanned = buffer.size();
    if (buffer.size() > maxLineBytes) return std::nullopt;
    char chunk[65536];
    trust::Writer writer;
    long count = read(chunk, sizeof chunk, writer);
    if (count <= 0) return std::nullopt;
    buffer.append(chunk, static_cast<std::size_t>(count));
    if (!pieces.empty() && sameCredentials(pieces.back().writer, writer)) {
      pieces.back().end = buffer.size();
    } else {
      pieces.push_back({buffer.size(), std::move(writer)});
    }
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

void Session::refuse(const std::string& message) {
  log("żądanie odrzucone: " + message);
  fail("unauthorized", message);
}

bool Session::handleLine(const std::string& line, const trust::Writer& writer) {
  services.activity.touch();
  // An admitted connection speaks for its verified process alone: a line
  // written by any other (a child that kept the socket, a process it was
  // passed to) ends it, whatever the line says.
  if (peer && !trust::sameWriter(peer->verified.writer, writer)) {
    peer.reset();
    refuse(otherProcessMessage);
    return false;
  }
  std::optional<json::Value> request = json::parse(line);
  if (!request || !request->is_object() || request->empty() || !request->contains("op") ||
      !(*request)["op"].is_string()) {
    fail("request", "Nieczytelne żądanie.");
    return false;
  }
  std::string op = (*request)["op"].get<std::string>();
  if (op == "hello") return hello(*request, writer);
  if (!peer) {
    fail("unauthorized", "Najpierw hello.");
    return false;
  }
  try {
    services.verifier.recheck(*peer);
  } catch (const AccessError& error) {
    peer.reset();
    refuse(error.message);
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

bool Session::hello(const json::Value& request, const trust::Writer& writer) {
  try {
    int version = services.settings.protocolVersion;
    auto found = request.find("v");
    if (found == request.end() || !found->is_number_integer() || *found != version)
      throw AccessError{"protocol", "Ten pośrednik mówi protokołem " + std::to_string(version) + "."};
    if (!writer.known()) throw AccessError{"unauthorized", otherProcessMessage};
    Peer verified = services.verifier.verify(writer, request);
    // The verification saw the process as it runs now. Anything it wrote
    // before may come from the program it ran before an exec, so requests
    // must follow the reply to the greeting, not precede it.
    if (pending() > 0) throw AccessError{"unauthorized", earlyRequestMessage};
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
