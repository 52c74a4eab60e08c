// Bounded readers and parsers of the /proc files that describe a process.
// Every parser takes the file's text as read and tolerates any content.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trust {

enum class ReadResult { ok, tooLarge, unreadable };

// Reads the whole file `path` (relative to the directory descriptor
// `directoryFd`, or AT_FDCWD) into `out`, refusing more than `maxBytes`.
ReadResult readBounded(int directoryFd, const std::string& path, std::size_t maxBytes,
                       std::string& out);

// The start time (field 22, clock ticks after boot) from /proc/<pid>/stat.
// The command name in parentheses may hold spaces and parentheses itself.
std::optional<std::uint64_t> parseStartTime(std::string_view statText);

// True when two start times read from the same pid, before and after a
// series of checks, show one and the same process: both read and equal. A
// pid reused by a newer process in between shows a later start time.
bool isSameProcessStart(std::optional<std::uint64_t> before, std::optional<std::uint64_t> after);

// The TracerPid value from /proc/<pid>/status.
std::optional<std::uint64_t> parseTracerPid(std::string_view statusText);

// True when the NUL-separated environment holds one of the variables that
// make the loader or a script runtime take in foreign code.
bool hasInjectingVariable(std::string_view environText);

// True when a NUL-separated command line holds a debugger or remote
// debugging switch, with one dash or two ("--inspect-brk", "-remote-debugging-port=1").
bool hasDebuggingSwitch(std::string_view cmdlineText);

// The distinct file paths of executable mappings in /proc/<pid>/maps, as the
// kernel prints them (a replaced file keeps its " (deleted)" suffix). Lines
// that do not parse are returned as "" so that callers refuse them.
std::vector<std::string> executableMappedFiles(std::string_view mapsText);

}  // namespace trust
