#include "image_properties.h"

#include <cmath>
#include <exception>
#include <limits>

#include <exiv2/exiv2.hpp>
#include <lcms2.h>

namespace tagscope {
namespace {

// Value n of a RATIONAL (two unsigned 32-bit numbers) or SRATIONAL (two
// signed ones). The library's generic conversion goes through a signed pair
// and would turn 2^31 and more negative. A zero denominator gives an
// infinity or NaN, which the report leaves out.
double rationalNumber(const Exiv2::Value& value, long n) {
  if (const auto* unsignedValue = dynamic_cast<const Exiv2::URationalValue*>(&value)) {
    const Exiv2::URational& r = unsignedValue->value_.at(static_cast<std::size_t>(n));
    return static_cast<double>(r.first) / static_cast<double>(r.second);
  }
  const Exiv2::Rational r = value.toRational(n);
  return static_cast<double>(r.first) / static_cast<double>(r.second);
}

// Converts one exiv2 value into a text (ASCII values) or its numbers
// (integer, rational and floating-point values); other types give nothing.
std::optional<PropertyValue> propertyOf(const Exiv2::Value& value) {
  switch (value.typeId()) {
    case Exiv2::asciiString:
      return PropertyValue{value.toString()};
    case Exiv2::unsignedByte: case Exiv2::signedByte: case Exiv2::unsignedShort:
    case Exiv2::signedShort: case Exiv2::unsignedLong: case Exiv2::signedLong:
    case Exiv2::unsignedRational: case Exiv2::signedRational:
    case Exiv2::tiffFloat: case Exiv2::tiffDouble: {
      std::vector<double> numbers;
      long count = value.count();
      if (count <= 0) return std::nullopt;
      numbers.reserve(static_cast<std::size_t>(std::min(count, 64L)));
      for (long n = 0; n < count && n < 64; ++n) {
        if (value.typeId() == Exiv2::unsignedRational || value.typeId() == Exiv2::signedRational) {
          numbers.push_back(rationalNumber(value, n));
        } else if (value.typeId() == Exiv2::tiffFloat || value.typeId() == Exiv2::tiffDouble) {
          numbers.push_back(static_cast<double>(value.toFloat(n)));
        } else {
          numbers.push_back(static_cast<double>(value.toLong(n)));
        }
      }
      return PropertyValue{std::move(numbers)};
    }
    default:
      return std::nullopt;
  }
}

void copyProperty(const Exiv2::ExifData& exif, const char* key, PropertyDictionary& into, const char* name) {
  auto pos = exif.findKey(Exiv2::ExifKey(key));
  if (pos == exif.end()) return;
  if (auto property = propertyOf(pos->value())) into[name] = std::move(*property);
}

// A GPS coordinate stored as degrees, minutes and seconds, in decimal degrees.
void copyCoordinate(const Exiv2::ExifData& exif, const char* key, PropertyDictionary& into, const char* name) {
  auto pos = exif.findKey(Exiv2::ExifKey(key));
  if (pos == exif.end()) return;
  auto property = propertyOf(pos->value());
  if (!property || !std::holds_alternative<std::vector<double>>(*property)) return;
  const auto& parts = std::get<std::vector<double>>(*property);
  double degrees = 0, scale = 1;
  for (std::size_t i = 0; i < parts.size() && i < 3; ++i, scale *= 60) degrees += parts[i] / scale;
  into[name] = std::vector<double>{degrees};
}

std::optional<std::string> xmpPacketOf(Exiv2::Image& image) {
  if (!image.xmpPacket().empty()) return image.xmpPacket();
  // TIFF-based files keep the packet in the XMLPacket tag.
  const auto& exif = image.exifData();
  auto pos = exif.findKey(Exiv2::ExifKey("Exif.Image.XMLPacket"));
  if (pos != exif.end() && pos->size() > 0) {
    std::string packet(pos->size(), '\0');
    pos->copy(reinterpret_cast<Exiv2::byte*>(packet.data()), Exiv2::littleEndian);
    return packet;
  }
  if (!image.xmpData().empty()) {
    std::string packet;
    if (Exiv2::XmpParser::encode(packet, image.xmpData(), Exiv2::XmpParser::omitPacketWrapper) == 0)
      return packet;
  }
  return std::nullopt;
}

std::optional<std::string> profileNameOf(Exiv2::Image& image) {
  if (image.iccProfileDefined()) {
    const Exiv2::DataBuf* icc = image.iccProfile();
    return iccProfileDescription(icc->pData_, static_cast<std::size_t>(icc->size_));
  }
  const auto& exif = image.exifData();
  auto pos = exif.findKey(Exiv2::ExifKey("Exif.Image.InterColorProfile"));
  if (pos != exif.end() && pos->size() > 0) {
    std::vector<unsigned char> icc(pos->size());
    pos->copy(icc.data(), Exiv2::littleEndian);
    return iccProfileDescription(icc.data(), icc.size());
  }
  return std::nullopt;
}

std::string utf8FromWide(const wchar_t* text) {
  std::string out;
  for (; *text; ++text) {
    auto cp = static_cast<std::uint32_t>(*text);
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | cp >> 6);
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | cp >> 12);
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | cp >> 18);
      out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

void ignoreLcmsError(cmsContext, cmsUInt32Number, const char*) {}

}  // namespace

