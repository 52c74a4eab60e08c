// Tool launching: the permission rule, then posix_spawn with three pipes (no
// shell), the input written and the output streamed from one poll loop, the
// time limit enforced on the child's process group, and the final reply.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include "keywarden.h"

namespace keywarden {
namespace {

using Clock = std::chrono::steady_clock;

// A descriptor closed when it goes out of scope.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd(other.release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~Descriptor() { reset(); }
  int get() const { return fd; }
  bool open() const { return fd >= 0; }
  int release() {
    int old = fd;
    fd = -1;
    return old;
  }
  void reset(int replacement = -1) {
    if (fd >= 0) ::close(fd);
    fd = replacement;
  }

 private:
  int fd = -1;
};

struct Pipe {
  Descriptor read, write;
};

bool makePipe(Pipe& pipe) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  pipe.read.reset(ends[0]);
  pipe.write.reset(ends[1]);
  return true;
}

std::string lastComponent(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The launched program's process, its pipes and its time limit.
struct Child {
  pid_t pid = -1;
  Descriptor pidfd, input, output, error;
  std::string pendingInput;
  std::size_t inputDone = 0;
  bool exited = false;
  int status = 0;
};

// Starts `program` with its three standard streams on pipes, in a process
// group of its own, with default signal handling and no other descriptor.
bool spawn(Child& child, const std::string& program, const std::vector<std::string>& arguments,
           const std::map<std::string, std::string>& environment, const std::optional<std::string>& cwd) {
  Pipe in, out, err;
  if (!makePipe(in) || !makePipe(out) || !makePipe(err)) return false;

  std::vector<std::string> environmentLines;
  for (const auto& [key, value] : environment) environmentLines.push_back(key + "=" + value);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& line : environmentLines) envp.push_back(line.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_adddup2(&actions, in.read.get(), 0);
  posix_spawn_file_actions_adddup2(&actions, out.write.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, err.write.get(), 2);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (cwd) posix_spawn_file_actions_addchdir_np(&actions, cwd->c_str());
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);  // the broker ignores SIGPIPE; its tools must not
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  int failed = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (failed != 0) return false;

  child.pid = pid;
  child.pidfd.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  child.input = std::move(in.write);
  child.output = std::move(out.read);
  child.error = std::move(err.read);
  ::fcntl(child.input.get(), F_SETFL, O_NONBLOCK);
  return true;
}

void reap(Child& child) {
  int status = 0;
  pid_t done;
  do done = ::waitpid(child.pid, &status, 0);
  while (done < 0 && errno == EINTR);
  child.exited = true;
  child.status = status;
}

// Writes as much pending input as the pipe takes; closes the pipe when all
// is written or the child has closed its end.
void feedInput(Child& child) {
  while (child.inputDone < child.pendingInput.size()) {
    std::size_t size = std::min<std::size_t>(child.pendingInput.size() - child.inputDone, 65536);
    ssize_t n = ::write(child.input.get(), child.pendingInput.data() + child.inputDone, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) break;  // EPIPE: the child stopped reading; the rest is dropped
    child.inputDone += static_cast<std::size_t>(n);
  }
  child.input.reset();
  child.pendingInput.clear();
}

// Reads one chunk of a stream and sends it as an output event.
void relayOutput(Descriptor& stream, const char* name, const Send& send, Activity& activity) {
  char chunk[65536];
  ssize_t n = ::read(stream.get(), chunk, sizeof chunk);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    stream.reset();
    return;
  }
  json::Value event = json::Value::object();
  event["event"] = name;
  event["data"] = base64Encode(std::string_view(chunk, static_cast<std::size_t>(n)));
  send(event);
  activity.touch();
}

