// The folder of originals the library owns, and the files in flight.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "internal.h"

namespace photos {

namespace {

std::string incomingDirectory(const std::string& directory) { return directory + "/incoming"; }

std::string errnoText(int error) { return std::strerror(error); }

bool unsupportedCopy(int error) {
  return error == EXDEV || error == ENOSYS || error == EINVAL || error == EOPNOTSUPP;
}

bool copyAll(int in, int out) {
  // copy_file_range lets the kernel copy (or share extents); across file
  // systems sendfile still copies inside the kernel; read/write is the last
  // resort.
  for (;;) {
    const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (copied > 0) continue;
    if (copied == 0) return true;
    if (errno == EINTR) continue;
    if (!unsupportedCopy(errno)) return false;
    break;
  }
  for (;;) {
    const ssize_t sent = ::sendfile(out, in, nullptr, 1 << 30);
    if (sent > 0) continue;
    if (sent == 0) return true;
    if (errno == EINTR) continue;
    if (!unsupportedCopy(errno)) return false;
    break;
  }
  constexpr std::size_t bufferSize = 128 * 1024;
  const auto buffer = std::make_unique_for_overwrite<char[]>(bufferSize);
  for (;;) {
    const ssize_t got = ::read(in, buffer.get(), bufferSize);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(out, buffer.get() + done, static_cast<std::size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += put;
    }
  }
}

bool rowExists(store::Database& db, const std::string& storedName) {
  store::Statement statement(db.handle(), "SELECT 1 FROM resources WHERE stored_file = ?");
  statement.bind(1, std::string_view(storedName));
  return statement.step();
}

}  // namespace

std::string originalPath(const std::string& directory, std::string_view storedName) {
  std::string path = directory + "/" + store::originalsName + "/";
  path += storedName.empty() ? '_' : storedName[0];
  path += '/';
  path += storedName;
  return path;
}

std::string pendingPath(const std::string& directory, std::string_view storedName) {
  return incomingDirectory(directory) + "/" + std::string(storedName) + std::string(store::pendingSuffix);
}

std::string deletedMarkPath(const std::string& directory, std::string_view storedName) {
  return incomingDirectory(directory) + "/" + std::string(storedName) + ".deleted";
}

std::optional<std::string> copyFile(const std::string& from, const std::string& to, Flush flush) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return "Cannot read " + from + ": " + errnoText(errno);
  struct stat info;
  if (::fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(in);
    return "Cannot read " + from + ": not a regular file";
  }
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (out < 0) {
    const int error = errno;
    ::close(in);
    return "Cannot write " + to + ": " + errnoText(error);
  }
  bool ok = copyAll(in, out);
  int error = errno;
  if (ok && flush == Flush::toDisk && ::fsync(out) != 0) {
    ok = false;
    error = errno;
  }
  if (::close(out) != 0 && ok) {
    ok = false;
    error = errno;
  }
  ::close(in);
  if (ok) return std::nullopt;
  ::unlink(to.c_str());
  return "Cannot copy " + from + " to " + to + ": " + errnoText(error);
}

StoreLock::StoreLock(const std::string& directory, Kind kind) {
  const std::string path = directory + "/" + store::lockName;
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) throw Error("The photo library cannot lock its store " + path + ": " + errnoText(errno) + ".");
  const int operation = kind == Kind::shared ? LOCK_SH : (LOCK_EX | LOCK_NB);
  while (::flock(fd_, operation) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    ::close(fd_);
    fd_ = -1;
    if (kind == Kind::exclusiveIfFree && error == EWOULDBLOCK) return;
    throw Error("The photo library cannot lock its store " + path + ": " + errnoText(error) + ".");
  }
}

StoreLock::~StoreLock() {
  if (fd_ >= 0) ::close(fd_);
}

void settleIncoming(const std::string& directory, store::Database& db) {
  const std::string incoming = incomingDirectory(directory);
  StoreLock lock(directory, StoreLock::Kind::exclusiveIfFree);
  if (!lock.held()) return;  // a transaction is in flight; settle next time
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(incoming.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  for (const std::string& name : names) {
    const std::string path = incoming + "/" + name;
    if (name.ends_with(store::pendingSuffix)) {
      // Written by a transaction: keep it when the transaction committed.
      const std::string stored = name.substr(0, name.size() - store::pendingSuffix.size());
      if (rowExists(db, stored) && ::rename(path.c_str(), originalPath(directory, stored).c_str()) == 0)
        continue;
    } else if (name.ends_with(".deleted")) {
      // Marked by a deletion: remove the original when the deletion committed.
      const std::string stored = name.substr(0, name.size() - 8);
      if (!rowExists(db, stored)) ::unlink(originalPath(directory, stored).c_str());
    }
    ::unlink(path.c_str());
  }
}

}  // namespace photos
