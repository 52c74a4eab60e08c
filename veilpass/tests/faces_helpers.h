// What the tests on real faces share: photos from Debian packages with a face
// each, pictures composed from them, the job run in this process (so the
// landmark model loads once), and three detectors to judge the output by:
// ours, dlib's HOG frontal detector and OpenCV's Haar frontal cascade.
#pragma once

#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/opencv.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include <cmath>
#include <cstdio>

#include "json.h"
#include "run_helpers.h"
#include "veilpass.h"

namespace veilpass_test {

struct Photo {
  const char* name;
  const char* package;
  // A face in pixels of the photo (left, top, side), as the independent
  // detectors find it; composed pictures are cut from these.
  int left, top, side;
};

inline const Photo kAstronaut{"astronaut.png", "python3-skimage", 179, 83, 88};
inline const Photo kHopper{"grace_hopper_512x512.jpg", "facedetect", 161, 113, 216};
inline const Photo kPlayer{"basketball1.png", "opencv-doc", 71, 90, 42};
inline const Photo kFootballer{"messi5.jpg", "opencv-doc", 226, 93, 39};
inline const Photo kCameraman{"camera.png", "python3-skimage", 0, 0, 0};

// Face boxes in pixels of a picture, top-left origin, by detector.
struct Detections {
  std::vector<cv::Rect> ours, hog, haar;
  std::vector<cv::Rect> all() const {
    std::vector<cv::Rect> boxes = ours;
    boxes.insert(boxes.end(), hog.begin(), hog.end());
    boxes.insert(boxes.end(), haar.begin(), haar.end());
    return boxes;
  }
};

inline std::string describe(const std::vector<cv::Rect>& boxes) {
  std::string text;
  for (const cv::Rect& r : boxes)
    text += " [" + std::to_string(r.x) + " " + std::to_string(r.y) + " " + std::to_string(r.width) + " " +
            std::to_string(r.height) + "]";
  return text;
}

// Two boxes show the same face when their overlap covers a third of the
// smaller one.
inline bool sameFace(const cv::Rect& a, const cv::Rect& b) {
  return (a & b).area() * 3 >= std::min(a.area(), b.area());
}

class Detectors {
 public:
  Detectors()
      : hog_(dlib::get_frontal_face_detector()),
        haar_("/usr/share/opencv4/haarcascades/haarcascade_frontalface_alt.xml") {}
  bool ready() const { return !haar_.empty(); }

  Detections faces(const std::string& path) {
    Detections found;
    const auto source = imageio::Source::open(path);
    const auto raster = source ? source->decode(imageio::Orientation::applied) : std::nullopt;
    if (!raster) {
      ADD_FAILURE() << "cannot read " << path;
      return found;
    }
    const double w = static_cast<double>(raster->width), h = static_cast<double>(raster->height);
    for (const vision::FaceObservation& face : veilpass::faceObservations(*raster)) {
      const vision::Rect& b = face.boundingBox;
      found.ours.emplace_back(cv::Point(cvRound(b.minX() * w), cvRound((1 - b.maxY()) * h)),
                              cv::Point(cvRound(b.maxX() * w), cvRound((1 - b.minY()) * h)));
    }
    cv::Mat grey = cv::imread(path, cv::IMREAD_GRAYSCALE);
    // Upsampled once, HOG finds faces down to about 40 pixels.
    dlib::array2d<unsigned char> image;
    dlib::assign_image(image, dlib::cv_image<unsigned char>(grey));
    dlib::pyramid_up(image);
    for (const dlib::rectangle& r : hog_(image))
      found.hog.emplace_back(static_cast<int>(r.left() / 2), static_cast<int>(r.top() / 2),
                             static_cast<int>(r.width() / 2), static_cast<int>(r.height() / 2));
    cv::Mat equalized;
    cv::equalizeHist(grey, equalized);
    haar_.detectMultiScale(equalized, found.haar, 1.1, 3, 0, cv::Size(20, 20));
    return found;
  }

