// People: OpenCV's HOG people detector (the Dalal-Triggs linear SVM shipped
// with OpenCV, a 64 × 128 window) over a scale pyramid of the picture
// reduced to a longer side of at most 800 pixels, then non-maximum
// suppression (overlap above 0.3; windows whose SVM margin is below 1 are
// dropped). The confidence of a box is its margin m mapped by 1 / (1 + e^-m).
// A face with no person box around its centre counts as a person too (a
// portrait is a person): its box is the face box widened to three face
// widths, from half a face above it down to five faces below it, clipped to
// the picture, with the face's confidence.
#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include <algorithm>
#include <cmath>
#include <mutex>

#include "internal.h"

namespace vision {

namespace {

constexpr int longerSide = 800;
constexpr double minimumMargin = 1.0;
constexpr float suppressionOverlap = 0.3f;

}  // namespace

std::vector<HumanObservation> detectHumanRectangles(const Handler& handler) {
  auto& state = handler.state();
  // Reduced first, then made grey: the full-size grey picture is not needed.
  const cv::Mat& upright = state.upright;
  const double scale = std::min(1.0, static_cast<double>(longerSide) / std::max(upright.cols, upright.rows));
  cv::Mat reduced;
  cv::cvtColor(detail::reducedBy(upright, scale), reduced, cv::COLOR_BGR2GRAY);

  std::vector<cv::Rect> boxes;
  std::vector<double> margins;
  if (reduced.cols >= 64 && reduced.rows >= 128) {
    cv::HOGDescriptor hog;
    hog.setSVMDetector(cv::HOGDescriptor::getDefaultPeopleDetector());
    hog.detectMultiScale(reduced, boxes, margins, 0.0, cv::Size(8, 8), cv::Size(0, 0), 1.05, 0.0, false);
  }
  std::vector<cv::Rect> kept;
  std::vector<float> scores;
  for (std::size_t i = 0; i < boxes.size() && i < margins.size(); ++i) {
    if (margins[i] < minimumMargin) continue;
    kept.push_back(boxes[i]);
    scores.push_back(static_cast<float>(margins[i]));
  }
  std::vector<int> chosen;
  cv::dnn::NMSBoxes(kept, scores, static_cast<float>(minimumMargin), suppressionOverlap, chosen);

  const cv::Size size = upright.size();
  std::vector<HumanObservation> people;
  std::vector<cv::Rect2d> personBoxes;
  for (int i : chosen) {
    const cv::Rect& r = kept[static_cast<std::size_t>(i)];
    const cv::Rect2d box(r.x / scale, r.y / scale, r.width / scale, r.height / scale);
    const cv::Rect2d clipped = box & cv::Rect2d(0, 0, size.width, size.height);
    if (clipped.area() <= 0) continue;
    personBoxes.push_back(clipped);
    people.push_back({detail::normalizedRect(clipped, size),
                      static_cast<float>(1.0 / (1.0 + std::exp(-scores[static_cast<std::size_t>(i)])))});
  }
  for (const auto& face : detail::ensembleFaces(state)) {
    const cv::Point2d centre(face.box.x + face.box.width / 2, face.box.y + face.box.height / 2);
    const bool inside = std::any_of(personBoxes.begin(), personBoxes.end(),
                                    [&](const cv::Rect2d& p) { return p.contains(centre); });
    if (inside) continue;
    const double w = face.box.width, h = face.box.height;
    const cv::Rect2d body(centre.x - 1.5 * w, face.box.y - 0.5 * h, 3 * w, 6.5 * h);
    const cv::Rect2d clipped = body & cv::Rect2d(0, 0, size.width, size.height);
    people.push_back({detail::normalizedRect(clipped, size), face.confidence});
  }
  return people;
}

}  // namespace vision
