// Real faces really disappear: on photos from Debian packages and on a group
// picture composed from them, every method leaves nothing that our face
// detector, dlib's HOG frontal detector or OpenCV's Haar frontal cascade
// finds in the output JPEG; or, when the verification still saw a face, the
// run failed with error 11 and wrote nothing.
#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/opencv.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include <cmath>
#include <map>

#include "json.h"
#include "run_helpers.h"
#include "veilpass.h"

namespace {

using namespace veilpass_test;

struct Photo {
  const char* name;
  const char* package;
  // A face in pixels of the photo (left, top, side), as the independent
  // detectors find it; the group picture is cut from these.
  int left, top, side;
};

const Photo kAstronaut{"astronaut.png", "python3-skimage", 179, 83, 88};
const Photo kHopper{"grace_hopper_512x512.jpg", "facedetect", 161, 113, 216};
const Photo kPlayer{"basketball1.png", "opencv-doc", 71, 90, 42};
const Photo kFootballer{"messi5.jpg", "opencv-doc", 226, 93, 39};
const Photo kCameraman{"camera.png", "python3-skimage", 0, 0, 0};

// The two detectors that have nothing to do with ours.
class IndependentDetectors {
 public:
  IndependentDetectors()
      : hog_(dlib::get_frontal_face_detector()),
        haar_("/usr/share/opencv4/haarcascades/haarcascade_frontalface_alt.xml") {}
  bool ready() const { return !haar_.empty(); }

  struct Found {
    std::size_t hog = 0, haar = 0;
  };
  Found faces(const std::string& path) {
    cv::Mat grey = cv::imread(path, cv::IMREAD_GRAYSCALE);
    if (grey.empty()) return {};
    Found found;
    // Upsampled once, HOG finds faces down to about 40 pixels.
    dlib::array2d<unsigned char> image;
    dlib::assign_image(image, dlib::cv_image<unsigned char>(grey));
    dlib::pyramid_up(image);
    found.hog = hog_(image).size();
    cv::Mat equalized;
    cv::equalizeHist(grey, equalized);
    std::vector<cv::Rect> boxes;
    haar_.detectMultiScale(equalized, boxes, 1.1, 3, 0, cv::Size(20, 20));
    found.haar = boxes.size();
    return found;
  }

 private:
  dlib::frontal_face_detector hog_;
  cv::CascadeClassifier haar_;
};

std::size_t ourFaces(const std::string& path) {
  const auto source = imageio::Source::open(path);
  if (!source) return 0;
  const auto raster = source->decode(imageio::Orientation::applied);
  return raster ? veilpass::faceObservations(*raster).size() : 0;
}

class VeilpassFaces : public ScratchDirectory {
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

  // A square around the face with room for hair and chin, turned by
  // `degrees`, scaled so that the face is `faceSide` pixels, with alpha.
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

  // A soft grey-blue gradient of the given size, with alpha.
  VipsPtr background(int width, int height) {
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

  // The faces laid out in shelves from the top-left corner, 20 pixels apart,
  // and saved as a PNG.
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

  // Each method on the picture. A run either succeeds and leaves no face
  // for any of the three detectors, or fails with error 11 and no output.
  // Returns how many runs ended with error 11.
  int hideWithEveryMethod(const std::string& input, std::size_t minimumSourceFaces) {
    int refused = 0;
    for (const char* method : {"paint", "scratches", "blur"}) {
      SCOPED_TRACE(std::string(method) + " on " + input);
      const std::string out = dir_ + "/out-" + method + ".jpg";
      const Outcome r = veilpass({input, out, method});
      const auto summaryLine = json::parse(r.out);
      if (!summaryLine || !summaryLine->is_object()) {
        ADD_FAILURE() << r.out << r.err;
        continue;
      }
      const auto source = (*summaryLine)["sourceFaceCount"].get<std::int64_t>();
      const auto remaining = (*summaryLine)["remainingFaceCount"].get<std::int64_t>();
      EXPECT_GE(source, static_cast<std::int64_t>(minimumSourceFaces));
      std::printf("[ veilpass ] %s %s: %lld faces, %lld remaining, status %d\n", fs::path(input).filename().c_str(),
                  method, static_cast<long long>(source), static_cast<long long>(remaining), r.status);
      if (remaining > 0) {
        ++refused;
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "veilpass: Face detector still finds " + std::to_string(remaining) +
                             " face(s) after anonymization\n");
        EXPECT_FALSE(fs::exists(out));
        continue;
      }
      if (r.status != 0) {
        ADD_FAILURE() << r.err;
        continue;
      }
      EXPECT_EQ(ourFaces(out), 0u);
      const IndependentDetectors::Found found = detectors_.faces(out);
      EXPECT_EQ(found.hog, 0u);
      EXPECT_EQ(found.haar, 0u);
    }
    return refused;
  }