 private:
  dlib::frontal_face_detector hog_;
  cv::CascadeClassifier haar_;
};

// One job run in this process: the summary line it printed and the error it
// ended with (code 0 when it succeeded).
struct InProcessRun {
  std::string summary;
  int errorCode = 0;
  std::string error;
};

inline InProcessRun runInProcess(const std::vector<std::string>& arguments) {
  InProcessRun result;
  FILE* out = std::tmpfile();
  try {
    veilpass::run(arguments, out);
  } catch (const veilpass::Error& error) {
    result.errorCode = error.code();
    result.error = error.description();
  } catch (const std::exception& error) {
    result.errorCode = -1;
    result.error = error.what();
  }
  std::rewind(out);
  char buffer[512];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;) result.summary.append(buffer, n);
  std::fclose(out);
  return result;
}

class FacesTest : public ScratchDirectory {
 protected:
  static void SetUpTestSuite() {
    ScratchDirectory::SetUpTestSuite();
    ASSERT_TRUE(imageio::initialize());
  }

  std::string photo(const Photo& p) {
    const std::string path = debianPhoto(p.name, p.package);
    EXPECT_FALSE(path.empty()) << p.name << " from " << p.package;
    return path;
  }

  // A square around the face with room for hair and chin, scaled so that
  // the face is `faceSide` pixels, turned by `degrees`, with alpha.
  VipsPtr faceCrop(const Photo& p, double faceSide, double degrees) {
    auto whole = loadPicture(photo(p));
    VipsImage* out = nullptr;
    if (whole->Bands < 3) {
      vips_colourspace(whole.get(), &out, VIPS_INTERPRETATION_sRGB, nullptr);
      whole = vipsImage(out);
    }
    const int cx = p.left + p.side / 2, cy = p.top + p.side / 2 - p.side / 10;
    const int half = std::min({static_cast<int>(p.side * 0.8), cx, cy, whole->Xsize - cx, whole->Ysize - cy});
    vips_crop(whole.get(), &out, cx - half, cy - half, 2 * half, 2 * half, nullptr);
    auto crop = vipsImage(out);
    vips_resize(crop.get(), &out, faceSide / p.side, "kernel", VIPS_KERNEL_LANCZOS3, nullptr);
    crop = vipsImage(out);
    vips_bandjoin_const1(crop.get(), &out, 255, nullptr);
    crop = vipsImage(out);
    if (degrees != 0) {
      vips_similarity(crop.get(), &out, "angle", degrees, nullptr);
      crop = vipsImage(out);
    }
    return crop;
  }

  // A soft grey-violet gradient with alpha.
  static VipsPtr background(int width, int height) {
    VipsImage* xy = nullptr;
    VipsImage* out = nullptr;
    vips_xyz(&xy, width, height, nullptr);
    auto coordinates = vipsImage(xy);
    vips_linear1(coordinates.get(), &out, 60.0 / (width + height), 110, "uchar", TRUE, nullptr);
    auto two = vipsImage(out);
    vips_bandjoin_const1(two.get(), &out, 150, nullptr);
    auto three = vipsImage(out);
    vips_bandjoin_const1(three.get(), &out, 255, nullptr);
    auto four = vipsImage(out);
    vips_copy(four.get(), &out, "interpretation", VIPS_INTERPRETATION_sRGB, nullptr);
    return vipsImage(out);
  }

  struct Placed {
    const Photo* photo;
    double faceSide, degrees;
  };

