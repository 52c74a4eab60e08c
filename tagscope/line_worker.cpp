#include "line_worker.h"

#include <unistd.h>

#include <cerrno>
#include <exception>

#include "json.h"
#include "report.h"
#include "text.h"

namespace tagscope {
namespace {

void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

std::optional<std::string> answerLine(std::string_view line) {
  std::string path(trimText(line));
  if (path.empty()) return std::nullopt;
  json::Value row;
  try {
    row = rowFor(path);
  } catch (const std::exception&) {
    // Whatever failed while reading this file leaves its keys out.
    row = json::Value::object();
    row["path"] = path;
  }
  // Paths are bytes; text that is not UTF-8 is written with replacement characters.
  auto text = json::write(row, {.keyOrder = json::KeyOrder::sorted, .invalidUtf8 = json::InvalidUtf8::replace});
  if (!text) return std::nullopt;
  *text += '\n';
  return text;
}

void runLineWorker(std::FILE* input, int output) {
  char* buffer = nullptr;
  std::size_t capacity = 0;
  for (;;) {
    ssize_t length = ::getline(&buffer, &capacity, input);
    if (length < 0) break;
    if (auto answer = answerLine(std::string_view(buffer, static_cast<std::size_t>(length))))
      writeAll(output, *answer);
  }
  std::free(buffer);
}

}  // namespace tagscope
