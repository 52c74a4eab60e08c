// Feeds arbitrary bytes to the .cube parser; an accepted table must hold
// exactly size³ entries of values in [0, 1].
#include <cstdlib>
#include <string_view>

#include "colour.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto cube = tonesmith::parseCube(std::string_view(reinterpret_cast<const char*>(data), size));
  if (cube) {
    auto n = static_cast<std::size_t>(cube->dimension);
    if (n < 2 || cube->data.size() != n * n * n * 4) std::abort();
    for (float v : cube->data)
      if (!(v >= 0 && v <= 1)) std::abort();
  }
  return 0;
}
