// File-manager services: directory creation and whole-or-nothing writes.
#pragma once

#include <cstddef>
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

// Writes bytes to a temporary file in the same directory, flushes it to the
// disk and renames it over `path`; the target is either the old file or the
// complete new one, never a part. The temporary file is removed on failure.
Status writeFileAtomically(std::string_view path, const void* data, std::size_t size);

// Creates or truncates `path` and writes the bytes, flushed to disk. A
// failure may leave a partial file: use it for temporary names only.
Status writeFile(std::string_view path, const void* data, std::size_t size);

bool exists(std::string_view path);
Status removeFile(std::string_view path);
Status moveFile(std::string_view from, std::string_view to);

// Reads a whole regular file; false when it cannot be opened or read.
bool readFile(std::string_view path, std::string& out);

}  // namespace files
