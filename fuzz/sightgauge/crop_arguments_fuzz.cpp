// Feeds arbitrary command lines to the --crop-verify argument reader: the
// input is split at NUL bytes into the words after "--crop-verify". Whatever
// it accepts must pass through the window rules and the comparison grid
// without fault, the grid must stay within 24 and 192 samples a side, and
// the answer line's numbers must read back as the values they print.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "sightgauge.h"

namespace {

void checkNumberText(double value) {
  if (!std::isfinite(value)) return;
  const std::string wide = sightgauge::formatNumber(value);
  if (std::strtod(wide.c_str(), nullptr) != value) std::abort();
  const float narrow = static_cast<float>(value);
  if (!std::isfinite(narrow)) return;
  const std::string single = sightgauge::formatNumber(narrow);
  if (std::strtof(single.c_str(), nullptr) != narrow) std::abort();
  // Plain decimals carry a point; exponent forms are kept for the tiny and the huge.
  if (single.find('.') == std::string::npos && single.find('e') == std::string::npos) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args{"--crop-verify"};
  std::string word;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  args.push_back(word);

  const auto request = sightgauge::readCropArguments(args);
  if (!request) return 0;
  for (double value : {request->x, request->y, request->w, request->h}) checkNumberText(value);
  if (!sightgauge::windowValid(*request)) return 0;
  // A big thumbnail of any size up to 512 × 512.
  for (const auto& [width, height] : {std::pair{512.0, 512.0}, std::pair{1.0, 512.0}, std::pair{512.0, 1.0}}) {
    const auto [cw, ch] = sightgauge::comparisonGrid(request->w * width, request->h * height);
    if (cw < 24 || ch < 24 || cw > 192 || ch > 192 || (cw != 192 && ch != 192)) std::abort();
  }
  return 0;
}
