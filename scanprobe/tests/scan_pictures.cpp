#include "scan_pictures.h"

#include <opencv2/imgproc.hpp>
#include <sys/wait.h>
#include <vips/vips.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <random>
#include <stdexcept>
#include <vector>

namespace scantest {

cv::Mat syntheticPhoto(cv::Size size, unsigned seed) {
  cv::Mat photo(size, CV_8UC3);
  const int horizon = size.height * 45 / 100;
  for (int y = 0; y < size.height; ++y) {
    cv::Vec3b colour;
    if (y < horizon) {
      const double t = static_cast<double>(y) / horizon;  // sky: deep blue to pale
      colour = cv::Vec3b(static_cast<uchar>(170 + 50 * t), static_cast<uchar>(110 + 80 * t),
                         static_cast<uchar>(60 + 110 * t));
    } else {
      const double t = static_cast<double>(y - horizon) / (size.height - horizon);  // field: green to brown
      colour = cv::Vec3b(static_cast<uchar>(40 + 10 * t), static_cast<uchar>(120 - 40 * t),
                         static_cast<uchar>(70 + 50 * t));
    }
    photo.row(y).setTo(colour);
  }
  std::mt19937 random(seed);
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(random); };
  const int unit = std::max(4, size.width / 40);
  cv::circle(photo, {size.width * 3 / 4, size.height / 5}, unit * 2, cv::Scalar(120, 230, 250), cv::FILLED,
             cv::LINE_AA);
  for (int i = 0; i < 6; ++i) {
    const int w = unit * uniform(2, 4), h = unit * uniform(2, 3);
    const int x = uniform(unit, size.width - w - unit);
    const cv::Scalar wall(uniform(60, 200), uniform(60, 200), uniform(60, 200));
    cv::rectangle(photo, cv::Rect(x, horizon - h + unit, w, h), wall, cv::FILLED, cv::LINE_AA);
    const std::array<cv::Point, 3> roof{cv::Point(x - unit / 2, horizon - h + unit),
                                        cv::Point(x + w + unit / 2, horizon - h + unit),
                                        cv::Point(x + w / 2, horizon - h - unit)};
    cv::fillConvexPoly(photo, roof.data(), 3, cv::Scalar(40, 40, uniform(100, 160)), cv::LINE_AA);
  }
  cv::Mat grain(size, CV_16SC3);
  cv::randn(grain, 0, 6);
  cv::Mat wide;
  photo.convertTo(wide, CV_16SC3);
  wide += grain;
  wide.convertTo(photo, CV_8UC3);
  return photo;
}

namespace {

// The photo (BGR, 0..255) as film: each component a fraction 0..1.
cv::Mat asFilm(const cv::Mat& photo, Kind kind) {
  cv::Mat positive;
  photo.convertTo(positive, CV_32FC3, 1.0 / 255);
  cv::Mat film;
  switch (kind) {
    case Kind::colorNegative: {
      // Transmission of the orange mask times the inverted picture, over a
      // fog floor: dense highlights stay orange, never black.
      const cv::Scalar mask(0.30, 0.58, 0.92);  // B, G, R
      cv::Mat inverted = cv::Scalar::all(1.0) - positive;
      film = (inverted * 0.68 + cv::Scalar::all(0.32)).mul(cv::Mat(positive.size(), CV_32FC3, mask));
      break;
    }
    case Kind::bwNegative: {
      cv::Mat grey;
      cv::cvtColor(positive, grey, cv::COLOR_BGR2GRAY);
      cv::Mat fogged = (cv::Scalar::all(1.0) - grey) * 0.3 + cv::Scalar::all(0.2);
      cv::cvtColor(fogged, film, cv::COLOR_GRAY2BGR);
      break;
    }
    case Kind::positivePrint:
      film = positive;
      break;
  }
  return film;
}

cv::Scalar bedColour(Kind kind) {
  switch (kind) {
    case Kind::colorNegative: return cv::Scalar::all(0.06);
    case Kind::bwNegative: return cv::Scalar::all(0.03);
    case Kind::positivePrint: return cv::Scalar::all(0.9);
  }
  return {};
}

}  // namespace

