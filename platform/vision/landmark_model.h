// The 68-point landmark model in a form that loads in a fraction of the
// time of dlib's own file (whose every number is decoded one by one).
//
// The fast file holds the same predictor: the mean shape, every regression
// tree's splits and leaves, and each cascade's feature pixels as
// coordinates; dlib rebuilds its anchor encoding from those. The writer
// checks that the rebuilt encoding is bit for bit the one of dlib's file,
// so the two load to the same predictor. The header records the size and
// modification time of the dlib file it was made from: a fast file that
// does not match the dlib file beside it is not used.
//
// Layout (host byte order, written and read on the same machine):
//   "ORVANSP1", u64 source size, i64 source mtime (ns),
//   u32 shape length n, n × f32 mean shape,
//   u32 cascades; per cascade: u32 pixels p, p × (f32 x, f32 y),
//     u32 trees; per tree: u32 splits s, s × (u32 idx1, u32 idx2, f32 thresh),
//     u32 leaves (s + 1), leaves × n × f32.
#pragma once

#include <dlib/image_processing/shape_predictor.h>

#include <memory>
#include <string>

namespace vision::detail {

// Writes the fast form of the dlib model at `source` to `target` (whole or
// not at all). False, with the reason in `problem`, when the model cannot be
// read or its encoding cannot be reproduced exactly.
bool writeFastShapePredictor(const std::string& source, const std::string& target, std::string& problem);

// The predictor of the fast file `fast` made from `source`; null when the
// fast file is missing, made from another file, or malformed (the caller
// then reads `source` itself). Every count is checked against the bytes
// present.
std::unique_ptr<dlib::shape_predictor> readFastShapePredictor(const std::string& fast, const std::string& source);

}  // namespace vision::detail
