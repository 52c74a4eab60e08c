// Baseline JPEG decoded in two parts at once. The entropy-coded data can
// only be read from the start, but libjpeg skips rows for a fraction of the
// cost of decoding them: one decoder decodes the top rows while a second
// skips them and decodes the rest. With the split at 5/8 of the height both
// end at about the same time, 5/8 of a single decoder's time.
#include "jpeg_parts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace imageio {
namespace {

struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  bool warned;
};

[[noreturn]] void leave(j_common_ptr info) { std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1); }

// Warnings (corrupt or truncated data that libjpeg would paper over) fail
// the decode, as they do for every other JPEG decode here.
void noteWarning(j_common_ptr info, int level) {
  if (level < 0) reinterpret_cast<ErrorManager*>(info->err)->warned = true;
}

void quiet(j_common_ptr) {}

void reportErrorsTo(jpeg_decompress_struct& info, ErrorManager& errors) {
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = leave;
  errors.base.emit_message = noteWarning;
  errors.base.output_message = quiet;
  errors.warned = false;
}

// Creates the decompressor over the file's bytes and reads the header. A
// libjpeg error jumps from here to the caller's setjmp: only plain locals.
bool readHeader(jpeg_decompress_struct& info, const std::vector<std::uint8_t>& file) {
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, file.data(), static_cast<unsigned long>(file.size()));
  return jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK;
}

// Rows [first, end) of the picture into `data` (row y at data + y ×
// lineBytes) as RGBX with X = 255. `rowsDone` is told the count of rows
// decoded so far, now and then. Only plain locals live here: a libjpeg
// error jumps out through them.
bool decodeRowsOf(const std::vector<std::uint8_t>& file, std::int64_t first, std::int64_t end, std::uint8_t* data,
                  std::size_t lineBytes, const std::function<void(std::int64_t)>* rowsDone) {
  jpeg_decompress_struct info;
  ErrorManager errors;
  reportErrorsTo(info, errors);
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  if (!readHeader(info, file)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  info.out_color_space = JCS_EXT_RGBX;
  info.dct_method = JDCT_ISLOW;
  jpeg_start_decompress(&info);
  if (static_cast<std::int64_t>(info.output_height) < end || info.output_components != 4) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  if (first > 0 && static_cast<std::int64_t>(jpeg_skip_scanlines(&info, static_cast<JDIMENSION>(first))) != first) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  std::int64_t row = first, told = first;
  while (row < end && !errors.warned) {
    JSAMPROW rows[16];
    const std::int64_t want = std::min<std::int64_t>(16, end - row);
    for (std::int64_t i = 0; i < want; ++i) rows[i] = data + static_cast<std::size_t>(row + i) * lineBytes;
    const JDIMENSION got = jpeg_read_scanlines(&info, rows, static_cast<JDIMENSION>(want));
    if (got == 0) break;
    row += got;
    if (rowsDone && row - told >= 64) {
      (*rowsDone)(row - first);
      told = row;
    }
  }
  // The lower part reads on to the end of the data, where a truncated or
  // damaged file tells.
  if (row == end && end == static_cast<std::int64_t>(info.output_height) && !errors.warned)
    jpeg_finish_decompress(&info);
  const bool ok = row == end && !errors.warned;
  jpeg_destroy_decompress(&info);
  return ok;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> splittableJpeg(const std::string& path, std::int64_t width,
                                                        std::int64_t height) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st;
  std::vector<std::uint8_t> bytes;
  bool read = ::fstat(fd, &st) == 0 && st.st_size > 0 && st.st_size < (std::int64_t{1} << 31);
  if (read) {
    bytes.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    read = done == bytes.size();
  }
  ::close(fd);
  if (!read) return std::nullopt;

  // Only what a plain decode gives the same pixels for: baseline or
  // extended sequential 8-bit colour in YCbCr or RGB, of the opened size.
  jpeg_decompress_struct info;
  ErrorManager errors;
  reportErrorsTo(info, errors);
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&info);
    return std::nullopt;
  }
  const bool fits = readHeader(info, bytes) && !info.progressive_mode &&
                    !info.arith_code && info.data_precision == 8 && info.num_components == 3 &&
                    (info.jpeg_color_space == JCS_YCbCr || info.jpeg_color_space == JCS_RGB) &&
                    static_cast<std::int64_t>(info.image_width) == width &&
                    static_cast<std::int64_t>(info.image_height) == height && !errors.warned;
  jpeg_destroy_decompress(&info);
  if (!fits) return std::nullopt;
  return bytes;
}

std::int64_t jpegSplitRow(std::int64_t height) {
  // On a row of 16, the tallest row group, so the lower decoder starts on
  // a whole group.
  return height * 5 / 8 / 16 * 16;
}

bool decodeJpegRows(const std::vector<std::uint8_t>& file, std::int64_t first, std::int64_t end,
                    std::uint8_t* data, std::size_t lineBytes, const std::function<void(std::int64_t)>& rowsDone) {
  if (first < 0 || end <= first) return false;
  return decodeRowsOf(file, first, end, data, lineBytes, rowsDone ? &rowsDone : nullptr);
}

}  // namespace imageio
