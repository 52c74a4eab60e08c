// treeclerk: one file-system request, given as JSON in the first argument;
// the result on standard output, or an error object on standard error with
// status 1.

#include <cerrno>
#include <string>
#include <string_view>

#include <unistd.h>

#include "treeclerk.h"

namespace {

void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throw treeclerk::fail("write", fd == STDOUT_FILENO ? "/dev/stdout" : "/dev/stderr");
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

std::string readAll(int fd) {
  std::string data;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw treeclerk::fail("read", "/dev/stdin");
    }
    if (got == 0) return data;
    data.append(buffer, static_cast<std::size_t>(got));
  }
}

}  // namespace

int main(int argc, char** argv) {
  treeclerk::Session session{
      .streams = {.writeStandardOutput = [](std::string_view bytes) { writeAll(STDOUT_FILENO, bytes); },
                  .readStandardInput = [] { return readAll(STDIN_FILENO); }},
      .captureBuffer = std::nullopt};
  const treeclerk::Outcome outcome = treeclerk::run(argc > 1 ? argv[1] : nullptr, session);
  if (outcome.status != 0) {
    try {
      writeAll(STDERR_FILENO, outcome.errorText);
    } catch (const treeclerk::Failure&) {
    }
  }
  return outcome.status;
}
