// The feature print: a classical embedding of 288 32-bit floats, computed
// on the upright picture reduced (area averaging) to fit 256 × 256:
//
//   [0, 64)    colour layout: a 4 × 4 grid (rows top first, columns left
//              first), per cell the mean a*, the mean b* (CIE Lab, 8-bit
//              scale minus 128), the mean and the standard deviation of L*
//              standardised over the whole picture (L* minus its mean, over
//              its standard deviation), so that brightening moves little;
//   [64, 192)  texture: the same grid, per cell a histogram of gradient
//              orientations (8 bins over 0..180°, Sobel gradients of the
//              grey picture, each pixel weighted by its gradient
//              magnitude), divided by the picture's total magnitude;
//   [192, 224) colour content: 12 hue bins × 2 saturation bins (0.2..0.5,
//              above 0.5) for saturated pixels, then 8 brightness bins for
//              pixels of saturation below 0.2; fractions of all pixels;
//   [224, 288) perceptual hash: the 8 × 8 lowest frequencies of the 2-D DCT
//              of the 32 × 32 grey picture (rows of v, then u), the DC
//              term (brightness only) replaced by the (v 0, u 8) one; each
//              +1 when above the median of the 64, else −1.
//
// Each of the four blocks is scaled to unit length, so they weigh alike in
// a distance once the whole print is normalised. Near duplicates (another
// encoding, a resize, a slight crop, a brighter copy) land close together.
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "internal.h"

namespace vision {

namespace {

constexpr int grid = 4;
constexpr int colourLayout = grid * grid * 4;  // 64
constexpr int orientationBins = 8;
constexpr int texture = grid * grid * orientationBins;  // 128
constexpr int colourContent = 12 * 2 + 8;  // 32
constexpr int hashLength = 64;
constexpr int printLength = colourLayout + texture + colourContent + hashLength;
static_assert(printLength == featurePrintLength);

void unitLength(float* values, int count) {
  double sum = 0;
  for (int i = 0; i < count; ++i) sum += static_cast<double>(values[i]) * values[i];
  if (sum <= 0) return;
  const double scale = 1.0 / std::sqrt(sum);
  for (int i = 0; i < count; ++i) values[i] = static_cast<float>(values[i] * scale);
}

cv::Rect cell(const cv::Size& size, int row, int column) {
  const int x0 = size.width * column / grid, x1 = size.width * (column + 1) / grid;
  const int y0 = size.height * row / grid, y1 = size.height * (row + 1) / grid;
  return cv::Rect(x0, y0, std::max(1, x1 - x0), std::max(1, y1 - y0));
}

void colourLayoutBlock(const cv::Mat& bgr, float* out) {
  cv::Mat lab;
  cv::cvtColor(bgr, lab, cv::COLOR_BGR2Lab);
  std::vector<cv::Mat> channels;
  cv::split(lab, channels);
  cv::Mat lightness;
  channels[0].convertTo(lightness, CV_32F);
  cv::Scalar mean, deviation;
  cv::meanStdDev(lightness, mean, deviation);
  const double spread = std::max(deviation[0], 1.0);
  lightness = (lightness - mean[0]) / spread;
  int k = 0;
  for (int row = 0; row < grid; ++row)
    for (int column = 0; column < grid; ++column) {
      const cv::Rect r = cell(bgr.size(), row, column);
      const cv::Scalar a = cv::mean(channels[1](r)), b = cv::mean(channels[2](r));
      cv::Scalar m, s;
      cv::meanStdDev(lightness(r), m, s);
      out[k++] = static_cast<float>((a[0] - 128.0) / 128.0);
      out[k++] = static_cast<float>((b[0] - 128.0) / 128.0);
      out[k++] = static_cast<float>(m[0]);
      out[k++] = static_cast<float>(s[0]);
    }
}

void textureBlock(const cv::Mat& grey, float* out) {
  cv::Mat gx, gy;
  cv::Sobel(grey, gx, CV_32F, 1, 0);
  cv::Sobel(grey, gy, CV_32F, 0, 1);
  std::fill(out, out + texture, 0.0f);
  double total = 0;
  for (int y = 0; y < grey.rows; ++y) {
    const float* px = gx.ptr<float>(y);
    const float* py = gy.ptr<float>(y);
    const int row = std::min(grid - 1, y * grid / grey.rows);
    for (int x = 0; x < grey.cols; ++x) {
      const float magnitude = std::hypot(px[x], py[x]);
      if (magnitude <= 0) continue;
      double angle = std::atan2(py[x], px[x]);
      if (angle < 0) angle += M_PI;
      const int bin = std::min(orientationBins - 1, static_cast<int>(angle / M_PI * orientationBins));
      const int column = std::min(grid - 1, x * grid / grey.cols);
      out[(row * grid + column) * orientationBins + bin] += magnitude;
      total += magnitude;
    }
  }
  if (total > 0)
    for (int i = 0; i < texture; ++i) out[i] = static_cast<float>(out[i] / total);
}

void colourContentBlock(const cv::Mat& bgr, float* out) {
  cv::Mat hsv;
  cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV_FULL);
  std::fill(out, out + colourContent, 0.0f);
  const double count = static_cast<double>(hsv.total());
  for (int y = 0; y < hsv.rows; ++y) {
    const cv::Vec3b* p = hsv.ptr<cv::Vec3b>(y);
    for (int x = 0; x < hsv.cols; ++x) {
      const int h = p[x][0], s = p[x][1], v = p[x][2];
      if (s >= 51) {  // saturation 0.2 and above
        const int hue = std::min(11, h * 12 / 256);
        const int band = s >= 128 ? 1 : 0;
        out[hue * 2 + band] += 1.0f;
      } else {
        out[24 + std::min(7, v * 8 / 256)] += 1.0f;
      }
    }
  }
  for (int i = 0; i < colourContent; ++i) out[i] = static_cast<float>(out[i] / count);
}

void hashBlock(const cv::Mat& grey, float* out) {
  cv::Mat small, floats, frequencies;
  cv::resize(grey, small, cv::Size(32, 32), 0, 0, cv::INTER_AREA);
  small.convertTo(floats, CV_32F);
  cv::dct(floats, frequencies);
  std::vector<float> low;
  for (int v = 0; v < 8; ++v)
    for (int u = 0; u < 8; ++u) low.push_back(frequencies.at<float>(v, u));
  low[0] = frequencies.at<float>(0, 8);  // the DC term only tells brightness
  std::vector<float> sorted = low;
  std::nth_element(sorted.begin(), sorted.begin() + 32, sorted.end());
  const float median = sorted[32];
  for (int i = 0; i < hashLength; ++i) out[i] = low[static_cast<std::size_t>(i)] > median ? 1.0f : -1.0f;
}

}  // namespace

