// Feeds arbitrary bytes to the broker's line reader and request dispatch, in
// packets of varying size. The secret store, the peer verification and the
// tool launcher are in-memory doubles, so every request stays in the process.
#include <cstddef>
#include <cstdint>
#include <map>

#include <unistd.h>

#include "keywarden.h"

namespace {

using namespace keywarden;

class MemoryStore : public SecretStore {
 public:
  std::optional<std::string> get(const std::string& name) override {
    if (name == "failing") throw AccessError{"keychain", "Pęk kluczy odmówił odczytu (5)."};
    auto found = items.find(name);
    if (found == items.end()) return std::nullopt;
    return found->second;
  }
  void set(const std::string& name, const std::string& value) override {
    if (items.size() > 64) throw std::runtime_error("full");
    items[name] = value;
  }
  void remove(const std::string& name) override { items.erase(name); }
  std::map<std::string, std::string> items;
};

// Admits every greeting unless it asks to be refused.
class AnyPeer : public PeerVerifier {
 public:
  Peer verify(const trust::Writer& writer, const json::Value& hello) override {
    if (hello.contains("refuse")) throw AccessError{"unauthorized", "Odmowa."};
    if (hello.contains("crash")) throw std::logic_error("unexpected");
    Peer peer;
    peer.pid = 1;
    peer.identifier = "org.orvan.library";
    peer.codeHash = "0123456789abcdef";
    peer.isBundle = true;
    peer.verified.writer = writer;
    return peer;
  }
  void recheck(const Peer&) override {}
};

// Checks a "run" request as the launcher does, then answers with the
// decoded input as its output instead of starting anything.
class EchoLauncher : public ToolRunner {
 public:
  explicit EchoLauncher(const Settings& settings) : settings(settings) {}
  void run(const json::Value& request, const Peer&, const Send& send) override {
    auto tool = request.find("tool");
    if (tool == request.end() || !tool->is_string()) throw AccessError{"request", "Brak narzędzia."};
    if (!tool->get_ref<const std::string&>().starts_with('/'))
      throw AccessError{"tool", "Narzędzie musi mieć ścieżkę bezwzględną."};
    auto env = request.find("env");
    std::map<std::string, std::string> environment = childEnvironment(settings, env != request.end() ? *env : json::Value());
    for (const auto& [key, value] : environment)
      if (deniedEnvironmentKey(key)) __builtin_trap();
    std::string input;
    if (auto stdinText = request.find("stdin"); stdinText != request.end() && stdinText->is_string()) {
      std::optional<std::string> decoded = base64Decode(stdinText->get_ref<const std::string&>());
      if (decoded) {
        // Our own encoding must read back to the same bytes.
        if (base64Decode(base64Encode(*decoded)) != decoded) __builtin_trap();
        input = *decoded;
      }
    }
    json::Value event = json::Value::object();
    event["event"] = "stdout";
    event["data"] = base64Encode(input);
    send(event);
    send({{"ok", true}, {"exit", 0}, {"signal", 0}});
  }

 private:
  const Settings& settings;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const Settings settings = [] {
    Settings made;
    made.maxLineBytes = 4096;  // small, so that the limit is reached often
    made.home = "/home/fuzz";
    made.environment = {{"LANG", "pl_PL.UTF-8"}, {"USER", "fuzz"}};
    return made;
  }();
  if (size == 0) return 0;
  // The first byte picks the packet size, the rest is the stream.
  std::size_t packet = 1 + data[0] % 64;
  std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);

  MemoryStore store;
  AnyPeer verifier;
  EchoLauncher launcher(settings);
  Activity activity;
  WaitingRoom waitingRoom(1);
  Services services{settings, store, verifier, launcher, activity, waitingRoom};
  std::size_t replies = 0;
  // Every byte comes from this process, and requests may follow the
  // greeting in the same packet.
  Session session(services, [&replies](const json::Value& message) {
    std::string line = messageLine(message);
    if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1) __builtin_trap();
    ++replies;
  }, [] { return std::size_t{0}; });
  LineReader reader(settings.maxLineBytes);
  std::size_t offset = 0;
  auto read = [&](char* into, std::size_t capacity, trust::Writer& writer) -> long {
    writer.pid = ::getpid();
    writer.uid = ::geteuid();
    std::size_t count = std::min({packet, capacity, stream.size() - offset});
    std::copy_n(stream.data() + offset, count, into);
    offset += count;
    return static_cast<long>(count);
  };
  while (std::optional<std::string> line = reader.readLine(read)) {
    if (line->size() > settings.maxLineBytes + 64 || line->find('\n') != std::string::npos) __builtin_trap();
    if (!session.handleLine(*line, reader.lineWriter())) break;
  }
  return 0;
}
