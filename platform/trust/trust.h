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

#include <cstdint>
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
};

struct Verification {
  Refusal refusal = Refusal::none;
  VerifiedPeer peer;  // filled when refusal is none
  bool accepted() const { return refusal == Refusal::none; }
};

// Verifies the process connected to the Unix-domain socket `socketFd` as a
// build of the application `expectedIdentifier`.
Verification verifyPeer(int socketFd, std::string_view expectedIdentifier);

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
