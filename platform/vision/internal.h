// Internals shared by the recognisers of this library: the handler's state
// (the upright picture and the results several requests share), model paths
// and the conversions between pixel and normalised coordinates.
#pragma once

#include <opencv2/core.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "vision.h"

namespace vision {

struct Handler::State {
  cv::Mat upright;  // 8-bit BGR, the picture with its orientation applied
  cv::Mat grey;     // 8-bit grey of `upright`, made on first use

  // Faces found by the ensemble, in pixel coordinates of `upright`; filled by
  // the first face request and reused by the others.
  struct Face {
    cv::Rect2d box;        // top-left origin, pixels
    float confidence = 0;
    // Six points from the neural detector (eyes, nose tip, mouth, ears as
    // seen in the picture: left eye first), when it found this face.
    std::optional<std::vector<cv::Point2d>> keyPoints;
  };
  std::optional<std::vector<Face>> faces;
  // The same faces with the landmark fit (68 points each), filled by the
  // first landmark request.
  std::optional<std::vector<FaceObservation>> faceLandmarks;
  std::optional<std::vector<FaceObservation>> faceQuality;

  const cv::Mat& greyPicture();
};

namespace detail {

// The full path of a file in the model directory.
std::string modelPath(const char* fileName);
// Throws ModelFileError("Model file is missing: ...") unless `path` is a
// readable regular file.
void requireModelFile(const std::string& path);
// ModelFileError("Model file is damaged: <path> (<reason>)").
[[noreturn]] void throwDamagedModel(const std::string& path, const std::string& reason);

// A pixel rectangle of the upright picture (top-left origin) as a normalised
// box (bottom-left origin, y up), and back.
Rect normalizedRect(const cv::Rect2d& pixels, const cv::Size& size);
cv::Rect2d pixelRect(const Rect& normalized, const cv::Size& size);

// A block of at least `bytes` (rounded up to whole 2 MiB pages, the size
// returned in `bytes`), aligned to 2 MiB and asked for huge pages, so that
// first touching it costs a few page faults rather than thousands; free()
// releases it. Null when memory runs out.
void* hugePageBlock(std::size_t& bytes);

// An unwritten picture of that size and type. Large ones are on huge pages
// where the system has them, and their memory is kept for the next large
// picture when they are released (see handler.cpp).
cv::Mat freshPicture(int rows, int cols, int type);

// `picture` scaled by `scale` with area averaging, each side at least one
// pixel (a long strip reduced by its longer side keeps a row); `picture`
// itself when `scale` is 1 or more.
cv::Mat reducedBy(const cv::Mat& picture, double scale);

// The square search windows of one tiling level (0: side = the shorter
// side, 1: half of it, 2: a quarter) over a picture of that size.
std::vector<cv::Rect> faceWindows(const cv::Size& picture, int level);

// The square `window` of `picture` (it may reach past the picture; the
// outside is mid grey) resized to `size` × `size`, never copied at its own
// size. Empty when the window misses the picture.
cv::Mat windowInput(const cv::Mat& picture, const cv::Rect& window, int size);

// The number of workers parallel work is shared between (one per core, at
// most four).
std::size_t workerCount();
// Runs job(i, worker) for every i below `count`, on all workers; the calling
// thread is worker 0. Each job must write only its own result, so that the
// outcome does not depend on which worker ran it. The first error is
// rethrown once every worker has stopped.
void runInParallel(std::size_t count, const std::function<void(std::size_t, std::size_t)>& job);

// Faces of the ensemble for this handler (detected on first use).
const std::vector<Handler::State::Face>& ensembleFaces(Handler::State& state);
// Loads the ensemble's networks (every worker's) and dlib's detector; throws
// as a search would.
void prepareEnsemble();

}  // namespace detail
}  // namespace vision
