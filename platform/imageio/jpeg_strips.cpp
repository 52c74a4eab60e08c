// Baseline JPEG compressed in horizontal strips on all cores. Each strip is
// compressed on its own by libjpeg with the same tables; the strips are then
// joined into one scan with restart markers between them. A restart resets
// the DC predictions exactly as a fresh encoder starts, so every block
// decodes to the same pixels as from a single-threaded encoder, and a file
// of one strip is byte for byte what libjpeg writes.
#include "jpeg_strips.h"

#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include <jpeglib.h>

namespace imageio {
namespace {

// Rows per strip: the band height of the renderers that feed the encoder,
// so a strip asks for one band.
constexpr std::int64_t kStripRows = 256;

// The largest restart interval a DRI segment can hold, in MCUs.
constexpr std::int64_t kMaxRestartInterval = 65535;

struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

[[noreturn]] void leave(j_common_ptr info) { std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1); }

void quiet(j_common_ptr) {}

// Compresses `rows` rows of RGBX pixels into a complete JPEG in memory,
// allocated by libjpeg (free it with std::free, also after a failure).
// Only plain locals live here: a libjpeg error jumps out through them.
bool compressStrip(const std::uint8_t* pixels, std::size_t rowBytes, int width, int rows, int quality,
                   bool subsampled, const std::vector<std::uint8_t>* profile, unsigned char** out,
                   unsigned long* size) {
  jpeg_compress_struct info;
  ErrorManager errors;
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = leave;
  errors.base.output_message = quiet;
  if (setjmp(errors.jump)) {
    jpeg_destroy_compress(&info);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, out, size);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(rows);
  info.input_components = 4;
  info.in_color_space = JCS_EXT_RGBX;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  info.write_JFIF_header = FALSE;
  info.optimize_coding = FALSE;
  // Luma at full size; chroma halved both ways unless the quality is high.
  info.comp_info[0].h_samp_factor = info.comp_info[0].v_samp_factor = subsampled ? 2 : 1;
  for (int c = 1; c < 3; ++c) info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
  jpeg_start_compress(&info, TRUE);
  if (profile && !profile->empty())
    jpeg_write_icc_profile(&info, profile->data(), static_cast<unsigned int>(profile->size()));
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(pixels + static_cast<std::size_t>(info.next_scanline) * rowBytes);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return true;
}

std::uint16_t bigEndian16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] << 8 | p[1]); }

}  // namespace

