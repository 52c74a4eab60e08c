// The Cairo and Pango objects behind the public types of graphics.h.
#pragma once

#include <cairo.h>

#include <functional>
#include <pango/pangocairo.h>

#include "graphics.h"

namespace graphics {

struct SurfaceRelease {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceRelease>;

struct Image::Pixels {
  SurfacePtr surface;  // CAIRO_FORMAT_ARGB32, premultiplied
  int width = 0;
  int height = 0;
};

struct Mask::Pixels {
  SurfacePtr surface;  // CAIRO_FORMAT_A8
  int width = 0;
  int height = 0;
};

struct PatternRelease {
  void operator()(cairo_pattern_t* pattern) const { cairo_pattern_destroy(pattern); }
};
using SharedPattern = std::shared_ptr<cairo_pattern_t>;

struct TextLayout::Impl {
  PangoContext* context = nullptr;
  PangoLayout* layout = nullptr;
  Color color;
  ~Impl();
};

struct Canvas::Impl {
  SurfacePtr surface;
  cairo_t* cr = nullptr;
  int width = 0;
  int height = 0;
  PixelFormat format = PixelFormat::rgba8;
  // Cairo keeps the filter on each pattern and clips only to paths, so the
  // drawing state's interpolation and mask clips (patterns mapping canvas
  // pixels to mask samples) are kept here, saved and restored with Cairo's
  // state.
  struct State {
    Interpolation interpolation = Interpolation::medium;
    std::vector<SharedPattern> maskClips;
  };
  State state;
  std::vector<State> savedStates;
  // Runs `paint` (which sets its own source and draws) with the current
  // blend mode, through the mask clips.
  void paintThroughClips(const std::function<void(cairo_t*)>& paint);
  ~Impl();
};

inline void setSource(cairo_t* cr, const Color& color) {
  cairo_set_source_rgba(cr, color.red, color.green, color.blue, color.alpha);
}

}  // namespace graphics
