#include "trust.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "executable_hash.h"
#include "proc_parsers.h"
#include "protection.h"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77  // Linux 6.5 and later; older kernels answer ENOPROTOOPT
#endif
#ifndef SO_PASSPIDFD
#define SO_PASSPIDFD 76  // Linux 6.5 and later
#endif
#ifndef SCM_PIDFD
#define SCM_PIDFD 0x04
#endif

namespace trust {
namespace {

constexpr std::size_t smallProcFileLimit = 64 * 1024;
constexpr std::size_t argumentsLimit = 8 * 1024 * 1024;
constexpr std::size_t mapsLimit = 64 * 1024 * 1024;

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

FileIdentity identityOf(const struct stat& status) {
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
          static_cast<std::int64_t>(status.st_size),
          static_cast<std::int64_t>(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec,
          static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec};
}

std::optional<std::uint64_t> startTimeOf(int procDirectory) {
  std::string text;
  if (readBounded(procDirectory, "stat", smallProcFileLimit, text) != ReadResult::ok)
    return std::nullopt;
  return parseStartTime(text);
}

// With a descriptor of the process itself, tells whether that very process
// still exists (its pid cannot have been reused meanwhile).
bool stillRuns(int pidFd) {
  return pidFd < 0 || ::syscall(SYS_pidfd_send_signal, pidFd, 0, nullptr, 0) == 0 || errno == EPERM;
}

// pidfs gives each process's descriptors an inode of their own.
constexpr long pidfsMagic = 0x50494446;

std::uint64_t pidfsIdentity(int pidFd) {
  struct statfs fileSystem {};
  struct stat status {};
  if (pidFd < 0 || ::fstatfs(pidFd, &fileSystem) != 0 || fileSystem.f_type != pidfsMagic ||
      ::fstat(pidFd, &status) != 0)
    return 0;
  return static_cast<std::uint64_t>(status.st_ino);
}

Refusal markerRefusal(const Marker& marker, std::string_view expectedIdentifier) {
  switch (marker.state) {
    case MarkerState::absent: return Refusal::notInBundle;
    case MarkerState::unprotected: return Refusal::unprotectedBundle;
    case MarkerState::unreadable: return Refusal::wrongIdentifier;
    case MarkerState::present: break;
  }
  return marker.identifier == expectedIdentifier ? Refusal::none : Refusal::wrongIdentifier;
}

// The bundle rule for an executable at `path` (resolved) with `status`.
Refusal checkBundle(const std::string& path, const struct stat& status,
                    std::string_view expectedIdentifier, VerifiedPeer& peer) {
  if (isInSystemProgramTree(path)) return Refusal::systemDirectory;
  std::string directory = parentOf(path);
  Marker marker;
  while (directory != "/") {
    marker = readMarker(directory, bundleMarkerName);
    if (marker.state != MarkerState::absent) break;
    directory = parentOf(directory);
  }
  if (marker.state == MarkerState::absent) return Refusal::notInBundle;
  if (isSystemDirectory(directory)) return Refusal::systemDirectory;
  if (const Refusal refusal = markerRefusal(marker, expectedIdentifier); refusal != Refusal::none)
    return refusal;
  if (!S_ISREG(status.st_mode) || !isRootOnly(status) ||
      !isRootOnlyDirectoryChain(parentOf(path)))
    return Refusal::unprotectedBundle;
  peer.bundlePath = directory;
  peer.identifier = marker.identifier;
  return Refusal::none;
}

Refusal checkTampering(int procDirectory) {
  std::string text;
  if (readBounded(procDirectory, "status", smallProcFileLimit, text) != ReadResult::ok)
    return Refusal::processGone;
  const std::optional<std::uint64_t> tracer = parseTracerPid(text);
  if (!tracer) return Refusal::processGone;
  if (*tracer != 0) return Refusal::traced;

  ReadResult read = readBounded(procDirectory, "environ", argumentsLimit, text);
  if (read == ReadResult::unreadable) return Refusal::processGone;
  if (read == ReadResult::tooLarge || hasInjectingVariable(text))
    return Refusal::injectedEnvironment;

  read = readBounded(procDirectory, "cmdline", argumentsLimit, text);
  if (read == ReadResult::unreadable) return Refusal::processGone;
  if (read == ReadResult::tooLarge || hasDebuggingSwitch(text)) return Refusal::debuggingSwitch;

  read = readBounded(procDirectory, "maps", mapsLimit, text);
  if (read == ReadResult::unreadable) return Refusal::processGone;
  if (read == ReadResult::tooLarge) return Refusal::foreignCode;
  // A process maps many libraries from a few directories: each directory
  // chain is walked once.
  std::unordered_set<std::string> rootOnlyDirectories;
  for (const std::string& file : executableMappedFiles(text)) {
    struct stat status {};
    if (file.empty() || ::lstat(file.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        !isRootOnly(status))
      return Refusal::foreignCode;
    std::string directory = parentOf(file);
    if (rootOnlyDirectories.contains(directory)) continue;
    if (!isRootOnlyDirectoryChain(directory)) return Refusal::foreignCode;
    rootOnlyDirectories.insert(std::move(directory));
  }
  return Refusal::none;
}

std::optional<std::string> resolvedPath(std::string_view path) {
  const std::string text(path);
  char* resolved = ::realpath(text.c_str(), nullptr);
  if (!resolved) return std::nullopt;
  std::string result(resolved);
  std::free(resolved);
  return result;
}

}  // namespace

std::string_view refusalName(Refusal refusal) {
  switch (refusal) {
    case Refusal::none: return "none";
    case Refusal::noCredentials: return "noCredentials";
    case Refusal::otherUser: return "otherUser";
    case Refusal::processGone: return "processGone";
    case Refusal::pidReused: return "pidReused";
    case Refusal::executableUnreadable: return "executableUnreadable";
    case Refusal::executableReplaced: return "executableReplaced";
    case Refusal::systemDirectory: return "systemDirectory";
    case Refusal::notInBundle: return "notInBundle";
    case Refusal::wrongIdentifier: return "wrongIdentifier";
    case Refusal::unprotectedBundle: return "unprotectedBundle";
    case Refusal::traced: return "traced";
    case Refusal::injectedEnvironment: return "injectedEnvironment";
    case Refusal::debuggingSwitch: return "debuggingSwitch";
    case Refusal::foreignCode: return "foreignCode";
  }
  return "unknown";
}

Verification verifyPeer(int socketFd, std::string_view expectedIdentifier) {
  struct ucred credentials {};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials || credentials.pid <= 0)
    return {Refusal::noCredentials, {}};
  int pidFd = -1;
  socklen_t pidFdLength = sizeof pidFd;
  if (::getsockopt(socketFd, SOL_SOCKET, SO_PEERPIDFD, &pidFd, &pidFdLength) != 0) {
    if (errno == ESRCH) return {Refusal::processGone, {}};
    pidFd = -1;  // a kernel without pid descriptors for peers: the start times must do
  }
  Writer connector{credentials.pid, credentials.uid, credentials.gid, ProcessHandle(pidFd)};
  return verifyWriter(connector, expectedIdentifier);
}

Verification verifyWriter(const Writer& writer, std::string_view expectedIdentifier) {
  if (!writer.known()) return {Refusal::noCredentials, {}};
  if (writer.uid != ::geteuid()) return {Refusal::otherUser, {}};
  struct ucred credentials {writer.pid, writer.uid, writer.gid};
  // Without a descriptor from the kernel, one taken now guards the rest of
  // the checks; the start times cover the moment before it.
  ProcessHandle process = writer.process;
  if (!process.valid()) {
    process = ProcessHandle(static_cast<int>(::syscall(SYS_pidfd_open, writer.pid, 0)));
    if (!process.valid() && errno == ESRCH) return {Refusal::processGone, {}};
  }
  const int pidDescriptor = process.fd();
  if (!stillRuns(pidDescriptor)) return {Refusal::processGone, {}};

  // Everything about the process is read through this one directory: should
  // the pid name another process later, reads through it fail.
  const std::string procPath = "/proc/" + std::to_string(credentials.pid);
  const Descriptor procDirectory(
      ::open(procPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!procDirectory.valid()) return {Refusal::processGone, {}};
  if (!stillRuns(pidDescriptor)) return {Refusal::pidReused, {}};
  const std::optional<std::uint64_t> startedBefore = startTimeOf(procDirectory.get());
  if (!startedBefore) return {Refusal::processGone, {}};

  const Descriptor executable(::openat(procDirectory.get(), "exe", O_RDONLY | O_CLOEXEC));
  if (!executable.valid())
    return {errno == ENOENT || errno == ESRCH ? Refusal::processGone
                                              : Refusal::executableUnreadable,
            {}};
  struct stat executableStatus {};
  if (::fstat(executable.get(), &executableStatus) != 0)
    return {Refusal::executableUnreadable, {}};
  std::array<char, PATH_MAX + 1> link;
  const ssize_t linkLength = ::readlinkat(procDirectory.get(), "exe", link.data(), link.size());
  if (linkLength <= 0 || static_cast<std::size_t>(linkLength) >= link.size())
    return {Refusal::processGone, {}};
  const std::string path(link.data(), static_cast<std::size_t>(linkLength));
  struct stat pathStatus {};
  if (path[0] != '/' || path.ends_with(" (deleted)") || ::stat(path.c_str(), &pathStatus) != 0 ||
      pathStatus.st_dev != executableStatus.st_dev || pathStatus.st_ino != executableStatus.st_ino)
    return {Refusal::executableReplaced, {}};

  Verification result;
  VerifiedPeer& peer = result.peer;
  if (const Refusal refusal = checkBundle(path, executableStatus, expectedIdentifier, peer);
      refusal != Refusal::none)
    return {refusal, {}};
  if (const Refusal refusal = checkTampering(procDirectory.get()); refusal != Refusal::none)
    return {refusal, {}};

  std::optional<std::string> hash = sha256OfDescriptor(executable.get());
  if (!hash) return {Refusal::executableUnreadable, {}};
  struct stat hashedStatus {};
  if (::fstat(executable.get(), &hashedStatus) != 0 ||
      identityOf(hashedStatus) != identityOf(executableStatus))
    return {Refusal::executableReplaced, {}};

  if (!isSameProcessStart(startedBefore, startTimeOf(procDirectory.get())) ||
      !stillRuns(pidDescriptor))
    return {Refusal::pidReused, {}};

  peer.pid = credentials.pid;
  peer.uid = credentials.uid;
  peer.gid = credentials.gid;
  peer.path = path;
  peer.isBundle = true;
  peer.hashHex = std::move(*hash);
  peer.startTime = *startedBefore;
  peer.executable = identityOf(executableStatus);
  peer.writer = {writer.pid, writer.uid, writer.gid, process};
  return result;
}

Refusal recheckWriter(const VerifiedPeer& peer) {
  if (!peer.writer.process.running()) return Refusal::processGone;
  const std::string procPath = "/proc/" + std::to_string(peer.pid);
  const Descriptor procDirectory(::open(procPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!procDirectory.valid() || !isSameProcessStart(peer.startTime, startTimeOf(procDirectory.get())) ||
      !peer.writer.process.running())
    return Refusal::processGone;
  std::string text;
  if (readBounded(procDirectory.get(), "status", smallProcFileLimit, text) != ReadResult::ok)
    return Refusal::processGone;
  const std::optional<std::uint64_t> tracer = parseTracerPid(text);
  if (!tracer) return Refusal::processGone;
  return *tracer == 0 ? Refusal::none : Refusal::traced;
}

ProcessHandle::ProcessHandle(int pidFd) {
  if (pidFd < 0) return;
  fd_ = std::shared_ptr<const int>(new int(pidFd), [](const int* fd) {
    ::close(*fd);
    delete fd;
  });
  identity_ = pidfsIdentity(pidFd);
}

bool ProcessHandle::running() const { return stillRuns(fd()); }

bool sameWriter(const Writer& earlier, const Writer& later) {
  if (!earlier.known() || later.pid != earlier.pid || later.uid != earlier.uid) return false;
  if (earlier.process.identity() != 0 && later.process.identity() != 0 &&
      earlier.process.identity() != later.process.identity())
    return false;
  return earlier.process.running();
}

bool attachWriterCredentials(int socketFd) {
  const int on = 1;
  if (::setsockopt(socketFd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) return false;
  // Older kernels know no pid descriptors; the pid with its start time must do.
  (void)::setsockopt(socketFd, SOL_SOCKET, SO_PASSPIDFD, &on, sizeof on);
  return true;
}

long receiveFromWriter(int socketFd, char* into, std::size_t capacity, Writer& writer) {
  // Room for the credentials, a pid descriptor and a few passed descriptors;
  // whatever does not fit is cut off by the kernel (and closed by it).
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred)) + CMSG_SPACE(sizeof(int)) +
                                CMSG_SPACE(16 * sizeof(int))];
  iovec vector{into, capacity};
  msghdr message{};
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t count = ::recvmsg(socketFd, &message, MSG_CMSG_CLOEXEC);
  writer = Writer{};
  if (count < 0) return -1;
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET) continue;
    const std::size_t dataLength = header->cmsg_len - CMSG_LEN(0);
    if (header->cmsg_type == SCM_CREDENTIALS && dataLength >= sizeof(ucred)) {
      ucred credentials{};
      std::memcpy(&credentials, CMSG_DATA(header), sizeof credentials);
      writer.pid = credentials.pid;
      writer.uid = credentials.uid;
      writer.gid = credentials.gid;
    } else if (header->cmsg_type == SCM_PIDFD && dataLength >= sizeof(int)) {
      int pidFd = -1;
      std::memcpy(&pidFd, CMSG_DATA(header), sizeof pidFd);
      writer.process = ProcessHandle(pidFd);
    } else if (header->cmsg_type == SCM_RIGHTS) {
      for (std::size_t offset = 0; offset + sizeof(int) <= dataLength; offset += sizeof(int)) {
        int passed = -1;
        std::memcpy(&passed, CMSG_DATA(header) + offset, sizeof passed);
        if (passed >= 0) ::close(passed);
      }
    }
  }
  return count;
}

