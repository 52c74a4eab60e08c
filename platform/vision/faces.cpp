// The face detector: an ensemble of BlazeFace networks run over tiles at
// several scales and dlib's HOG frontal face detector, merged by overlap.
//
// Tiling. S is the picture's shorter side. The back network (256 × 256)
// finds faces down to about 8 % of its input reliably, and a face is found
// only where it lies whole inside one input. So the picture is searched at
// four levels:
//   - the whole picture, letterboxed into one square (faces of at least
//     about 8 % of the longer side), also through the front network
//     (128 × 128), which is better at large close faces;
//   - square windows of side S, S / 2 and S / 4, each resized to 256 × 256,
//     laid evenly from edge to edge with at least a quarter of a window
//     overlapping its neighbour. Windows of S are searched only on long
//     pictures (longer side over 1.5625 S): otherwise the letterbox and the
//     S / 2 windows already cover their faces.
// A window of side s finds faces from 0.08 s (the network's limit) up to
// 0.25 s (what a quarter overlap keeps whole in some window), so the levels
// chain: S / 4 windows cover faces of 2 % to 6 % of S, S / 2 windows 4 % to
// 12.5 %, S windows 8 % to 25 %, and the whole picture everything larger.
// Levels whose windows would be under 192 pixels are left out: on a small
// picture the smallest face searched is then about 15 pixels rather than
// 2 % of S. So is a level of more than 128 windows, with the finer ones
// (the S / 4 level of a panorama longer than about 4.7 : 1): the search
// stays bounded, and such a picture's smallest face found is 4 % of S. A
// picture larger than needed is first reduced so that its S / 4 windows
// are about 256 pixels (the network's input): 1024 pixels on the shorter
// side.
// Windows whose grey levels are nearly uniform are skipped (nothing there
// can be a face). Detections that touch a window's inner edge are dropped:
// the face they cut is whole in a neighbouring window.
//
// Merging. All BlazeFace detections of score 0.5 or more, in picture
// pixels, go through one blending suppression (overlap above 0.3). Each
// merged candidate is then looked at again in a standard framing: a square
// window of four times its box side, centred on it, through both networks;
// its verification score is the mean of the two networks' best scores for
// a face centred in that window (front first: below 0.6 there the back
// network is not asked). Tiles magnify textures (fur, foliage) into
// face-like patterns that this second look rejects.
// dlib's detector runs on the picture reduced to a shorter side of at most
// 600 pixels (faces of about 13 % of S and more). A candidate is a face
// when its verification score is at least 0.8, or when a dlib box lies
// over it; its confidence is the larger of its tile score and its
// verification score. A dlib box with no candidate over it is a face of its
// own when its dlib score is at least 0.5 and its verification score at
// least 0.5, or its verification score alone at least 0.8; its confidence
// is the larger of 1 / (1 + e^(-2 · dlib score)) and its verification
// score, its box grown by a ninth about its centre to the network's
// framing.
#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/opencv.h>
#include <opencv2/imgproc.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "blazeface.h"
#include "internal.h"

