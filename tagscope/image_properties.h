// The image-property reader: TIFF, EXIF and GPS properties, the colour
// profile name and the embedded XMP packet of an image file, read with exiv2
// (JPEG, TIFF, PNG, HEIC/AVIF, WebP and the common raw formats) and lcms2.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace tagscope {

// A property: a text, or the numbers of a numeric value (one or more).
using PropertyValue = std::variant<std::string, std::vector<double>>;
using PropertyDictionary = std::map<std::string, PropertyValue>;

struct ImageProperties {
  PropertyDictionary tiff;            // Make, Model, Software
  PropertyDictionary exif;            // LensModel, FocalLength, FNumber, ExposureTime, ISOSpeedRatings,
                                      // DateTimeOriginal, ColorSpace
  PropertyDictionary gps;             // Latitude, LatitudeRef, Longitude, LongitudeRef (degrees)
  std::optional<std::string> profileName;
  std::optional<std::string> xmpPacket;
};

// Silences the library's diagnostics and enables every container format;
// call once before the first read.
void initializeImagePropertyReader();

// The properties of image 0 of a file's bytes, or nothing when they are not
// a readable image (unknown or corrupt format).
std::optional<ImageProperties> readImageProperties(std::span<const unsigned char> file);

// The description of an ICC profile, or nothing.
std::optional<std::string> iccProfileDescription(const unsigned char* data, std::size_t size);

}  // namespace tagscope
