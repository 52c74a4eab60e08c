// Content: read, write, sha256, copy-hash and fsync.

#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

// The one-shot SHA-256 routines; EVP would pull OpenSSL's whole provider
// machinery into the static link and cost every request start-up time.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include "descriptor.h"
#include "files.h"
#include "treeclerk.h"

namespace treeclerk {

namespace {

std::unique_ptr<unsigned char[]> chunkBuffer() {
  return std::unique_ptr<unsigned char[]>(new unsigned char[ioChunkBytes]);
}

// Writes all bytes, repeating after partial writes; false with errno set.
bool writeAll(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

std::string hexDigest(const unsigned char (&digest)[SHA256_DIGEST_LENGTH]) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char byte : digest) {
    text += hex[byte >> 4];
    text += hex[byte & 0xF];
  }
  return text;
}

json::Value hashObject(SHA256_CTX& context, std::uint64_t size) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256_Final(digest, &context);
  json::Value object = json::Value::object();
  object["sha256"] = hexDigest(digest);
  object["size"] = size;
  return object;
}

bool validPartialSuffix(const std::string& suffix) {
  if (suffix.empty() || suffix.find_first_of(std::string("/\\\0", 3)) != std::string::npos) return false;
  std::size_t characters = 0;
  for (const char c : suffix) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return characters <= 64;
}

mode_t fileCreationMask() {
  static const mode_t mask = [] {
    const mode_t current = ::umask(0);
    ::umask(current);
    return current;
  }();
  return mask;
}

std::string readAllInput(Session& session) { return session.streams.readStandardInput(); }

}  // namespace

void readFileOut(const json::Value& request, const CommonKeys& keys, Session& session) {
  const std::int64_t offset = jsonInt(request, "offset", 0);
  std::optional<std::int64_t> wanted;
  if (request.contains("length")) wanted = jsonInt(request, "length", 0);

  Descriptor file(::open(keys.path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) throw fail("open", keys.path);
  if (offset > 0 && ::lseek(file.get(), static_cast<off_t>(offset), SEEK_SET) < 0) {
    throw fail("lseek", keys.path);
  }
  auto buffer = chunkBuffer();
  while (!wanted || *wanted > 0) {
    std::size_t size = ioChunkBytes;
    if (wanted && static_cast<std::uint64_t>(*wanted) < size) size = static_cast<std::size_t>(*wanted);
    const ssize_t got = ::read(file.get(), buffer.get(), size);
    if (got < 0) throw fail("read", keys.path);
    if (got == 0) break;
    writeOut(std::string_view(reinterpret_cast<const char*>(buffer.get()), static_cast<std::size_t>(got)),
             session);
    if (wanted) *wanted -= got;
  }
}

namespace {

// Whether the caller may give a new file the owner and group of `existing`.
bool canKeepOwnership(const struct stat& existing) {
  if (::geteuid() == 0) return true;
  if (existing.st_uid != ::geteuid()) return false;
  if (existing.st_gid == ::getegid()) return true;
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int listed = ::getgroups(count, groups.data());
  for (int i = 0; i < listed; ++i) {
    if (groups[static_cast<std::size_t>(i)] == existing.st_gid) return true;
  }
  return false;
}

// Whether writing `target` may replace it by a new file renamed over it:
// only when nobody could tell the new file from the old one but by its
// contents. A file with other names (hard links), owned by someone else,
// carrying an access control list, or in a directory the caller cannot
// write, and anything that is not a regular file, is written in place.
bool replaceable(const std::string& target, const struct stat& existing) {
  if (!S_ISREG(existing.st_mode) || existing.st_nlink != 1 || !canKeepOwnership(existing)) return false;
  // A file the caller may not write is not replaced either: the open in
  // place refuses it.
  if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return false;
  if (::getxattr(target.c_str(), "system.posix_acl_access", nullptr, 0) >= 0) return false;
  const std::string directory = parentPath(target).empty() ? "." : parentPath(target);
  return ::faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

void writeData(int fd, const std::string& data, const std::string& path) {
  if (!writeAll(fd, reinterpret_cast<const unsigned char*>(data.data()), data.size())) {
    throw fail("write", path);
  }
}

// Appends the data with one write on the file opened for appending, so
// that writers appending to the same file at once each land whole.
void appendInPlace(const std::string& path, const std::string& data, unsigned mode, bool modeGiven) {
  Descriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, static_cast<mode_t>(mode)));
  if (!file.valid()) throw fail("open", path);
  writeData(file.get(), data, path);
  if (modeGiven) ::fchmod(file.get(), static_cast<mode_t>(mode) & 07777);
}

// Opens the file as it is, empties it when it is a regular file, and writes
// the data.
void writeInPlace(const std::string& path, const std::string& data, unsigned mode, bool modeGiven) {
  Descriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, static_cast<mode_t>(mode)));
  if (!file.valid()) throw fail("open", path);
  struct stat opened;
  if (::fstat(file.get(), &opened) == 0 && S_ISREG(opened.st_mode) && ::ftruncate(file.get(), 0) != 0) {
    throw fail("write", path);
  }
  writeData(file.get(), data, path);
  if (modeGiven) ::fchmod(file.get(), static_cast<mode_t>(mode) & 07777);
}

