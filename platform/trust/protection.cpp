#include "protection.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace trust {
namespace {

constexpr std::array<std::string_view, 8> systemProgramTrees = {
    "/usr/bin", "/bin", "/usr/sbin", "/sbin", "/usr/libexec",
    "/usr/games", "/usr/local/bin", "/usr/local/sbin"};

constexpr std::array<std::string_view, 5> platformProgramTrees = {
    "/usr/bin", "/bin", "/usr/sbin", "/sbin", "/usr/libexec"};

constexpr std::array<std::string_view, 20> sharedSystemDirectories = {
    "/",          "/usr",      "/usr/lib",  "/usr/lib32", "/usr/lib64", "/usr/libx32",
    "/usr/local", "/usr/local/lib", "/usr/share", "/lib",  "/lib32",     "/lib64",
    "/libx32",    "/opt",      "/etc",      "/home",      "/var",        "/run",
    "/tmp",       "/srv"};

constexpr std::size_t maxMarkerBytes = 4096;
constexpr std::size_t maxIdentifierBytes = 255;

template <std::size_t N>
bool isInAnyTree(std::string_view path, const std::array<std::string_view, N>& trees) {
  for (std::string_view tree : trees) {
    if (path == tree || isBelow(path, tree)) return true;
  }
  return false;
}

}  // namespace

bool isRootOnly(const struct stat& status) {
  return status.st_uid == 0 && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool isRootOnlyDirectoryChain(std::string_view directory) {
  if (directory.empty() || directory[0] != '/') return false;
  std::string prefix = "/";
  std::size_t at = 1;
  for (;;) {
    struct stat status {};
    if (::lstat(prefix.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || !isRootOnly(status))
      return false;
    if (at >= directory.size()) return true;
    const std::size_t end = std::min(directory.find('/', at), directory.size());
    if (end > at) {
      if (prefix.size() > 1) prefix += '/';
      prefix.append(directory.substr(at, end - at));
    }
    at = end + 1;
  }
}

bool isRootOnlyFile(std::string_view path) {
  const std::string text(path);
  struct stat status {};
  if (::lstat(text.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || !isRootOnly(status))
    return false;
  return isRootOnlyDirectoryChain(parentOf(path));
}

std::string parentOf(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

bool isBelow(std::string_view path, std::string_view directory) {
  if (directory == "/") return path.size() > 1 && path[0] == '/';
  return path.size() > directory.size() + 1 && path.substr(0, directory.size()) == directory &&
         path[directory.size()] == '/';
}

bool isInSystemProgramTree(std::string_view path) { return isInAnyTree(path, systemProgramTrees); }

bool isSystemDirectory(std::string_view directory) {
  for (std::string_view shared : sharedSystemDirectories) {
    if (directory == shared) return true;
  }
  return isInSystemProgramTree(directory);
}

bool isInPlatformProgramTree(std::string_view path) {
  for (std::string_view tree : platformProgramTrees) {
    if (isBelow(path, tree)) return true;
  }
  return false;
}

Marker readMarker(std::string_view directory, std::string_view name) {
  std::string path(directory);
  if (path.empty() || path.back() != '/') path += '/';
  path.append(name);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    // A link in place of the marker is there, but not to be trusted.
    if (errno == ELOOP) return {MarkerState::unprotected, {}};
    return {errno == ENOENT || errno == ENOTDIR ? MarkerState::absent : MarkerState::unreadable,
            {}};
  }
  Marker marker;
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    marker.state = MarkerState::unreadable;
  } else if (!S_ISREG(status.st_mode) || !isRootOnly(status)) {
    marker.state = MarkerState::unprotected;
  } else {
    std::array<char, maxMarkerBytes + 1> text;
    std::size_t size = 0;
    for (;;) {
      const ssize_t got = ::read(fd, text.data() + size, text.size() - size);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        marker.state = got < 0 ? MarkerState::unreadable : MarkerState::present;
        break;
      }
      size += static_cast<std::size_t>(got);
      if (size == text.size()) {
        marker.state = MarkerState::unreadable;  // larger than a marker may be
        break;
      }
    }
    if (marker.state == MarkerState::present) {
      std::string_view line(text.data(), size);
      line = line.substr(0, line.find('\n'));
      const std::size_t begin = line.find_first_not_of(" \t\r");
      const std::size_t end = line.find_last_not_of(" \t\r");
      if (begin != std::string_view::npos) line = line.substr(begin, end - begin + 1);
      else line = {};
      if (line.empty() || line.size() > maxIdentifierBytes) marker.state = MarkerState::unreadable;
      else marker.identifier = std::string(line);
    }
  }
  ::close(fd);
  return marker;
}

}  // namespace trust
