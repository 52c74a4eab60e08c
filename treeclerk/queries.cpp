// Queries: exists, stat and lstat (statInfo), readlink, realpath, and the
// space of the volume holding a path (statfs).

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "treeclerk.h"

namespace treeclerk {

namespace {

double milliseconds(const struct timespec& time) {
  return static_cast<double>(time.tv_sec) * 1000.0 + static_cast<double>(time.tv_nsec) / 1'000'000.0;
}

std::string homeDirectory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return entry->pw_dir;
  }
  return "";
}

// "~" expanded, empty and "." components dropped, ".." resolved lexically,
// no trailing "/".
std::string standardPath(const std::string& path) {
  std::string expanded = path;
  if (expanded == "~" || expanded.starts_with("~/")) expanded = homeDirectory() + expanded.substr(1);

  const bool absolute = expanded.starts_with("/");
  std::vector<std::string> components;
  std::size_t start = 0;
  while (start <= expanded.size()) {
    auto end = expanded.find('/', start);
    if (end == std::string::npos) end = expanded.size();
    std::string component = expanded.substr(start, end - start);
    start = end + 1;
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      if (!components.empty() && components.back() != "..") {
        components.pop_back();
        continue;
      }
      if (absolute) continue;  // ".." of the root is the root
    }
    components.push_back(std::move(component));
  }

  std::string result = absolute ? "/" : "";
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (i > 0) result += '/';
    result += components[i];
  }
  return result;
}

}  // namespace

json::Value statInfo(const std::string& path, bool follow) {
  struct stat info;
  const int status = follow ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info);
  if (status != 0) throw fail("stat", path);
  json::Value object = json::Value::object();
  object["size"] = static_cast<std::int64_t>(info.st_size);
  object["mode"] = static_cast<std::uint64_t>(info.st_mode);
  object["mtimeMs"] = milliseconds(info.st_mtim);
  object["ctimeMs"] = milliseconds(info.st_ctim);
  object["atimeMs"] = milliseconds(info.st_atim);
  object["isDirectory"] = S_ISDIR(info.st_mode);
  object["isFile"] = S_ISREG(info.st_mode);
  object["isSymbolicLink"] = S_ISLNK(info.st_mode);
  return object;
}

bool isDirectory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void opExists(const CommonKeys& keys, Session& session) {
  struct stat info;
  bool found = true;
  if (::stat(keys.path.c_str(), &info) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) throw fail("stat", keys.path);
    found = false;
  }
  writeJSON(json::Value(found), session);
}

void opReadlink(const CommonKeys& keys, Session& session) {
  // The link's size is only a hint (some file systems report 0); grow the
  // buffer until the target fits.
  std::string target(256, '\0');
  for (;;) {
    const ssize_t length = ::readlink(keys.path.c_str(), target.data(), target.size());
    if (length < 0) {
      throw PlatformError("The file \u201c" + keys.path + "\u201d couldn\u2019t be read as a link: " +
                          std::strerror(errno));
    }
    if (static_cast<std::size_t>(length) < target.size()) {
      target.resize(static_cast<std::size_t>(length));
      break;
    }
    target.resize(target.size() * 2);
  }
  writeJSON(json::Value(target), session);
}

void opRealpath(const CommonKeys& keys, Session& session) {
  char* resolved = ::realpath(keys.path.c_str(), nullptr);
  if (resolved == nullptr) throw fail("realpath", keys.path);
  std::string result(resolved);
  std::free(resolved);
  writeJSON(json::Value(result), session);
}

json::Value volumeInfo(const std::string& path) {
  std::string candidate = standardPath(path);
  for (;;) {
    struct stat info;
    if (::stat(candidate.c_str(), &info) == 0) break;
    const int error = errno;
    if (error != ENOENT && error != ENOTDIR) throw fail("statfs", candidate, error);
    const std::string parent = parentPath(candidate);
    if (parent.empty() || parent == candidate) throw fail("statfs", path, error);
    candidate = parent;
  }
  struct statvfs space;
  if (::statvfs(candidate.c_str(), &space) != 0) throw fail("statfs", candidate);
  json::Value object = json::Value::object();
  object["freeBytes"] = static_cast<std::uint64_t>(space.f_frsize) * space.f_bavail;
  object["totalBytes"] = static_cast<std::uint64_t>(space.f_frsize) * space.f_blocks;
  return object;
}

}  // namespace treeclerk
