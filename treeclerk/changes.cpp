// Changes: mkdir, mkdtemp, rm, rename, copy, utimes and chmod.

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "descriptor.h"
#include "files.h"
#include "treeclerk.h"

namespace treeclerk {

namespace {

using FileIdentity = std::pair<dev_t, ino_t>;

// Directories a recursive copy is reading from (the current chain) and has
// created; descending into either would never end.
struct CopyWalk {
  std::vector<FileIdentity> sourceChain;
  std::set<FileIdentity> created;
};

// Copies the data between two open files, in the kernel when it can.
bool copyData(int from, int to) {
  bool inKernel = true;
  for (;;) {
    if (inKernel) {
      const ssize_t copied = ::copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
      if (copied > 0) continue;
      if (copied == 0) return true;
      if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
      inKernel = false;  // nothing was copied yet by this call; go on by hand
    }
    static thread_local std::vector<char> buffer(ioChunkBytes);
    const ssize_t got = ::read(from, buffer.data(), buffer.size());
    if (got < 0) return false;
    if (got == 0) return true;
    for (ssize_t done = 0; done < got;) {
      const ssize_t written = ::write(to, buffer.data() + done, static_cast<std::size_t>(got - done));
      if (written < 0) return false;
      done += written;
    }
  }
}

// Contents, permission bits, ownership as far as allowed, and times, in a
// new file that has no name until it is complete (see files::StagedFile),
// so that the destination is replaced whole and a copy killed on the way
// leaves nothing. A symbolic link at the destination is followed: the file
// it leads to is replaced and the link stays.
void copyFile(const std::string& source, const std::string& destination) {
  Descriptor input(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (!input.valid()) throw fail("copyfile", source);
  struct stat info;
  if (::fstat(input.get(), &info) != 0) throw fail("copyfile", source);

  const std::string target = linkTarget(destination);
  const std::string parent = parentPath(target);
  const auto output = files::StagedFile::create(parent.empty() ? "." : parent, files::lastComponent(target));
  if (!output) throw fail("copyfile", source);
  const int fd = output->descriptor();
  if (!copyData(input.get(), fd)) throw fail("copyfile", source);
  mode_t mode = info.st_mode & 07777;
  if (::fchown(fd, info.st_uid, info.st_gid) != 0) {
    mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);  // never grant them to another owner
  }
  const struct timespec times[2] = {info.st_atim, info.st_mtim};
  if (::fchmod(fd, mode) != 0 || ::futimens(fd, times) != 0) throw fail("copyfile", source);
  if (!output->place()) throw fail("copyfile", source);
}

void copyTree(const std::string& source, const std::string& destination, bool recursive, CopyWalk& walk) {
  struct stat info;
  if (::stat(source.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    copyFile(source, destination);
    return;
  }
  if (!recursive) {
    throw Failure{"EISDIR", "EISDIR: illegal operation on a directory, copy '" + source + "'"};
  }
  const FileIdentity identity{info.st_dev, info.st_ino};
  for (const auto& ancestor : walk.sourceChain) {
    if (ancestor == identity) throw fail("copyfile", source, ELOOP);
  }
  if (walk.created.contains(identity)) throw fail("copyfile", source, EINVAL);  // a copy into itself

  makeDirectory(destination, true, 0755);
  struct stat made;
  if (::stat(destination.c_str(), &made) == 0) {
    if (FileIdentity{made.st_dev, made.st_ino} == identity) throw fail("copyfile", source, EINVAL);
    walk.created.insert({made.st_dev, made.st_ino});
  }
  walk.sourceChain.push_back(identity);
  for (const auto& entry : listDirectory(source)) {
    const auto& name = entry["name"].get_ref<const std::string&>();
    copyTree(joinPath(source, name), joinPath(destination, name), true, walk);
  }
  walk.sourceChain.pop_back();
}

// Milliseconds since the epoch as the system's seconds and microseconds,
// with the microseconds always in 0 to 999,999 as the system requires.
bool toTimeval(double milliseconds, struct timeval& time) {
  double seconds = std::trunc(milliseconds / 1000.0);
  double micros = std::round(std::fmod(milliseconds, 1000.0) * 1000.0);
  if (micros < 0) {
    seconds -= 1;
    micros += 1'000'000;
  } else if (micros >= 1'000'000) {
    seconds += 1;
    micros -= 1'000'000;
  }
  constexpr double twoTo63 = 9223372036854775808.0;
  if (!(seconds >= -twoTo63 && seconds < twoTo63)) return false;
  time.tv_sec = static_cast<time_t>(seconds);
  time.tv_usec = static_cast<suseconds_t>(micros);
  return true;
}

}  // namespace

void makeDirectory(const std::string& path, bool recursive, unsigned mode) {
  if (!recursive) {
    if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0) throw fail("mkdir", path);
    return;
  }
  std::string current = path.starts_with("/") ? "/" : "";
  std::size_t start = 0;
  while (start < path.size()) {
    auto end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string component = path.substr(start, end - start);
    start = end + 1;
    if (component.empty()) continue;
    current = current.empty() ? component : joinPath(current, component);
    if (::mkdir(current.c_str(), static_cast<mode_t>(mode)) == 0) continue;
    const int error = errno;
    if (error != EEXIST) throw fail("mkdir", current, error);
    if (!isDirectory(current)) throw fail("mkdir", current, EEXIST);
  }
}

std::string makeTemporaryDirectory(const std::string& prefix) {
  std::string pattern = prefix + "XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw fail("mkdtemp", prefix);
  return pattern;
}

void remove(const std::string& path, bool recursive, bool force) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT && force) return;
    throw fail("rm", path);
  }
  if (S_ISDIR(info.st_mode)) {
    if (recursive) {
      for (const auto& entry : listDirectory(path)) {
        remove(joinPath(path, entry["name"].get_ref<const std::string&>()), true, force);
      }
    }
    if (::rmdir(path.c_str()) != 0) throw fail("rmdir", path);
    return;
  }
  if (::unlink(path.c_str()) != 0) throw fail("unlink", path);
}

void renamePath(const std::string& path, const std::string& to) {
  if (::rename(path.c_str(), to.c_str()) != 0) throw fail("rename", path);
}

void copyItem(const std::string& source, const std::string& destination, bool recursive) {
  CopyWalk walk;
  copyTree(source, destination, recursive, walk);
}

void setTimes(const json::Value& request, const std::string& path) {
  const Failure invalid{"EINVAL", "EINVAL: niepoprawny czas pliku"};
  const auto access = request.find("atimeMs");
  const auto modification = request.find("mtimeMs");
  if (access == request.end() || modification == request.end() || !access->is_number() ||
      !modification->is_number()) {
    throw invalid;
  }
  const double accessMs = access->get<double>();
  const double modificationMs = modification->get<double>();
  if (!std::isfinite(accessMs) || !std::isfinite(modificationMs)) throw invalid;
  struct timeval times[2];
  if (!toTimeval(accessMs, times[0]) || !toTimeval(modificationMs, times[1])) throw invalid;
  if (::utimes(path.c_str(), times) != 0) throw fail("utimes", path);
}

void changeMode(const std::string& path, unsigned mode) {
  if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) throw fail("chmod", path);
}

}  // namespace treeclerk
