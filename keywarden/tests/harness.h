// End-to-end harness: a broker process with its own home directory, raw
// socket connections to it, and a verified client (a relay program installed
// in a root-owned application bundle) that talks to it on the tests' behalf.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json.h"

namespace kwtest {

// One side of a byte stream: a socket, or the pipes of a relay process.
class Stream {
 public:
  Stream(int readFd, int writeFd, pid_t process = -1) : readFd(readFd), writeFd(writeFd), process(process) {}
  Stream(Stream&& other) noexcept;
  Stream& operator=(Stream&&) = delete;
  ~Stream();

  bool write(const std::string& bytes);
  // One message: the object, compact, with a line feed.
  bool send(const json::Value& message);
  // The next line without its line feed; nothing at the end of the stream or
  // after `timeoutMs`.
  std::optional<std::string> readLine(int timeoutMs = 20000);
  // The next line as JSON (fails the test when it is missing or no JSON).
  json::Value reply(int timeoutMs = 20000);
  // Sends a request and returns its one reply.
  json::Value request(const json::Value& message);
  // True when the other end closes within `timeoutMs` without sending more.
  bool endsWithoutReply(int timeoutMs = 20000);
  // Ends the writing half (the broker sees the end of the stream).
  void closeInput();
  void closeAll();
  pid_t pid() const { return process; }

 private:
  int readFd, writeFd;
  pid_t process;
  std::string buffer;
  bool ended = false;
};

// A broker with a fresh home directory (HOME), removed with it.
class Broker {
 public:
  explicit Broker(const std::string& program = "keywarden");
  ~Broker();
  // Starts the broker process; with `waitForSocket`, returns once it listens.
  pid_t start(bool waitForSocket = true);
  // Exit status of the last started broker after at most `timeoutMs`, or -1.
  int waitForExit(int timeoutMs);
  void kill();
  std::string logText() const;
  std::vector<std::string> logMessages() const;  // the messages without time and pid

  // Moves the home below the scratch directory (still removed with it).
  void useHome(const std::string& name);

  std::string home, accessHome, socketPath;
  pid_t pid = -1;

 private:
  std::string program, scratch;
};

// A raw connection from this test process (an unverified peer).
Stream connectRaw(const std::string& socketPath);
// A connection through the relay installed in the test bundle (a verified
// peer); nothing when the bundle cannot be made (not running as root).
std::optional<Stream> connectVerified(const std::string& socketPath);
// A connection through a copy of the relay at `path` (not a bundle).
Stream connectThrough(const std::string& relayPath, const std::string& socketPath);
// The relay program of the build, to copy elsewhere.
std::string relayProgram();
// The test bundle's root directory (created on first use); empty when not root.
std::string testBundle();
// A verified connection that has greeted; skips the test when not root.
#define KW_VERIFIED(stream, broker)                                         \
  auto stream##Optional = ::kwtest::connectVerified((broker).socketPath);   \
  if (!stream##Optional) GTEST_SKIP() << "needs root for the test bundle";  \
  ::kwtest::Stream& stream = *stream##Optional;                             \
  ASSERT_EQ(stream.request({{"op", "hello"}, {"v", 1}})["ok"], true)

// Runs a program with the tests' environment and returns what it printed on
// standard output by the time it ended (killed after `timeoutMs`).
std::string outputOf(const std::string& program, const std::vector<std::string>& arguments,
                     int timeoutMs = 30000);
// The attacker program of the build (tests/attacker.cpp).
std::string attackerProgram();

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents, mode_t mode = 0644);
mode_t fileMode(const std::string& path);
bool exists(const std::string& path);
std::string base64(const std::string& bytes);
std::string unbase64(const std::string& text);

// The final reply of a "run" and the joined output before it.
struct RunResult {
  json::Value reply;
  std::string out, err;
  int events = 0;
};
RunResult runTool(Stream& stream, const json::Value& request);

}  // namespace kwtest
