// The report row of one path: camera, exposure, location and look, from the
// image properties, the XMP of the file and its sidecar, and the Panasonic
// maker note.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "image_properties.h"
#include "json.h"
#include "xmp_collector.h"

namespace tagscope {

// The property as text, trimmed; nothing when absent or not text.
std::optional<std::string> str(const PropertyDictionary& dictionary, const std::string& key);
// The property as a finite number (the first of a list); nothing otherwise.
std::optional<double> num(const PropertyDictionary& dictionary, const std::string& key);
// The exposure time as "1/250" or "2.5s"; nothing when absent or not positive.
std::optional<std::string> shutterString(const PropertyDictionary& exif);

// A coordinate within [0, limit], signed by its reference letter.
std::optional<double> signedCoordinate(std::optional<double> value, std::optional<std::string> reference,
                                       char positive, char negative, double limit);

// The sidecar candidates of a path: its extension replaced by "xmp", then "XMP".
std::string sidecarPath(std::string_view path, std::string_view extension);

// The fields "lut", "cameraProfile", "software" and "metadataSource" from
// the embedded XMP packet and the sidecar next to the path.
json::Value xmpFields(const std::string& path, const std::optional<std::string>& embeddedPacket);

// The row for one path (already trimmed); it always holds "path".
json::Value rowFor(const std::string& path);

}  // namespace tagscope
