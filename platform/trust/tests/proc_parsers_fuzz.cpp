// Feeds arbitrary bytes to every /proc parser: none may read out of bounds,
// loop forever or crash, whatever the text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "proc_parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)trust::parseStartTime(text);
  (void)trust::parseTracerPid(text);
  (void)trust::hasInjectingVariable(text);
  (void)trust::hasDebuggingSwitch(text);
  for (const std::string& path : trust::executableMappedFiles(text)) {
    if (path.size() > size) __builtin_trap();
  }
  return 0;
}
