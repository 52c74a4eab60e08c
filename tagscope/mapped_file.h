// A read-only mapping of a regular file, released on scope exit.
#pragma once

#include <cstddef>
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

  std::span<const unsigned char> bytes() const { return {data_, size_}; }

 private:
  const unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace tagscope
