// Content: read, write, sha256, copy-hash and fsync.

#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The one-shot SHA-256 routines; EVP would pull OpenSSL's whole provider
// machinery into the static link and cost every request start-up time.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include "descriptor.h"
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

// The file that opening `path` for writing would reach: symbolic links are
// followed (also dangling ones, whose target would be created).
std::string writeTarget(const std::string& path) {
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

// Copies the whole of `from` (from its start) into `to`; false with errno set.
bool copyContents(int from, int to) {
  auto buffer = chunkBuffer();
  for (;;) {
    const ssize_t got = ::read(from, buffer.get(), ioChunkBytes);
    if (got < 0) return false;
    if (got == 0) return true;
    if (!writeAll(to, buffer.get(), static_cast<std::size_t>(got))) return false;
  }
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

// The data replaces the file whole: it goes to a temporary file beside the
// target, is flushed, and renamed over it, so the file is never seen (nor
// left, should the process die) half-written. Appending copies the old
// contents into the temporary file first.
void writeFromInput(const json::Value& request, const CommonKeys& keys, Session& session) {
  const unsigned mode = checkedMode(keys);
  const bool append = boolKey(request, "append");
  const std::string& path = keys.path;
  if (path.empty()) throw fail("open", path, ENOENT);

  const std::string target = writeTarget(path);
  struct stat existing;
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  if (exists && S_ISDIR(existing.st_mode)) throw fail("open", path, EISDIR);
  if (exists && ::access(target.c_str(), W_OK) != 0) throw fail("open", path);
  Descriptor old;
  if (exists && append) {
    old = Descriptor(::open(target.c_str(), O_RDONLY | O_CLOEXEC));
    if (!old.valid()) throw fail("open", path);
  }

  // All of the data first, so that a writer that dies early leaves nothing.
  const std::string data = readAllInput(session);

  const std::string directory = parentPath(target).empty() ? "." : parentPath(target);
  std::string temporary = joinPath(directory, ".treeclerk-XXXXXX");
  Descriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!file.valid()) throw fail("open", path);
  auto discard = [&](Failure failure) {
    file.close();
    ::unlink(temporary.c_str());
    return failure;
  };

  // The permissions an open with creation would give: the existing file's,
  // or the requested mode less the file-creation mask.
  if (exists) {
    if (::fchown(file.get(), existing.st_uid, existing.st_gid) != 0) {
      existing.st_mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
    }
    ::fchmod(file.get(), existing.st_mode & 07777);
  } else {
    ::fchmod(file.get(), static_cast<mode_t>(mode) & 07777 & ~fileCreationMask());
  }

  if (old.valid() && !copyContents(old.get(), file.get())) throw discard(fail("write", path));
  old.close();

  if (!writeAll(file.get(), reinterpret_cast<const unsigned char*>(data.data()), data.size())) {
    throw discard(fail("write", path));
  }
  if (keys.modeGiven) ::fchmod(file.get(), static_cast<mode_t>(mode) & 07777);
  if (::fsync(file.get()) != 0) throw discard(fail("fsync", path));
  if (::rename(temporary.c_str(), target.c_str()) != 0) throw discard(fail("rename", path));
  file.close();
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
