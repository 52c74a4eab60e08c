// A Gaussian blur of one plane of floats held in memory, as CIGaussianBlur
// blurs each component: the standard deviation in pixels, the same kernels
// (sampled below 8, the recursive filter from 8 up), edges repeated outwards.
// For masks and other one-channel pictures worked on whole, without tiles.
#pragma once

#include <cstddef>
#include <vector>

namespace coreimage {

// Blurs `width` × `height` floats (rows consecutive) in place with standard
// deviation `sigma` (at most 2000); nothing happens for sigma <= 0 or a
// non-finite one. The work is spread over the cores in bands whose results
// do not depend on the split.
void blurPlane(float* plane, std::size_t width, std::size_t height, double sigma);

// The normalised Gaussian of standard deviation sigma (> 0) sampled at
// -reach .. reach, reach = ceil(3 sigma): the kernel used below 8.
std::vector<float> sampledGaussian(double sigma);

}  // namespace coreimage
