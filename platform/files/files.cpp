#include "files.h"
#include "internal.h"

#include <cerrno>
#include <climits>
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

}  // namespace

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

// The file that writing to `path` reaches: symbolic links are followed,
// dangling ones too (their target would be created), as an open would.
// ELOOP after as many links as the kernel follows.
int followLinks(std::string& path) {
  for (int hops = 0; hops <= 40; ++hops) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return 0;
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length < 0) return errno;
    if (static_cast<std::size_t>(length) >= target.size()) return ENAMETOOLONG;
    target.resize(static_cast<std::size_t>(length));
    if (target.empty()) return ENOENT;
    if (target.front() != '/') {
      const std::string directory = parentDirectory(path);
      target = (directory == "/" ? "/" : directory + "/") + target;
    }
    path = std::move(target);
  }
  return ELOOP;
}

Status notRegular(std::string_view what, std::string_view path) {
  std::string text(what);
  text += ' ';
  text += path;
  text += ": Not a regular file";
  return Status::failure(std::move(text));
}

}  // namespace

namespace {

constexpr std::string_view cannotWrite = "Cannot write";

// Follows the links at `path` into `target` and checks what stands there.
Status resolveTarget(std::string_view path, std::string& target) {
  if (path.empty()) return failure(cannotWrite, path, ENOENT);
  target = path;
  if (int error = followLinks(target); error != 0) return failure(cannotWrite, path, error);
  // A trailing slash names a directory, never a file to create.
  if (target.back() == '/') return failure(cannotWrite, path, isDirectory(target) ? EISDIR : ENOTDIR);
  struct stat info;
  if (::lstat(target.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return failure(cannotWrite, path, EISDIR);
    if (!S_ISREG(info.st_mode)) return notRegular(cannotWrite, path);
  }
  return Status::success();
}

}  // namespace

Status checkReplaceable(std::string_view path) {
  std::string target;
  if (Status status = resolveTarget(path, target); !status) return status;
  const std::string directory = parentDirectory(target);
  struct stat info;
  if (::stat(directory.c_str(), &info) != 0) return failure(cannotWrite, path, errno);
  if (!S_ISDIR(info.st_mode)) return failure(cannotWrite, path, ENOTDIR);
  if (::access(directory.c_str(), W_OK | X_OK) != 0) return failure(cannotWrite, path, errno);
  return Status::success();
}

Status writeFileAtomically(std::string_view path, const void* data, std::size_t size,
                           std::string_view temporarySuffix) {
  std::string target;
  if (Status status = resolveTarget(path, target); !status) return status;
  const std::string name = lastComponent(target);
  const std::string temporaryName = temporarySuffix.empty() ? "" : "." + name + std::string(temporarySuffix);
  auto file = StagedFile::create(parentDirectory(target), name, temporaryName);
  if (!file) return failure(cannotWrite, path, errno);
  if (!file->write(data, size) || !file->place()) {
    if (errno == EINVAL) return notRegular(cannotWrite, path);
    return failure(cannotWrite, path, errno);
  }
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
