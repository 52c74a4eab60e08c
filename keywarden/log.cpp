// The broker's log: one line per event, appended to "keywarden.log".
#include <fcntl.h>
#include <unistd.h>

#include <ctime>
#include <mutex>

#include "keywarden.h"

namespace keywarden {
namespace {

std::mutex logQueue;  // every log write runs under it, one after another
std::string logPath;

void writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

void setLogPath(const std::string& path) {
  std::lock_guard lock(logQueue);
  logPath = path;
}

std::string isoTime(std::chrono::system_clock::time_point time) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

void log(const std::string& message) {
  std::string line = isoTime(std::chrono::system_clock::now()) + " [" + std::to_string(::getpid()) + "] " +
                     message + "\n";
  std::lock_guard lock(logQueue);
  int fd = ::open(logPath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) fd = ::open(logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  writeAll(fd, line);
  ::close(fd);
}

}  // namespace keywarden