namespace vision {

namespace detail {

// Workers: one per core, at most four. The networks gain nothing from
// threads of their own at their input size, so the windows are shared out
// between workers instead.
std::size_t workerCount() {
  static const std::size_t count = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4);
  return count;
}

void runInParallel(std::size_t count, const std::function<void(std::size_t, std::size_t)>& job) {
  if (count == 0) return;
  std::atomic<std::size_t> next{0};
  std::mutex failureMutex;
  std::exception_ptr failure;
  const auto work = [&](std::size_t worker) {
    try {
      for (std::size_t i = next++; i < count; i = next++) job(i, worker);
    } catch (...) {
      const std::lock_guard lock(failureMutex);
      if (!failure) failure = std::current_exception();
      next = count;
    }
  };
  const std::size_t helpers = std::min(workerCount(), count) - 1;
  std::vector<std::thread> threads;
  threads.reserve(helpers);
  for (std::size_t w = 1; w <= helpers; ++w) threads.emplace_back(work, w);
  work(0);
  for (auto& t : threads) t.join();
  if (failure) std::rethrow_exception(failure);
}

namespace {

constexpr int backInput = 256;
constexpr int frontInput = 128;
constexpr float candidateScore = 0.5f;
constexpr float acceptedScore = 0.8f;
constexpr float frontVerificationFloor = 0.6f;
constexpr double hogAloneScore = 0.5;
constexpr float hogAloneVerification = 0.5f;
constexpr double verificationFraming = 4.0;
constexpr float mergeOverlap = 0.3f;
constexpr int hogShorterSide = 600;
// Windows below this side (in pixels of the picture) are not searched:
// their faces would be under about 15 pixels, too small to tell.
constexpr int smallestWindow = 192;
// A level of more windows than this (a panorama over about 4.7 : 1 at the
// finest level) is left out with the finer ones: the search of a long
// picture stays bounded, and its smallest face found is larger.
constexpr std::size_t mostWindows = 128;

// The networks, loaded once per process, model path and worker: a network
// runs on one thread at a time, so each worker of the search has its own.
struct Networks {
  std::unique_ptr<blazeface::Network> back;
  std::unique_ptr<blazeface::Network> front;
};

Networks& networks(std::size_t worker) {
  static std::mutex mutex;
  static std::map<std::string, std::map<std::size_t, Networks>> loaded;
  const std::lock_guard lock(mutex);
  const std::string backPath = modelPath(faceBackModelFile);
  const std::string frontPath = modelPath(faceFrontModelFile);
  auto& slot = loaded[backPath + "\n" + frontPath][worker];
  if (!slot.back) {
    Networks fresh;
    fresh.back = std::make_unique<blazeface::Network>(backPath, backInput);
    fresh.front = std::make_unique<blazeface::Network>(frontPath, frontInput);
    slot = std::move(fresh);
  }
  return slot;
}

// Held by a search and by preparation: the networks and dlib's detector are
// shared by every handler of the process, and a network is not safe to use
// from two threads at once.
std::mutex& searching() {
  static std::mutex mutex;
  return mutex;
}

// Runs job(i, networks of the worker) for every i below `count`, on all
// workers (see runInParallel).
void runJobs(std::size_t count, const std::function<void(std::size_t, Networks&)>& job) {
  runInParallel(count, [&](std::size_t i, std::size_t worker) { job(i, networks(worker)); });
}

dlib::frontal_face_detector& hogDetector() {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<dlib::frontal_face_detector>> loaded;
  const std::lock_guard lock(mutex);
  const std::string path = modelPath(hogFaceModelFile);
  auto& slot = loaded[path];
  if (!slot) {
    auto detector = std::make_unique<dlib::frontal_face_detector>();
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
      *detector = dlib::get_frontal_face_detector();
    } else {
      requireModelFile(path);
      try {
        dlib::deserialize(path) >> *detector;
      } catch (const std::exception&) {
        throwDamagedModel(path, "not a dlib face detector");
      }
      if (detector->num_detectors() == 0) throwDamagedModel(path, "no detectors");
    }
    slot = std::move(detector);
  }
  return *slot;
}

// Starts of windows of `side` along an extent, evenly spread from 0 to
// extent − side with steps of at most 0.75 side.
std::vector<int> windowStarts(int extent, int side) {
  if (side >= extent) return {0};
  const int span = extent - side;
  const int steps = static_cast<int>(std::ceil(span / (0.75 * side)));
  std::vector<int> starts;
  for (int i = 0; i <= steps; ++i) starts.push_back(static_cast<int>(std::lround(static_cast<double>(span) * i / steps)));
  return starts;
}

// Candidates are network detections in picture pixels (float precision is
// ample for pixel coordinates).
using Candidate = blazeface::Detection;

bool nearlyUniform(const cv::Mat& bgr) {
  cv::Scalar mean, deviation;
  cv::Mat grey;
  cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
  cv::meanStdDev(grey, mean, deviation);
  return deviation[0] < 4.0;
}

}  // namespace

