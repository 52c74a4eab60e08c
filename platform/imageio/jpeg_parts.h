// Full-size JPEG decoding on two cores, for callers that need the whole
// picture before they use any of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace imageio {

// The file's bytes when it is a JPEG that decodes in parts to the same
// pixels as a plain decode (sequential, 8-bit, three colour components in
// YCbCr or RGB) of width × height; absent otherwise.
std::optional<std::vector<std::uint8_t>> splittableJpeg(const std::string& path, std::int64_t width,
                                                        std::int64_t height);

// Where the upper part ends: the two parts then take about equally long.
std::int64_t jpegSplitRow(std::int64_t height);

// Decodes rows [first, end) into data (row y at data + y × lineBytes) as
// RGBX with X = 255, telling rowsDone (when set) how many of them are done
// now and then. False on any damage, including what libjpeg only warns of.
bool decodeJpegRows(const std::vector<std::uint8_t>& file, std::int64_t first, std::int64_t end,
                    std::uint8_t* data, std::size_t lineBytes, const std::function<void(std::int64_t)>& rowsDone);

}  // namespace imageio
