// One accepted socket: reads its lines, hands them to the session, and
// serializes every write to it.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "keywarden.h"

namespace keywarden {

Connection::Connection(int fd, Services& services)
    : fd(fd), services(services), reader(services.settings.maxLineBytes) {}

Connection::~Connection() { ::close(fd); }

void Connection::send(const json::Value& message) {
  std::string line = messageLine(message);
  std::lock_guard lock(writeQueue);
  std::size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the rest of this message is lost
    done += static_cast<std::size_t>(n);
  }
}

void Connection::serve() {
  services.activity.touch(+1);
  Session session(services, fd, [this](const json::Value& message) { send(message); });
  auto read = [this](char* into, std::size_t capacity) -> long {
    for (;;) {
      ssize_t n = ::recv(fd, into, capacity, 0);
      if (n < 0 && errno == EINTR) continue;
      return n;
    }
  };
  try {
    while (std::optional<std::string> line = reader.readLine(read)) {
      if (!session.handleLine(*line)) break;
    }
  } catch (...) {
    // Out of memory while buffering: end this connection, keep the broker.
  }
  services.activity.touch(-1);
}

}  // namespace keywarden
