#include "harness.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace kwtest {
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// Variables the tests pass on to the broker and the relay when present.
std::vector<std::string> passedEnvironment() {
  std::vector<std::string> lines;
  for (const char* key : {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "ASAN_OPTIONS", "LSAN_OPTIONS",
                          "UBSAN_OPTIONS"}) {
    if (const char* value = std::getenv(key)) lines.push_back(std::string(key) + "=" + value);
  }
  return lines;
}

pid_t spawnProcess(const std::string& program, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment, int in, int out) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in >= 0) posix_spawn_file_actions_adddup2(&actions, in, 0);
  if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, 1);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> lines = environment;
  std::vector<char*> envp;
  for (std::string& line : lines) envp.push_back(line.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  int failed = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return failed == 0 ? pid : -1;
}

std::string bundleRoot;

void removeBundle() {
  if (!bundleRoot.empty()) fs::remove_all(fs::path(bundleRoot).parent_path());
}

}  // namespace

Stream::Stream(Stream&& other) noexcept
    : readFd(other.readFd), writeFd(other.writeFd), process(other.process), buffer(std::move(other.buffer)),
      ended(other.ended) {
  other.readFd = other.writeFd = -1;
  other.process = -1;
}

Stream::~Stream() { closeAll(); }

void Stream::closeAll() {
  if (writeFd >= 0 && writeFd != readFd) ::close(writeFd);
  if (readFd >= 0) ::close(readFd);
  readFd = writeFd = -1;
  if (process > 0) {
    ::kill(process, SIGKILL);
    ::waitpid(process, nullptr, 0);
    process = -1;
  }
}

bool Stream::write(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(writeFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = ::write(writeFd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool Stream::send(const json::Value& message) { return write(message.dump() + "\n"); }

std::optional<std::string> Stream::readLine(int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (std::size_t end = buffer.find('\n'); end != std::string::npos) {
      std::string line = buffer.substr(0, end);
      buffer.erase(0, end + 1);
      return line;
    }
    if (ended || readFd < 0) return std::nullopt;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return std::nullopt;
    pollfd fd{readFd, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left)) <= 0) continue;
    char chunk[65536];
    ssize_t n = ::read(readFd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended = true;
      continue;
    }
    buffer.append(chunk, static_cast<std::size_t>(n));
  }
}

json::Value Stream::reply(int timeoutMs) {
  std::optional<std::string> line = readLine(timeoutMs);
  EXPECT_TRUE(line.has_value()) << "no reply";
  if (!line) return nullptr;
  std::optional<json::Value> value = json::parse(*line);
  EXPECT_TRUE(value.has_value()) << "not JSON: " << line->substr(0, 200);
  return value ? *value : json::Value(nullptr);
}

json::Value Stream::request(const json::Value& message) {
  EXPECT_TRUE(send(message));
  return reply();
}

bool Stream::endsWithoutReply(int timeoutMs) {
  std::optional<std::string> line = readLine(timeoutMs);
  EXPECT_FALSE(line.has_value()) << "unexpected reply: " << line->substr(0, 200);
  return !line && ended && buffer.empty();
}

void Stream::closeInput() {
  if (writeFd == readFd) {
    ::shutdown(writeFd, SHUT_WR);
  } else if (writeFd >= 0) {
    ::close(writeFd);
    writeFd = -1;
  }
}

Broker::Broker(const std::string& program) : program(program) {
  char pattern[] = "/tmp/keywarden-test-XXXXXX";
  scratch = home = ::mkdtemp(pattern);
  accessHome = home + "/Library/Application Support/Orvan Access";
  socketPath = accessHome + "/socket";
}

Broker::~Broker() {
  kill();
  fs::remove_all(scratch);
}

void Broker::useHome(const std::string& name) {
  home = scratch + "/" + name;
  fs::create_directories(home);
  accessHome = home + "/Library/Application Support/Orvan Access";
  socketPath = accessHome + "/socket";
}

