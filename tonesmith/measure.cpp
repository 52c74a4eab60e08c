// Measurement modes: the film base inside a marked rectangle, and the
// black point, mid tone and white point of the picture. Each prints one
// line of JSON in one write and ends the process.
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "colour.h"
#include "tonesmith.h"

namespace tonesmith {
namespace {

// snprintf formats in the C locale: the program never changes its locale.
[[noreturn]] void printAndExit(const char* text, int length) {
  std::size_t done = 0;
  while (done < static_cast<std::size_t>(length)) {
    ssize_t n = ::write(STDOUT_FILENO, text + done, static_cast<std::size_t>(length) - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  std::_Exit(0);
}

}  // namespace

void measureFilmBase(const RenderState& state, const NormalizedRect& rect) {
  auto samples = rgbSamples(state.image, rect, 512);
  ensureInputDecoded();
  auto median = medianRGB(samples);
  if (!median) fail("Cannot measure film base: " + settings().inputPath);
  char line[160];
  int n = std::snprintf(line, sizeof line, "{\"r\":%.6f,\"g\":%.6f,\"b\":%.6f}\n", median->r, median->g, median->b);
  printAndExit(line, n);
}

void measureTones(const RenderState& state) {
  auto tones = luminancePercentiles(state.image);
  ensureInputDecoded();
  if (!tones) fail("Cannot measure tones: " + settings().inputPath);
  char line[160];
  int n = std::snprintf(line, sizeof line, "{\"black\":%.5f,\"mid\":%.5f,\"white\":%.5f,\"range\":%.5f}\n",
                        tones->black, tones->mid, tones->white, tones->white - tones->black);
  printAndExit(line, n);
}

}  // namespace tonesmith
