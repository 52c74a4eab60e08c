// The broker process around the work: its home directory, the single-instance
// lock, the listening socket, the accept loop and the idle watchdog.
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

#include "keywarden.h"

namespace keywarden {
namespace {

std::string userHome() {
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return home;
  if (passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return "/";
}

}  // namespace

Settings makeSettings(char** environ) {
  Settings settings;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view text(*entry);
    std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    settings.environment.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  settings.home = userHome();
  settings.accessHome = settings.home + "/Library/Application Support/Orvan Access";
  settings.socketPath = settings.accessHome + "/socket";
  settings.lockPath = settings.accessHome + "/lock";
  settings.logPath = settings.accessHome + "/keywarden.log";
  return settings;
}

// Every directory it has to create, down to the access home, is private
// (0700); directories that exist already are left as they are, but the
// access home itself is always made private.
void prepareHome(const Settings& settings) {
  std::filesystem::path partial;
  for (const std::filesystem::path& part : std::filesystem::path(settings.accessHome)) {
    partial /= part;
    if (partial == partial.root_path()) continue;
    ::mkdir(partial.c_str(), 0700);
  }
  ::chmod(settings.accessHome.c_str(), 0700);
}

int acquireSingleInstanceLock(const Settings& settings) {
  int fd = ::open(settings.lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int listen(const Settings& settings) {
  int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (server < 0) {
    log("brak gniazda");
    std::exit(1);
  }
  sockaddr_un address{};
  if (settings.socketPath.size() > 103 || settings.socketPath.size() >= sizeof address.sun_path) {
    log("ścieżka gniazda za długa");
    std::exit(1);
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, settings.socketPath.c_str(), settings.socketPath.size() + 1);
  ::unlink(settings.socketPath.c_str());
  if (::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    log("bind nieudany (" + std::to_string(errno) + ")");
    std::exit(1);
  }
  ::chmod(settings.socketPath.c_str(), 0600);
  // Every accepted socket then carries the credentials of the process that
  // wrote each piece of data, so that a request is judged by its writer.
  if (!trust::attachWriterCredentials(server)) {
    log("brak gniazda");
    std::exit(1);
  }
  if (::listen(server, 16) != 0) {
    log("listen nieudany");
    std::exit(1);
  }
  return server;
}

double idleInterval(double idleExitSeconds) { return std::clamp(idleExitSeconds * 0.25, 1.0, 30.0); }

void startIdleWatchdog(const Settings& settings, Activity& activity) {
  std::thread([&settings, &activity] {
    auto interval = std::chrono::duration<double>(idleInterval(settings.idleExitSeconds));
    for (;;) {
      std::this_thread::sleep_for(interval);
      std::optional<double> idle = activity.idleSeconds();
      if (idle && *idle > settings.idleExitSeconds) break;
    }
    log("bezczynność — koniec pracy");
    ::unlink(settings.socketPath.c_str());
    // Connection threads may still be winding down: end without running destructors.
    ::_exit(0);
  }).detach();
}

void acceptLoop(int server, Services& services) {
  for (;;) {
    // Connections that have not greeted are bounded: while the waiting room
    // is full, new ones stay in the listening queue until a place is free.
    services.waitingRoom.enter();
    int fd = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      services.waitingRoom.leave();
      // Out of descriptors or memory: wait a moment instead of spinning.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    try {
      std::thread([fd, &services] {
        Connection connection(fd, services);
        connection.serve();
      }).detach();
    } catch (const std::system_error&) {
      services.waitingRoom.leave();
      ::close(fd);
    }
  }
}

}  // namespace keywarden
