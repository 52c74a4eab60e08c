// Listing: one directory (readdir) and a bounded walk of a tree (list-tree).

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include <dirent.h>

#include "treeclerk.h"

namespace treeclerk {

namespace {

struct DirectoryEntry {
  std::string name;
  std::string sortKey;  // the composed form of the name
  unsigned char type;
};

std::vector<DirectoryEntry> readEntries(const std::string& path) {
  DIR* directory = ::opendir(path.c_str());
  if (directory == nullptr) throw fail("scandir", path);
  std::vector<DirectoryEntry> entries;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(directory);
    if (entry == nullptr) {
      const int error = errno;
      ::closedir(directory);
      if (error != 0) throw fail("scandir", path, error);
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    entries.push_back({std::string(name), composedForm(std::string(name)), entry->d_type});
  }
  // For valid UTF-8, byte order is the order of the Unicode scalar values.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.sortKey < b.sortKey; });
  return entries;
}

}  // namespace

json::Value listDirectory(const std::string& path) {
  json::Value array = json::Value::array();
  for (const auto& entry : readEntries(path)) {
    json::Value object = json::Value::object();
    object["name"] = entry.name;
    object["isDirectory"] = entry.type == DT_DIR;
    object["isFile"] = entry.type == DT_REG;
    object["isSymbolicLink"] = entry.type == DT_LNK;
    array.push_back(std::move(object));
  }
  return array;
}

json::Value treeEntries(const std::string& path, std::int64_t maxEntries) {
  if (maxEntries < 1 || maxEntries > 100'000) {
    throw Failure{"EINVAL", "EINVAL: maxEntries poza zakresem"};
  }
  std::vector<std::string> pending{path};
  json::Value entries = json::Value::array();
  bool truncated = false;
  while (!pending.empty() && !truncated) {
    const std::string directory = std::move(pending.back());
    pending.pop_back();
    const auto listed = readEntries(directory);
    for (auto entry = listed.rbegin(); entry != listed.rend(); ++entry) {
      if (static_cast<std::int64_t>(entries.size()) >= maxEntries) {
        truncated = true;
        break;
      }
      std::string child = joinPath(directory, entry->name);
      json::Value info = statInfo(child, false);
      const bool childIsDirectory = info["isDirectory"].get<bool>();
      json::Value item = json::Value::object();
      item["path"] = child;
      item["size"] = info["size"];
      item["mtimeMs"] = info["mtimeMs"];
      item["isDir"] = childIsDirectory;
      entries.push_back(std::move(item));
      if (childIsDirectory) pending.push_back(std::move(child));
    }
  }
  json::Value tree = json::Value::object();
  tree["entries"] = std::move(entries);
  tree["truncated"] = truncated;
  return tree;
}

}  // namespace treeclerk