pid_t Broker::start(bool waitForSocket) {
  std::vector<std::string> environment = passedEnvironment();
  environment.push_back("HOME=" + home);
  environment.push_back("USER=kwtest");
  environment.push_back("LANG=pl_PL.UTF-8");
  environment.push_back("PYTHONPATH=/nowhere");
  environment.push_back("ORVAN_SHOULD_NOT_PASS=1");
  auto starts = [this] {
    std::vector<std::string> messages = logMessages();
    return std::count(messages.begin(), messages.end(), "start, protokół 1");
  };
  auto startsBefore = starts();
  pid = spawnProcess(std::string(ORVAN_BIN_DIR) + "/" + program, {}, environment, -1, -1);
  if (!waitForSocket) return pid;
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    struct stat info{};
    if (::stat(socketPath.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) && starts() > startsBefore)
      return pid;
    if (::waitpid(pid, nullptr, WNOHANG) == pid) {
      pid = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ADD_FAILURE() << "broker did not start";
  return pid;
}

int Broker::waitForExit(int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (pid > 0 && Clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      pid = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return -1;
}

void Broker::kill() {
  if (pid <= 0) return;
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  pid = -1;
}

std::string Broker::logText() const { return exists(accessHome + "/keywarden.log") ? readFile(accessHome + "/keywarden.log") : ""; }

std::vector<std::string> Broker::logMessages() const {
  std::vector<std::string> messages;
  std::istringstream lines(logText());
  for (std::string line; std::getline(lines, line);) {
    std::size_t end = line.find("] ");
    messages.push_back(end == std::string::npos ? line : line.substr(end + 2));
  }
  return messages;
}

Stream connectRaw(const std::string& socketPath) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << socketPath;
  return Stream(fd, fd);
}

std::string relayProgram() { return std::string(ORVAN_BIN_DIR) + "/../tests/keywarden_test_client"; }

std::string testBundle() {
  if (!bundleRoot.empty()) return bundleRoot;
  if (::geteuid() != 0) return "";
  std::string base = "/run/orvan-keywarden-test-" + std::to_string(::getpid());
  std::string root = base + "/Orvan.app";
  fs::create_directories(root + "/Contents");
  for (const std::string& dir : {base, root, root + "/Contents"}) ::chmod(dir.c_str(), 0755);
  writeFile(root + "/bundle.identifier", "org.orvan.library\n");
  fs::copy_file(relayProgram(), root + "/Contents/client", fs::copy_options::overwrite_existing);
  ::chmod((root + "/Contents/client").c_str(), 0755);
  bundleRoot = root;
  std::atexit(removeBundle);
  return bundleRoot;
}

Stream connectThrough(const std::string& relayPath, const std::string& socketPath) {
  int in[2], out[2];
  EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
  EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
  pid_t pid = spawnProcess(relayPath, {socketPath}, passedEnvironment(), in[0], out[1]);
  EXPECT_GT(pid, 0);
  ::close(in[0]);
  ::close(out[1]);
  return Stream(out[0], in[1], pid);
}

std::optional<Stream> connectVerified(const std::string& socketPath) {
  std::string bundle = testBundle();
  if (bundle.empty()) return std::nullopt;
  return connectThrough(bundle + "/Contents/client", socketPath);
}

std::string outputOf(const std::string& program, const std::vector<std::string>& arguments, int timeoutMs) {
  int out[2];
  EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
  pid_t pid = spawnProcess(program, arguments, passedEnvironment(), -1, out[1]);
  EXPECT_GT(pid, 0);
  ::close(out[1]);
  // Read until every holder of the pipe (the program and whatever it
  // started) has closed it, or the time is up.
  std::string text;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd fd{out[0], POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left)) <= 0) continue;
    char chunk[4096];
    ssize_t n = ::read(out[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  if (pid > 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  return text;
}

std::string attackerProgram() { return std::string(ORVAN_BIN_DIR) + "/../tests/keywarden_test_attacker"; }

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

void writeFile(const std::string& path, const std::string& contents, mode_t mode) {
  std::ofstream(path, std::ios::binary) << contents;
  ::chmod(path.c_str(), mode);
}

mode_t fileMode(const std::string& path) {
  struct stat info{};
  ::stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

bool exists(const std::string& path) {
  struct stat info{};
  return ::lstat(path.c_str(), &info) == 0;
}

std::string base64(const std::string& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(n));
  return text;
}

std::string unbase64(const std::string& text) {
  std::string bytes(text.size() / 4 * 3 + 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                          reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  EXPECT_GE(n, 0) << "bad base64";
  std::size_t size = n < 0 ? 0 : static_cast<std::size_t>(n);
  if (text.ends_with("==")) size -= 2;
  else if (text.ends_with("=")) size -= 1;
  bytes.resize(size);
  return bytes;
}

RunResult runTool(Stream& stream, const json::Value& request) {
  RunResult result;
  EXPECT_TRUE(stream.send(request));
  for (;;) {
    json::Value message = stream.reply(30000);
    if (!message.is_object() || !message.contains("event")) {
      result.reply = message;
      return result;
    }
    ++result.events;
    std::string data = unbase64(message["data"].get<std::string>());
    (message["event"] == "stdout" ? result.out : result.err) += data;
  }
}

}  // namespace kwtest