Scan makeScan(const cv::Mat& photo, Kind kind, double tiltDegrees, cv::Size canvas, cv::Rect frame) {
  cv::Mat resized;
  cv::resize(photo, resized, frame.size(), 0, 0, cv::INTER_AREA);
  const cv::Mat film = asFilm(resized, kind);

  // The film placed on the bed through an affine map: a turn about the
  // frame's centre; coverage of each bed pixel comes from a warped mask so
  // that the frame's edges are antialiased.
  const cv::Point2f centre(frame.x + frame.width / 2.0f, frame.y + frame.height / 2.0f);
  cv::Mat transform = cv::getRotationMatrix2D(centre, tiltDegrees, 1.0);
  transform.at<double>(0, 2) += frame.x;
  transform.at<double>(1, 2) += frame.y;
  cv::Mat placed, coverage;
  cv::warpAffine(film, placed, transform, canvas, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
  cv::Mat ones(film.size(), CV_32FC3, cv::Scalar::all(1.0));
  cv::warpAffine(ones, coverage, transform, canvas, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
  cv::Mat bed(canvas, CV_32FC3, bedColour(kind));
  cv::Mat scan = placed + bed.mul(cv::Scalar::all(1.0) - coverage);

  cv::Mat noise(canvas, CV_32FC3);
  cv::randn(noise, 0, 0.006);
  scan += noise;
  Scan result;
  scan.convertTo(result.bgr, CV_8UC3, 255);

  // Truth: the turned frame's corners.
  std::vector<cv::Point2f> corners{{0, 0},
                                   {static_cast<float>(frame.width), 0},
                                   {static_cast<float>(frame.width), static_cast<float>(frame.height)},
                                   {0, static_cast<float>(frame.height)}};
  cv::transform(corners, corners, transform);
  float minX = 1e9f, minY = 1e9f, maxX = -1e9f, maxY = -1e9f;
  for (const auto& p : corners) {
    minX = std::min(minX, p.x);
    minY = std::min(minY, p.y);
    maxX = std::max(maxX, p.x);
    maxY = std::max(maxY, p.y);
  }
  result.x = minX / canvas.width;
  result.y = minY / canvas.height;
  result.width = (maxX - minX) / canvas.width;
  result.height = (maxY - minY) / canvas.height;
  result.angle = tiltDegrees;
  return result;
}

void save(const cv::Mat& picture, const std::string& path, int orientation) {
  cv::Mat stored = picture;
  if (orientation == 6) cv::rotate(picture, stored, cv::ROTATE_90_COUNTERCLOCKWISE);
  cv::Mat rgb;
  if (stored.channels() == 3) cv::cvtColor(stored, rgb, cv::COLOR_BGR2RGB);
  else rgb = stored.clone();
  if (!rgb.isContinuous()) rgb = rgb.clone();
  VipsImage* raw = vips_image_new_from_memory_copy(rgb.data, rgb.total() * rgb.elemSize(), rgb.cols, rgb.rows,
                                                   rgb.channels(), VIPS_FORMAT_UCHAR);
  if (!raw) throw std::runtime_error("vips cannot wrap the picture");
  VipsImage* image = nullptr;
  const VipsInterpretation interpretation =
      rgb.channels() == 1 ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_sRGB;
  if (vips_copy(raw, &image, "interpretation", interpretation, nullptr) != 0) {
    g_object_unref(raw);
    throw std::runtime_error("vips cannot copy the picture");
  }
  g_object_unref(raw);
  if (orientation != 1) vips_image_set_int(image, VIPS_META_ORIENTATION, orientation);
  const int status = vips_image_write_to_file(image, path.c_str(), nullptr);
  g_object_unref(image);
  if (status != 0) throw std::runtime_error("vips cannot write " + path);
}

cv::Mat load(const std::string& path) {
  VipsImage* image = vips_image_new_from_file(path.c_str(), "access", VIPS_ACCESS_SEQUENTIAL, nullptr);
  if (!image) throw std::runtime_error("vips cannot read " + path);
  VipsImage* rgb = nullptr;
  if (vips_extract_band(image, &rgb, 0, "n", std::min(3, image->Bands), nullptr) != 0) {
    g_object_unref(image);
    throw std::runtime_error("vips cannot take the bands of " + path);
  }
  g_object_unref(image);
  std::size_t bytes = 0;
  void* memory = vips_image_write_to_memory(rgb, &bytes);
  const int width = rgb->Xsize, height = rgb->Ysize, bands = rgb->Bands;
  g_object_unref(rgb);
  if (!memory) throw std::runtime_error("vips cannot decode " + path);
  cv::Mat wrapped(height, width, CV_8UC(bands), memory);
  cv::Mat bgr;
  if (bands == 3) cv::cvtColor(wrapped, bgr, cv::COLOR_RGB2BGR);
  else cv::cvtColor(wrapped, bgr, cv::COLOR_GRAY2BGR);
  g_free(memory);
  return bgr;
}

std::string packagedPhoto(const std::string& name, const std::string& package) {
  const std::string command = std::string("'") + ORVAN_SOURCE_DIR + "/bench/sample-photo.sh' '" + name + "' '" +
                              ORVAN_BUILD_DIR + "/sample-photos' '" + package + "' 2>/dev/null";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {};
  std::string path;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe)) path += buffer;
  if (::pclose(pipe) != 0) return {};
  while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
  return path;
}

namespace {

std::string shellQuoted(const std::string& text) {
  std::string result = "'";
  for (char c : text) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return result + "'";
}

}  // namespace

std::string slurp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

Run runProgram(const std::string& program, const std::vector<std::string>& arguments, const std::string& dir,
               const std::string& prefix) {
  std::string command = shellQuoted(std::string(ORVAN_BIN_DIR) + "/" + program);
  for (const auto& argument : arguments) command += " " + shellQuoted(argument);
  command = prefix + command + " >" + shellQuoted(dir + "/stdout") + " 2>" + shellQuoted(dir + "/stderr");
  Run run;
  const int status = std::system(("/bin/sh -c " + shellQuoted(command)).c_str());
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = slurp(dir + "/stdout");
  run.err = slurp(dir + "/stderr");
  return run;
}

}  // namespace scantest