  // The faces laid out in shelves from the top-left corner, 20 pixels
  // apart, saved as a PNG.
  std::string composed(const std::string& name, int width, int height, const std::vector<Placed>& faces) {
    VipsPtr picture = background(width, height);
    int x = 20, y = 20, shelf = 0;
    for (const Placed& f : faces) {
      VipsPtr crop = faceCrop(*f.photo, f.faceSide, f.degrees);
      if (x + crop->Xsize + 20 > width) {
        x = 20;
        y += shelf + 20;
        shelf = 0;
      }
      EXPECT_LE(y + crop->Ysize, height) << name << ": no room";
      VipsImage* out = nullptr;
      vips_composite2(picture.get(), crop.get(), &out, VIPS_BLEND_MODE_OVER, "x", x, "y", y, nullptr);
      picture = vipsImage(out);
      x += crop->Xsize + 20;
      shelf = std::max(shelf, crop->Ysize);
    }
    VipsImage* flat = nullptr;
    vips_flatten(picture.get(), &flat, nullptr);
    picture = vipsImage(flat);
    const std::string path = dir_ + "/" + name;
    EXPECT_EQ(vips_image_write_to_file(picture.get(), path.c_str(), nullptr), 0) << vips_error_buffer();
    return path;
  }

  // Each method on the picture. A run either succeeds, and then no detector
  // finds a face in the output JPEG where any of them found one in the
  // input, or it fails with error 11 (its summary line already printed)
  // and writes nothing. Detections elsewhere in the output, where there
  // was no face to begin with, are listed. Returns the runs refused with
  // error 11.
  int hideWithEveryMethod(const std::string& input, std::size_t minimumSourceFaces) {
    const Detections before = detectors_.faces(input);
    const std::vector<cv::Rect> faces = before.all();
    const std::string name = fs::path(input).filename().string();
    std::printf("[ veilpass ] %s before: ours%s; HOG%s; Haar%s\n", name.c_str(), describe(before.ours).c_str(),
                describe(before.hog).c_str(), describe(before.haar).c_str());
    int refused = 0;
    for (const char* method : {"paint", "scratches", "blur"}) {
      SCOPED_TRACE(std::string(method) + " on " + name);
      const std::string out = dir_ + "/out-" + method + ".jpg";
      const InProcessRun r = runInProcess({input, out, method});
      const auto summaryLine = json::parse(r.summary);
      if (!summaryLine || !summaryLine->is_object()) {
        ADD_FAILURE() << r.summary << r.error;
        continue;
      }
      const auto source = (*summaryLine)["sourceFaceCount"].get<std::int64_t>();
      const auto remaining = (*summaryLine)["remainingFaceCount"].get<std::int64_t>();
      EXPECT_GE(source, static_cast<std::int64_t>(minimumSourceFaces));
      std::printf("[ veilpass ] %s %s: %lld faces, %lld remaining%s\n", name.c_str(), method,
                  static_cast<long long>(source), static_cast<long long>(remaining),
                  r.errorCode ? (", error " + std::to_string(r.errorCode)).c_str() : "");
      if (remaining > 0) {
        ++refused;
        EXPECT_EQ(r.errorCode, 11);
        EXPECT_EQ(r.error, "Face detector still finds " + std::to_string(remaining) + " face(s) after anonymization");
        EXPECT_FALSE(fs::exists(out));
        continue;
      }
      if (r.errorCode != 0) {
        ADD_FAILURE() << r.error;
        continue;
      }
      const Detections after = detectors_.faces(out);
      EXPECT_TRUE(after.ours.empty()) << "our detector:" << describe(after.ours);
      for (const auto& [detector, boxes] : {std::pair{"HOG", &after.hog}, std::pair{"Haar", &after.haar}}) {
        for (const cv::Rect& box : *boxes) {
          const bool wasFace = std::any_of(faces.begin(), faces.end(), [&](const cv::Rect& f) { return sameFace(f, box); });
          EXPECT_FALSE(wasFace) << detector << " still finds the face at" << describe({box});
          if (!wasFace)
            std::printf("[ veilpass ] %s %s: %s finds something where no face was:%s\n", name.c_str(), method,
                        detector, describe({box}).c_str());
        }
      }
    }
    return refused;
  }

  Detectors detectors_;
};

}  // namespace veilpass_test
