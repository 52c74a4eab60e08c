// StagedFile: a new file written unnamed (O_TMPFILE) and named only when it
// is complete, with an exclusively created, signal-cleaned named temporary
// where the file system cannot hold unnamed files.
#include "files.h"
#include "internal.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <mutex>

namespace files {

// Tests use this to run the named fallback on file systems that have
// unnamed files.
bool namedTemporariesOnly = false;

namespace {

// ---------------------------------------------------------------------------
// Named temporaries removed on SIGTERM, SIGINT and SIGHUP. The handler may
// run on any thread at any moment, so the table is fixed-size, its paths
// live in the slots themselves, and a slot's path is read only while the
// slot is marked live.

constexpr int kSlots = 64;

struct Slot {
  std::atomic<int> state{0};  // 0 free, 1 being filled or emptied, 2 live
  char path[PATH_MAX];
};
Slot slots[kSlots];

constexpr int kCleanedSignals[] = {SIGTERM, SIGINT, SIGHUP};

void removeTemporariesAndDie(int signal) {
  const int saved = errno;
  for (Slot& slot : slots)
    if (slot.state.load(std::memory_order_acquire) == 2) ::unlink(slot.path);
  errno = saved;
  // Ends the process as the signal would have without us.
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// Installs the handler for each signal still at its default action, so a
// program's own handling (or ignoring) of a signal is left alone.
void installHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (const int signal : kCleanedSignals) {
      struct sigaction current;
      if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
          (current.sa_flags & SA_SIGINFO))
        continue;
      struct sigaction action = {};
      action.sa_handler = removeTemporariesAndDie;
      sigemptyset(&action.sa_mask);
      for (const int other : kCleanedSignals) sigaddset(&action.sa_mask, other);
      action.sa_flags = SA_RESTART;
      ::sigaction(signal, &action, nullptr);
    }
  });
}

// Enters a path in the table; -1 when it is full (the file is then only
// removed on failure, not on a signal).
int registerTemporary(const std::string& path) {
  if (path.size() >= PATH_MAX) return -1;
  installHandlers();
  for (int i = 0; i < kSlots; ++i) {
    int expected = 0;
    if (!slots[i].state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) continue;
    std::memcpy(slots[i].path, path.c_str(), path.size() + 1);
    slots[i].state.store(2, std::memory_order_release);
    return i;
  }
  return -1;
}

void unregisterTemporary(int& slot) {
  if (slot < 0) return;
  slots[slot].state.store(1, std::memory_order_release);
  slots[slot].path[0] = '\0';
  slots[slot].state.store(0, std::memory_order_release);
  slot = -1;
}

// ---------------------------------------------------------------------------

std::string joined(const std::string& directory, const std::string& name) {
  std::string path = directory;
  if (path.empty()) path = ".";
  if (path.back() != '/') path += '/';
  path += name;
  return path;
}

// "." + name + "." + six random letters or digits, with the name cut so
// that the whole stays within the longest name a directory takes.
std::string randomTemporaryName(const std::string& name) {
  static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char noise[6];
  if (::getrandom(noise, sizeof noise, 0) != static_cast<ssize_t>(sizeof noise)) {
    // getrandom only fails this way before the kernel has entropy; the
    // exclusive create catches a collision anyway.
    static std::atomic<unsigned> counter{0};
    const unsigned value = static_cast<unsigned>(::getpid()) * 2654435761u + counter.fetch_add(1) * 40503u;
    for (int i = 0; i < 6; ++i) noise[i] = static_cast<unsigned char>(value >> (i * 5));
  }
  constexpr std::size_t kMaxName = NAME_MAX - 8;  // "." + "." + 6
  std::string temporary = ".";
  temporary.append(name, 0, std::min(name.size(), kMaxName));
  temporary += '.';
  for (const unsigned char byte : noise) temporary += alphabet[byte % (sizeof alphabet - 1)];
  return temporary;
}

// Whether O_TMPFILE's failure means that the file system (or the kernel)
// cannot make unnamed files, rather than that no file can be made here.
bool unnamedUnsupported(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOSYS;
}

