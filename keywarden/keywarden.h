// The access broker: keeps the host application's secrets and launches
// permitted tools for a verified peer, over a Unix-domain socket in the
// broker's private home directory.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "json.h"
#include "trust.h"

namespace keywarden {

// Process-wide settings, computed once at start and then only read.
struct Settings {
  int protocolVersion = 1;
  std::string keychainService = "org.orvan.access";
  std::string hostIdentifier = "org.orvan.library";  // the host application's bundle marker
  std::size_t maxLineBytes = 50331648;  // 48 MiB
  // Before the greeting: a greeting is tiny, so a longer line ends the
  // connection; so do a silence of greetingSeconds, and connections beyond
  // maxWaitingConnections are closed as soon as they are accepted.
  std::size_t maxGreetingLineBytes = 65536;
  double greetingSeconds = 60;
  int maxWaitingConnections = 64;
  std::map<std::string, std::string> environment;
  std::string home;  // the user's home directory
  std::string accessHome;
  std::string socketPath;
  std::string lockPath;
  std::string logPath;
  double idleExitSeconds = 900;
};

// Builds the settings from the broker's own environment and the user's home.
Settings makeSettings(char** environ);

// A failure the client is told about: code and message as sent.
struct AccessError {
  std::string code;
  std::string message;
};

// The verified client of a connection: the process that wrote its greeting.
struct Peer {
  int32_t pid = 0;
  std::string identifier;
  std::string path;  // the bundle directory, or the executable
  bool isBundle = false;
  std::string codeHash;  // hexadecimal SHA-256 of the verified executable
  trust::VerifiedPeer verified;  // what re-checking the bundle and the writer needs
};

// The per-user secret store. Each operation throws AccessError on failure.
class SecretStore {
 public:
  virtual ~SecretStore() = default;
  virtual std::optional<std::string> get(const std::string& name) = 0;
  virtual void set(const std::string& name, const std::string& value) = 0;
  virtual void remove(const std::string& name) = 0;  // "delete"
};

// Verifies the process that wrote the greeting.
// Throws AccessError "unauthorized" with a short Polish reason.
class PeerVerifier {
 public:
  virtual ~PeerVerifier() = default;
  virtual Peer verify(const trust::Writer& writer, const json::Value& hello) = 0;
  // Before each later request: the verified process still runs untraced.
  // Throws AccessError "unauthorized" when not.
  virtual void recheck(const Peer& peer) = 0;
};

// Sends one message on the connection (serialized with every other write).
using Send = std::function<void(const json::Value&)>;

// Performs a "run" request: sends the output events and the final reply,
// or throws AccessError before anything is started.
class ToolRunner {
 public:
  virtual ~ToolRunner() = default;
  virtual void run(const json::Value& request, const Peer& peer, const Send& send) = 0;
};

// ---- log.cpp ----

// Appends one line to the log; lines from different threads never mix.
void log(const std::string& message);
// Where log() writes (set once at start).
void setLogPath(const std::string& path);
// The time in ISO 8601 UTC with whole seconds and "Z".
std::string isoTime(std::chrono::system_clock::time_point time);

// ---- activity.cpp ----

// Activity counters of the idle watchdog.
class Activity {
 public:
  void touch(int delta = 0);
  // Seconds since the last activity, or nothing while a connection is open.
  std::optional<double> idleSeconds();

 private:
  std::mutex activityLock;
  int activeConnections = 0;
  std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
};

// Bounds the connections that have not greeted yet.
class WaitingRoom {
 public:
  explicit WaitingRoom(int capacity) : capacity(capacity) {}
  void enter();  // waits for a free place
  void leave();

 private:
  std::mutex lock;
  std::condition_variable freed;
  int waiting = 0;
  int capacity;
};

// ---- broker.cpp ----

void prepareHome(const Settings& settings);
// The descriptor holding the lock, or -1 when another broker holds it.
int acquireSingleInstanceLock(const Settings& settings);
// The listening socket; logs and exits with status 1 on failure.
int listen(const Settings& settings);
// The watchdog's polling interval in seconds.
double idleInterval(double idleExitSeconds);
void startIdleWatchdog(const Settings& settings, Activity& activity);

// What every connection shares.
struct Services {
  const Settings& settings;
  SecretStore& secretStore;
  PeerVerifier& verifier;
  ToolRunner& tools;
  Activity& activity;
  WaitingRoom& waitingRoom;
};

[[noreturn]] void acceptLoop(int server, Services& services);

// ---- protocol.cpp ----

// Splits the byte stream of a connection into lines, and tells which
// process wrote each line.
class LineReader {
 public:
  explicit LineReader(std::size_t maxLineBytes) : maxLineBytes(maxLineBytes) {}
  // Reads into `into` up to `capacity` bytes, all written by `writer`;
  // returns the count, 0 at the end of the stream, negative on error.
  using Read = std::function<long(char* into, std::size_t capacity, trust::Writer& writer)>;
  // The next line without its line feed, or nothing when the connection ends.
  std::optional<std::string> readLine(const Read& read);
  // The writer of every byte of the last line (with its line feed); an
  // unknown writer when the bytes came from several processes or carried
  // no credentials.
  const trust::Writer& lineWriter() const { return lastWriter; }
  // Bytes received but not yet returned as a line.
  std::size_t buffered() const { return buffer.size(); }
  void setLimit(std::size_t bytes) { maxLineBytes = bytes; }

