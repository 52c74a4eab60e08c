// Arbitrary marks (raw doubles) on a small plane: drawing must stay within
// the plane and only ever add white, and drawing in bands on several
// threads must give the bytes of drawing in order.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "coverage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const int width = 1 + data[0] % 90, height = 1 + data[1] % 140, threads = 1 + data[2] % 4;
  data += 4;
  size -= 4;
  std::vector<graphics::CoverageMark> marks;
  constexpr std::size_t kRecord = 6 * sizeof(double) + 1;
  for (; size >= kRecord; data += kRecord, size -= kRecord) {
    double v[6];
    std::memcpy(v, data, sizeof v);
    // Mostly values near the plane, sometimes the raw doubles (NaN, huge).
    const bool raw = data[48] & 1;
    auto fix = [&](double x, double scale) { return raw ? x : std::fmod(x, scale); };
    const auto shape = (data[48] & 2) ? graphics::CoverageMark::Shape::circle : graphics::CoverageMark::Shape::line;
    marks.push_back({{fix(v[0], 200), fix(v[1], 200)}, {fix(v[2], 200), fix(v[3], 200)}, fix(v[4], 20),
                     fix(v[5], 1.5), shape});
  }
  auto inOrder = graphics::CoveragePlane::create(width, height, 3);
  auto banded = graphics::CoveragePlane::create(width, height, 3);
  if (!inOrder || !banded) std::abort();
  inOrder->draw(marks);
  const graphics::CoverageJob jobs[] = {{&*banded, marks}};
  graphics::drawInBands(jobs, threads);
  if (inOrder->bytes() != banded->bytes()) std::abort();
  for (std::uint8_t v : inOrder->bytes())
    if (v < 3) std::abort();
  return 0;
}