// What stands at `name`: ENOENT when nothing, 0 for a regular file, EISDIR
// for a directory, EINVAL for anything else; another errno when it cannot
// be told.
int targetKind(int directoryFd, const std::string& name) {
  struct stat info;
  if (::fstatat(directoryFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (S_ISREG(info.st_mode)) return 0;
  return S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
}

}  // namespace

std::unique_ptr<StagedFile> StagedFile::create(std::string_view directory, std::string_view name,
                                               std::string_view temporaryName) {
  if (name.empty() || name.find('/') != std::string_view::npos || name == "." || name == ".." ||
      temporaryName.find('/') != std::string_view::npos) {
    errno = EINVAL;
    return nullptr;
  }
  std::unique_ptr<StagedFile> file(new StagedFile);
  file->directory_ = directory.empty() ? "." : std::string(directory);
  file->name_ = name;
  file->temporaryName_ = temporaryName;
  file->randomTemporary_ = temporaryName.empty();

  file->directoryFd_ = ::open(file->directory_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (file->directoryFd_ < 0) return nullptr;

  if (!namedTemporariesOnly) {
    file->fd_ = ::openat(file->directoryFd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (file->fd_ >= 0) return file;
    if (!unnamedUnsupported(errno)) return nullptr;
  }

  // Named fallback: an exclusive create never opens an existing file and
  // never follows a link, so nothing planted under the name is written to.
  // The name is entered for the signal cleanup before the file exists, so
  // no moment is left in which it exists unlisted.
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (file->randomTemporary_) file->temporaryName_ = randomTemporaryName(file->name_);
    file->registration_ = registerTemporary(joined(file->directory_, file->temporaryName_));
    file->fd_ = ::openat(file->directoryFd_, file->temporaryName_.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (file->fd_ >= 0) {
      file->named_ = true;
      return file;
    }
    const int error = errno;
    unregisterTemporary(file->registration_);
    errno = error;
    if (error != EEXIST) return nullptr;
    // A fixed name left over from an earlier run (or a link planted there):
    // remove the entry itself and try again.
    if (!file->randomTemporary_ && ::unlinkat(file->directoryFd_, file->temporaryName_.c_str(), 0) != 0 &&
        errno != ENOENT) {
      errno = EEXIST;
      return nullptr;
    }
  }
  errno = EEXIST;
  return nullptr;
}

StagedFile::~StagedFile() {
  discard();
  if (directoryFd_ >= 0) ::close(directoryFd_);
}

void StagedFile::discard() {
  const int saved = errno;
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (named_) {
    ::unlinkat(directoryFd_, temporaryName_.c_str(), 0);
    named_ = false;
  }
  unregisterTemporary(registration_);
  errno = saved;
}

bool StagedFile::write(const void* data, std::size_t size) {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  return writeAll(fd_, static_cast<const char*>(data), size);
}

bool StagedFile::place() {
  if (fd_ < 0) {
    errno = EBADF;
    return false;
  }
  auto fail = [this](int error) {
    discard();
    errno = error;
    return false;
  };
  while (::fsync(fd_) != 0)
    if (errno != EINTR) return fail(errno);

  const int kind = targetKind(directoryFd_, name_);
  if (kind != 0 && kind != ENOENT) return fail(kind);

  if (!named_) {
    // Unnamed: a target that does not exist yet takes the file's first name
    // directly; otherwise the file is named beside it and renamed over it.
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    auto link = [&](const std::string& as) {
      if (::linkat(AT_FDCWD, self.c_str(), directoryFd_, as.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
      const int error = errno;
      // Without /proc, linking the descriptor itself needs CAP_DAC_READ_SEARCH.
      if (error == ENOENT && ::linkat(fd_, "", directoryFd_, as.c_str(), AT_EMPTY_PATH) == 0) return 0;
      return error == ENOENT ? errno : error;
    };
    if (kind == ENOENT) {
      const int error = link(name_);
      if (error == 0) {
        // A fixed temporary name left by an earlier run that died goes too.
        if (!randomTemporary_) ::unlinkat(directoryFd_, temporaryName_.c_str(), 0);
        discard();
        return true;
      }
      if (error != EEXIST) return fail(error);
      // Something appeared at the target meanwhile: replace it as below.
      if (const int now = targetKind(directoryFd_, name_); now != 0 && now != ENOENT) return fail(now);
    }
    for (int attempt = 0;; ++attempt) {
      if (randomTemporary_) temporaryName_ = randomTemporaryName(name_);
      registration_ = registerTemporary(joined(directory_, temporaryName_));
      const int error = link(temporaryName_);
      if (error == 0) break;
      unregisterTemporary(registration_);
      if (error != EEXIST || attempt == 100) return fail(error);
      if (!randomTemporary_ && ::unlinkat(directoryFd_, temporaryName_.c_str(), 0) != 0 && errno != ENOENT)
        return fail(EEXIST);
    }
    named_ = true;
  }

  // The last look at the target before the rename replaces it.
  if (const int now = targetKind(directoryFd_, name_); now != 0 && now != ENOENT) return fail(now);
  if (::renameat(directoryFd_, temporaryName_.c_str(), directoryFd_, name_.c_str()) != 0) return fail(errno);
  named_ = false;
  discard();
  return true;
}

}  // namespace files
