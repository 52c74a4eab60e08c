// Request decoding and response encoding.
#include <cmath>
#include <limits>

#include "json.h"
#include "minipic.h"

namespace minipic {

namespace {

// A JSON number that is a whole number within the 64-bit range; 5.0 counts,
// 5.5 does not.
std::optional<std::int64_t> wholeNumber(const json::Value& value) {
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() > std::uint64_t(std::numeric_limits<std::int64_t>::max()))
      return std::nullopt;
    return value.get<std::int64_t>();
  }
  if (value.is_number_float()) {
    const double number = value.get<double>();
    if (std::isfinite(number) && std::floor(number) == number && number >= -9.2e18 && number <= 9.2e18)
      return static_cast<std::int64_t>(number);
  }
  return std::nullopt;
}

}  // namespace

std::optional<ThumbnailRequest> decodeRequest(std::string_view line) {
  const auto parsed = json::parse(line, {.requireContainer = true, .maxDepth = 64});
  if (!parsed || !parsed->is_object()) return std::nullopt;
  const json::Value& object = *parsed;
  auto text = [&](const char* key) -> const std::string* {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
  };
  const std::string* id = text("id");
  const std::string* inputPath = text("inputPath");
  const std::string* outputPath = text("outputPath");
  if (!id || !inputPath || !outputPath) return std::nullopt;
  const auto edge = object.find("maxEdge");
  if (edge == object.end()) return std::nullopt;
  const auto maxEdge = wholeNumber(*edge);
  if (!maxEdge) return std::nullopt;
  ThumbnailRequest request{*id, *inputPath, *outputPath, *maxEdge, std::nullopt};
  // An absent or null quality takes the default.
  if (const auto quality = object.find("quality"); quality != object.end() && !quality->is_null()) {
    if (!quality->is_number()) return std::nullopt;
    request.quality = quality->get<double>();
  }
  return request;
}

std::optional<std::string> encodeResponse(const ThumbnailResponse& response) {
  json::Value object = json::Value::object();
  object["id"] = response.id;
  object["ok"] = response.ok;
  if (response.width) object["width"] = *response.width;
  if (response.height) object["height"] = *response.height;
  if (response.error) object["error"] = *response.error;
  return json::write(object, {.keyOrder = json::KeyOrder::declared});
}

}  // namespace minipic