 private:
  // The writer of the buffer's bytes before `end`, after the previous piece.
  struct Piece {
    std::size_t end;
    trust::Writer writer;
  };
  void takeWriterOf(std::size_t length);

  std::size_t maxLineBytes;
  std::string buffer;
  std::deque<Piece> pieces;
  trust::Writer lastWriter;
  std::size_t scanned = 0;  // bytes of buffer known to hold no line feed
};

// The requests of one connection, one line at a time.
class Session {
 public:
  // `pending` tells how many bytes have arrived beyond the line in hand.
  using Pending = std::function<std::size_t()>;
  Session(Services& services, Send send, Pending pending)
      : services(services), send(std::move(send)), pending(std::move(pending)) {}
  // Handles one request line written by `writer`; false when the connection
  // is to end.
  bool handleLine(const std::string& line, const trust::Writer& writer);
  bool admitted() const { return peer.has_value(); }

 private:
  void fail(const std::string& code, const std::string& message);
  void refuse(const std::string& message);
  bool hello(const json::Value& request, const trust::Writer& writer);
  void dispatch(const std::string& op, const json::Value& request);

  Services& services;
  Send send;
  Pending pending;
  std::optional<Peer> peer;
};

// The refusals of a connection that is not, or no longer, its verified
// peer's alone.
inline constexpr const char* otherProcessMessage = "Połączenie należy do innego procesu.";
inline constexpr const char* earlyRequestMessage = "Żądanie wysłane przed przyjęciem powitania.";

// The compact one-line form of a message, with its line feed.
std::string messageLine(const json::Value& message);

// ---- connection.cpp ----

// One accepted socket, served on its own thread until it ends.
class Connection {
 public:
  Connection(int fd, Services& services);
  ~Connection();
  void serve();
  void send(const json::Value& message);

 private:
  int fd;
  std::mutex writeQueue;
  Services& services;
  LineReader reader;
};

// ---- secrets.cpp ----

// The "name" of a secret request; throws AccessError "request" otherwise.
std::string secretName(const json::Value& request);
json::Value secretGet(SecretStore& store, const json::Value& request);
json::Value secretSet(SecretStore& store, const json::Value& request);
json::Value secretDelete(SecretStore& store, const json::Value& request);

// ---- base64.cpp ----

std::string base64Encode(std::string_view bytes);
// Strict standard base64 with padding; nothing on any other character.
std::optional<std::string> base64Decode(std::string_view text);

// ---- stores.cpp: the real store and verifier ----

class KeychainSecretStore : public SecretStore {
 public:
  explicit KeychainSecretStore(const Settings& settings) : service(settings.keychainService) {}
  std::optional<std::string> get(const std::string& name) override;
  void set(const std::string& name, const std::string& value) override;
  void remove(const std::string& name) override;

 private:
  std::string service;
};

class TrustPeerVerifier : public PeerVerifier {
 public:
  explicit TrustPeerVerifier(const Settings& settings) : hostIdentifier(settings.hostIdentifier) {}
  Peer verify(const trust::Writer& writer, const json::Value& hello) override;
  void recheck(const Peer& peer) override;

 private:
  std::string hostIdentifier;
};

// The Polish reason given for a refused peer.
std::string refusalMessage(trust::Refusal refusal);

// ---- launcher.cpp ----

// Applies the permission rule; the resolved program path, or AccessError.
std::string authorizedTool(const std::string& path, const Peer& peer);

// Launches tools with posix_spawn, feeding input and streaming output.
class Launcher : public ToolRunner {
 public:
  Launcher(const Settings& settings, Activity& activity) : settings(settings), activity(activity) {}
  void run(const json::Value& request, const Peer& peer, const Send& send) override;

 private:
  const Settings& settings;
  Activity& activity;
};

// ---- environment.cpp ----

// The environment of a launched tool: a fixed base and the allowed requested entries.
std::map<std::string, std::string> childEnvironment(const Settings& settings, const json::Value& requested);
bool deniedEnvironmentKey(const std::string& key);

}  // namespace keywarden
