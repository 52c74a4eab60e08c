// The Cairo and Pango objects behind the public types of graphics.h.
#pragma once

#include <cairo.h>
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
  // Cairo keeps the filter on each pattern, so the drawing state's
  // interpolation is kept here, saved and restored with Cairo's state.
  Interpolation interpolation = Interpolation::medium;
  std::vector<Interpolation> savedInterpolations;
  ~Impl();
};

inline void setSource(cairo_t* cr, const Color& color) {
  cairo_set_source_rgba(cr, color.red, color.green, color.blue, color.alpha);
}

}  // namespace graphics
