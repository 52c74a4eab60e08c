#include "proc_parsers.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <unordered_set>

namespace trust {
namespace {

std::optional<std::uint64_t> parseDecimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Calls `visit` with each NUL-terminated (or final unterminated) entry.
template <typename Visit>
bool anyEntry(std::string_view text, Visit visit) {
  while (!text.empty()) {
    const std::size_t end = text.find('\0');
    const std::string_view entry = text.substr(0, end);
    if (visit(entry)) return true;
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return false;
}

}  // namespace

ReadResult readBounded(int directoryFd, const std::string& path, std::size_t maxBytes,
                       std::string& out) {
  out.clear();
  const int fd = ::openat(directoryFd, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return ReadResult::unreadable;
  std::array<char, 65536> chunk;
  ReadResult result = ReadResult::ok;
  for (;;) {
    const ssize_t got = ::read(fd, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      result = ReadResult::unreadable;
      break;
    }
    if (got == 0) break;
    if (out.size() + static_cast<std::size_t>(got) > maxBytes) {
      result = ReadResult::tooLarge;
      break;
    }
    out.append(chunk.data(), static_cast<std::size_t>(got));
  }
  ::close(fd);
  if (result != ReadResult::ok) out.clear();
  return result;
}

std::optional<std::uint64_t> parseStartTime(std::string_view statText) {
  const std::size_t close = statText.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = statText.substr(close + 1);
  // After the name come fields 3 (state) onwards; the start time is field 22.
  constexpr int startTimeField = 22;
  int field = 2;
  while (!rest.empty()) {
    const std::size_t begin = rest.find_first_not_of(' ');
    if (begin == std::string_view::npos) break;
    rest.remove_prefix(begin);
    const std::size_t end = std::min(rest.find(' '), rest.size());
    ++field;
    if (field == startTimeField) {
      std::string_view token = rest.substr(0, end);
      if (!token.empty() && token.back() == '\n') token.remove_suffix(1);
      return parseDecimal(token);
    }
    rest.remove_prefix(end);
  }
  return std::nullopt;
}

bool isSameProcessStart(std::optional<std::uint64_t> before, std::optional<std::uint64_t> after) {
  return before && after && *before == *after;
}

std::optional<std::uint64_t> parseTracerPid(std::string_view statusText) {
  constexpr std::string_view key = "TracerPid:";
  std::size_t at = 0;
  while (at < statusText.size()) {
    const std::size_t end = std::min(statusText.find('\n', at), statusText.size());
    std::string_view line = statusText.substr(at, end - at);
    if (line.substr(0, key.size()) == key) {
      line.remove_prefix(key.size());
      const std::size_t begin = line.find_first_not_of(" \t");
      if (begin == std::string_view::npos) return std::nullopt;
      return parseDecimal(line.substr(begin));
    }
    at = end + 1;
  }
  return std::nullopt;
}

bool hasInjectingVariable(std::string_view environText) {
  static constexpr std::array<std::string_view, 5> names = {
      "LD_PRELOAD", "LD_AUDIT", "LD_LIBRARY_PATH", "ELECTRON_RUN_AS_NODE", "NODE_OPTIONS"};
  return anyEntry(environText, [](std::string_view entry) {
    const std::string_view name = entry.substr(0, entry.find('='));
    return std::find(names.begin(), names.end(), name) != names.end();
  });
}

bool hasDebuggingSwitch(std::string_view cmdlineText) {
  return anyEntry(cmdlineText, [](std::string_view argument) {
    if (argument.size() < 2 || argument[0] != '-') return false;
    argument.remove_prefix(argument[1] == '-' ? 2 : 1);
    return argument.starts_with("inspect") || argument.starts_with("remote-debugging");
  });
}

std::vector<std::string> executableMappedFiles(std::string_view mapsText) {
  std::vector<std::string> paths;
  std::unordered_set<std::string_view> seen;
  std::size_t at = 0;
  while (at < mapsText.size()) {
    const std::size_t end = std::min(mapsText.find('\n', at), mapsText.size());
    std::string_view line = mapsText.substr(at, end - at);
    at = end + 1;
    if (line.empty()) continue;
    // address perms offset device inode [path]
    std::array<std::string_view, 5> fields;
    bool complete = true;
    for (std::string_view& field : fields) {
      const std::size_t begin = line.find_first_not_of(' ');
      if (begin == std::string_view::npos) {
        complete = false;
        break;
      }
      line.remove_prefix(begin);
      const std::size_t stop = std::min(line.find(' '), line.size());
      field = line.substr(0, stop);
      line.remove_prefix(stop);
    }
    if (!complete || fields[1].size() != 4) {
      paths.emplace_back();
      continue;
    }
    if (fields[1][2] != 'x') continue;
    const std::size_t begin = line.find_first_not_of(' ');
    const std::string_view path = begin == std::string_view::npos ? "" : line.substr(begin);
    // Anonymous code ("" or "[vdso]" and the like) is not loaded from a file.
    if (path.empty() || path[0] != '/') continue;
    if (seen.insert(path).second) paths.emplace_back(path);
  }
  return paths;
}

}  // namespace trust
