// Identifying and verifying the process at the other end of a Unix-domain
// socket, and judging which programs may be started on its behalf.
//
// A peer is accepted when it runs as the same user and its executable lies in
// an application bundle: a directory that nobody but root can change, that is
// not a system directory, and whose root holds the marker file
// `bundleMarkerName` naming the expected application identifier. The peer
// must not be traced, started with code-injecting environment variables or
// debugging switches, or have executable code mapped from files that others
// than root could change.
//
// Nothing is written to disk. All functions are safe to call from many
// threads at once.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace trust {

// The marker at a bundle's root: a regular file, owned by root and writable by
// nobody else, whose first line is the application's identifier (e.g.
// "com.example.app"); a final line feed and surrounding blanks are ignored; at
// most 255 bytes of identifier.
inline constexpr std::string_view bundleMarkerName = "bundle.identifier";

// Why a peer was refused; `none` means accepted. The caller words its own
// message for each.
enum class Refusal {
  none,
  noCredentials,          // SO_PEERCRED (or the pid descriptor) could not be read
  otherUser,              // the peer runs as another user
  processGone,            // the peer's /proc entries vanished or cannot be read
  pidReused,              // the pid now names another process than the one connected
  executableUnreadable,   // /proc/<pid>/exe could not be opened, read or hashed
  executableReplaced,     // the executable's path no longer names the running file
  systemDirectory,        // the executable lies in a system directory (e.g. an interpreter)
  notInBundle,            // no marker file in any directory above the executable
  wrongIdentifier,        // the marker names another application
  unprotectedBundle,      // executable, marker or a directory above them is not root-only
  traced,                 // a debugger or tracer is attached (TracerPid not 0)
  injectedEnvironment,    // LD_PRELOAD, LD_AUDIT, LD_LIBRARY_PATH, ELECTRON_RUN_AS_NODE, NODE_OPTIONS
  debuggingSwitch,        // --inspect… or --remote-debugging… on the command line
  foreignCode,            // executable code mapped from a file others than root can change
};

// Stable English name of a refusal, for logs and tests ("otherUser", ...).
std::string_view refusalName(Refusal refusal);

// Identity of a file, to tell later whether it is still the same file with
// the same contents (a change of contents or metadata moves ctime).
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t changeTimeNs = 0;  // st_ctim in nanoseconds
  std::int64_t modifyTimeNs = 0;  // st_mtim in nanoseconds
  bool operator==(const FileIdentity&) const = default;
};

// A pid descriptor, shared by copies and closed with the last one. It names
// one process for good: a later process with the same pid is not it.
class ProcessHandle {
 public:
  ProcessHandle() = default;
  explicit ProcessHandle(int pidFd);  // takes ownership; -1 for none
  int fd() const { return fd_ ? *fd_ : -1; }
  bool valid() const { return fd() >= 0; }
  // False once the process has ended (true for an invalid handle: nothing
  // tells otherwise).
  bool running() const;
  // The descriptor's inode on kernels where every process has its own
  // (pidfs, Linux 6.9 and later), else 0.
  std::uint64_t identity() const { return identity_; }

 private:
  std::shared_ptr<const int> fd_;
  std::uint64_t identity_ = 0;
};

// The process that wrote a piece of a Unix-domain stream, as the kernel
// attached it to the bytes: its thread-group id, user and group, and a pid
// descriptor where the kernel sends one (SCM_PIDFD, Linux 6.5 and later).
// pid 0 means the kernel attached nothing.
struct Writer {
  pid_t pid = 0;
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
  ProcessHandle process;
  bool known() const { return pid > 0; }
};

// True when `later` was written by the same, still running process as
// `earlier`: same pid, and where descriptors tell, the same process and
// not a successor that got the pid after it ended.
bool sameWriter(const Writer& earlier, const Writer& later);

// Asks the kernel to attach the writer's credentials (and a pid descriptor
// where supported) to every piece of data received on `socketFd`; set on a
// listening socket, every accepted socket inherits it. False when the
// credentials option itself is refused.
bool attachWriterCredentials(int socketFd);

// Receives up to `capacity` bytes like recv(), and the process that wrote
// them in `writer`. One call never returns bytes of two writers. Descriptors
// passed along with the data are closed unseen. Returns the count, 0 at the
// end of the stream, -1 with errno on error.
long receiveFromWriter(int socketFd, char* into, std::size_t capacity, Writer& writer);

// A verified peer.
struct VerifiedPeer {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string path;            // resolved path of the running executable
  std::string bundlePath;      // the bundle's root directory (resolved, no trailing '/')
  std::string identifier;      // from the bundle's marker
  bool isBundle = true;
  std::string hashHex;         // SHA-256 of the executable, 64 lower-case hex digits
  std::uint64_t startTime = 0; // start time in clock ticks after boot (/proc/<pid>/stat)
  FileIdentity executable;     // identity of the executable file when it was hashed
  Writer writer;               // the verified process, with its pid descriptor when known
};

struct Verification {
  Refusal refusal = Refusal::none;
  VerifiedPeer peer;  // filled when refusal is none
  bool accepted() const { return refusal == Refusal::none; }
};

// Verifies the process connected to the Unix-domain socket `socketFd` as a
// build of the application `expectedIdentifier`. The process that connected
// need not be the one that writes: a broker verifies writers instead.
Verification verifyPeer(int socketFd, std::string_view expectedIdentifier);

// Verifies the process that wrote a piece of data (see receiveFromWriter) as
// a build of the application `expectedIdentifier`, as it runs now.
Verification verifyWriter(const Writer& writer, std::string_view expectedIdentifier);

// The checks repeated before each request of an admitted writer: the same
// process still runs and no tracer has attached since. none when both hold.
Refusal recheckWriter(const VerifiedPeer& peer);

// Tool permission. `resolvedTool` is a path with its symbolic links already
// resolved (e.g. by realpath).

// True when the tool lies below the peer's bundle root (the root with its
// links resolved, followed by '/').
bool isInsideBundle(std::string_view resolvedTool, const VerifiedPeer& peer);

// Applies the bundle rule again before a bundle tool is started: the bundle
// root still carries the peer's identifier, the peer's executable is still the
// file that was hashed, and the tool, the executable, the marker and every
// directory above them are still owned by root and writable by nobody else.
// Returns none when all still hold.
Refusal recheckBundle(const VerifiedPeer& peer, std::string_view resolvedTool);

// True when the path (links resolved here) names a regular file in /usr/bin,
// /bin, /usr/sbin, /sbin or /usr/libexec (or below), and the file and every
// directory from the root down to it are owned by root and writable by nobody
// else.
bool isPlatformProgram(std::string_view path);

}  // namespace trust
