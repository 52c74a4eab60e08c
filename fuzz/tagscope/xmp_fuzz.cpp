// Feeds arbitrary text to the XMP collection.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "text.h"
#include "xmp_collector.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  tagscope::XmpValues values = tagscope::collectXmp(text);
  for (const auto& [key, value] : values) {
    // Stored values are trimmed, not empty and at most 200 characters.
    if (value.empty() || value.size() > 800 || !tagscope::isValidUtf8(value)) __builtin_trap();
    (void)key;
  }
  return 0;
}
