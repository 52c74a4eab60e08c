// Feeds arbitrary bytes to the negative samples loader; an accepted file
// must give components in [0, 1] and re-encode to a file that reads back
// the same.
#include <cstdlib>

#include "colour.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto parsed = tonesmith::parseNegativeSamples(data, size);
  if (!parsed) return 0;
  if (parsed->samples.empty()) std::abort();
  for (const auto* block : {&parsed->samples, &parsed->edgeSamples})
    for (const auto& s : *block)
      if (!(s.r >= 0 && s.r <= 1 && s.g >= 0 && s.g <= 1 && s.b >= 0 && s.b <= 1)) std::abort();
  std::string again = tonesmith::encodeNegativeSamples(parsed->samples, parsed->edgeSamples);
  auto reread = tonesmith::parseNegativeSamples(reinterpret_cast<const std::uint8_t*>(again.data()), again.size());
  if (!reread || reread->samples != parsed->samples || reread->edgeSamples != parsed->edgeSamples) std::abort();
  return 0;
}
