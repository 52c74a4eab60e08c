// Feeds arbitrary request text to treeclerk's parsing and dispatch. Every
// operation stays inside a scratch directory: the harness works in a fresh
// temporary directory, points HOME and XDG_DATA_HOME (the trash) into it,
// and rewrites absolute paths, "~" and ".." components in the request to a
// plain relative name before running it. No operation creates links, so
// nothing can lead outside. The scratch directory is emptied after each
// input.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "treeclerk.h"

namespace {

std::string scratch;  // holds "work" (the working directory) and "home"

bool escapes(const std::string& path) {
  if (path.starts_with("/") || path.starts_with("~")) return true;
  std::size_t start = 0;
  while (start <= path.size()) {
    auto end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0) return true;
    start = end + 1;
  }
  return false;
}

void confine(json::Value& value) {
  if (value.is_array()) {
    for (auto& element : value) confine(element);
  } else if (value.is_object()) {
    for (auto& [key, member] : value.items()) {
      if ((key == "path" || key == "to") && member.is_string() && escapes(member.get<std::string>())) {
        member = "confined";
      } else {
        confine(member);
      }
    }
  }
}

// Removes everything below the directory open as `fd`, making each
// directory searchable first (an operation may have taken its permissions).
void emptyDirectory(int fd) {
  DIR* directory = ::fdopendir(fd);
  if (directory == nullptr) {
    ::close(fd);
    return;
  }
  while (const dirent* entry = ::readdir(directory)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info;
    if (::fstatat(fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      ::fchmodat(fd, name.c_str(), 0700, 0);
      const int child = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
      if (child >= 0) emptyDirectory(child);
      ::unlinkat(fd, name.c_str(), AT_REMOVEDIR);
    } else {
      ::unlinkat(fd, name.c_str(), 0);
    }
  }
  ::closedir(directory);
}

void resetScratch() {
  ::chmod(scratch.c_str(), 0700);
  const int fd = ::open(scratch.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd >= 0) emptyDirectory(fd);
  ::mkdir((scratch + "/work").c_str(), 0700);
  ::mkdir((scratch + "/home").c_str(), 0700);
  if (::chdir((scratch + "/work").c_str()) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Memory-backed when possible: flushing to a disk would dominate each run.
  struct stat shm;
  const bool memory = ::stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) && ::access("/dev/shm", W_OK) == 0;
  std::string pattern = std::string(memory ? "/dev/shm" : "/tmp") + "/treeclerk-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  scratch = pattern;
  ::setenv("HOME", (scratch + "/home").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (scratch + "/home").c_str(), 1);
  resetScratch();
  std::atexit([] {
    if (::chdir("/") != 0) return;
    const int fd = ::open(scratch.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) emptyDirectory(fd);
    ::rmdir(scratch.c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  // Parsed as treeclerk parses it, \udcXX escapes included, so that no path
  // escapes confinement by way of an escaped byte.
  const json::ParseOptions asRequest{.byteEscapes = true};
  if (auto parsed = json::parse(text, asRequest)) {
    confine(*parsed);
    text = json::write(*parsed, {.invalidUtf8 = json::InvalidUtf8::escape}).value_or("");
  } else if (text.find('\0') != std::string::npos) {
    text.resize(text.find('\0'));  // an argument ends at its first NUL
    if (json::parse(text, asRequest)) return 0;  // a different request; it is fuzzed on its own
  }
  treeclerk::Session session{
      .streams = {.writeStandardOutput = [](std::string_view) {},
                  .readStandardInput = [] { return std::string("fuzz data"); }},
      .captureBuffer = std::nullopt};
  treeclerk::run(text.c_str(), session);
  resetScratch();
  return 0;
}