bool isInsideBundle(std::string_view resolvedTool, const VerifiedPeer& peer) {
  if (!peer.isBundle || peer.bundlePath.empty()) return false;
  const std::optional<std::string> root = resolvedPath(peer.bundlePath);
  return root && isBelow(resolvedTool, *root);
}

Refusal recheckBundle(const VerifiedPeer& peer, std::string_view resolvedTool) {
  if (!peer.isBundle || peer.bundlePath.empty()) return Refusal::notInBundle;
  if (const Refusal refusal =
          markerRefusal(readMarker(peer.bundlePath, bundleMarkerName), peer.identifier);
      refusal != Refusal::none)
    return refusal;
  if (!isRootOnlyDirectoryChain(peer.bundlePath)) return Refusal::unprotectedBundle;
  struct stat status {};
  if (::stat(peer.path.c_str(), &status) != 0 || identityOf(status) != peer.executable)
    return Refusal::executableReplaced;
  if (!isRootOnlyFile(peer.path)) return Refusal::unprotectedBundle;
  if (!isBelow(resolvedTool, peer.bundlePath)) return Refusal::notInBundle;
  if (!isRootOnlyFile(resolvedTool)) return Refusal::unprotectedBundle;
  return Refusal::none;
}

bool isPlatformProgram(std::string_view path) {
  const std::optional<std::string> resolved = resolvedPath(path);
  return resolved && isInPlatformProgramTree(*resolved) && isRootOnlyFile(*resolved);
}

}  // namespace trust
