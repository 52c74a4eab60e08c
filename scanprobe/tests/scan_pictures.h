// Film scans made for the tests: a picture (synthetic or a real photograph)
// turned into an orange-masked colour negative, a fogged black-and-white
// negative or left a positive print, laid on a scanner bed, possibly tilted,
// and written with or without an EXIF orientation.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace scantest {

enum class Kind { colorNegative, bwNegative, positivePrint };

// A scan as seen upright, and where its frame lies: the bounding box of the
// (possibly tilted) frame as fractions of the scan, origin top-left, and the
// tilt in degrees (counter-clockwise as seen is positive).
struct Scan {
  cv::Mat bgr;
  double x = 0, y = 0, width = 0, height = 0;
  double angle = 0;
};

// A landscape-like picture: sky, ground, a sun, houses and film grain.
cv::Mat syntheticPhoto(cv::Size size, unsigned seed);

// The photo as film of `kind`, scaled into `frame` of a `canvas`-sized bed,
// turned by `tiltDegrees` about the frame's centre.
Scan makeScan(const cv::Mat& photo, Kind kind, double tiltDegrees, cv::Size canvas, cv::Rect frame);

// Writes the picture (BGR or grey) with libvips. With orientation 6 the
// stored raster is the picture turned a quarter counter-clockwise and the
// file records 6, so that readers turn it back upright. `path` may carry
// saver options ("x.jpg[Q=95]").
void save(const cv::Mat& picture, const std::string& path, int orientation = 1);

// Reads a picture file (BGR) without applying its orientation.
cv::Mat load(const std::string& path);

// The path of a picture shipped in a Debian package, fetched on first use by
// bench/sample-photo.sh into the build tree; empty when it cannot be had.
std::string packagedPhoto(const std::string& name, const std::string& package);

// One run of a program of the build: its exit status and what it wrote.
struct Run {
  int status = -1;
  std::string out, err;
};

// Runs `program` from the build's bin directory with `arguments`, its output
// kept in files under `dir`; `prefix` goes before the command in the shell
// (a ulimit).
Run runProgram(const std::string& program, const std::vector<std::string>& arguments, const std::string& dir,
               const std::string& prefix = "");

// A file's whole contents.
std::string slurp(const std::string& path);

}  // namespace scantest
