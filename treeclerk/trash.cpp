// trash: moving an item to the user's desktop trash (the freedesktop.org
// trash: the home trash, or the ".Trash-$uid" directory at the top of
// another volume, each with a ".trashinfo" record per item), through GIO.

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "glib_loader.h"
#include "treeclerk.h"

namespace treeclerk {

namespace {

std::string absolutePath(const std::string& path) {
  if (path.starts_with("/")) return path;
  std::string directory(4096, '\0');
  if (::getcwd(directory.data(), directory.size()) == nullptr) return path;
  directory.resize(std::char_traits<char>::length(directory.c_str()));
  return joinPath(directory, path);
}

std::string homeTrash() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/') {
    return joinPath(data, "Trash");
  }
  const char* home = std::getenv("HOME");
  return joinPath(home != nullptr ? home : "", ".local/share/Trash");
}

// The top directory of the volume that holds `path`.
std::string volumeTop(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return "/";
  std::string top = path;
  while (top != "/") {
    const std::string parent = parentPath(top);
    struct stat above;
    if (parent.empty() || ::stat(parent.c_str(), &above) != 0 || above.st_dev != info.st_dev) break;
    top = parent;
  }
  return top;
}

// Every trash directory the item may go to.
std::vector<std::string> candidateTrashes(const std::string& item) {
  const std::string uid = std::to_string(::getuid());
  const std::string top = volumeTop(parentPath(item).empty() ? "/" : parentPath(item));
  return {homeTrash(), joinPath(joinPath(top, ".Trash"), uid), joinPath(top, ".Trash-" + uid)};
}

std::set<std::string> infoRecords(const std::string& trash) {
  std::set<std::string> names;
  DIR* directory = ::opendir(joinPath(trash, "info").c_str());
  if (directory == nullptr) return names;
  while (const dirent* entry = ::readdir(directory)) {
    const std::string name = entry->d_name;
    if (name.size() > 10 && name.ends_with(".trashinfo")) names.insert(name.substr(0, name.size() - 10));
  }
  ::closedir(directory);
  return names;
}

std::string percentDecoded(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The original path a ".trashinfo" record gives (relative to the volume's
// top for a trash on that volume), decoded.
std::string recordedPath(const std::string& trash, const std::string& name) {
  std::ifstream record(joinPath(joinPath(trash, "info"), name + ".trashinfo"));
  std::string line;
  while (std::getline(record, line)) {
    if (line.starts_with("Path=")) return percentDecoded(line.substr(5));
  }
  return "";
}

void trashWithGio(const std::string& path) {
  // Only the local file system is wanted; this keeps GIO from looking for
  // a desktop session's virtual file system service.
  ::setenv("GIO_USE_VFS", "local", 1);
  const GioFunctions* functions = gio();
  if (functions == nullptr) throw PlatformError("The trash is not available: GIO cannot be loaded");
  GFile* file = functions->fileNewForPath(path.c_str());
  GError* error = nullptr;
  const bool moved = functions->fileTrash(file, nullptr, &error);
  functions->objectUnref(file);
  if (!moved) {
    const std::string description = error != nullptr && error->message != nullptr
                                        ? error->message
                                        : "The item could not be moved to the trash";
    if (error != nullptr) functions->errorFree(error);
    throw PlatformError(description);
  }
}

}  // namespace

std::string moveToTrash(const std::string& path) {
  if (::access(path.c_str(), F_OK) != 0) throw fail("trash", path);

  // GIO does not say where the item went: note the records present in each
  // trash it may use, and look for the new one afterwards.
  std::string item = absolutePath(path);
  while (item.size() > 1 && item.ends_with("/")) item.pop_back();
  const auto trashes = candidateTrashes(item);
  std::vector<std::set<std::string>> before;
  for (const auto& trash : trashes) before.push_back(infoRecords(trash));

  trashWithGio(path);

  const std::string top = volumeTop(parentPath(item).empty() ? "/" : parentPath(item));
  const std::string belowTop = top == "/" ? item.substr(1) : item.substr(std::min(item.size(), top.size() + 1));
  for (std::size_t i = 0; i < trashes.size(); ++i) {
    for (const auto& name : infoRecords(trashes[i])) {
      if (before[i].contains(name)) continue;
      const std::string original = recordedPath(trashes[i], name);
      if (original == item || original == belowTop) return joinPath(joinPath(trashes[i], "files"), name);
    }
  }
  return "";
}

}  // namespace treeclerk