FeaturePrintObservation generateFeaturePrint(const Handler& handler) {
  const cv::Mat& upright = handler.state().upright;
  const double scale = std::min(1.0, 256.0 / std::max(upright.cols, upright.rows));
  cv::Mat reduced = detail::reducedBy(upright, scale);
  // Cells need a few pixels each.
  if (reduced.cols < 16 || reduced.rows < 16)
    cv::resize(reduced, reduced, cv::Size(std::max(16, reduced.cols), std::max(16, reduced.rows)), 0, 0,
               cv::INTER_LINEAR);
  cv::Mat grey;
  cv::cvtColor(reduced, grey, cv::COLOR_BGR2GRAY);

  std::vector<float> print(printLength, 0.0f);
  float* p = print.data();
  colourLayoutBlock(reduced, p);
  textureBlock(grey, p + colourLayout);
  colourContentBlock(reduced, p + colourLayout + texture);
  hashBlock(grey, p + colourLayout + texture + colourContent);
  unitLength(p, colourLayout);
  unitLength(p + colourLayout, texture);
  unitLength(p + colourLayout + texture, colourContent);
  unitLength(p + colourLayout + texture + colourContent, hashLength);

  FeaturePrintObservation observation;
  observation.elementCount = printLength;
  observation.elementType = ElementType::float32;
  observation.data.resize(print.size() * sizeof(float));
  std::memcpy(observation.data.data(), print.data(), observation.data.size());
  return observation;
}

}  // namespace vision
