// Arbitrary network outputs (raw floats: NaN, infinities, huge values) and
// arbitrary output sizes: decoding must read only within the given sizes,
// and every detection it keeps must have a finite, positive box and a score
// in 0..1; suppression must keep at most as many, all finite.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "blazeface.h"

namespace {

bool finite(const vision::blazeface::Detection& d) {
  if (!std::isfinite(d.box.x) || !std::isfinite(d.box.y) || !(d.box.width > 0) || !(d.box.height > 0) ||
      !std::isfinite(d.box.width) || !std::isfinite(d.box.height))
    return false;
  for (const auto& p : d.keyPoints)
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) return false;
  return d.score >= 0 && d.score <= 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint8_t shape = data[0], inputChoice = data[1], threshold = data[2];
  data += 4;
  size -= 4;
  // Outputs of the right sizes mostly, sometimes one off.
  std::size_t counts[4] = {512, 384, 512 * 16, 384 * 16};
  if (shape & 1) counts[shape >> 1 & 3] += (shape & 0x20) ? 1 : static_cast<std::size_t>(-1);
  std::vector<std::vector<float>> outputs(4);
  std::size_t offset = 0;
  for (int i = 0; i < 4; ++i) {
    // Exactly the given size, so that any read past it is caught.
    outputs[static_cast<std::size_t>(i)].resize(counts[i]);
    for (std::size_t k = 0; k < counts[i]; ++k) {
      float v = -20.0f;  // unused anchors stay quiet
      if (offset + 4 <= size) {
        std::memcpy(&v, data + offset, 4);
        offset += 4;
      }
      outputs[static_cast<std::size_t>(i)][k] = v;
    }
  }
  const vision::blazeface::RawOutputs raw{outputs[0].data(), outputs[0].size(), outputs[1].data(), outputs[1].size(),
                                          outputs[2].data(), outputs[2].size(), outputs[3].data(), outputs[3].size()};
  const int inputSize = (inputChoice & 1) ? 256 : 128;
  bool ok = false;
  auto found = vision::blazeface::decodeAnchors(raw, inputSize, static_cast<float>(threshold) / 255.0f, &ok);
  if (ok != !(shape & 1)) std::abort();
  for (const auto& d : found)
    if (!finite(d)) std::abort();
  const std::size_t before = found.size();
  const auto kept = vision::blazeface::suppress(std::move(found), 0.3f);
  if (kept.size() > before) std::abort();
  for (const auto& d : kept)
    if (!std::isfinite(d.box.x) || !std::isfinite(d.box.width)) std::abort();
  return 0;
}
