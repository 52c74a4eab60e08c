// The 68-point landmark model in a form that loads in a few milliseconds
// rather than the better part of a second (dlib's file decodes each of its
// 16 million numbers one by one, into 120 000 separate allocations).
//
// The fast file holds the same model: the mean shape, each cascade's feature
// pixels (anchor point and offset) and every regression tree's splits and
// leaves. It is mapped read-only and the trees are walked in place; the
// features and the transforms are dlib's own, and the leaves are added in
// dlib's order, so a fit gives dlib's points exactly. The header records the
// size and modification time of the dlib file it was made from: a fast file
// that does not match the dlib file beside it is not used.
//
// Layout (host byte order, written and read on the same machine; every field
// is 4 bytes or a multiple, so each stays aligned in the mapping):
//   "ORVANSP2", u64 source size, i64 source mtime (ns),
//   u32 shape length n, n × f32 mean shape,
//   u32 cascades; per cascade: u32 pixels p, p × (u32 anchor, f32 dx, f32 dy),
//     u32 trees; per tree: u32 splits s, s × (u32 idx1, u32 idx2, f32 thresh),
//     u32 leaves (s + 1, a power of 2), leaves × n × f32.
#pragma once

#include <dlib/image_processing/full_object_detection.h>
#include <dlib/image_processing/shape_predictor.h>
#include <dlib/opencv/cv_image.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vision::detail {

// Writes the fast form of the dlib model at `source` to `target` (whole or
// not at all). False, with the reason in `problem`, when the model cannot be
// read.
bool writeFastShapePredictor(const std::string& source, const std::string& target, std::string& problem);

class FastShapePredictor {
 public:
  // The model of the fast file `fast` made from `source`; null when the fast
  // file is missing, made from another file, or malformed (the caller then
  // reads `source` itself). Every count is checked against the bytes present.
  static std::unique_ptr<FastShapePredictor> open(const std::string& fast, const std::string& source);
  ~FastShapePredictor();

  unsigned long num_parts() const { return static_cast<unsigned long>(initialShape_.size() / 2); }
  // What dlib::shape_predictor gives for the same image and box.
  dlib::full_object_detection operator()(const dlib::cv_image<unsigned char>& image, const dlib::rectangle& box) const;

 private:
  struct Mapping;
  struct Tree {
    const char* splits;  // records of idx1, idx2, thresh
    std::uint32_t splitCount;
    const float* leaves;  // (splitCount + 1) × shape length
  };
  struct Cascade {
    std::vector<unsigned long> anchors;
    std::vector<dlib::vector<float, 2>> deltas;
    std::vector<Tree> trees;
  };
  FastShapePredictor() = default;

  std::unique_ptr<Mapping> mapping_;
  dlib::matrix<float, 0, 1> initialShape_;
  std::vector<Cascade> cascades_;
};

}  // namespace vision::detail
