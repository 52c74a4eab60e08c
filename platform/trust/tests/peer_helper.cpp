// A peer for the verification tests: maps the file named by --map=<path> as
// executable code when asked, connects to the Unix socket named by its first
// argument, and stays until the other end closes. Other arguments are
// ignored, so tests can pass switches that the verifier looks for.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  for (int i = 2; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument.starts_with("--map=")) {
      const int fd = open(argv[i] + 6, O_RDONLY | O_CLOEXEC);
      if (fd < 0 || mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE, fd, 0) == MAP_FAILED)
        return 3;
      close(fd);
    }
  }
  const int socketFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketFd < 0 || std::strlen(argv[1]) >= sizeof address.sun_path) return 4;
  std::strcpy(address.sun_path, argv[1]);
  if (connect(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 5;
  char byte;
  while (read(socketFd, &byte, 1) > 0) {
  }
  return 0;
}
