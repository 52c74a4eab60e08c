// execute: the table of operations by name, the request keys every
// operation shares, and path joining.

#include <climits>
#include <cmath>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "treeclerk.h"

namespace treeclerk {

std::string stringKey(const json::Value& request, const char* key) {
  const auto found = request.find(key);
  if (found == request.end() || !found->is_string()) return "";
  std::string value = found->get<std::string>();
  // A NUL byte would silently cut the path short in every system call.
  if (value.find('\0') != std::string::npos) {
    throw Failure{"EINVAL", std::string("EINVAL: niepoprawna wartość ") + key};
  }
  return value;
}

bool boolKey(const json::Value& request, const char* key) {
  const auto found = request.find(key);
  return found != request.end() && found->is_boolean() && found->get<bool>();
}

CommonKeys readCommonKeys(const json::Value& request) {
  CommonKeys keys;
  keys.path = stringKey(request, "path");
  keys.recursive = boolKey(request, "recursive");
  keys.force = boolKey(request, "force");
  const auto mode = request.find("mode");
  if (mode != request.end()) {
    keys.modeGiven = true;
    if (mode->is_number()) {
      const double value = mode->get<double>();
      if (std::isfinite(value) && std::trunc(value) == value) {
        if (value >= 0 && value <= 65535) {
          keys.mode = static_cast<unsigned>(value);
        } else {
          keys.modeOutOfRange = true;
        }
      }
    }
  }
  return keys;
}

unsigned checkedMode(const CommonKeys& keys) {
  // Such a mode has no meaning; it is never handed to the system.
  if (keys.modeOutOfRange) throw Failure{"EINVAL", "EINVAL: niepoprawna wartość mode"};
  return keys.mode;
}

std::string joinPath(std::string_view directory, std::string_view name) {
  std::string joined(directory);
  if (joined.empty() || joined.back() != '/') joined += '/';
  joined += name;
  return joined;
}

std::string parentPath(std::string_view path) {
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return "";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string linkTarget(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info;
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlink(current.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size()) return current;
    target.resize(static_cast<std::size_t>(length));
    current = target.starts_with("/") ? target : joinPath(parentPath(current).empty() ? "." : parentPath(current), target);
  }
  return current;
}

namespace {

using Operation = void (*)(const json::Value& request, const CommonKeys& keys, Session& session);

struct NamedOperation {
  const char* name;
  Operation perform;
};

void writeTrue(Session& session) { writeJSON(json::Value(true), session); }

// One row per operation: the name a request gives and what it does.
constexpr NamedOperation operations[] = {
    {"exists", [](const json::Value&, const CommonKeys& k, Session& s) { opExists(k, s); }},
    {"stat",
     [](const json::Value& r, const CommonKeys& k, Session& s) {
       writeJSON(statInfo(k.path, !boolKey(r, "noFollow")), s);
     }},
    {"lstat", [](const json::Value&, const CommonKeys& k, Session& s) { writeJSON(statInfo(k.path, false), s); }},
    {"readlink", [](const json::Value&, const CommonKeys& k, Session& s) { opReadlink(k, s); }},
    {"realpath", [](const json::Value&, const CommonKeys& k, Session& s) { opRealpath(k, s); }},
    {"statfs", [](const json::Value&, const CommonKeys& k, Session& s) { writeJSON(volumeInfo(k.path), s); }},
    {"volume-identity",
     [](const json::Value&, const CommonKeys& k, Session& s) { writeJSON(volumeIdentity(k.path), s); }},
    {"readdir", [](const json::Value&, const CommonKeys& k, Session& s) { writeJSON(listDirectory(k.path), s); }},
    {"list-tree",
     [](const json::Value& r, const CommonKeys& k, Session& s) {
       writeJSON(treeEntries(k.path, jsonInt(r, "maxEntries", 10'000)), s);
     }},
    {"read", [](const json::Value& r, const CommonKeys& k, Session& s) { readFileOut(r, k, s); }},
    {"write", [](const json::Value& r, const CommonKeys& k, Session& s) { writeFromInput(r, k, s); }},
    {"sha256", [](const json::Value&, const CommonKeys& k, Session& s) { writeJSON(sha256File(k.path), s); }},
    {"copy-hash",
     [](const json::Value& r, const CommonKeys& k, Session& s) {
       const auto suffix = r.find("partialSuffix");
       writeJSON(copyHashing(k.path, stringKey(r, "to"),
                             suffix != r.end() && suffix->is_string() ? suffix->get<std::string>()
                                                                        : std::string(".partial")),
                 s);
     }},
    {"fsync",
     [](const json::Value&, const CommonKeys& k, Session& s) {
       fsyncPath(k.path);
       writeTrue(s);
     }},
    {"mkdir",
     [](const json::Value&, const CommonKeys& k, Session& s) {
       makeDirectory(k.path, k.recursive, checkedMode(k));
       writeTrue(s);
     }},
    {"mkdtemp",
     [](const json::Value&, const CommonKeys& k, Session& s) {
       writeJSON(json::Value(makeTemporaryDirectory(k.path)), s);
     }},
    {"rm",
     [](const json::Value&, const CommonKeys& k, Session& s) {
       remove(k.path, k.recursive, k.force);
       writeTrue(s);
     }},
    {"rename",
     [](const json::Value& r, const CommonKeys& k, Session& s) {
       renamePath(k.path, stringKey(r, "to"));
       writeTrue(s);
     }},
    {"copy",
     [](const json::Value& r, const CommonKeys& k, Session& s) {
       copyItem(k.path, stringKey(r, "to"), k.recursive);
       writeTrue(s);
     }},
    {"utimes",
     [](const json::Value& r, const CommonKeys& k, Session& s) {
       setTimes(r, k.path);
       writeTrue(s);
     }},
    {"chmod",
     [](const json::Value&, const CommonKeys& k, Session& s) {
       changeMode(k.path, checkedMode(k));
       writeTrue(s);
     }},
    {"trash",
     [](const json::Value&, const CommonKeys& k, Session& s) {
       json::Value result = json::Value::object();
       result["trashedPath"] = moveToTrash(k.path);
       writeJSON(result, s);
     }},
};

}  // namespace

void execute(const json::Value& request, Session& session) {
  const auto op = request.find("op");
  const std::string name = op != request.end() && op->is_string() ? op->get<std::string>() : "";
  for (const auto& operation : operations) {
    if (name == operation.name) {
      operation.perform(request, readCommonKeys(request), session);
      return;
    }
  }
  throw Failure{"EINVAL", "treeclerk: nieznana operacja " + name};
}

}  // namespace treeclerk