std::optional<JpegLayout> jpegLayout(const std::vector<std::uint8_t>& file) {
  const std::size_t n = file.size();
  if (n < 4 || file[0] != 0xFF || file[1] != 0xD8 || file[n - 2] != 0xFF || file[n - 1] != 0xD9) return std::nullopt;
  JpegLayout layout;
  std::size_t p = 2;
  while (p + 4 <= n) {
    if (file[p] != 0xFF) return std::nullopt;
    const std::uint8_t marker = file[p + 1];
    const std::size_t length = bigEndian16(&file[p + 2]);
    if (length < 2 || p + 2 + length > n) return std::nullopt;
    if (marker == 0xC0) {
      if (length < 8) return std::nullopt;
      layout.frameHeader = p;
    } else if (marker == 0xDA) {
      if (layout.frameHeader == 0) return std::nullopt;
      layout.scanHeader = p;
      layout.entropyData = p + 2 + length;
      layout.end = n - 2;
      return layout;
    }
    p += 2 + length;
  }
  return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> encodeJpegInStrips(const RowSource& source, int quality,
                                                            const std::vector<std::uint8_t>& profile) {
  const bool sixteen = source.bitsPerComponent == 16;
  const bool subsampled = quality < 90;
  const std::int64_t mcu = subsampled ? 16 : 8;
  const std::int64_t mcusPerRow = (source.width + mcu - 1) / mcu;
  if (mcusPerRow > kMaxRestartInterval) return std::nullopt;
  const std::int64_t mcuRows = std::clamp<std::int64_t>(kStripRows / mcu, 1, kMaxRestartInterval / mcusPerRow);
  const std::int64_t stripRows = mcuRows * mcu;
  const std::int64_t strips = (source.height + stripRows - 1) / stripRows;
  const std::size_t producedRowBytes = static_cast<std::size_t>(source.width) * (sixteen ? 8 : 4);
  const std::size_t rgbxRowBytes = static_cast<std::size_t>(source.width) * 4;

  std::vector<std::vector<std::uint8_t>> compressed(static_cast<std::size_t>(strips));
  std::atomic<std::int64_t> next{0};
  std::atomic<bool> failed{false};
  auto worker = [&] {
    std::vector<std::uint8_t> produced, rgbx;
    try {
      produced.resize(producedRowBytes * static_cast<std::size_t>(stripRows));
      if (sixteen) rgbx.resize(rgbxRowBytes * static_cast<std::size_t>(stripRows));
    } catch (const std::bad_alloc&) {
      failed = true;
      return;
    }
    for (std::int64_t i = next++; i < strips && !failed; i = next++) {
      const std::int64_t top = i * stripRows;
      const std::int64_t rows = std::min(stripRows, source.height - top);
      try {
        source.produce(top, rows, produced.data(), producedRowBytes);
      } catch (...) {
        failed = true;
        return;
      }
      const std::uint8_t* pixels = produced.data();
      if (sixteen) {
        // 16 -> 8 bits, to nearest (v / 257).
        const auto count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(source.width) * 4;
        std::uint16_t v;
        for (std::size_t k = 0; k < count; ++k) {
          std::memcpy(&v, produced.data() + 2 * k, sizeof v);
          rgbx[k] = static_cast<std::uint8_t>((static_cast<std::uint32_t>(v) * 2 + 257) / 514);
        }
        pixels = rgbx.data();
      }
      unsigned char* out = nullptr;
      unsigned long size = 0;
      const bool ok = compressStrip(pixels, rgbxRowBytes, static_cast<int>(source.width), static_cast<int>(rows),
                                    quality, subsampled, i == 0 ? &profile : nullptr, &out, &size);
      try {
        if (ok) compressed[static_cast<std::size_t>(i)].assign(out, out + size);
      } catch (const std::bad_alloc&) {
        failed = true;
      }
      std::free(out);
      if (!ok) failed = true;
    }
  };
  const unsigned threads = static_cast<unsigned>(
      std::clamp<std::int64_t>(std::thread::hardware_concurrency(), 1, strips));
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t) {
    try {
      pool.emplace_back(worker);
    } catch (const std::system_error&) {
      break;  // fewer threads: the others take more strips
    }
  }
  worker();
  for (auto& t : pool) t.join();
  if (failed) return std::nullopt;
  if (strips == 1) return std::move(compressed[0]);

  // One file: the first strip's headers with the whole height, a restart
  // interval of one strip, then each strip's entropy-coded data, with
  // RST0..RST7 in turn between them.
  std::vector<JpegLayout> layouts;
  std::size_t total = 6;
  for (const auto& strip : compressed) {
    auto layout = jpegLayout(strip);
    if (!layout) return std::nullopt;
    layouts.push_back(*layout);
    total += strip.size() + 2;
  }
  const std::vector<std::uint8_t>& first = compressed[0];
  const JpegLayout& head = layouts[0];
  std::vector<std::uint8_t> file;
  file.reserve(total);
  file.insert(file.end(), first.begin(), first.begin() + static_cast<std::ptrdiff_t>(head.scanHeader));
  file[head.frameHeader + 5] = static_cast<std::uint8_t>(source.height >> 8);
  file[head.frameHeader + 6] = static_cast<std::uint8_t>(source.height & 0xFF);
  const auto interval = static_cast<std::uint32_t>(mcusPerRow * mcuRows);
  const std::uint8_t restart[] = {0xFF, 0xDD, 0x00, 0x04, static_cast<std::uint8_t>(interval >> 8),
                                  static_cast<std::uint8_t>(interval & 0xFF)};
  file.insert(file.end(), restart, restart + sizeof restart);
  file.insert(file.end(), first.begin() + static_cast<std::ptrdiff_t>(head.scanHeader),
              first.begin() + static_cast<std::ptrdiff_t>(head.end));
  for (std::size_t i = 1; i < compressed.size(); ++i) {
    file.push_back(0xFF);
    file.push_back(static_cast<std::uint8_t>(0xD0 + ((i - 1) & 7)));
    file.insert(file.end(), compressed[i].begin() + static_cast<std::ptrdiff_t>(layouts[i].entropyData),
                compressed[i].begin() + static_cast<std::ptrdiff_t>(layouts[i].end));
  }
  file.push_back(0xFF);
  file.push_back(0xD9);
  return file;
}

}  // namespace imageio
