// The JPEG encoder behind encodeJpeg: strips compressed in parallel and
// joined with restart markers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "imageio.h"

namespace imageio {

// Where the parts of a baseline JPEG lie: offsets of the frame header
// (SOF0) and scan header (SOS) markers, of the entropy-coded data after the
// scan header, and of the closing EOI marker. Absent when the file does not
// start with SOI, end with EOI, or its segments run out of bounds.
struct JpegLayout {
  std::size_t frameHeader = 0, scanHeader = 0, entropyData = 0, end = 0;
};
std::optional<JpegLayout> jpegLayout(const std::vector<std::uint8_t>& file);

// Baseline JPEG of the source's RGB (alpha ignored; 16-bit components
// rounded to 8 bits), no metadata but the ICC `profile` when one is given,
// libjpeg's standard tables at `quality` (1..100); chroma is subsampled 2x2
// below quality 90. The caller checks the size limits.
std::optional<std::vector<std::uint8_t>> encodeJpegInStrips(const RowSource& source, int quality,
                                                            const std::vector<std::uint8_t>& profile = {});

}  // namespace imageio
