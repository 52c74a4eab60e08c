// Command-line parsing: the number and integer syntax, the option lookups
// and the settings in the order they are computed.
#include "options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <locale.h>

#include "files.h"

namespace tonesmith {

const char* const kUsage =
    "Usage: tonesmith <input-image> <output-jpeg|png> <brightness:-1..3> <contrast:-1..1> <lut> <rotation> "
    "<crop-x> <crop-y> <crop-width> <crop-height> [max-edge] [--negative] [--negative-input-brightness -1..3] "
    "[--negative-input-contrast -1..1] [--negative-dynamic-range 0..1] [--negative-color-intensity 0..1] "
    "[--flip-horizontal] [--edge-softness 0..1] [--measure]\n";

std::optional<double> parseNumber(std::string_view text) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return std::nullopt;
  // strtod needs a terminated string; an embedded NUL would end it early.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  std::string copy(text);
  char* end = nullptr;
  double value = strtod_l(copy.c_str(), &end, cLocale);
  if (end != copy.c_str() + copy.size()) return std::nullopt;
  if (std::isnan(value)) return std::nullopt;
  return value;
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
  std::size_t i = 0;
  bool negativeSign = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negativeSign = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  // Accumulate as a negative number so that INT64_MIN fits.
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    int digit = c - '0';
    if (value < (INT64_MIN + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (!negativeSign) {
    if (value == INT64_MIN) return std::nullopt;
    value = -value;
  }
  return value;
}

std::optional<std::string> decodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  auto sextet = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    int v[4];
    int padding = 0;
    for (int k = 0; k < 4; ++k) {
      char c = text[i + static_cast<std::size_t>(k)];
      if (c == '=' && last && k >= 2) {
        v[k] = 0;
        ++padding;
        continue;
      }
      if (padding > 0) return std::nullopt;  // data after padding
      v[k] = sextet(c);
      if (v[k] < 0) return std::nullopt;
    }
    unsigned bits = (static_cast<unsigned>(v[0]) << 18) | (static_cast<unsigned>(v[1]) << 12) |
                    (static_cast<unsigned>(v[2]) << 6) | static_cast<unsigned>(v[3]);
    out.push_back(static_cast<char>((bits >> 16) & 0xFF));
    if (padding < 2) out.push_back(static_cast<char>((bits >> 8) & 0xFF));
    if (padding < 1) out.push_back(static_cast<char>(bits & 0xFF));
  }
  return out;
}

double clamp(double x, double lo, double hi) {
  if (x < lo) x = lo;
  if (x > hi) x = hi;
  return x;
}

double wrappedRotation(double degrees) {
  double r = std::fmod(degrees, 360.0);
  if (r > 180) r -= 360;
  if (r <= -180) r += 360;
  if (r == 0) r = 0;  // negative zero becomes 0
  return r;
}

bool OptionLookup::flag(std::string_view name) const {
  return std::find(args_.begin(), args_.end(), name) != args_.end();
}

std::optional<std::size_t> OptionLookup::firstIndex(std::string_view name) const {
  auto it = std::find(args_.begin(), args_.end(), name);
  if (it == args_.end()) return std::nullopt;
  return static_cast<std::size_t>(it - args_.begin());
}

std::optional<std::string> OptionLookup::optionString(std::string_view name) const {
  auto i = firstIndex(name);
  if (!i || *i + 1 >= args_.size()) return std::nullopt;
  return args_[*i + 1];
}

std::optional<double> OptionLookup::optionDouble(std::string_view name) const {
  auto text = optionString(name);
  if (!text) return std::nullopt;
  return parseNumber(*text);
}

std::optional<std::array<double, 3>> OptionLookup::optionTriple(std::string_view name) const {
  auto i = firstIndex(name);
  if (!i || *i + 3 >= args_.size()) return std::nullopt;
  std::array<double, 3> out{};
  for (std::size_t k = 0; k < 3; ++k) {
    auto v = parseNumber(args_[*i + 1 + k]);
    if (!v) return std::nullopt;
    out[k] = *v;
  }
  return out;
}

std::optional<NormalizedRect> OptionLookup::optionRect(std::string_view name) const {
  auto i = firstIndex(name);
  if (!i || *i + 4 >= args_.size()) return std::nullopt;
  double v[4];
  for (std::size_t k = 0; k < 4; ++k) {
    auto n = parseNumber(args_[*i + 1 + k]);
    if (!n) return std::nullopt;
    v[k] = *n;
  }
  NormalizedRect r;
  r.x = clamp(v[0], 0, 0.98);
  r.y = clamp(v[1], 0, 0.98);
  r.width = std::min(1 - r.x, std::max(v[2], 0.02));
  r.height = std::min(1 - r.y, std::max(v[3], 0.02));
  return r;
}

std::optional<json::Value> OptionLookup::optionJSON(std::string_view name) const {
  const json::ParseOptions containerOnly{.requireContainer = true};
  std::string fileOption = std::string(name) + "-file";
  if (auto path = optionString(fileOption); path && !path->empty()) {
    std::string bytes;
    if (files::readFile(*path, bytes)) return json::parse(bytes, containerOnly);
  }
  if (auto inline_ = optionString(name)) {
    if (auto bytes = decodeBase64(*inline_)) return json::parse(*bytes, containerOnly);
  }
  return std::nullopt;
}