// The square `window` of `picture` (which may reach past the picture: the
// outside is mid grey) at `size` × `size` pixels. Only the part inside the
// picture is resized, straight into the result, so a window never costs more
// than its reduced size, however large it is in the picture (a letterboxed
// panorama or strip would otherwise take its longer side squared). Empty
// when the window misses the picture.
cv::Mat windowInput(const cv::Mat& picture, const cv::Rect& window, int size) {
  const cv::Rect inside = window & cv::Rect(0, 0, picture.cols, picture.rows);
  if (inside.empty() || window.width <= 0) return {};
  cv::Mat input(size, size, CV_8UC3, cv::Scalar(127, 127, 127));
  const double f = static_cast<double>(size) / window.width;
  // The inside part's edges, rounded in input pixels; at least one pixel.
  const int x0 = std::clamp(static_cast<int>(std::lround((inside.x - window.x) * f)), 0, size - 1);
  const int y0 = std::clamp(static_cast<int>(std::lround((inside.y - window.y) * f)), 0, size - 1);
  const int x1 = std::clamp(static_cast<int>(std::lround((inside.br().x - window.x) * f)), x0 + 1, size);
  const int y1 = std::clamp(static_cast<int>(std::lround((inside.br().y - window.y) * f)), y0 + 1, size);
  cv::Mat target = input(cv::Rect(x0, y0, x1 - x0, y1 - y0));
  cv::resize(picture(inside), target, target.size(), 0, 0, window.width > size ? cv::INTER_AREA : cv::INTER_LINEAR);
  return input;
}

