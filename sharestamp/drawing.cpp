// Drawing the social image: background, photo, plaque, mark, title and call
// to action, in that order.
#include "sharestamp.h"

namespace sharestamp {

namespace {

using graphics::Color;

const Color backgroundColor = Color::grey(0.04);
const Color plaqueColor = Color::grey(0.015, 0.72);
const Color markColor = Color::rgb(0.73, 0.36, 0.16);
const Color white = Color::grey(1);
const Color callToActionColor = Color::grey(0.94, 0.92);

graphics::TextStyle systemFont(double size, graphics::FontWeight weight, Color color,
                               graphics::TextAlignment alignment = graphics::TextAlignment::natural) {
  return {{"DejaVu Sans", size, weight}, color, alignment};
}

void drawText(graphics::Canvas& canvas, const std::string& text, const graphics::TextStyle& style,
              graphics::Rect rect) {
  canvas.drawText(graphics::TextLayout(text, style, rect.width), rect);
}

void drawMark(graphics::Canvas& canvas, const Composition& composition) {
  if (composition.logo) {
    canvas.drawImage(*composition.logo, composition.logoRect, 1.0);
    return;
  }
  canvas.fill(graphics::Path().addRoundedRect(markRect, markRadius), markColor);
  drawText(canvas, "O",
           systemFont(39, graphics::FontWeight::black, white, graphics::TextAlignment::center),
           markLetterRect);
}

}  // namespace

graphics::TextStyle titleStyle() { return systemFont(25, graphics::FontWeight::bold, white); }

graphics::TextStyle callToActionStyle(const std::string& callToAction) {
  return systemFont(callToActionFontSize(callToAction), graphics::FontWeight::semibold, callToActionColor);
}

void drawComposition(graphics::Canvas& canvas, const Composition& composition) {
  canvas.fill({0, 0, composition.canvas.width, composition.canvas.height}, backgroundColor);
  canvas.setInterpolation(graphics::Interpolation::high);
  if (composition.photo) canvas.drawImage(*composition.photo, composition.photoRect, 1.0);
  canvas.fill(graphics::Path().addRoundedRect(plaqueRect, plaqueRadius), plaqueColor);
  drawMark(canvas, composition);
  const WatermarkText& text = composition.text;
  drawText(canvas, text.title, titleStyle(), titleRect);
  drawText(canvas, text.callToAction, callToActionStyle(text.callToAction), callToActionRect);
}

}  // namespace sharestamp
