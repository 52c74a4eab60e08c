// The helpers every mode shares: the mode choice, the failure helper, the
// output writer, record encoding and image loading.
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "sightgauge.h"

namespace sightgauge {

Invocation chooseMode(const std::vector<std::string>& args) {
  if (!args.empty() && args[0] == "--crop-verify") return {Mode::cropVerify, {}};
  if (args.size() == 2 && args[0] == "--matrix30") return {Mode::matrix30, args[1]};
  if (args.size() == 2 && args[0] == "--faces-only") return {Mode::faces, args[1]};
  if (args.size() == 1) return {Mode::analysis, args[0]};
  return {Mode::usage, {}};
}

namespace {

// Writes all of `text` to the descriptor with as few write calls as the
// system allows (one, unless it is interrupted or the pipe is short).
void writeAll(int fd, std::string_view text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace

void fail(std::string_view message) {
  std::string line(message);
  if (line.empty() || line.back() != '\n') line += '\n';
  writeAll(STDERR_FILENO, line);
  std::exit(1);
}

void writeOutput(std::string_view encoded) {
  writeAll(STDOUT_FILENO, encoded);
  writeAll(STDOUT_FILENO, "\n");
}

namespace {

// The place of the first number that is not finite, as "a.b[3].c", or
// nothing. Walks with an explicit stack so deep values are fine.
struct NonFinite {
  std::string where;
  double number = 0;
};

std::optional<NonFinite> firstNonFinite(const json::Value& root) {
  struct Item {
    const json::Value* value;
    std::string where;
  };
  std::vector<Item> pending{{&root, ""}};
  while (!pending.empty()) {
    Item item = std::move(pending.back());
    pending.pop_back();
    const json::Value& value = *item.value;
    if (value.is_number_float() && !std::isfinite(value.get<double>()))
      return NonFinite{item.where, value.get<double>()};
    // Children are pushed last first so that the first in order is found first.
    if (value.is_object()) {
      std::vector<Item> children;
      for (const auto& [key, child] : value.items())
        children.push_back({&child, item.where.empty() ? key : item.where + "." + key});
      pending.insert(pending.end(), std::make_move_iterator(children.rbegin()),
                     std::make_move_iterator(children.rend()));
    } else if (value.is_array()) {
      for (std::size_t i = value.size(); i-- > 0;)
        pending.push_back({&value[i], item.where + "[" + std::to_string(i) + "]"});
    }
  }
  return std::nullopt;
}

}  // namespace

Encoded encodeRecord(const json::Value& record) {
  Encoded encoded;
  encoded.text = json::write(record, {.keyOrder = json::KeyOrder::declared});
  if (encoded.text) return encoded;
  if (const auto found = firstNonFinite(record)) {
    const char* name = std::isnan(found->number) ? "nan" : found->number > 0 ? "inf" : "-inf";
    encoded.problem = std::string("Unable to write ") + name + " at " +
                      (found->where.empty() ? std::string("the top level") : found->where) +
                      ": JSON numbers must be finite.";
  } else {
    encoded.problem = "The data contains text that is not valid UTF-8.";
  }
  return encoded;
}

double shortFloat(float value) {
  // The shortest decimal of the float, read back as a double: written in its
  // shortest double form it is the same short text, and it narrows back to
  // the same float.
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value);
  *result.ptr = '\0';
  return std::strtod(text, nullptr);
}

// ---------------------------------------------------------------------------
// Loading

std::string absolutePath(const std::string& path) {
  std::error_code error;
  std::filesystem::path resolved = std::filesystem::absolute(path, error);
  if (error) resolved = std::filesystem::path(path);
  std::string text = resolved.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

std::unique_ptr<imageio::Source> openImage(const std::string& path) {
  std::unique_ptr<imageio::Source> source;
  if (imageio::initialize()) source = imageio::Source::open(path);
  if (!source) fail("Cannot decode image: " + absolutePath(path));
  const auto& properties = source->properties();
  if (properties.pixelWidth < 1 || properties.pixelHeight < 1 ||
      static_cast<std::uint64_t>(properties.pixelWidth) * static_cast<std::uint64_t>(properties.pixelHeight) >
          maxPixels)
    fail("Cannot decode image: " + absolutePath(path));
  return source;
}

imageio::Raster decodeStored(const imageio::Source& source, const std::string& path) {
  std::optional<imageio::Raster> raster;
  try {
    raster = source.decode(imageio::Orientation::stored, {.maxPixels = maxPixels});
  } catch (const std::bad_alloc&) {
    raster.reset();
  }
  if (!raster || raster->width < 1 || raster->height < 1) fail("Cannot decode image: " + absolutePath(path));
  return std::move(*raster);
}

int imageOrientation(const imageio::Properties& properties) { return properties.orientation; }

std::pair<std::int64_t, std::int64_t> orientedSize(std::int64_t width, std::int64_t height, int orientation) {
  if (orientation >= 5 && orientation <= 8) return {height, width};
  return {width, height};
}

}  // namespace sightgauge