namespace {

// Runs a network on the square `window` of `picture` and maps detections
// back to picture pixels scaled by 1 / `scale`.
void detectInWindow(blazeface::Network& network, const cv::Mat& picture, const cv::Rect& window, double scale,
                    bool dropAtInnerEdges, std::vector<Candidate>& out) {
  const cv::Mat input = windowInput(picture, window, network.inputSize());
  if (input.empty() || nearlyUniform(input)) return;
  const auto found = blazeface::suppress(network.detect(input, candidateScore), mergeOverlap);
  const double margin = 0.01;
  for (const auto& d : found) {
    if (dropAtInnerEdges) {
      const bool cutLeft = d.box.x < margin && window.x > 0;
      const bool cutTop = d.box.y < margin && window.y > 0;
      const bool cutRight = d.box.x + d.box.width > 1 - margin && window.x + window.width < picture.cols;
      const bool cutBottom = d.box.y + d.box.height > 1 - margin && window.y + window.height < picture.rows;
      if (cutLeft || cutTop || cutRight || cutBottom) continue;
    }
    Candidate c;
    const auto toPicture = [&](double x, double y) {
      return cv::Point2f(static_cast<float>((window.x + x * window.width) / scale),
                         static_cast<float>((window.y + y * window.height) / scale));
    };
    c.box = cv::Rect2f(toPicture(d.box.x, d.box.y), toPicture(d.box.x + d.box.width, d.box.y + d.box.height));
    c.score = d.score;
    for (std::size_t p = 0; p < c.keyPoints.size(); ++p) c.keyPoints[p] = toPicture(d.keyPoints[p].x, d.keyPoints[p].y);
    out.push_back(std::move(c));
  }
}

double iou(const cv::Rect2d& a, const cv::Rect2d& b) {
  const double inter = (a & b).area();
  const double uni = a.area() + b.area() - inter;
  return uni > 0 ? inter / uni : 0;
}

// Best score of a face centred in the window (its centre within the middle
// 1 / verificationFraming of the window).
float centredScore(blazeface::Network& network, const cv::Mat& picture, const cv::Rect& window) {
  const cv::Mat input = windowInput(picture, window, network.inputSize());
  if (input.empty()) return 0;
  const float reach = static_cast<float>(0.5 / verificationFraming);
  float best = 0;
  for (const auto& d : network.detect(input, 0.05f)) {
    const float cx = d.box.x + d.box.width / 2, cy = d.box.y + d.box.height / 2;
    if (std::abs(cx - 0.5f) < reach && std::abs(cy - 0.5f) < reach) best = std::max(best, d.score);
  }
  return best;
}

// `picture` is the upright picture scaled by `scale`; `box` is in upright
// pixels.
float verificationScore(Networks& nets, const cv::Mat& picture, double scale, const cv::Rect2d& box) {
  const double side = verificationFraming * std::max(box.width, box.height) * scale;
  const cv::Point2d centre((box.x + box.width / 2) * scale, (box.y + box.height / 2) * scale);
  const int pixels = std::max(1, static_cast<int>(std::lround(side)));
  const cv::Rect window(static_cast<int>(std::lround(centre.x - side / 2)),
                        static_cast<int>(std::lround(centre.y - side / 2)), pixels, pixels);
  const float front = centredScore(*nets.front, picture, window);
  if (front < frontVerificationFloor) return front / 2;
  return (front + centredScore(*nets.back, picture, window)) / 2;
}

// One network run of the search: which network, on which window of the
// reduced picture, and whether detections cut by the window's inner edges
// are dropped.
struct WindowJob {
  bool front = false;
  cv::Rect window;
  bool dropAtInnerEdges = true;
};

// `reduced` is the upright picture scaled by `scale` so that S / 4 windows
// are about the network's input (never enlarged); every search reads it.
std::vector<WindowJob> searchJobs(const cv::Mat& reduced) {
  std::vector<WindowJob> jobs;
  const int shorter = std::min(reduced.cols, reduced.rows);
  const int longer = std::max(reduced.cols, reduced.rows);

  // The whole picture, letterboxed (centred) into a square.
  {
    const int side = longer;
    const cv::Rect square(-(side - reduced.cols) / 2, -(side - reduced.rows) / 2, side, side);
    jobs.push_back({false, square, false});
    jobs.push_back({true, square, false});
  }

  // Windows of S, S / 2 and S / 4.
  for (int level = 0; level < 3; ++level) {
    // Windows of S add nothing to the letterbox unless the picture is long:
    // the letterbox finds faces from 8 % of the longer side, and the S / 2
    // windows keep faces up to 12.5 % of S whole.
    if (level == 0 && 0.08 * longer <= 0.125 * shorter) continue;
    const auto windows = faceWindows(reduced.size(), level);
    if (windows.empty() || windows.size() > mostWindows) break;
    if (level > 0 && windows.front().width < smallestWindow) break;
    for (const cv::Rect& window : windows) jobs.push_back({false, window, true});
  }
  return jobs;
}

struct HogFace {
  cv::Rect2d box;
  double score = 0;
};

// `picture` is the upright picture scaled by `pictureScale`; boxes come back
// in upright pixels.
std::vector<HogFace> hogFaces(const cv::Mat& picture, double pictureScale) {
  const int shorter = std::min(picture.cols, picture.rows);
  const double reduction = std::min(1.0, static_cast<double>(hogShorterSide) / shorter);
  const double scale = reduction * pictureScale;
  cv::Mat grey;
  cv::cvtColor(picture, grey, cv::COLOR_BGR2GRAY);
  grey = reducedBy(grey, reduction);
  dlib::cv_image<unsigned char> image(grey);
  std::vector<dlib::rect_detection> found;
  hogDetector()(image, found, 0.0);
  std::vector<HogFace> faces;
  for (const auto& d : found) {
    const auto& r = d.rect;
    faces.push_back({cv::Rect2d(r.left() / scale, r.top() / scale, (r.width()) / scale, (r.height()) / scale),
                     d.detection_confidence});
  }
  return faces;
}

// A dlib box lies over a BlazeFace box when their overlap is large for
// their different framing: dlib's box is tighter (brows to lips).
bool sameFace(const cv::Rect2d& blaze, const cv::Rect2d& hog) {
  const double inter = (blaze & hog).area();
  const double smaller = std::min(blaze.area(), hog.area());
  const double ratio = std::sqrt(blaze.area() / std::max(hog.area(), 1e-9));
  return smaller > 0 && inter / smaller > 0.5 && ratio > 0.5 && ratio < 2.5;
}

}  // namespace