namespace {

std::string lowerCased(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string trimmed(const std::string& text) {
  auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
  std::size_t b = 0, e = text.size();
  while (b < e && isSpace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && isSpace(static_cast<unsigned char>(text[e - 1]))) --e;
  return text.substr(b, e - b);
}

double numberOr(const std::string& text, double fallback) { return parseNumber(text).value_or(fallback); }

}  // namespace

Settings computeSettings(const Arguments& args) {
  OptionLookup options(args);
  Settings s;
  s.negative = options.flag("--negative");
  s.flipHorizontal = options.flag("--flip-horizontal");
  s.measure = options.flag("--measure");
  s.reportJson = options.flag("--report-json");

  s.filmColorProfile = options.optionString("--film-color-profile").value_or("none");
  s.filmColorStrength = clamp(options.optionDouble("--film-color-strength").value_or(1), 0, 1);
  s.saturation = clamp(options.optionDouble("--saturation").value_or(1), 0, 2);
  s.negativeFilmLook = options.optionTriple("--negative-film-look");
  if (auto i = options.firstIndex("--negative-film-look")) {
    if (*i + 4 < args.size()) s.negativeFilmSaturation = clamp(numberOr(args[*i + 4], 1), 0, 2);
    if (*i + 5 < args.size()) s.negativeFilmContrast = clamp(numberOr(args[*i + 5], 1), 0.5, 1.5);
  }

  s.inputPath = args[1];
  s.outputPath = args[2];
  s.brightness = clamp(numberOr(args[3], 0), -1, 3);
  s.contrastDelta = clamp(numberOr(args[4], 0), -1, 1);
  s.contrast = std::max(s.contrastDelta + 1, 0.05);
  s.lut = trimmed(args[5]);
  // A rotation without a finite value (inf) counts as invalid: it has no angle.
  double rotation = numberOr(args[6], 0);
  s.rotation = std::isfinite(rotation) ? wrappedRotation(rotation) : 0;

  s.requestedFineRotation = options.optionDouble("--fine-rotation");
  double turns = s.rotation >= 0 ? s.rotation / 90 + 0.499999 : s.rotation / 90 - 0.499999;
  s.inferredTurns = static_cast<std::int64_t>(std::trunc(turns));
  s.fineRotation = clamp(s.requestedFineRotation.value_or(s.rotation - 90.0 * static_cast<double>(s.inferredTurns)),
                         -45, 45);
  double orthogonal = options.optionDouble("--orthogonal-rotation").value_or(s.rotation - s.fineRotation);
  if (!std::isfinite(orthogonal)) orthogonal = s.rotation - s.fineRotation;
  s.orthogonalRotation = wrappedRotation(orthogonal);

  s.cropX = clamp(numberOr(args[7], 0), 0, 0.98);
  s.cropY = clamp(numberOr(args[8], 0), 0, 0.98);
  s.cropWidth = std::min(std::max(numberOr(args[9], 1 - s.cropX), 0.02), 1 - s.cropX);
  s.cropHeight = std::min(std::max(numberOr(args[10], 1 - s.cropY), 0.02), 1 - s.cropY);
  s.maxOutputEdge = args.size() > 11 ? parseInteger(args[11]).value_or(0) : 0;
  s.edgeSoftness = clamp(options.optionDouble("--edge-softness").value_or(0), 0, 1);
  s.negativeInputBrightness = clamp(options.optionDouble("--negative-input-brightness").value_or(0), -0.2, 0.2);
  s.negativeInputContrast = clamp(options.optionDouble("--negative-input-contrast").value_or(0), -1, 1);
  s.negativeDynamicRange = clamp(options.optionDouble("--negative-dynamic-range").value_or(1), 0, 1);
  s.negativeColorIntensity = clamp(options.optionDouble("--negative-color-intensity").value_or(1), 0, 1);
  s.linearTone = options.optionString("--tone-mode").value_or("adaptive") == "linear";

  s.measureFilmBase = options.optionRect("--measure-film-base");
  s.negativeProfile = options.optionString("--negative-profile").value_or("bw");
  if (auto base = options.optionTriple("--negative-base"))
    for (std::size_t k = 0; k < 3; ++k) s.negativeBase[k] = clamp((*base)[k], 0.01, 1);
  s.negativeBaseMode = options.optionString("--negative-base-mode").value_or("auto");
  if (auto response = options.optionTriple("--negative-response"))
    for (std::size_t k = 0; k < 3; ++k) s.negativeResponse[k] = clamp((*response)[k], 0.2, 4);
  s.negativeSamplesPath = options.optionString("--negative-samples");
  s.emitNegativeSamplesPath = options.optionString("--emit-negative-samples");
  s.toneCurve = options.optionJSON("--tone-curve");
  s.colorCurves = options.optionJSON("--color-curves");
  s.lutLayers = options.optionJSON("--lut-layers");
  s.localEffects = options.optionJSON("--local-effects");
  s.imageLayers = options.optionJSON("--image-layers");
  s.printLayout = options.optionJSON("--print-layout");
  s.requestedFormat = lowerCased(options.optionString("--output-format").value_or(""));
  s.pngDepth = lowerCased(options.optionString("--png-depth").value_or("auto"));
  s.dpi = lowerCased(options.optionString("--dpi").value_or("auto"));
  return s;
}

}  // namespace tonesmith
