// sharestamp: a photo on a feed-sized canvas with a watermark plaque that
// carries a logo mark, a title and a call to action naming the site.
//
// Geometry is in canvas pixels with the origin at the bottom-left, y up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "graphics.h"
#include "imageio.h"

namespace sharestamp {

inline constexpr std::size_t titleLimit = 48;
inline constexpr std::size_t domainLimit = 253;
inline constexpr std::size_t callToActionLimit = 320;
// The call to action is set smaller above this many characters.
inline constexpr std::size_t callToActionShortLimit = 72;

inline constexpr double instagramMinAspect = 0.8;
inline constexpr double instagramMaxAspect = 1.91;
inline constexpr int canvasWidth = 1080;
inline constexpr double plaqueWidth = 796;
inline constexpr graphics::Rect plaqueRect{(canvasWidth - plaqueWidth) / 2, 32, plaqueWidth, 104};
inline constexpr graphics::Rect markRect{plaqueRect.x + 18, 51, 66, 66};
inline constexpr graphics::Rect markLetterRect{markRect.x, markRect.y + 8, 66, 48};
inline constexpr graphics::Rect titleRect{plaqueRect.x + 106, 88, 652, 32};
inline constexpr graphics::Rect callToActionRect{plaqueRect.x + 106, 58, 652, 26};
inline constexpr double plaqueRadius = 22;
inline constexpr double markRadius = 16;
inline constexpr double jpegQuality = 0.92;

// Sources declaring more pixels than this are refused (decompression bombs).
inline constexpr std::uint64_t maxSourcePixels = 500'000'000;
// Memory a decode may hold at its peak (Source::resizedBytes): the photo is
// decoded at canvas size, so this bounds the decoders' whole-picture buffers.
inline constexpr std::uint64_t maxSourceBytes = std::uint64_t{768} << 20;

// The texts after their cuts, counted in grapheme clusters.
struct WatermarkText {
  std::string title;
  std::string domain;
  std::string callToAction;
};

WatermarkText cutTexts(const std::string& title, const std::string& domain,
                       const std::string& callToAction);

// The domain is not empty and appears, exactly and case-sensitively, in the
// call to action.
bool namesDomain(const WatermarkText& text);

double callToActionFontSize(const std::string& callToAction);

// The canvas for a source of `points`: 1080 wide, aspect clamped to the feed
// range, height rounded half away from zero.
graphics::Size canvasSizeFor(imageio::PointSize points);

// The rectangle a picture of `size` fills when fitted, centred, into `box`.
graphics::Rect aspectFit(graphics::Size size, graphics::Rect box);

// What the plaque shows and where the photo goes.
struct Composition {
  graphics::Size canvas;
  std::optional<graphics::Image> photo;
  graphics::Rect photoRect;
  std::optional<graphics::Image> logo;
  graphics::Rect logoRect;
  WatermarkText text;
};

// The text styles of the plaque: the title's, and the call to action's for
// that text (its size depends on the length).
graphics::TextStyle titleStyle();
graphics::TextStyle callToActionStyle(const std::string& callToAction);

// Draws the whole social image.
void drawComposition(graphics::Canvas& canvas, const Composition& composition);

// Decodes an image file upright at about the size it will be drawn in
// `rect`; absent when it cannot be decoded.
std::optional<graphics::Image> decodeForRect(const imageio::Source& source, graphics::Rect rect);

}  // namespace sharestamp