std::vector<cv::Rect> faceWindows(const cv::Size& picture, int level) {
  const int side = std::max(1, static_cast<int>(std::lround(std::min(picture.width, picture.height) / double(1 << level))));
  std::vector<cv::Rect> windows;
  for (int y : windowStarts(picture.height, side))
    for (int x : windowStarts(picture.width, side)) windows.emplace_back(x, y, side, side);
  return windows;
}

void prepareEnsemble() {
  const std::lock_guard lock(searching());
  for (std::size_t worker = 0; worker < workerCount(); ++worker) {
    Networks& nets = networks(worker);
    nets.back->prepare();
    nets.front->prepare();
  }
  hogDetector();
}

const std::vector<Handler::State::Face>& ensembleFaces(Handler::State& state) {
  if (state.faces) return *state.faces;
  const std::lock_guard lock(searching());
  const cv::Mat& upright = state.upright;
  const double reduction = std::min(1.0, 4.0 * backInput / std::min(upright.cols, upright.rows));
  const cv::Mat reduced = reducedBy(upright, reduction);

  // The search: dlib's detector (the longest single job, so taken first)
  // and every network window, shared out between the workers.
  const auto jobs = searchJobs(reduced);
  std::vector<std::vector<Candidate>> found(jobs.size());
  std::vector<HogFace> hog;
  runJobs(jobs.size() + 1, [&](std::size_t i, Networks& nets) {
    if (i == 0) {
      hog = hogFaces(reduced, reduction);
      return;
    }
    const WindowJob& job = jobs[i - 1];
    detectInWindow(job.front ? *nets.front : *nets.back, reduced, job.window, reduction, job.dropAtInnerEdges,
                   found[i - 1]);
  });
  std::vector<Candidate> candidates;
  for (auto& f : found) candidates.insert(candidates.end(), f.begin(), f.end());
  const auto blaze = blazeface::suppress(std::move(candidates), mergeOverlap);

  // Second looks read from the reduced picture when their square would be
  // larger than the back network's input there, else from the full one.
  const auto verify = [&](const cv::Rect2d& box, Networks& nets) {
    const bool large = verificationFraming * std::max(box.width, box.height) * reduction >= backInput;
    return large ? verificationScore(nets, reduced, reduction, box) : verificationScore(nets, upright, 1.0, box);
  };
  std::vector<float> blazeVerified(blaze.size());
  runJobs(blaze.size(), [&](std::size_t i, Networks& nets) { blazeVerified[i] = verify(blaze[i].box, nets); });

  std::vector<Handler::State::Face> faces;
  std::vector<bool> hogUsed(hog.size(), false);
  for (std::size_t c = 0; c < blaze.size(); ++c) {
    const Candidate& candidate = blaze[c];
    bool confirmed = false;
    for (std::size_t i = 0; i < hog.size(); ++i)
      if (sameFace(candidate.box, hog[i].box)) {
        confirmed = true;
        hogUsed[i] = true;
      }
    const float verified = blazeVerified[c];
    if (verified < acceptedScore && !confirmed) continue;
    faces.push_back({candidate.box, std::max(candidate.score, verified),
                     std::vector<cv::Point2d>(candidate.keyPoints.begin(), candidate.keyPoints.end())});
  }
  // dlib's boxes that no network face covers get a second look of their own
  // (all at once; one covered only by another dlib face is then passed over).
  const auto covered = [&](const cv::Rect2d& box) {
    return std::any_of(faces.begin(), faces.end(), [&](const auto& f) { return iou(f.box, box) > 0.2; });
  };
  std::vector<std::size_t> lonely;
  for (std::size_t i = 0; i < hog.size(); ++i)
    if (!hogUsed[i] && !covered(hog[i].box)) lonely.push_back(i);
  std::vector<float> hogVerified(hog.size(), 0.0f);
  runJobs(lonely.size(), [&](std::size_t i, Networks& nets) { hogVerified[lonely[i]] = verify(hog[lonely[i]].box, nets); });
  for (std::size_t i : lonely) {
    if (covered(hog[i].box)) continue;
    // Alone, dlib's detector also answers weakly on round badges and
    // textures: its face must have a fair score and pass the networks'
    // second look, or pass that look outright.
    const float verified = hogVerified[i];
    const bool accepted = (hog[i].score >= hogAloneScore && verified >= hogAloneVerification) || verified >= acceptedScore;
    if (!accepted) continue;
    const float confidence = std::max(static_cast<float>(1.0 / (1.0 + std::exp(-2.0 * hog[i].score))), verified);
    // dlib frames brows to lips, a tenth tighter than the network's boxes.
    const cv::Rect2d& tight = hog[i].box;
    const cv::Point2d centre(tight.x + tight.width / 2, tight.y + tight.height / 2);
    const cv::Rect2d box(centre.x - tight.width / 1.8, centre.y - tight.height / 1.8, tight.width / 0.9,
                         tight.height / 0.9);
    faces.push_back({box, confidence, std::nullopt});
  }
  // Boxes clipped to the picture; reading order: top to bottom, then left to right.
  const cv::Rect2d all(0, 0, upright.cols, upright.rows);
  for (auto& f : faces) f.box &= all;
  faces.erase(std::remove_if(faces.begin(), faces.end(), [](const auto& f) { return f.box.area() <= 0; }), faces.end());
  std::stable_sort(faces.begin(), faces.end(), [](const auto& a, const auto& b) {
    const double rowA = a.box.y + a.box.height / 2, rowB = b.box.y + b.box.height / 2;
    const double tolerance = std::min(a.box.height, b.box.height) / 2;
    if (std::abs(rowA - rowB) > tolerance) return rowA < rowB;
    return a.box.x < b.box.x;
  });
  state.faces = std::move(faces);
  return *state.faces;
}

}  // namespace detail

