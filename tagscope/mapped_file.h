// A read-only mapping of a regular file, released on scope exit, and a
// guard for reading it while another program may shorten the file.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>

namespace tagscope {

class MappedFile {
 public:
  // Maps the file; empty when the path cannot be opened, is not a regular
  // file (directories, FIFOs and devices are refused without blocking) or is
  // empty.
  explicit MappedFile(const std::string& path);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Runs `read` over the mapped bytes. A page that the file no longer backs
  // (it was shortened, or its storage failed) would end the process with
  // SIGBUS; while `read` runs such pages read as zeros instead, and the
  // answer is false: the file changed under the read, and whatever `read`
  // made of the bytes must be thrown away. Not reentrant.
  bool guardedRead(const std::function<void(std::span<const unsigned char>)>& read) const;

 private:
  const unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace tagscope
