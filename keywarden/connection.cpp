// One accepted socket: reads its lines with the process that wrote each,
// hands them to the session, and serializes every write to it.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "keywarden.h"

namespace keywarden {

Connection::Connection(int fd, Services& services)
    : fd(fd), services(services), reader(services.settings.maxGreetingLineBytes) {}

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

// Called with a place in the waiting room taken; gives it up once the
// connection is admitted or ends.
void Connection::serve() {
  services.activity.touch(+1);
  bool waiting = true;
  const auto greetingDeadline =
      std::chrono::steady_clock::now() +
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(services.settings.greetingSeconds));
  auto pending = [this] {
    int queued = 0;
    if (::ioctl(fd, FIONREAD, &queued) != 0 || queued < 0) queued = 1;  // unknown: assume some
    return reader.buffered() + static_cast<std::size_t>(queued);
  };
  Session session(services, [this](const json::Value& message) { send(message); }, pending);
  auto read = [&](char* into, std::size_t capacity, trust::Writer& writer) -> long {
    for (;;) {
      if (waiting) {
        // Until the greeting, a silent client is dropped after a while.
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(greetingDeadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) return 0;
        pollfd ready{fd, POLLIN, 0};
        int polled = ::poll(&ready, 1, static_cast<int>(std::min<long long>(left.count() + 1, 60000)));
        if (polled < 0 && errno != EINTR) return -1;
        if (polled <= 0) continue;
      }
      long n = trust::receiveFromWriter(fd, into, capacity, writer);
      if (n < 0 && errno == EINTR) continue;
      return n;
    }
  };
  try {
    while (std::optional<std::string> line = reader.readLine(read)) {
      if (!session.handleLine(*line, reader.lineWriter())) break;
      if (waiting && session.admitted()) {
        waiting = false;
        services.waitingRoom.leave();
        reader.setLimit(services.settings.maxLineBytes);
      }
    }
  } catch (...) {
    // Out of memory while buffering: end this connection, keep the broker.
  }
  if (waiting) services.waitingRoom.leave();
  services.activity.touch(-1);
}

}  // namespace keywarden
