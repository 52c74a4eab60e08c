// veilpass: hides every face of a photo by painting, scratching or blurring
// it, checks the result with the same face detector, and writes a fresh JPEG
// that carries nothing of the source file but the pixels.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "coreimage.h"
#include "imageio.h"
#include "vision.h"

namespace veilpass {

// ---------------------------------------------------------------------------
// Methods and errors

enum class AnonymizeMethod { paint, scratches, blur };

// The method by its raw string ("paint", "scratches", "blur"), case-sensitive.
std::optional<AnonymizeMethod> anonymizeMethodNamed(std::string_view name);
std::string_view rawValue(AnonymizeMethod method);

inline constexpr const char* errorDomain = "Veilpass";

enum class ErrorCode : int {
  decodeFailed = 1,
  normalizeFailed = 2,
  maskFailed = 3,
  replacementFailed = 4,
  replacementRenderFailed = 5,
  outputRasterFailed = 6,
  destinationFailed = 7,
  writeFailed = 8,
  usage = 9,
  verificationRenderFailed = 10,
  facesRemain = 11,
};

// A failure of the program's own making: its domain, code and the
// human-readable description that is shown after "veilpass: ".
class Error : public std::exception {
 public:
  explicit Error(ErrorCode code, std::int64_t remainingFaces = 0);
  const std::string& domain() const { return domain_; }
  int code() const { return static_cast<int>(code_); }
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::string domain_;
  ErrorCode code_;
  std::string description_;
};

std::string errorDescription(ErrorCode code, std::int64_t remainingFaces = 0);

// ---------------------------------------------------------------------------
// Face region geometry. Pixel coordinates of the picture, origin top-left,
// y downward.

struct Point {
  double x = 0, y = 0;
  bool operator==(const Point&) const = default;
};

// Implicitly closed: the last point joins the first.
using Polygon = std::vector<Point>;

// (a.x − o.x)(b.y − o.y) − (a.y − o.y)(b.x − o.x)
double cross(Point o, Point a, Point b);
// Monotone-chain convex hull without duplicate or collinear points; fewer
// than three distinct points come back sorted.
Polygon convexHull(std::vector<Point> points);
// The hull with each corner pushed `radius` pixels away from the corners'
// mean, hulled again. A hull of fewer than three points is kept as it is.
Polygon dilatedHull(const std::vector<Point>& points, double radius);
// The face box enlarged by 12 % of its size on every side, clipped to the
// picture: (left, top), (right, top), (right, bottom), (left, bottom).
// The box is normalised to the picture, origin bottom-left, y upward.
Polygon expandedBox(const vision::Rect& box, std::int64_t width, std::int64_t height);
// What hides one face: the dilated hull of its landmark points (face
// contour, eyes, eyebrows, nose, nose crest, outer and inner lips) and two
// forehead points, or the expanded box when fewer than three points are known.
Polygon facePolygon(const vision::FaceObservation& face, std::int64_t width, std::int64_t height);

// ---------------------------------------------------------------------------
// Hiding

// An 8-bit grey mask of the picture's size: white inside the polygon
// (non-zero winding, anti-aliased edge), black elsewhere. Raises error 3.
coreimage::Image maskImage(const Polygon& polygon, std::int64_t width, std::int64_t height);
// A transparent picture-sized image painted inside the polygon: the dark
// 0.08 grey, and for scratches the slanted light and dark lines over it.
// Raises error 4 or 5.
coreimage::Image opaqueReplacement(const Polygon& polygon, std::int64_t width, std::int64_t height,
                                   AnonymizeMethod method);
// The current image with the face inside the polygon hidden; cropped to
// (0, 0, width, height). Empty when a filter cannot be applied.
coreimage::Image anonymized(const coreimage::Image& current, const Polygon& polygon, std::int64_t width,
                            std::int64_t height, AnonymizeMethod method);

// The scratch lines over a polygon, in drawing order (top-left coordinates).
struct ScratchLine {
  Point from, to;
  double white = 0;  // grey level of the stroke
  double width = 0;
};
std::vector<ScratchLine> scratchLines(const Polygon& polygon);

// ---------------------------------------------------------------------------
// The run

inline constexpr double jpegQuality = 0.94;

// Pictures over this many pixels are refused with error 2 before they are
// decoded: that covers the largest camera sensors (about 100 megapixels)
// and keeps a run within about 3 GB, whatever size a file declares.
inline constexpr std::uint64_t maxPixels = 120'000'000;

// The picture being anonymized: 8-bit RGBA, rows top first, opaque.
using Bitmap = std::shared_ptr<imageio::Raster>;

// The input decoded upright (orientation applied) as an opaque 8-bit bitmap:
// 16-bit components are rounded to 8 bits, and transparency is flattened
// over black, which is what its premultiplied colour shows once a JPEG
// drops the alpha. Raises error 1 or 2.
Bitmap normalizedImage(const imageio::Source& source);
// The bitmap as an image with extent (0, 0, width, height); it reads the
// bitmap's pixels as they are when it is rendered.
coreimage::Image imageOfBitmap(const Bitmap& bitmap);
// Renders (0, 0, width, height) of the image into a bitmap; none when it
// cannot be rendered.
Bitmap renderedBitmap(const coreimage::Image& image, std::int64_t width, std::int64_t height);
// Hides one face in the bitmap itself: anonymized() of the bitmap as it
// stands, rendered over the polygon's bounding box (the only pixels it can
// change) and written back there, so that the next face is hidden on the
// accumulated picture. Raises error 10 when the result cannot be rendered.
void hideFace(const Bitmap& bitmap, const Polygon& polygon, AnonymizeMethod method);
// Encodes the final rendering as a JPEG of quality 0.94 with no metadata and
// writes it whole or not at all. Raises error 6 (a side too long for JPEG),
// 7 or 8.
void writeFreshJPEG(const imageio::Raster& rendering, const std::string& path);

// The counts the run reports on standard output.
struct Summary {
  AnonymizeMethod method = AnonymizeMethod::paint;
  std::int64_t remainingFaceCount = 0;
  std::int64_t sourceFaceCount = 0;
};
// One line of JSON with sorted keys and a line feed.
std::string summaryLine(const Summary& summary);

// The faces of an upright bitmap with their landmarks, in the detector's
// order: the suite's face detector, the same for the first pass and the
// verification. Detector failures pass through as vision::Error.
std::vector<vision::FaceObservation> faceObservations(const imageio::Raster& bitmap);

// The command line's three operands.
struct Arguments {
  std::string input;
  std::string output;
  AnonymizeMethod method = AnonymizeMethod::paint;
};
// Exactly three arguments, the third a method's raw string; otherwise error 9.
Arguments parseArguments(const std::vector<std::string>& arguments);

// The whole job: decode, detect, hide each face on the accumulated picture,
// render, detect again, print the summary line to `out`, and write the JPEG
// only when no face remains. Raises Error or vision::Error.
void run(const std::vector<std::string>& arguments, std::FILE* out);

}  // namespace veilpass
