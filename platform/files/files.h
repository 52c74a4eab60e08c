// File-manager services: directory creation and whole-or-nothing writes.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace files {

// Result of a file operation: ok, or the reason in the words of the C
// library's strerror for the failing call, e.g.
// "Cannot create directory /a/b: Permission denied".
struct Status {
  bool ok = true;
  std::string description;
  static Status success() { return {}; }
  static Status failure(std::string text) { return {false, std::move(text)}; }
  explicit operator bool() const { return ok; }
};

// The directory part of a path ("." when it has none).
std::string parentDirectory(std::string_view path);
// The last path component.
std::string lastComponent(std::string_view path);

// Creates a directory and every missing parent (mode 0777 before umask).
// An existing directory is success; an existing non-directory is a failure.
Status createDirectories(std::string_view path);

// Writes bytes whole or not at all: the target is either the old file or
// the complete new one, never a part, and a process killed while it writes
// leaves nothing behind (see StagedFile). Symbolic links at `path` are
// followed: the file they lead to is replaced and the links stay. Only a
// regular file is ever replaced; a directory fails with "Is a directory",
// a device, FIFO or socket with "Not a regular file", a link loop with
// "Too many levels of symbolic links".
//
// `temporarySuffix`, when given, names the file "." + the target's name +
// the suffix (".photo.png.partial") for the moment before it takes the
// target's place, and while it is written on file systems without unnamed
// files; a file or link already there is removed, never written through.
// By default that name ends in six random characters instead.
Status writeFileAtomically(std::string_view path, const void* data, std::size_t size,
                           std::string_view temporarySuffix = {});

// Whether writeFileAtomically could put a file at `path` now: the links
// there lead to nothing or to a regular file, in an existing directory the
// process may write. The failure is the one the write would report.
Status checkReplaceable(std::string_view path);

// A new file that has no name until it is complete. It is created
// unnamed in its directory (O_TMPFILE), written, flushed to the disk and
// only then linked under a temporary name and renamed over its target, so
// a process killed at any point before leaves nothing in the directory.
// File systems that cannot hold unnamed files get a named temporary file
// instead, created exclusively (never through a link) and removed when the
// file is abandoned or the process is ended by SIGTERM, SIGINT or SIGHUP
// (SIGKILL leaves it). Both kinds get the mode a plain create gives: 0666
// less the umask.
//
// The calls mirror the system calls they make: false with errno set.
// Destroying a file that was not placed discards it.
class StagedFile {
 public:
  // Starts a new, empty file that will replace `name` in `directory`.
  // `temporaryName` is the whole name the file has before it takes the
  // target's place (see writeFileAtomically; by default "." + name + six
  // random characters). Absent with errno set.
  static std::unique_ptr<StagedFile> create(std::string_view directory, std::string_view name,
                                            std::string_view temporarySuffix = {});
  ~StagedFile();
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // The open descriptor (write-only), for fchmod, fchown and the like.
  int descriptor() const { return fd_; }
  // Writes all bytes, resuming after short writes and interruptions.
  bool write(const void* data, std::size_t size);
  // Flushes the file to the disk and puts it in place of its target.
  // Refuses, and discards the file, when something other than a regular
  // file stands at the target: EISDIR for a directory, EINVAL for anything
  // else (device, FIFO, socket, symbolic link).
  bool place();

 private:
  StagedFile() = default;
  void discard();
  int directoryFd_ = -1;
  int fd_ = -1;
  std::string directory_, name_, temporaryName_;
  bool randomTemporary_ = false;
  bool named_ = false;     // the temporary name stands in the directory
  int registration_ = -1;  // its slot in the signal cleanup
};

bool exists(std::string_view path);
Status removeFile(std::string_view path);
Status moveFile(std::string_view from, std::string_view to);

// Reads a whole regular file; false when it cannot be opened or read.
bool readFile(std::string_view path, std::string& out);

}  // namespace files
