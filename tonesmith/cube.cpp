// Colour cubes: building them, applying them with CIColorCube, and reading
// .cube colour table files.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <future>
#include <map>
#include <system_error>
#include <thread>

#include "colour.h"
#include "files.h"
#include "tonesmith.h"

namespace tonesmith {
namespace {

// Well-formed UTF-8: no stray continuation bytes, no overlong forms, no
// surrogates, nothing above U+10FFFF.
bool isUtf8(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    std::uint32_t cp, least;
    if ((c & 0xE0) == 0xC0) length = 2, cp = c & 0x1F, least = 0x80;
    else if ((c & 0xF0) == 0xE0) length = 3, cp = c & 0x0F, least = 0x800;
    else if ((c & 0xF8) == 0xF0) length = 4, cp = c & 0x07, least = 0x10000;
    else return false;
    if (n - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

// The lines of a text, split at every line-break character (LF, VT, FF,
// CR, NEL, LINE SEPARATOR, PARAGRAPH SEPARATOR).
std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t breakLength = 0;
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n' || c == '\r' || c == '\v' || c == '\f') breakLength = 1;
    else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) breakLength = 2;
    else if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
             (static_cast<unsigned char>(text[i + 2]) == 0xA8 || static_cast<unsigned char>(text[i + 2]) == 0xA9))
      breakLength = 3;
    if (breakLength) {
      out.push_back(text.substr(start, i - start));
      i += breakLength;
      start = i;
    } else {
      ++i;
    }
  }
  out.push_back(text.substr(start));
  return out;
}

std::string_view trimmed(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> tokens(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

std::string upperCased(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

std::map<std::string, std::shared_future<std::optional<ColorCube>>>& cubesAhead() {
  static std::map<std::string, std::shared_future<std::optional<ColorCube>>> built;
  return built;
}

}  // namespace

void buildCubesAhead(std::vector<std::pair<std::string, std::function<std::optional<ColorCube>()>>> jobs) {
  struct Job {
    std::function<std::optional<ColorCube>()> build;
    std::promise<std::optional<ColorCube>> done;
  };
  auto pending = std::make_shared<std::vector<Job>>();
  for (auto& [key, build] : jobs) {
    if (cubesAhead().count(key)) continue;
    pending->push_back({std::move(build), {}});
    cubesAhead().emplace(key, pending->back().done.get_future().share());
  }
  if (pending->empty()) return;
  // Detached: a run that ends early (a failure, a measurement) need not
  // wait for cubes it will never use; the thread owns all it touches.
  auto run = [pending] {
    for (Job& job : *pending) {
      try {
        job.done.set_value(job.build());
      } catch (...) {
        job.done.set_exception(std::current_exception());
      }
    }
  };
  try {
    std::thread(run).detach();
  } catch (const std::system_error&) {
    run();  // no thread to be had: build them now
  }
}

const std::optional<ColorCube>* cubeBuiltAhead(const std::string& key) {
  auto it = cubesAhead().find(key);
  return it == cubesAhead().end() ? nullptr : &it->second.get();
}

ColorCube makeColorCube(int dimension, const std::function<std::array<double, 3>(int, int, int)>& entry) {
  ColorCube cube;
  cube.dimension = dimension;
  const auto n = static_cast<std::size_t>(std::max(dimension, 0));
  cube.data.resize(n * n * n * 4);
  auto fillPlane = [&](int k) {
    float* out = cube.data.data() + static_cast<std::size_t>(k) * n * n * 4;
    for (int j = 0; j < dimension; ++j)
      for (int i = 0; i < dimension; ++i, out += 4) {
        auto rgb = entry(i, j, k);
        for (int c = 0; c < 3; ++c) out[c] = static_cast<float>(rgb[static_cast<std::size_t>(c)]);
        out[3] = 1.0f;
      }
  };
  // The look cubes cost a few hundred thousand pow calls, on the path
  // between the end of decoding and the first rendered row: planes of blue
  // are shared out between the cores.
  std::atomic<int> next{0};
  auto worker = [&] {
    for (int k = next++; k < dimension; k = next++) fillPlane(k);
  };
  unsigned threads = n * n * n >= 32768 ? std::clamp(std::thread::hardware_concurrency(), 1u, 4u) : 1u;
  std::vector<std::thread> pool;
  try {
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker);
  } catch (const std::system_error&) {
    // Fewer threads: the planes left go to those running.
  }
  worker();
  for (auto& t : pool) t.join();
  return cube;
}

coreimage::Data cubeBytes(const ColorCube& cube) {
  coreimage::Data bytes(cube.data.size() * sizeof(float));
  if (!bytes.empty()) std::memcpy(bytes.data(), cube.data.data(), bytes.size());
  return bytes;
}

CubeOutcome applyColorCube(RenderState& state, const ColorCube& cube) {
  auto filter = coreimage::Filter::named("CIColorCube");
  if (!filter) return CubeOutcome::unavailable;
  filter->setValue(coreimage::kInputImageKey, state.image);
  filter->setValue("inputCubeDimension", static_cast<double>(cube.dimension));
  filter->setValue("inputCubeData", cubeBytes(cube));
  auto output = filter->outputImage();
  if (!output) return CubeOutcome::noImage;
  state.image = *output;
  return CubeOutcome::applied;
}

std::optional<ColorCube> parseCube(std::string_view text) {
  if (!isUtf8(text)) return std::nullopt;
  std::int64_t size = 0;
  std::vector<float> table;
  for (std::string_view raw : lines(text)) {
    std::string_view line = trimmed(raw);
    if (line.empty() || line.front() == '#') continue;
    auto parts = tokens(line);
    std::string keyword = upperCased(parts[0]);
    if (keyword == "LUT_3D_SIZE") {
      size = parts.size() > 1 ? parseInteger(parts[1]).value_or(0) : 0;
      continue;
    }
    if (keyword.starts_with("TITLE") || keyword.starts_with("DOMAIN_") || parts.size() < 3) continue;
    float rgb[3];
    bool valid = true;
    for (int c = 0; c < 3 && valid; ++c) {
      auto v = parseNumber(parts[static_cast<std::size_t>(c)]);
      if (!v) valid = false;
      else rgb[c] = static_cast<float>(clamp(*v, 0, 1));
    }
    if (!valid) continue;
    table.insert(table.end(), {rgb[0], rgb[1], rgb[2], 1.0f});
  }
  // Rows are counted before anything is sized by the declared size, and a
  // size whose cube could not fit in memory can never match.
  if (size < 2 || size > 2'000'000) return std::nullopt;
  const auto rows = static_cast<std::uint64_t>(table.size() / 4);
  if (rows != static_cast<std::uint64_t>(size) * static_cast<std::uint64_t>(size) * static_cast<std::uint64_t>(size))
    return std::nullopt;
  ColorCube cube;
  cube.dimension = static_cast<int>(size);
  cube.data = std::move(table);
  return cube;
}

std::optional<ColorCube> cubeData(const std::string& path) {
  std::string text;
  if (!files::readFile(path, text)) return std::nullopt;
  return parseCube(text);
}

}  // namespace tonesmith
