// Whether files and directories can be changed by nobody but root, and where
// the system's own program directories are.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

namespace trust {

// Owned by root and writable by neither group nor others.
bool isRootOnly(const struct stat& status);

// True when `directory` (absolute, without symbolic links) and every
// directory above it are directories that only root can change.
bool isRootOnlyDirectoryChain(std::string_view directory);

// True when `path` (absolute, without symbolic links) is a regular file that
// only root can change, in directories that only root can change.
bool isRootOnlyFile(std::string_view path);

// The directory part of an absolute path ("/" for a top-level entry).
std::string parentOf(std::string_view path);

// True when `path` lies inside `directory` (a '/'-separated prefix).
bool isBelow(std::string_view path, std::string_view directory);

// True when `path` lies in a directory tree where the system keeps its
// programs (/usr/bin, /bin, /usr/sbin, /sbin, /usr/libexec, /usr/games,
// /usr/local/bin, /usr/local/sbin).
bool isInSystemProgramTree(std::string_view path);

// True when a directory may not serve as an application bundle: the root,
// the system program trees and the shared system directories above or
// beside them (/usr, /usr/lib, /lib, /opt, /etc, /home, ...).
bool isSystemDirectory(std::string_view directory);

// True for the five trees whose programs may be started as platform programs.
bool isInPlatformProgramTree(std::string_view path);

// Outcome of reading a bundle marker.
enum class MarkerState { absent, unprotected, unreadable, present };

struct Marker {
  MarkerState state = MarkerState::absent;
  std::string identifier;  // first line, blanks around it removed
};

// Reads the marker file `name` in `directory` without following a symbolic
// link; it must be a regular root-only file of at most 4 KiB.
Marker readMarker(std::string_view directory, std::string_view name);

}  // namespace trust
