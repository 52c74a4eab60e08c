// Canvases on Cairo image surfaces, with a bottom-left, y-up coordinate
// system set as the initial transform; paths; readback into imageio rows.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "internal.h"

namespace graphics {

// ---------------------------------------------------------------------------
// Paths

Path& Path::moveTo(Point point) {
  elements_.push_back({Verb::move, {point, {}, {}}});
  return *this;
}

Path& Path::lineTo(Point point) {
  elements_.push_back({Verb::line, {point, {}, {}}});
  return *this;
}

Path& Path::curveTo(Point control1, Point control2, Point end) {
  elements_.push_back({Verb::curve, {control1, control2, end}});
  return *this;
}

Path& Path::close() {
  elements_.push_back({Verb::close, {}});
  return *this;
}

Path& Path::addRect(Rect rect) {
  return moveTo({rect.x, rect.y})
      .lineTo({rect.x + rect.width, rect.y})
      .lineTo({rect.x + rect.width, rect.y + rect.height})
      .lineTo({rect.x, rect.y + rect.height})
      .close();
}

Path& Path::addRoundedRect(Rect rect, double radius) {
  const double r = std::clamp(radius, 0.0, std::min(rect.width, rect.height) / 2);
  if (r <= 0) return addRect(rect);
  // Quarter circles as cubic Béziers (control distance 0.5523 r).
  const double k = r * 0.55228474983079334;
  const double left = rect.x, right = rect.x + rect.width;
  const double bottom = rect.y, top = rect.y + rect.height;
  moveTo({left + r, bottom});
  lineTo({right - r, bottom});
  curveTo({right - r + k, bottom}, {right, bottom + r - k}, {right, bottom + r});
  lineTo({right, top - r});
  curveTo({right, top - r + k}, {right - r + k, top}, {right - r, top});
  lineTo({left + r, top});
  curveTo({left + r - k, top}, {left, top - r + k}, {left, top - r});
  lineTo({left, bottom + r});
  curveTo({left, bottom + r - k}, {left + r - k, bottom}, {left + r, bottom});
  return close();
}

Path& Path::addCircle(Point center, double radius) {
  if (!(radius > 0)) return *this;
  const double r = radius, k = r * 0.55228474983079334;
  const double x = center.x, y = center.y;
  moveTo({x + r, y});
  curveTo({x + r, y + k}, {x + k, y + r}, {x, y + r});
  curveTo({x - k, y + r}, {x - r, y + k}, {x - r, y});
  curveTo({x - r, y - k}, {x - k, y - r}, {x, y - r});
  curveTo({x + k, y - r}, {x + r, y - k}, {x + r, y});
  return close();
}

// ---------------------------------------------------------------------------
// Canvas

namespace {

constexpr int maxSide = 32767;  // Cairo's limit for image surfaces

void appendPath(cairo_t* cr, const Path& path) {
  cairo_new_path(cr);
  for (const Path::Element& element : path.elements()) {
    const Point* p = element.points;
    switch (element.verb) {
      case Path::Verb::move:
        cairo_move_to(cr, p[0].x, p[0].y);
        break;
      case Path::Verb::line:
        cairo_line_to(cr, p[0].x, p[0].y);
        break;
      case Path::Verb::curve:
        cairo_curve_to(cr, p[0].x, p[0].y, p[1].x, p[1].y, p[2].x, p[2].y);
        break;
      case Path::Verb::close:
        cairo_close_path(cr);
        break;
    }
  }
}

cairo_filter_t filterOf(Interpolation interpolation) {
  switch (interpolation) {
    case Interpolation::none:
      return CAIRO_FILTER_NEAREST;
    case Interpolation::low:
      return CAIRO_FILTER_BILINEAR;
    case Interpolation::medium:
      return CAIRO_FILTER_GOOD;
    case Interpolation::high:
      return CAIRO_FILTER_BEST;
  }
  return CAIRO_FILTER_GOOD;
}

}  // namespace

Canvas::Impl::~Impl() {
  if (cr) cairo_destroy(cr);
}

Canvas::Canvas(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Canvas::~Canvas() = default;

std::unique_ptr<Canvas> Canvas::create(std::int64_t width, std::int64_t height, PixelFormat format) {
  if (width < 1 || height < 1 || width > maxSide || height > maxSide) return nullptr;
  // Grey canvases draw on an opaque RGB surface and read back luminance, so
  // every drawing operation composites in grey exactly as in colour.
  const cairo_format_t surfaceFormat =
      format == PixelFormat::grey8 ? CAIRO_FORMAT_RGB24 : CAIRO_FORMAT_ARGB32;
  SurfacePtr surface(
      cairo_image_surface_create(surfaceFormat, static_cast<int>(width), static_cast<int>(height)));
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
  auto impl = std::make_unique<Impl>();
  impl->cr = cairo_create(surface.get());
  if (cairo_status(impl->cr) != CAIRO_STATUS_SUCCESS) return nullptr;
  impl->surface = std::move(surface);
  impl->width = static_cast<int>(width);
  impl->height = static_cast<int>(height);
  impl->format = format;
  // Bottom-left origin, y up.
  cairo_translate(impl->cr, 0, static_cast<double>(height));
  cairo_scale(impl->cr, 1, -1);
  return std::unique_ptr<Canvas>(new Canvas(std::move(impl)));
}

int Canvas::width() const { return impl_->width; }
int Canvas::height() const { return impl_->height; }
PixelFormat Canvas::format() const { return impl_->format; }

void Canvas::saveState() {
  cairo_save(impl_->cr);
  impl_->savedStates.push_back(impl_->state);
}

// An unbalanced restore is ignored (Cairo would refuse all further drawing).
void Canvas::restoreState() {
  if (impl_->savedStates.empty()) return;
  cairo_restore(impl_->cr);
  impl_->state = std::move(impl_->savedStates.back());
  impl_->savedStates.pop_back();
}

void Canvas::setBlendMode(BlendMode mode) {
  cairo_operator_t op = CAIRO_OPERATOR_OVER;
  if (mode == BlendMode::copy) op = CAIRO_OPERATOR_SOURCE;
  if (mode == BlendMode::clear) op = CAIRO_OPERATOR_DEST_OUT;
  cairo_set_operator(impl_->cr, op);
}

void Canvas::setInterpolation(Interpolation interpolation) { impl_->state.interpolation = interpolation; }

void Canvas::translate(double dx, double dy) {
  if (std::isfinite(dx) && std::isfinite(dy)) cairo_translate(impl_->cr, dx, dy);
}

void Canvas::rotate(double radians) {
  if (std::isfinite(radians)) cairo_rotate(impl_->cr, radians);
}

void Canvas::clip(const Path& path) {
  appendPath(impl_->cr, path);
  cairo_clip(impl_->cr);
}

namespace {

// A pattern of the mask stretched over `rect` in the current drawing
// coordinates (its top row at the rectangle's top), sampled bilinearly with
// its edge samples repeated outwards; null when it cannot be made.
SharedPattern maskPattern(cairo_t* cr, const Mask& mask, Rect rect) {
  cairo_matrix_t deviceToUser;
  cairo_get_matrix(cr, &deviceToUser);
  if (cairo_matrix_invert(&deviceToUser) != CAIRO_STATUS_SUCCESS) return nullptr;
  const double sx = mask.width() / rect.width, sy = mask.height() / rect.height;
  cairo_matrix_t userToMask;
  cairo_matrix_init(&userToMask, sx, 0, 0, -sy, -rect.x * sx, (rect.y + rect.height) * sy);
  cairo_matrix_t deviceToMask;
  cairo_matrix_multiply(&deviceToMask, &deviceToUser, &userToMask);
  SharedPattern pattern(cairo_pattern_create_for_surface(mask.pixels().surface.get()), PatternRelease());
  if (cairo_pattern_status(pattern.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
  cairo_pattern_set_matrix(pattern.get(), &deviceToMask);
  cairo_pattern_set_filter(pattern.get(), CAIRO_FILTER_BILINEAR);
  cairo_pattern_set_extend(pattern.get(), CAIRO_EXTEND_PAD);
  return pattern;
}

}  // namespace

void Canvas::clipToMask(const Mask& mask, Rect rect) {
  cairo_t* cr = impl_->cr;
  // Outside the rectangle nothing is drawn; the path clip also keeps the
  // intermediate groups of masked drawing to the rectangle's size.
  clip(Path().addRect(rect));
  if (!(rect.width > 0 && rect.height > 0)) return;
  if (SharedPattern pattern = maskPattern(cr, mask, rect)) impl_->state.maskClips.push_back(std::move(pattern));
}

void Canvas::Impl::paintThroughClips(const std::function<void(cairo_t*)>& paint) {
  cairo_save(cr);
  if (state.maskClips.empty()) {
    paint(cr);
    cairo_restore(cr);
    return;
  }
  // The drawing goes into a group, which is then composited through each
  // mask in turn, the last time onto the canvas with the blend mode.
  const cairo_operator_t op = cairo_get_operator(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  cairo_push_group(cr);
  paint(cr);
  cairo_pop_group_to_source(cr);
  cairo_identity_matrix(cr);
  for (std::size_t i = 0; i + 1 < state.maskClips.size(); ++i) {
    cairo_push_group(cr);
    cairo_mask(cr, state.maskClips[i].get());
    cairo_pop_group_to_source(cr);
  }
  cairo_set_operator(cr, op);
  cairo_mask(cr, state.maskClips.back().get());
  cairo_restore(cr);
}

void Canvas::clear(Rect rect) {
  cairo_t* cr = impl_->cr;
  cairo_save(cr);
  cairo_reset_clip(cr);
  appendPath(cr, Path().addRect(rect));
  if (impl_->format == PixelFormat::grey8) {
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_rgb(cr, 0, 0, 0);
  } else {
    cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
  }
  cairo_fill(cr);
  cairo_restore(cr);
}

void Canvas::clear() {
  cairo_t* cr = impl_->cr;
  cairo_save(cr);
  cairo_identity_matrix(cr);
  cairo_reset_clip(cr);
  cairo_set_operator(cr, impl_->format == PixelFormat::grey8 ? CAIRO_OPERATOR_SOURCE : CAIRO_OPERATOR_CLEAR);
  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_paint(cr);
  cairo_restore(cr);
}

void Canvas::fillClip(Color color) {
  if (impl_->state.maskClips.size() != 1) {
    impl_->paintThroughClips([&](cairo_t* cr) {
      setSource(cr, color);
      cairo_paint(cr);
    });
    return;
  }
  cairo_t* cr = impl_->cr;
  cairo_save(cr);
  setSource(cr, color);
  cairo_identity_matrix(cr);
  cairo_mask(cr, impl_->state.maskClips.back().get());
  cairo_restore(cr);
}

void Canvas::fill(Rect rect, Color color) { fill(Path().addRect(rect), color); }

void Canvas::fill(const Path& path, Color color) {
  impl_->paintThroughClips([&](cairo_t* cr) {
    appendPath(cr, path);
    setSource(cr, color);
    cairo_fill(cr);
  });
}

namespace {

void setCapAndJoin(cairo_t* cr, const StrokeStyle& style) {
  cairo_set_line_cap(cr, style.cap == LineCap::round    ? CAIRO_LINE_CAP_ROUND
                         : style.cap == LineCap::square ? CAIRO_LINE_CAP_SQUARE
                                                        : CAIRO_LINE_CAP_BUTT);
  cairo_set_line_join(cr, style.join == LineJoin::round   ? CAIRO_LINE_JOIN_ROUND
                          : style.join == LineJoin::bevel ? CAIRO_LINE_JOIN_BEVEL
                                                          : CAIRO_LINE_JOIN_MITER);
}

}  // namespace

void Canvas::stroke(const Path& path, Color color, const StrokeStyle& style) {
  if (!(style.width > 0) || !std::isfinite(style.width)) return;
  impl_->paintThroughClips([&](cairo_t* cr) {
    appendPath(cr, path);
    setSource(cr, color);
    cairo_set_line_width(cr, style.width);
    setCapAndJoin(cr, style);
    cairo_stroke(cr);
  });
}

void Canvas::strokeLines(const Line* lines, std::size_t count, Color color, const StrokeStyle& style) {
  if (!impl_->state.maskClips.empty()) {
    // Each line through the mask clips on its own.
    for (std::size_t i = 0; i < count; ++i) {
      const Line& line = lines[i];
      stroke(Path().moveTo(line.from).lineTo(line.to), {color.red, color.green, color.blue, line.alpha},
             {line.width, style.cap, style.join});
    }
    return;
  }
  cairo_t* cr = impl_->cr;
  cairo_save(cr);
  setCapAndJoin(cr, style);
  for (std::size_t i = 0; i < count; ++i) {
    const Line& line = lines[i];
    if (!(line.width > 0) || !std::isfinite(line.width)) continue;
    cairo_new_path(cr);
    cairo_move_to(cr, line.from.x, line.from.y);
    cairo_line_to(cr, line.to.x, line.to.y);
    cairo_set_source_rgba(cr, color.red, color.green, color.blue, line.alpha);
    cairo_set_line_width(cr, line.width);
    cairo_stroke(cr);
  }
  cairo_restore(cr);
}

void Canvas::drawImage(const Image& image, Rect destination, double opacity) {
  drawImage(image, {0, 0, double(image.width()), double(image.height())}, destination, opacity);
}

void Canvas::drawImage(const Image& image, Rect source, Rect destination, double opacity) {
  if (!(source.width > 0 && source.height > 0 && destination.width > 0 &&
        destination.height > 0 && opacity > 0))
    return;
  const cairo_filter_t filter = filterOf(impl_->state.interpolation);
  impl_->paintThroughClips([&](cairo_t* cr) {
    // Clip to the destination, then map the source rectangle onto it
    // upright: image rows run top first, canvas y runs upward.
    cairo_rectangle(cr, destination.x, destination.y, destination.width, destination.height);
    cairo_clip(cr);
    cairo_translate(cr, destination.x, destination.y + destination.height);
    cairo_scale(cr, destination.width / source.width, -destination.height / source.height);
    cairo_translate(cr, -source.x, -source.y);
    cairo_set_source_surface(cr, image.pixels().surface.get(), 0, 0);
    cairo_pattern_t* pattern = cairo_get_source(cr);
    cairo_pattern_set_filter(pattern, filter);
    // Edge pixels extend instead of fading, so the drawn rectangle is solid
    // up to its border.
    cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
    cairo_paint_with_alpha(cr, std::min(opacity, 1.0));
  });
}

// ---------------------------------------------------------------------------
// Readback

namespace {

// One ARGB32/RGB24 pixel (native-endian 32-bit word) to straight RGBA.
inline void unpremultiply(std::uint32_t word, bool opaque, std::uint8_t* out) {
  const std::uint32_t a = opaque ? 255 : word >> 24;
  std::uint32_t r = (word >> 16) & 0xff, g = (word >> 8) & 0xff, b = word & 0xff;
  if (a != 255 && a != 0) {
    r = std::min<std::uint32_t>(255, (r * 255 + a / 2) / a);
    g = std::min<std::uint32_t>(255, (g * 255 + a / 2) / a);
    b = std::min<std::uint32_t>(255, (b * 255 + a / 2) / a);
  } else if (a == 0) {
    r = g = b = 0;
  }
  out[0] = static_cast<std::uint8_t>(r);
  out[1] = static_cast<std::uint8_t>(g);
  out[2] = static_cast<std::uint8_t>(b);
  out[3] = static_cast<std::uint8_t>(a);
}

inline std::uint8_t luminance(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  return static_cast<std::uint8_t>(std::lround(0.2126 * r + 0.7152 * g + 0.0722 * b));
}

}  // namespace

imageio::RowSource Canvas::rows() const {
  cairo_surface_flush(impl_->surface.get());
  const Impl* impl = impl_.get();
  imageio::RowSource source{impl->width, impl->height, 8, {}};
  source.produce = [impl](std::int64_t top, std::int64_t count, std::uint8_t* destination,
                          std::size_t rowBytes) {
    cairo_surface_t* surface = impl->surface.get();
    const unsigned char* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const bool grey = impl->format == PixelFormat::grey8;
    for (std::int64_t y = 0; y < count; ++y) {
      const auto* in = reinterpret_cast<const std::uint32_t*>(data + (top + y) * stride);
      std::uint8_t* out = destination + static_cast<std::size_t>(y) * rowBytes;
      for (int x = 0; x < impl->width; ++x, out += 4) {
        unpremultiply(in[x], grey, out);
        if (grey) out[0] = out[1] = out[2] = luminance(out[0], out[1], out[2]);
      }
    }
  };
  return source;
}

imageio::Raster Canvas::toRaster() const {
  imageio::Raster raster;
  raster.width = impl_->width;
  raster.height = impl_->height;
  raster.data.resize(raster.rowBytes() * static_cast<std::size_t>(raster.height));
  rows().produce(0, raster.height, raster.data.data(), raster.rowBytes());
  return raster;
}

std::vector<std::uint8_t> Canvas::greyLevels() const {
  const imageio::Raster raster = toRaster();
  std::vector<std::uint8_t> levels(static_cast<std::size_t>(raster.width * raster.height));
  for (std::size_t i = 0; i < levels.size(); ++i) {
    const std::uint8_t* p = raster.data.data() + i * 4;
    levels[i] = luminance(p[0], p[1], p[2]);
  }
  return levels;
}

// ---------------------------------------------------------------------------
// Images

std::optional<Image> Image::fromRaster(const imageio::Raster& raster) {
  if (raster.width < 1 || raster.height < 1 || raster.width > maxSide ||
      raster.height > maxSide ||
      (raster.bitsPerComponent != 8 && raster.bitsPerComponent != 16) ||
      raster.data.size() < raster.rowBytes() * static_cast<std::size_t>(raster.height))
    return std::nullopt;
  auto pixels = std::make_shared<Pixels>();
  pixels->width = static_cast<int>(raster.width);
  pixels->height = static_cast<int>(raster.height);
  pixels->surface.reset(
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, pixels->width, pixels->height));
  cairo_surface_t* surface = pixels->surface.get();
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  unsigned char* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  const bool sixteen = raster.bitsPerComponent == 16;
  for (int y = 0; y < pixels->height; ++y) {
    auto* out = reinterpret_cast<std::uint32_t*>(data + static_cast<std::size_t>(y) * stride);
    const std::uint8_t* row = raster.data.data() + static_cast<std::size_t>(y) * raster.rowBytes();
    for (int x = 0; x < pixels->width; ++x) {
      std::uint32_t c[4];
      if (sixteen) {
        std::uint16_t v[4];
        std::memcpy(v, row + static_cast<std::size_t>(x) * 8, 8);
        for (int i = 0; i < 4; ++i) c[i] = (v[i] + 128u) / 257u;
      } else {
        for (int i = 0; i < 4; ++i) c[i] = row[static_cast<std::size_t>(x) * 4 + i];
      }
      const std::uint32_t a = c[3];
      if (a != 255)
        for (int i = 0; i < 3; ++i) c[i] = (c[i] * a + 127) / 255;
      out[x] = (a << 24) | (c[0] << 16) | (c[1] << 8) | c[2];
    }
  }
  cairo_surface_mark_dirty(surface);
  return Image(std::move(pixels));
}

int Image::width() const { return pixels_->width; }
int Image::height() const { return pixels_->height; }

std::optional<Mask> Mask::fromCoverage(int width, int height, const std::uint8_t* samples, std::size_t count) {
  if (width < 1 || height < 1 || width > maxSide || height > maxSide || !samples ||
      count < static_cast<std::size_t>(width) * static_cast<std::size_t>(height))
    return std::nullopt;
  auto pixels = std::make_shared<Pixels>();
  pixels->width = width;
  pixels->height = height;
  pixels->surface.reset(cairo_image_surface_create(CAIRO_FORMAT_A8, width, height));
  cairo_surface_t* surface = pixels->surface.get();
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) return std::nullopt;
  unsigned char* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < height; ++y)
    std::memcpy(data + static_cast<std::size_t>(y) * stride, samples + static_cast<std::size_t>(y) * width,
                static_cast<std::size_t>(width));
  cairo_surface_mark_dirty(surface);
  return Mask(std::move(pixels));
}

int Mask::width() const { return pixels_->width; }
int Mask::height() const { return pixels_->height; }

}  // namespace graphics
