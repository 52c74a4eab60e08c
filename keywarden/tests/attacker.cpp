// Tries to pass a connection off as the host application's, the ways a
// process of the same user could: it connects, then lets the genuine host
// program (`host`, from the test bundle) take over the process that
// connected, or a process that holds the socket, while another process does
// the talking. Prints every line the broker sends on the attacked socket.
//
//   attacker <mode> <socket> <host>
//     parent-exec      connect, fork; the parent execs the host, the child
//                      greets and asks once the parent runs it
//     child-exec       connect, fork; the child execs the host, the parent
//                      greets and asks once the child runs it
//     passed-fd        connect, pass the socket with SCM_RIGHTS to a process
//                      that never connected, exec the host; the receiver talks
//     write-then-exec  connect, fork a reader; write the greeting and the
//                      requests, then exec the host
//
// The exec'd host is the test relay: it connects a connection of its own
// (given the socket) and waits on standard input, a pipe that stays open
// while the talking process lives; its output goes to /dev/null.
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

const char* requests =
    "{\"op\":\"secret.get\",\"name\":\"token\"}\n"
    "{\"op\":\"run\",\"tool\":\"/usr/bin/id\"}\n";
const char* greeting = "{\"op\":\"hello\",\"v\":1}\n";

int connectTo(const char* path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::exit(3);
  return fd;
}

void writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// Copies what the broker sends to standard output until it closes or
// falls silent for a while.
void relayReplies(int fd) {
  char buffer[65536];
  for (;;) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 5000) <= 0) return;
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    if (::write(1, buffer, static_cast<std::size_t>(n)) < 0) return;
  }
}

// Waits until process `pid` runs the program at `host`.
bool waitUntilRunning(pid_t pid, const char* host) {
  char wanted[PATH_MAX];
  if (!::realpath(host, wanted)) return false;
  std::string link = "/proc/" + std::to_string(pid) + "/exe";
  for (int i = 0; i < 2000; ++i) {
    char seen[PATH_MAX];
    ssize_t n = ::readlink(link.c_str(), seen, sizeof seen - 1);
    if (n > 0) {
      seen[n] = '\0';
      if (std::strcmp(seen, wanted) == 0) {
        // Give the host a moment past its start, as a patient attacker would.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// The host keeps the inherited socket (no close-on-exec) and stays alive on
// an open standard input.
int keepAlive[2] = {-1, -1};

[[noreturn]] void becomeHost(const char* host, const char* socketPath) {
  int nothing = ::open("/dev/null", O_WRONLY);
  ::dup2(keepAlive[0], 0);
  ::dup2(nothing, 1);
  ::close(keepAlive[1]);
  char* arguments[] = {const_cast<char*>(host), const_cast<char*>(socketPath), nullptr};
  char* environment[] = {nullptr};
  ::execve(host, arguments, environment);
  std::_Exit(4);
}

void talk(int fd, pid_t hostPid, const char* host) {
  if (!waitUntilRunning(hostPid, host)) std::exit(5);
  writeAll(fd, greeting);
  // Wait for the answer to the greeting, then ask.
  char first[4096];
  pollfd ready{fd, POLLIN, 0};
  if (::poll(&ready, 1, 10000) <= 0) return;
  ssize_t n = ::recv(fd, first, sizeof first, 0);
  if (n <= 0) return;
  if (::write(1, first, static_cast<std::size_t>(n)) < 0) return;
  writeAll(fd, requests);
  relayReplies(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string mode = argv[1];
  const char* socketPath = argv[2];
  const char* host = argv[3];
  ::signal(SIGPIPE, SIG_IGN);
  if (::pipe(keepAlive) != 0) return 3;

  if (mode == "parent-exec") {
    int fd = connectTo(socketPath);
    pid_t parent = ::getpid();
    if (::fork() == 0) {
      talk(fd, parent, host);
      return 0;
    }
    becomeHost(host, socketPath);
  }
  if (mode == "child-exec") {
    int fd = connectTo(socketPath);
    pid_t child = ::fork();
    if (child == 0) becomeHost(host, socketPath);
    talk(fd, child, host);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    return 0;
  }
  if (mode == "passed-fd") {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 3;
    pid_t parent = ::getpid();
    if (::fork() == 0) {
      // The receiver never connected: it gets the socket passed to it.
      ::close(pair[0]);
      char byte;
      iovec vector{&byte, 1};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
      msghdr message{};
      message.msg_iov = &vector;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      if (::recvmsg(pair[1], &message, 0) != 1 || !CMSG_FIRSTHDR(&message)) return 6;
      int fd;
      std::memcpy(&fd, CMSG_DATA(CMSG_FIRSTHDR(&message)), sizeof fd);
      talk(fd, parent, host);
      return 0;
    }
    ::close(pair[1]);
    int fd = connectTo(socketPath);
    char byte = 'x';
    iovec vector{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    if (::sendmsg(pair[0], &message, 0) != 1) return 6;
    ::close(fd);  // only the receiver holds the connection now
    becomeHost(host, socketPath);
  }
  if (mode == "write-then-exec") {
    int fd = connectTo(socketPath);
    if (::fork() == 0) {
      relayReplies(fd);
      return 0;
    }
    writeAll(fd, std::string(greeting) + requests);
    becomeHost(host, socketPath);
  }
  return 2;
}