  IndependentDetectors detectors_;
};

TEST_F(VeilpassFaces, RealPhotosKeepNoFace) {
  ASSERT_TRUE(detectors_.ready());
  int refused = 0;
  // The independent detectors see each face before it is hidden, so that
  // their silence afterwards means something.
  for (const Photo* p : {&kAstronaut, &kHopper, &kPlayer, &kFootballer}) {
    const std::string path = photo(*p);
    const IndependentDetectors::Found before = detectors_.faces(path);
    EXPECT_GE(before.hog + before.haar, 1u) << p->name;
    refused += hideWithEveryMethod(path, 1);
  }
  // No detector finds the cameraman's face; whatever ours finds is hidden.
  refused += hideWithEveryMethod(photo(kCameraman), 0);
  std::printf("[ veilpass ] real photos: %d of 15 runs refused with error 11\n", refused);
}

TEST_F(VeilpassFaces, AComposedGroupKeepsNoFace) {
  ASSERT_TRUE(detectors_.ready());
  // 2400 × 1500: faces from 30 pixels (2 % of the shorter side) to 600
  // (40 %), several turned by up to 30 degrees.
  const std::vector<Placed> faces = {
      {&kHopper, 600, 0},       {&kAstronaut, 300, 15},  {&kHopper, 200, -30},  {&kAstronaut, 150, 30},
      {&kHopper, 120, -20},     {&kPlayer, 100, 0},       {&kFootballer, 80, -10}, {&kPlayer, 70, 10},
      {&kAstronaut, 60, 0},     {&kHopper, 45, 20},       {&kPlayer, 40, 0},     {&kAstronaut, 35, -25},
      {&kFootballer, 30, 0},
  };
  const std::string group = composed("group.png", 2400, 1500, faces);
  const IndependentDetectors::Found before = detectors_.faces(group);
  std::printf("[ veilpass ] group before: %zu HOG, %zu Haar faces\n", before.hog, before.haar);
  const int refused = hideWithEveryMethod(group, faces.size() * 9 / 10);
  std::printf("[ veilpass ] group: %d of 3 runs refused with error 11\n", refused);
}

TEST_F(VeilpassFaces, FiftyFacesInOnePhoto) {
  std::vector<Placed> faces;
  const Photo* sources[] = {&kAstronaut, &kHopper, &kPlayer, &kFootballer};
  for (int i = 0; i < 50; ++i) faces.push_back({sources[i % 4], 70.0 + (i % 5) * 6, 0});
  const std::string crowd = composed("crowd.png", 1900, 1250, faces);
  const Outcome r = veilpass({crowd, dir_ + "/crowd.jpg", "paint"});
  const auto summaryLine = json::parse(r.out);
  ASSERT_TRUE(summaryLine && summaryLine->is_object()) << r.out << r.err;
  const auto source = (*summaryLine)["sourceFaceCount"].get<std::int64_t>();
  std::printf("[ veilpass ] fifty faces: %lld found, status %d, %ld MB at peak\n", static_cast<long long>(source),
              r.status, r.peakKilobytes / 1024);
  EXPECT_GE(source, 45);
  EXPECT_LT(r.peakKilobytes, 1024 * 1024);
  if (r.status == 0) {
    const IndependentDetectors::Found found = detectors_.faces(dir_ + "/crowd.jpg");
    EXPECT_EQ(found.hog + found.haar, 0u);
  } else {
    EXPECT_FALSE(fs::exists(dir_ + "/crowd.jpg"));
  }
}

}  // namespace
