// A stand-in for the host application in the tests: connects to the broker's
// socket and relays standard input to it and its replies to standard output.
// End of input half-closes the socket; the program ends when the broker
// closes its end.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 3;
  bool inputOpen = true;
  char buffer[65536];
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {0, POLLIN, 0}};
    if (::poll(fds, inputOpen ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      return 4;
    }
    if (fds[0].revents) {
      ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) return 0;
      if (!writeAll(1, buffer, static_cast<std::size_t>(n))) return 0;
    }
    if (inputOpen && fds[1].revents) {
      ssize_t n = ::read(0, buffer, sizeof buffer);
      if (n <= 0) {
        inputOpen = false;
        ::shutdown(fd, SHUT_WR);
      } else if (!writeAll(fd, buffer, static_cast<std::size_t>(n))) {
        inputOpen = false;
      }
    }
  }
}
