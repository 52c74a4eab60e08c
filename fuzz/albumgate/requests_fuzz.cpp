// Feeds arbitrary text to the parsers of outside input: both request
// decoders, the date parser and the file-name sanitiser. A decoded request
// must describe itself fully; a sanitised name must never hold a separator
// and must be UTF-8; any bytes must survive the \udcXX escapes of the JSON
// writer and parser.

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
  if (!json::write(json::Value(safe))) std::abort();  // and gives UTF-8

  // Any bytes written with \udcXX escapes read back as the same bytes.
  const json::Value bytes = json::Value::array({std::string(text)});
  const auto written = json::write(bytes, {.invalidUtf8 = json::InvalidUtf8::escape});
  if (!written) std::abort();
  const auto read = json::parse(*written, {.byteEscapes = true});
  if (!read || *read != bytes) std::abort();
  return 0;
}
