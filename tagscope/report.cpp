#include "report.h"

#include <sys/stat.h>

#include <cctype>
#include <cmath>
#include <algorithm>
#include <cstdio>
#include <limits>

#include "mapped_file.h"
#include "text.h"
#include "tiff_reader.h"

namespace tagscope {
namespace {

const char* const lutKeys[] = {"lutname", "lookname", "look.name", "look.description.name", "presetname",
                               "preset.name", "preset.description.name", "filmsimulation", "creativestyle",
                               "recipe"};
const char* const cameraProfileKeys[] = {"cameraprofile", "profilename"};
const char* const softwareKeys[] = {"creatortool", "software", "softwareagent", "historysoftwareagent"};

template <std::size_t N>
std::optional<std::string> firstValue(const XmpValues& values, const char* const (&keys)[N]) {
  for (const char* key : keys) {
    auto pos = values.find(key);
    if (pos == values.end()) continue;
    if (auto cleaned = cleanText(pos->second)) return cleaned;
  }
  return std::nullopt;
}

bool pathExists(const std::string& path) {
  struct stat info {};
  return path.find('\0') == std::string::npos && ::stat(path.c_str(), &info) == 0;
}

}  // namespace

std::optional<std::string> str(const PropertyDictionary& dictionary, const std::string& key) {
  auto pos = dictionary.find(key);
  if (pos == dictionary.end() || !std::holds_alternative<std::string>(pos->second)) return std::nullopt;
  return std::string(trimText(std::get<std::string>(pos->second)));
}

std::optional<double> num(const PropertyDictionary& dictionary, const std::string& key) {
  auto pos = dictionary.find(key);
  if (pos == dictionary.end() || !std::holds_alternative<std::vector<double>>(pos->second)) return std::nullopt;
  const auto& numbers = std::get<std::vector<double>>(pos->second);
  if (numbers.empty() || !std::isfinite(numbers.front())) return std::nullopt;
  return numbers.front();
}

std::optional<std::string> shutterString(const PropertyDictionary& exif) {
  auto t = num(exif, "ExposureTime");
  if (!t || !(*t > 0)) return std::nullopt;
  char text[64];
  if (*t >= 1) {
    if (*t >= 1e15) return std::nullopt;
    std::snprintf(text, sizeof text, "%.1fs", *t);
    return std::string(text);
  }
  double denominator = std::round(1 / *t);  // halves away from zero
  if (!(denominator < 1e15)) return std::nullopt;
  std::snprintf(text, sizeof text, "1/%lld", static_cast<long long>(denominator));
  return std::string(text);
}

std::optional<double> signedCoordinate(std::optional<double> value, std::optional<std::string> reference,
                                       char positive, char negative, double limit) {
  if (!value || !std::isfinite(*value) || *value < 0 || *value > limit) return std::nullopt;
  if (!reference) return *value;
  std::string letter = *reference;
  for (char& c : letter) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (letter == std::string(1, negative)) return -*value;
  if (letter == std::string(1, positive)) return *value;
  return std::nullopt;
}

std::string sidecarPath(std::string_view path, std::string_view extension) {
  std::size_t slash = path.find_last_of('/');
  std::size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
  std::size_t dot = path.find_last_of('.');
  std::string stem(path);
  if (dot != std::string_view::npos && dot > nameStart && dot + 1 < path.size()) stem = path.substr(0, dot);
  return stem + "." + std::string(extension);
}

json::Value xmpFields(const std::string& path, const std::optional<std::string>& embeddedPacket) {
  XmpValues values;
  if (embeddedPacket) values = collectXmp(*embeddedPacket);

  bool sidecarFound = false;
  for (const char* extension : {"xmp", "XMP"}) {
    std::string candidate = sidecarPath(path, extension);
    if (!pathExists(candidate)) continue;
    sidecarFound = true;
    XmpValues sidecar;
    if (collectXmpFile(candidate, sidecar)) {
      for (auto& [key, value] : sidecar) values[key] = std::move(value);
    }
    break;
  }

  json::Value fields = json::Value::object();
  if (auto lut = firstValue(values, lutKeys)) fields["lut"] = *lut;
  if (auto profile = firstValue(values, cameraProfileKeys)) fields["cameraProfile"] = *profile;
  if (auto software = firstValue(values, softwareKeys)) fields["software"] = *software;
  if (sidecarFound) fields["metadataSource"] = "xmp-sidecar";
  else if (!values.empty()) fields["metadataSource"] = "embedded-xmp";
  return fields;
}

namespace {

// The row for one path from the file's bytes.
json::Value rowFromBytes(const std::string& path, std::span<const unsigned char> bytes) {
  json::Value row = json::Value::object();
  row["path"] = path;
  auto properties = readImageProperties(bytes);
  if (!properties) return row;

  const PropertyDictionary& tiff = properties->tiff;
  const PropertyDictionary& exif = properties->exif;
  const PropertyDictionary& gps = properties->gps;
  json::Value xmp = xmpFields(path, properties->xmpPacket);
  json::Value panasonic = panasonicMakerNoteFields(bytes.first(std::min(bytes.size(), maxMakerNoteFileBytes)));

  if (auto v = str(tiff, "Make")) row["make"] = *v;
  if (auto v = str(tiff, "Model")) row["model"] = *v;
  if (auto v = str(exif, "LensModel")) row["lens"] = *v;
  if (auto v = num(exif, "FocalLength")) row["focalLength"] = *v;
  if (auto v = num(exif, "FNumber")) row["aperture"] = *v;
  if (auto v = shutterString(exif)) row["shutter"] = *v;
  if (auto v = num(exif, "ISOSpeedRatings");
      v && std::trunc(*v) >= -9.0e15 && std::trunc(*v) <= 9.0e15)
    row["iso"] = static_cast<std::int64_t>(std::trunc(*v));
  if (auto v = str(exif, "DateTimeOriginal")) row["capturedAt"] = *v;

  if (auto v = signedCoordinate(num(gps, "Latitude"), str(gps, "LatitudeRef"), 'N', 'S', 90))
    row["gpsLat"] = *v;
  if (auto v = signedCoordinate(num(gps, "Longitude"), str(gps, "LongitudeRef"), 'E', 'W', 180))
    row["gpsLng"] = *v;
  if (auto v = str(tiff, "Software")) row["software"] = *v;

  for (const auto& [key, value] : panasonic.items()) row[key] = value;
  for (const auto& [key, value] : xmp.items()) {
    if (!row.contains(key)) row[key] = value;
  }
  if (properties->profileName) {
    std::string_view name = trimText(*properties->profileName);
    if (!name.empty()) row["colorProfile"] = std::string(name);
  }

  // The look: a LUT name, else the camera profile, else the colour profile,
  // else the colour space. No maker note readable here carries a look text
  // of its own (see the README).
  if (row.contains("lut")) {
    row["look"] = row["lut"];
  } else if (row.contains("cameraProfile")) {
    row["look"] = row["cameraProfile"];
  } else if (row.contains("colorProfile")) {
    row["look"] = row["colorProfile"];
  } else if (auto space = num(exif, "ColorSpace")) {
    row["look"] = *space == 1 ? "sRGB" : "Uncalibrated";
  }

  if (!row.contains("metadataSource") && row.size() > 1) row["metadataSource"] = "embedded-exif";
  return row;
}

}  // namespace

json::Value rowFor(const std::string& path) {
  // One mapping serves the property reader and the maker-note reader (its
  // first 4 MiB). A file shortened while it is read (being synced or written
  // again) gives no usable row; it is read once more as it is then, and
  // should that change too, its row holds only the path.
  for (int attempt = 0; attempt < 2; ++attempt) {
    MappedFile file(path);
    json::Value row;
    if (file.guardedRead([&](std::span<const unsigned char> bytes) { row = rowFromBytes(path, bytes); })) return row;
  }
  return json::Value::object({{"path", path}});
}

}  // namespace tagscope
