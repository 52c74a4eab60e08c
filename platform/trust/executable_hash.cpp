#include "executable_hash.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace trust {

std::optional<std::string> sha256OfDescriptor(int fd) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
    return std::nullopt;
  std::vector<unsigned char> chunk(1 << 20);
  off_t offset = 0;
  for (;;) {
    const ssize_t got = ::pread(fd, chunk.data(), chunk.size(), offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    if (EVP_DigestUpdate(context.get(), chunk.data(), static_cast<std::size_t>(got)) != 1)
      return std::nullopt;
    offset += got;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return std::nullopt;
  static constexpr char hexDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(hexDigits[digest[i] >> 4]);
    hex.push_back(hexDigits[digest[i] & 0x0f]);
  }
  return hex;
}

}  // namespace trust