namespace {

// Roll from the line through the eye key points; yaw from how far the nose
// tip sits beside the eyes' midpoint: with the nose tip about 0.4 eye
// distances in front of the eyes, yaw = atan(2.5 · offset / eye distance).
void keyPointPose(const std::vector<cv::Point2d>& k, FaceObservation& face) {
  if (k.size() < 3) return;
  const cv::Point2d leftEye = k[0].x <= k[1].x ? k[0] : k[1];
  const cv::Point2d rightEye = k[0].x <= k[1].x ? k[1] : k[0];
  const cv::Point2d across = rightEye - leftEye;
  const double distance = std::hypot(across.x, across.y);
  if (distance < 1e-6) return;
  face.roll = std::atan2(across.y, across.x);
  // The nose offset measured along the eye line.
  const cv::Point2d middle = (leftEye + rightEye) * 0.5;
  const double offset = ((k[2] - middle).dot(across)) / distance;
  face.yaw = std::atan(2.5 * offset / distance);
}

}  // namespace

std::vector<FaceObservation> detectFaceRectangles(const Handler& handler) {
  auto& state = handler.state();
  const auto& faces = detail::ensembleFaces(state);
  std::vector<FaceObservation> out;
  for (const auto& f : faces) {
    FaceObservation o;
    o.boundingBox = detail::normalizedRect(f.box, state.upright.size());
    o.confidence = f.confidence;
    if (f.keyPoints) keyPointPose(*f.keyPoints, o);
    out.push_back(std::move(o));
  }
  return out;
}

}  // namespace vision
