#include "files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>

namespace files {

namespace {

// strerror_r comes in an XSI flavour (returns int) and a GNU one (returns
// the message); these overloads accept either.
[[maybe_unused]] std::string messageFrom(int result, const char* buffer) {
  return result == 0 ? std::string(buffer) : std::string("Unknown error");
}
[[maybe_unused]] std::string messageFrom(const char* result, const char*) {
  return std::string(result);
}

std::string errorText(int error) {
  char buffer[256] = {};
  return messageFrom(strerror_r(error, buffer, sizeof buffer), buffer);
}

Status failure(std::string_view what, std::string_view path, int error) {
  std::string text(what);
  text += ' ';
  text += path;
  text += ": ";
  text += errorText(error);
  return Status::failure(std::move(text));
}

// Length of `path` without trailing slashes, keeping a lone "/".
std::size_t trimmedLength(std::string_view path) {
  std::size_t length = path.size();
  while (length > 1 && path[length - 1] == '/') --length;
  return length;
}

bool isDirectory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Mode bits removed from new files. Linux reports the umask in
// /proc/self/status; elsewhere it can only be read by setting it, which is
// done once and briefly.
mode_t currentUmask() {
  std::string status;
  if (readFile("/proc/self/status", status)) {
    const std::size_t at = status.find("\nUmask:");
    if (at != std::string::npos) {
      const char* p = status.c_str() + at + 7;
      char* end = nullptr;
      const unsigned long mask = std::strtoul(p, &end, 8);
      if (end != p) return static_cast<mode_t>(mask & 0777);
    }
  }
  static const mode_t fallback = [] {
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
  }();
  return fallback;
}

// Writes all of data, resuming after short writes and interruptions.
bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const std::size_t chunk = std::min<std::size_t>(size, 1 << 30);
    const ssize_t written = ::write(fd, data, chunk);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) {
      errno = EIO;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

std::string parentDirectory(std::string_view path) {
  const std::string_view trimmed = path.substr(0, trimmedLength(path));
  const std::size_t slash = trimmed.rfind('/');
  if (slash == std::string_view::npos) return ".";
  const std::string_view parent = trimmed.substr(0, slash);
  if (parent.empty()) return "/";
  return std::string(parent.substr(0, trimmedLength(parent)));
}

std::string lastComponent(std::string_view path) {
  const std::string_view trimmed = path.substr(0, trimmedLength(path));
  if (trimmed == "/") return "/";
  const std::size_t slash = trimmed.rfind('/');
  return std::string(slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1));
}

Status createDirectories(std::string_view path) {
  static constexpr std::string_view what = "Cannot create directory";
  if (path.empty()) return failure(what, path, ENOENT);
  const std::string full(path);
  if (isDirectory(full)) return Status::success();

  // Create each prefix ending before a slash, then the whole path.
  for (std::size_t end = 1; end <= full.size(); ++end) {
    const bool isLast = end == full.size();
    if (!isLast && !(full[end] == '/' && full[end - 1] != '/')) continue;
    const std::string prefix = full.substr(0, end);
    if (::mkdir(prefix.c_str(), 0777) == 0) continue;
    const int error = errno;
    // mkdir may fail with EEXIST, or EACCES/EROFS on an existing entry;
    // what matters is whether a directory is there now.
    struct stat info;
    if (::stat(prefix.c_str(), &info) != 0) return failure(what, path, error);
    if (!S_ISDIR(info.st_mode)) return failure(what, path, isLast ? EEXIST : ENOTDIR);
  }
  return Status::success();
}

namespace {

// Writes, flushes to disk and closes `fd`; returns 0 or the first errno.
int finishFile(int fd, const void* data, std::size_t size, bool setMode) {
  int error = 0;
  if (!writeAll(fd, static_cast<const char*>(data), size)) error = errno;
  while (error == 0 && ::fsync(fd) != 0) {
    if (errno != EINTR) error = errno;
  }
  // mkstemp creates the file 0600; give it the mode a plain create would.
  if (setMode && error == 0 && ::fchmod(fd, 0666 & ~currentUmask()) != 0) error = errno;
  // The descriptor is released even when close reports an error.
  if (::close(fd) != 0 && error == 0) error = errno;
  return error;
}

}  // namespace

Status writeFileAtomically(std::string_view path, const void* data, std::size_t size) {
  static constexpr std::string_view what = "Cannot write";
  if (path.empty()) return failure(what, path, ENOENT);
  const std::string target(path);
  if (isDirectory(target)) return failure(what, path, EISDIR);

  std::string temporary = parentDirectory(path);
  if (temporary.back() != '/') temporary += '/';
  temporary += '.';
  temporary += lastComponent(path);
  temporary += ".XXXXXX";

  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return failure(what, path, errno);

  // `error` keeps the first failure's errno before cleanup can change it.
  int error = finishFile(fd, data, size, true);
  if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) error = errno;

  if (error != 0) {
    ::unlink(temporary.c_str());
    return failure(what, path, error);
  }
  return Status::success();
}

Status writeFile(std::string_view path, const void* data, std::size_t size) {
  const std::string target(path);
  const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return failure("Cannot write", path, errno);
  if (int error = finishFile(fd, data, size, false); error != 0) return failure("Cannot write", path, error);
  return Status::success();
}

bool exists(std::string_view path) {
  struct stat info;
  return ::lstat(std::string(path).c_str(), &info) == 0;
}

Status removeFile(std::string_view path) {
  if (::unlink(std::string(path).c_str()) != 0) return failure("Cannot remove", path, errno);
  return Status::success();
}

Status moveFile(std::string_view from, std::string_view to) {
  if (::rename(std::string(from).c_str(), std::string(to).c_str()) != 0) {
    std::string what = "Cannot move ";
    what += from;
    what += " to";
    return failure(what, to, errno);
  }
  return Status::success();
}

bool readFile(std::string_view path, std::string& out) {
  // O_NONBLOCK keeps a FIFO from blocking the open; it is rejected below.
  const int fd = ::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;

  std::string contents;
  bool ok = false;
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0) {
    // st_size is only a hint: files in /proc report 0, and a file may grow
    // while it is read. Read until end of file.
    contents.resize(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t used = 0;
    for (;;) {
      if (used == contents.size()) contents.resize(std::max<std::size_t>(4096, contents.size() * 2));
      const ssize_t got = ::read(fd, contents.data() + used, contents.size() - used);
      if (got < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (got == 0) {
        ok = true;
        break;
      }
      used += static_cast<std::size_t>(got);
    }
    contents.resize(used);
  }
  ::close(fd);
  if (ok) out = std::move(contents);
  return ok;
}

}  // namespace files