// Runs the loop until the child has exited and both output streams ended.
void superviseChild(Child& child, std::optional<Clock::time_point> deadline, const Send& send, Activity& activity) {
  std::optional<Clock::time_point> killAt;
  while (!child.exited || child.output.open() || child.error.open()) {
    Clock::time_point now = Clock::now();
    if (deadline && now >= *deadline) {
      ::kill(-child.pid, SIGTERM);
      deadline.reset();
      killAt = now + std::chrono::seconds(3);
    }
    if (killAt && now >= *killAt) {
      ::kill(-child.pid, SIGKILL);
      killAt.reset();
    }
    std::optional<Clock::time_point> next = deadline ? deadline : killAt;
    int timeout = -1;
    if (next) {
      auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
      timeout = static_cast<int>(std::clamp<long long>(wait, 0, INT_MAX));
    }
    std::array<pollfd, 4> fds{};
    std::array<Descriptor*, 4> owners{};
    nfds_t count = 0;
    auto watch = [&](Descriptor& fd, short events) {
      if (!fd.open()) return;
      fds[count] = {fd.get(), events, 0};
      owners[count++] = &fd;
    };
    watch(child.output, POLLIN);
    watch(child.error, POLLIN);
    watch(child.input, POLLOUT);
    if (!child.exited) watch(child.pidfd, POLLIN);
    if (count == 0) {
      reap(child);  // no pid descriptor: wait for the exit directly
      continue;
    }
    int ready = ::poll(fds.data(), count, timeout);
    if (ready < 0 && errno != EINTR) break;
    for (nfds_t i = 0; ready > 0 && i < count; ++i) {
      if (fds[i].revents == 0) continue;
      Descriptor* owner = owners[i];
      if (owner == &child.output) relayOutput(child.output, "stdout", send, activity);
      else if (owner == &child.error) relayOutput(child.error, "stderr", send, activity);
      else if (owner == &child.input) feedInput(child);
      else reap(child);
    }
  }
  if (!child.exited) reap(child);
}

}  // namespace

std::string authorizedTool(const std::string& path, const Peer& peer) {
  if (!path.starts_with('/')) throw AccessError{"tool", "Narzędzie musi mieć ścieżkę bezwzględną."};
  AccessError missing{"tool", "Brak narzędzia do uruchomienia."};
  char* resolvedText = ::realpath(path.c_str(), nullptr);
  if (!resolvedText) throw missing;
  std::string resolved(resolvedText);
  std::free(resolvedText);
  struct stat info{};
  if (::stat(resolved.c_str(), &info) != 0 || S_ISDIR(info.st_mode) || ::access(resolved.c_str(), X_OK) != 0)
    throw missing;
  if (peer.isBundle && trust::isInsideBundle(resolved, peer.verified)) {
    if (trust::recheckBundle(peer.verified, resolved) != trust::Refusal::none)
      throw AccessError{"unauthorized", "Pliki aplikacji różnią się od podpisanych."};
    return resolved;
  }
  if (trust::isPlatformProgram(resolved)) return resolved;
  throw AccessError{"tool", "Wolno uruchomić tylko narzędzie z pakietu Orvan albo program Apple."};
}

void Launcher::run(const json::Value& request, const Peer& peer, const Send& send) {
  auto tool = request.find("tool");
  if (tool == request.end() || !tool->is_string()) throw AccessError{"request", "Brak narzędzia."};
  std::string program = authorizedTool(tool->get<std::string>(), peer);

  std::vector<std::string> arguments;
  if (auto args = request.find("args"); args != request.end() && args->is_array()) {
    for (const json::Value& argument : *args)
      if (argument.is_string()) arguments.push_back(argument.get<std::string>());
  }
  auto requestedEnvironment = request.find("env");
  std::map<std::string, std::string> environment =
      childEnvironment(settings, requestedEnvironment != request.end() ? *requestedEnvironment : json::Value());

  std::optional<std::string> cwd;
  if (auto found = request.find("cwd"); found != request.end() && found->is_string()) {
    cwd = found->get<std::string>();
    struct stat info{};
    if (!cwd->starts_with('/') || ::stat(cwd->c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
      throw AccessError{"request", "Katalog roboczy nie istnieje."};
  }

  std::optional<std::string> input;
  if (auto found = request.find("stdin"); found != request.end() && found->is_string())
    input = base64Decode(found->get_ref<const std::string&>());
  std::optional<Clock::time_point> deadline;
  if (auto found = request.find("timeoutMs"); found != request.end() && found->is_number()) {
    double milliseconds = found->get<double>();
    if (milliseconds > 0)
      deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double, std::milli>(std::min(milliseconds, 1e12)));
  }

  Child child;
  if (!spawn(child, program, arguments, environment, cwd))
    throw AccessError{"tool", "Nie udało się uruchomić narzędzia."};
  log("run: " + lastComponent(program) + " dla " + peer.identifier + " (pid " + std::to_string(child.pid) + ")");

  if (input) child.pendingInput = std::move(*input);
  feedInput(child);
  superviseChild(child, deadline, send, activity);

  json::Value reply = json::Value::object();
  reply["ok"] = true;
  bool signalled = WIFSIGNALED(child.status);
  reply["exit"] = signalled ? -1 : WEXITSTATUS(child.status);
  reply["signal"] = signalled ? WTERMSIG(child.status) : 0;
  send(reply);
}

}  // namespace keywarden
