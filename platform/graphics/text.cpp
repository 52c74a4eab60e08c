// Text on Pango: layouts in a font chosen by family name, drawing them into
// a canvas rectangle line by line, and grapheme-cluster helpers.
#include <algorithm>
#include <cmath>
#include <vector>

#include "internal.h"

namespace graphics {

// ---------------------------------------------------------------------------
// Grapheme clusters

std::string validUtf8(std::string_view text) {
  if (g_utf8_validate_len(text.data(), text.size(), nullptr)) return std::string(text);
  // Embedded NUL bytes count as invalid here and become U+FFFD as well.
  gchar* valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
  std::string result(valid);
  g_free(valid);
  return result;
}

namespace {

// Byte offsets where each grapheme cluster of valid UTF-8 text starts, plus
// the text's length at the end.
std::vector<std::size_t> clusterStarts(const std::string& text) {
  std::vector<std::size_t> starts;
  if (text.empty()) {
    starts.push_back(0);
    return starts;
  }
  const glong characters = g_utf8_strlen(text.data(), static_cast<gssize>(text.size()));
  std::vector<PangoLogAttr> attributes(static_cast<std::size_t>(characters) + 1);
  pango_get_log_attrs(text.data(), static_cast<int>(text.size()), -1, pango_language_get_default(),
                      attributes.data(), static_cast<int>(attributes.size()));
  const char* position = text.data();
  for (glong i = 0; i < characters; ++i) {
    if (i == 0 || attributes[static_cast<std::size_t>(i)].is_cursor_position)
      starts.push_back(static_cast<std::size_t>(position - text.data()));
    position = g_utf8_next_char(position);
  }
  starts.push_back(text.size());
  return starts;
}

}  // namespace

std::size_t graphemeCount(std::string_view utf8) {
  const std::string text = validUtf8(utf8);
  return clusterStarts(text).size() - 1;
}

std::string graphemePrefix(std::string_view utf8, std::size_t count) {
  std::string text = validUtf8(utf8);
  const std::vector<std::size_t> starts = clusterStarts(text);
  if (count + 1 < starts.size()) text.resize(starts[count]);
  return text;
}

// ---------------------------------------------------------------------------
// Layout

TextLayout::Impl::~Impl() {
  if (layout) g_object_unref(layout);
  if (context) g_object_unref(context);
}

TextLayout::TextLayout(std::string_view text, const TextStyle& style, double width)
    : impl_(std::make_unique<Impl>()) {
  impl_->color = style.color;
  impl_->context = pango_font_map_create_context(pango_cairo_font_map_get_default());
  // Unhinted metrics: the layout is the same at every position and scale.
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
  cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
  pango_cairo_context_set_font_options(impl_->context, options);
  pango_context_set_round_glyph_positions(impl_->context, FALSE);
  cairo_font_options_destroy(options);

  PangoLayout* layout = pango_layout_new(impl_->context);
  impl_->layout = layout;
  const std::string valid = validUtf8(text);
  pango_layout_set_text(layout, valid.data(), static_cast<int>(std::min<std::size_t>(valid.size(), G_MAXINT)));

  PangoFontDescription* font = pango_font_description_new();
  pango_font_description_set_family(font, style.font.family.c_str());
  const double pixelSize = std::clamp(style.font.pixelSize, 0.01, 10000.0);
  pango_font_description_set_absolute_size(font, pixelSize * PANGO_SCALE);
  pango_font_description_set_weight(font, static_cast<PangoWeight>(style.font.weight));
  pango_layout_set_font_description(layout, font);
  pango_font_description_free(font);

  if (width > 0) {
    pango_layout_set_width(layout, static_cast<int>(std::lround(std::min(width, 1e6) * PANGO_SCALE)));
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
  }
  switch (style.alignment) {
    case TextAlignment::natural:  // left, swapped by Pango for right-to-left paragraphs
      pango_layout_set_alignment(layout, PANGO_ALIGN_LEFT);
      break;
    case TextAlignment::left:
      pango_layout_set_auto_dir(layout, FALSE);
      pango_layout_set_alignment(layout, PANGO_ALIGN_LEFT);
      break;
    case TextAlignment::center:
      pango_layout_set_alignment(layout, PANGO_ALIGN_CENTER);
      break;
    case TextAlignment::right:
      pango_layout_set_auto_dir(layout, FALSE);
      pango_layout_set_alignment(layout, PANGO_ALIGN_RIGHT);
      break;
  }
}

TextLayout::~TextLayout() = default;
TextLayout::TextLayout(TextLayout&&) noexcept = default;
TextLayout& TextLayout::operator=(TextLayout&&) noexcept = default;

Size TextLayout::size() const {
  PangoRectangle logical;
  pango_layout_get_extents(impl_->layout, nullptr, &logical);
  return {double(logical.width) / PANGO_SCALE, double(logical.height) / PANGO_SCALE};
}

Rect TextLayout::inkBounds() const {
  PangoRectangle ink;
  pango_layout_get_extents(impl_->layout, &ink, nullptr);
  return {double(ink.x) / PANGO_SCALE, double(ink.y) / PANGO_SCALE, double(ink.width) / PANGO_SCALE,
          double(ink.height) / PANGO_SCALE};
}

int TextLayout::lineCount() const { return pango_layout_get_line_count(impl_->layout); }

int TextLayout::unknownGlyphCount() const { return pango_layout_get_unknown_glyphs_count(impl_->layout); }

double TextLayout::heightOfLines(int lines) const {
  if (lines <= 0) return 0;
  PangoLayoutIter* iter = pango_layout_get_iter(impl_->layout);
  double bottom = 0;
  int line = 0;
  do {
    PangoRectangle logical;
    pango_layout_iter_get_line_extents(iter, nullptr, &logical);
    bottom = double(logical.y + logical.height) / PANGO_SCALE;
  } while (++line < lines && pango_layout_iter_next_line(iter));
  pango_layout_iter_free(iter);
  return bottom;
}

// ---------------------------------------------------------------------------
// Drawing

void Canvas::drawText(const TextLayout& text, Rect rect) {
  if (!(rect.width > 0 && rect.height > 0)) return;
  cairo_t* cr = impl_->cr;
  PangoLayout* layout = text.impl().layout;
  cairo_save(cr);
  cairo_rectangle(cr, rect.x, rect.y, rect.width, rect.height);
  cairo_clip(cr);
  // Local coordinates from the rectangle's top-left corner, y downward, as
  // Pango lays out.
  cairo_translate(cr, rect.x, rect.y + rect.height);
  cairo_scale(cr, 1, -1);
  setSource(cr, text.impl().color);
  // Whole lines only: a line whose extent reaches below the rectangle ends
  // the drawing (a hundredth of a pixel of slack for rounding). The first
  // line is always drawn, clipped: a fallback font with taller metrics for a
  // few characters must not make the whole text vanish.
  const double limit = (rect.height + 0.01) * PANGO_SCALE;
  PangoLayoutIter* iter = pango_layout_get_iter(layout);
  bool first = true;
  do {
    PangoRectangle logical;
    pango_layout_iter_get_line_extents(iter, nullptr, &logical);
    if (!first && logical.y + logical.height > limit) break;
    first = false;
    const int baseline = pango_layout_iter_get_baseline(iter);
    cairo_move_to(cr, double(logical.x) / PANGO_SCALE, double(baseline) / PANGO_SCALE);
    pango_cairo_show_layout_line(cr, pango_layout_iter_get_line_readonly(iter));
  } while (pango_layout_iter_next_line(iter));
  pango_layout_iter_free(iter);
  cairo_restore(cr);
}

}  // namespace graphics