// The data goes to a new file that has no name until it is complete (see
// files::StagedFile): it is written, flushed and renamed over the target, so
// the target is never seen half-written, and a writer killed on the way
// leaves nothing behind. False, with nothing changed, when the new file
// cannot be given the old one's owner.
bool replaceWhole(const std::string& path, const std::string& target, const struct stat* existing,
                  const std::string& data, unsigned mode, bool modeGiven) {
  const std::string directory = parentPath(target).empty() ? "." : parentPath(target);
  const auto file = files::StagedFile::create(directory, files::lastComponent(target));
  if (!file) throw fail("open", path);
  const int fd = file->descriptor();
  // The permissions an open with creation would give: the existing file's,
  // or the requested mode less the file-creation mask.
  if (existing) {
    if (::fchown(fd, existing->st_uid, existing->st_gid) != 0) return false;
    ::fchmod(fd, existing->st_mode & 07777);
  } else {
    ::fchmod(fd, static_cast<mode_t>(mode) & 07777 & ~fileCreationMask());
  }
  if (!file->write(data.data(), data.size())) throw fail("write", path);
  if (modeGiven) ::fchmod(fd, static_cast<mode_t>(mode) & 07777);
  if (::fsync(fd) != 0) throw fail("fsync", path);
  if (!file->place()) throw fail("rename", path);
  return true;
}

}  // namespace

// An append is a real append. Otherwise an ordinary file (see replaceable)
// or a new one is replaced whole through a temporary file; anything else is
// opened, emptied and written in place, as another program sharing it
// expects. All of the data is read first, so that a writer that dies early
// changes nothing.
void writeFromInput(const json::Value& request, const CommonKeys& keys, Session& session) {
  const unsigned mode = checkedMode(keys);
  const std::string& path = keys.path;
  const std::string data = readAllInput(session);
  if (boolKey(request, "append")) {
    appendInPlace(path, data, mode, keys.modeGiven);
  } else {
    struct stat existing;
    bool replaced = false;
    if (::stat(path.c_str(), &existing) == 0) {
      const std::string target = linkTarget(path);
      replaced = replaceable(target, existing) && replaceWhole(path, target, &existing, data, mode, keys.modeGiven);
    } else if (errno == ENOENT && !path.empty()) {
      replaced = replaceWhole(path, linkTarget(path), nullptr, data, mode, keys.modeGiven);
    }
    // Otherwise the open in place writes, or reports why the path cannot be
    // written (a loop of links, a directory, a missing parent).
    if (!replaced) writeInPlace(path, data, mode, keys.modeGiven);
  }
  writeJSON(json::Value(true), session);
}

json::Value sha256File(const std::string& path) {
  Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) throw fail("open", path);
  ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  SHA256_CTX context;
  SHA256_Init(&context);
  std::uint64_t size = 0;
  auto buffer = chunkBuffer();
  for (;;) {
    const ssize_t got = ::read(file.get(), buffer.get(), ioChunkBytes);
    if (got < 0) throw fail("read", path);
    if (got == 0) break;
    SHA256_Update(&context, buffer.get(), static_cast<std::size_t>(got));
    size += static_cast<std::uint64_t>(got);
  }
  return hashObject(context, size);
}

json::Value copyHashing(const std::string& source, const std::string& destination,
                        const std::string& suffix) {
  if (destination.empty()) throw Failure{"EINVAL", "EINVAL: brak ścieżki docelowej"};
  if (!validPartialSuffix(suffix)) throw Failure{"EINVAL", "EINVAL: niepoprawny partialSuffix"};
  const std::string temporary = destination + suffix;

  Descriptor input(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (!input.valid()) throw fail("open", source);
  ::posix_fadvise(input.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  // A leftover temporary file (or a link planted under its name) is
  // replaced, never written through.
  ::unlink(temporary.c_str());
  Descriptor output(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!output.valid()) throw fail("open", temporary);
  auto discard = [&](Failure failure) {
    output.close();
    ::unlink(temporary.c_str());
    return failure;
  };

  SHA256_CTX context;
  SHA256_Init(&context);
  std::uint64_t size = 0;
  auto buffer = chunkBuffer();
  for (;;) {
    const ssize_t got = ::read(input.get(), buffer.get(), ioChunkBytes);
    if (got < 0) throw discard(fail("read", source));
    if (got == 0) break;
    SHA256_Update(&context, buffer.get(), static_cast<std::size_t>(got));
    if (!writeAll(output.get(), buffer.get(), static_cast<std::size_t>(got))) {
      throw discard(fail("write", temporary));
    }
    // Start writing back what is written, so the final flush finds little
    // left to do.
    ::sync_file_range(output.get(), static_cast<off_t>(size), got, SYNC_FILE_RANGE_WRITE);
    size += static_cast<std::uint64_t>(got);
  }
  if (::fsync(output.get()) != 0) throw discard(fail("fsync", temporary));
  if (::rename(temporary.c_str(), destination.c_str()) != 0) throw discard(fail("rename", temporary));
  return hashObject(context, size);
}

void fsyncPath(const std::string& path) {
  Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) throw fail("open", path);
  if (::fsync(file.get()) != 0) throw fail("fsync", path);
}

}  // namespace treeclerk
