// Feeds arbitrary text to the parsers of outside input: both request
// decoders, the date parser and the file-name sanitiser. A decoded request
// must describe itself fully; a sanitised name must never hold a separator.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "albumgate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  using namespace albumgate;

  const auto files = decodeImportFilesRequest(text);
  if (files.request.has_value() == !files.error.empty()) std::abort();
  const auto existing = decodeExistingAssetsRequest(text);
  if (existing.request.has_value() == !existing.error.empty()) std::abort();

  if (const auto seconds = parseIso8601(text)) {
    // Every accepted date writes back in the one output form, which parses again.
    if (parseIso8601(formatIso8601(*seconds)) != seconds) std::abort();
  }

  const std::string safe = safeFilename(text);
  if (safe.empty() || safe.find_first_of("/:\\") != std::string::npos) std::abort();
  if (safeFilename(safe) != safe) std::abort();  // sanitising is idempotent
  return 0;
}