void initializeImagePropertyReader() {
  Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
  Exiv2::LogMsg::setHandler(nullptr);
  Exiv2::enableBMFF(true);
  Exiv2::XmpParser::initialize();
  cmsSetLogErrorHandler(ignoreLcmsError);
}

std::optional<std::string> iccProfileDescription(const unsigned char* data, std::size_t size) {
  if (!data || size < 128 || size > std::numeric_limits<cmsUInt32Number>::max()) return std::nullopt;
  cmsHPROFILE profile = cmsOpenProfileFromMem(data, static_cast<cmsUInt32Number>(size));
  if (!profile) return std::nullopt;
  std::optional<std::string> name;
  cmsUInt32Number length = cmsGetProfileInfo(profile, cmsInfoDescription, "en", "US", nullptr, 0);
  if (length > 0 && length < (1u << 20)) {
    std::vector<wchar_t> text(length / sizeof(wchar_t) + 1, L'\0');
    cmsGetProfileInfo(profile, cmsInfoDescription, "en", "US", text.data(), length);
    text.back() = L'\0';
    name = utf8FromWide(text.data());
  }
  cmsCloseProfile(profile);
  return name;
}

std::optional<ImageProperties> readImageProperties(std::span<const unsigned char> file) {
  if (file.empty() || file.size() > static_cast<std::size_t>(std::numeric_limits<long>::max())) return std::nullopt;
  try {
    auto image = Exiv2::ImageFactory::open(file.data(), static_cast<long>(file.size()));
    if (!image.get()) return std::nullopt;
    image->readMetadata();

    ImageProperties properties;
    const Exiv2::ExifData& exif = image->exifData();
    copyProperty(exif, "Exif.Image.Make", properties.tiff, "Make");
    copyProperty(exif, "Exif.Image.Model", properties.tiff, "Model");
    copyProperty(exif, "Exif.Image.Software", properties.tiff, "Software");
    copyProperty(exif, "Exif.Photo.LensModel", properties.exif, "LensModel");
    copyProperty(exif, "Exif.Photo.FocalLength", properties.exif, "FocalLength");
    copyProperty(exif, "Exif.Photo.FNumber", properties.exif, "FNumber");
    copyProperty(exif, "Exif.Photo.ExposureTime", properties.exif, "ExposureTime");
    copyProperty(exif, "Exif.Photo.ISOSpeedRatings", properties.exif, "ISOSpeedRatings");
    copyProperty(exif, "Exif.Photo.DateTimeOriginal", properties.exif, "DateTimeOriginal");
    copyProperty(exif, "Exif.Photo.ColorSpace", properties.exif, "ColorSpace");
    copyCoordinate(exif, "Exif.GPSInfo.GPSLatitude", properties.gps, "Latitude");
    copyProperty(exif, "Exif.GPSInfo.GPSLatitudeRef", properties.gps, "LatitudeRef");
    copyCoordinate(exif, "Exif.GPSInfo.GPSLongitude", properties.gps, "Longitude");
    copyProperty(exif, "Exif.GPSInfo.GPSLongitudeRef", properties.gps, "LongitudeRef");
    properties.profileName = profileNameOf(*image);
    properties.xmpPacket = xmpPacketOf(*image);
    return properties;
  } catch (const std::exception&) {
    return std::nullopt;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace tagscope
