// SHA-256 of an open file, read through its descriptor.
#pragma once

#include <optional>
#include <string>

namespace trust {

// The digest as 64 lower-case hexadecimal digits, read from offset 0 to the
// end through `fd` (the descriptor's offset is left alone); nothing on a read
// or digest failure.
std::optional<std::string> sha256OfDescriptor(int fd);

}  // namespace trust
