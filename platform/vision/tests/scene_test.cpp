// Scene labels (the built-in classifier and a classifier model dropped into
// the model directory) and the feature print on real photographs.
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "test_photos.h"
#include "vision.h"

namespace {

using vision_test::ModelDirectoryOverride;
using vision_test::photo;
using vision_test::picture;
using vision_test::TemporaryDirectory;

TEST(SceneLabels, TheWholeVocabularyHighestFirst) {
  const auto p = picture(photo("coffee.png"));
  const vision::Handler handler(p.image());
  const auto scene = vision::classifyScene(handler);
  EXPECT_EQ(scene.revision, vision::sceneClassifierRevision);
  const std::set<std::string> vocabulary = {"outdoor",        "sky",      "plant",     "water_body",
                                            "snow",           "night_sky", "sunset_sunrise", "document",
                                            "people",         "portrait", "structure", "indoor"};
  std::set<std::string> seen;
  for (std::size_t i = 0; i < scene.labels.size(); ++i) {
    seen.insert(scene.labels[i].identifier);
    EXPECT_GE(scene.labels[i].confidence, 0.0f);
    EXPECT_LE(scene.labels[i].confidence, 1.0f);
    if (i > 0) {
      EXPECT_GE(scene.labels[i - 1].confidence, scene.labels[i].confidence);
    }
  }
  EXPECT_EQ(seen, vocabulary);
}

float confidenceOf(const vision::SceneClassification& scene, const std::string& label) {
  for (const auto& l : scene.labels)
    if (l.identifier == label) return l.confidence;
  return -1;
}

struct SceneCase {
  const char* description;
  std::function<cv::Mat()> make;
  const char* high;  // a label that must reach 0.5
  const char* low;   // a label that must stay below 0.2
};

TEST(SceneLabels, StatisticsTellScenesApart) {
  const SceneCase cases[] = {
      {"a portrait", [] { return photo("astronaut.png"); }, "portrait", "document"},
      {"a cup on a table", [] { return photo("coffee.png"); }, "indoor", "sky"},
      {"blue sky over a meadow",
       [] {
         cv::Mat m(240, 320, CV_8UC3, cv::Scalar(220, 160, 90));
         m(cv::Rect(0, 140, 320, 100)).setTo(cv::Scalar(40, 150, 60));
         cv::randn(m(cv::Rect(0, 140, 320, 100)), cv::Scalar(40, 150, 60), cv::Scalar(20, 30, 20));
         return m;
       },
       "sky", "night_sky"},
      {"a printed page",
       [] {
         cv::Mat m(300, 220, CV_8UC3, cv::Scalar(245, 245, 245));
         for (int line = 0; line < 14; ++line)
           cv::putText(m, "lorem ipsum dolor sit", cv::Point(10, 25 + 19 * line), cv::FONT_HERSHEY_SIMPLEX, 0.45,
                       cv::Scalar(20, 20, 20), 1, cv::LINE_AA);
         return m;
       },
       "document", "plant"},
      {"a dark night",
       [] {
         cv::Mat m(200, 300, CV_8UC3, cv::Scalar(25, 12, 8));
         for (int i = 0; i < 40; ++i) m.at<cv::Vec3b>((i * 37) % 120, (i * 71) % 300) = {250, 250, 250};
         return m;
       },
       "night_sky", "snow"},
  };
  for (const auto& c : cases) {
    const auto p = picture(c.make());
    const vision::Handler handler(p.image());
    const auto scene = vision::classifyScene(handler);
    EXPECT_GE(confidenceOf(scene, c.high), 0.5f) << c.description;
    EXPECT_LT(confidenceOf(scene, c.low), 0.2f) << c.description;
  }
}

// A tiny ONNX model, written out field by field: the mean colour of an
// 8 × 8 RGB picture times ten, as logits for "reddish", "greenish",
// "bluish" (GlobalAveragePool, Flatten, Gemm).
class Protobuf {
 public:
  Protobuf& varint(int field, std::uint64_t value) {
    key(field, 0);
    raw(value);
    return *this;
  }
  Protobuf& bytes(int field, const std::string& value) {
    key(field, 2);
    raw(value.size());
    out_ += value;
    return *this;
  }
  Protobuf& message(int field, const Protobuf& m) { return bytes(field, m.out_); }
  Protobuf& floats(int field, const std::vector<float>& values) {
    std::string packed(values.size() * 4, '\0');
    std::memcpy(packed.data(), values.data(), packed.size());
    return bytes(field, packed);
  }
  const std::string& str() const { return out_; }

 private:
  void key(int field, int wire) { raw(static_cast<std::uint64_t>(field) << 3 | static_cast<std::uint64_t>(wire)); }
  void raw(std::uint64_t v) {
    do {
      out_ += static_cast<char>((v & 0x7f) | (v > 0x7f ? 0x80 : 0));
      v >>= 7;
    } while (v);
  }
  std::string out_;
};

Protobuf tensorType(std::initializer_list<int> dims) {
  Protobuf shape;
  for (int d : dims) shape.message(1, Protobuf().varint(1, static_cast<std::uint64_t>(d)));
  return Protobuf().message(1, Protobuf().varint(1, 1).message(2, shape));
}

Protobuf node(const std::vector<std::string>& inputs, const std::string& output, const std::string& op) {
  Protobuf n;
  for (const auto& in : inputs) n.bytes(1, in);
  return n.bytes(2, output).bytes(3, op + "_node").bytes(4, op);
}

std::string colourModel() {
  Protobuf weights;
  weights.varint(1, 3).varint(1, 3).varint(2, 1).bytes(8, "weights");
  weights.floats(4, {10, 0, 0, 0, 10, 0, 0, 0, 10});
  Protobuf graph;
  graph.message(1, node({"input"}, "pooled", "GlobalAveragePool"));
  graph.message(1, node({"pooled"}, "flat", "Flatten").message(5, Protobuf().bytes(1, "axis").varint(3, 1).varint(20, 2)));
  graph.message(1, node({"flat", "weights"}, "scores", "Gemm"));
  graph.bytes(2, "colours");
  graph.message(5, weights);
  graph.message(11, Protobuf().bytes(1, "input").message(2, tensorType({1, 3, 8, 8})));
  graph.message(12, Protobuf().bytes(1, "scores").message(2, tensorType({1, 3})));
  Protobuf model;
  model.varint(1, 6).bytes(2, "vision-test").message(7, graph).message(8, Protobuf().bytes(1, "").varint(2, 11));
  return model.str();
}

void write(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

TEST(SceneLabels, AClassifierModelInTheModelDirectoryIsUsedInstead) {
  const TemporaryDirectory directory;
  write(directory.path + "/" + vision::sceneModelFile, colourModel());
  write(directory.path + "/" + vision::sceneLabelsFile, "# colour test\nsize 8\nreddish\n\ngreenish\nbluish\n");
  const ModelDirectoryOverride override(directory.path);
  struct Colour {
    cv::Scalar bgr;
    const char* label;
  };
  for (const Colour& c : {Colour{{30, 40, 230}, "reddish"}, Colour{{40, 200, 60}, "greenish"},
                          Colour{{220, 50, 40}, "bluish"}}) {
    const auto p = picture(cv::Mat(40, 60, CV_8UC3, c.bgr));
    const vision::Handler handler(p.image());
    const auto scene = vision::classifyScene(handler);
    EXPECT_EQ(scene.revision, vision::sceneClassifierModelRevision);
    ASSERT_EQ(scene.labels.size(), 3u);
    EXPECT_EQ(scene.labels[0].identifier, c.label);
    float sum = 0;
    for (const auto& l : scene.labels) sum += l.confidence;
    EXPECT_NEAR(sum, 1.0f, 1e-4);  // logits went through a softmax
    EXPECT_GT(scene.labels[0].confidence, 0.9f);
  }
}

struct BrokenClassifier {
  const char* description;
  const char* model;   // nullptr: absent
  const char* labels;  // nullptr: absent
  const char* wrongFile;
};

TEST(SceneLabels, ABrokenClassifierModelIsAnError) {
  const std::string model = colourModel();
  const BrokenClassifier cases[] = {
      {"labels without a model", nullptr, "a\nb\nc\n", vision::sceneModelFile},
      {"a model without labels", model.c_str(), nullptr, vision::sceneLabelsFile},
      {"two labels for three outputs", model.c_str(), "size 8\na\nb\n", vision::sceneModelFile},
      {"a model of garbage", "garbage", "a\nb\nc\n", vision::sceneModelFile},
      {"an empty labels file", model.c_str(), "# nothing\n", vision::sceneLabelsFile},
      {"a bad size line", model.c_str(), "size eight\na\nb\nc\n", vision::sceneLabelsFile},
  };
  for (const auto& c : cases) {
    const TemporaryDirectory directory;
    if (c.model) write(directory.path + "/" + vision::sceneModelFile, c.model);
    if (c.labels) write(directory.path + "/" + vision::sceneLabelsFile, c.labels);
    const ModelDirectoryOverride override(directory.path);
    const auto p = picture(cv::Mat(16, 16, CV_8UC3, cv::Scalar(1, 2, 3)));
    const vision::Handler handler(p.image());
    try {
      vision::classifyScene(handler);
      ADD_FAILURE() << c.description << ": no error";
    } catch (const vision::ModelFileError& e) {
      EXPECT_EQ(e.path(), directory.path + "/" + c.wrongFile) << c.description << ": " << e.what();
    }
  }
}

std::vector<float> normalisedPrint(const cv::Mat& bgr) {
  const auto p = picture(bgr);
  const vision::Handler handler(p.image());
  const auto observation = vision::generateFeaturePrint(handler);
  EXPECT_EQ(observation.elementType, vision::ElementType::float32);
  EXPECT_EQ(observation.elementCount, vision::featurePrintLength);
  EXPECT_EQ(observation.data.size(), static_cast<std::size_t>(vision::featurePrintLength) * 4);
  std::vector<float> v(static_cast<std::size_t>(observation.elementCount));
  std::memcpy(v.data(), observation.data.data(), std::min(observation.data.size(), v.size() * 4));
  double sum = 0;
  for (float x : v) sum += static_cast<double>(x) * x;
  for (float& x : v) x = static_cast<float>(x / std::sqrt(sum));
  return v;
}

double distance(const std::vector<float>& a, const std::vector<float>& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return std::sqrt(sum);
}

struct Variant {
  const char* description;
  std::function<cv::Mat(const cv::Mat&)> make;
};

TEST(FeaturePrint, NearDuplicatesScoreCloserThanUnrelatedPhotos) {
  const char* names[] = {"astronaut.png", "coffee.png", "chelsea.png", "grace_hopper_512x512.jpg"};
  std::vector<std::vector<float>> prints;
  std::vector<cv::Mat> photos;
  for (const char* name : names) {
    photos.push_back(photo(name));
    prints.push_back(normalisedPrint(photos.back()));
  }
  const Variant variants[] = {
      {"re-encoded", [](const cv::Mat& m) {
         std::vector<std::uint8_t> jpeg;
         cv::imencode(".jpg", m, jpeg, {cv::IMWRITE_JPEG_QUALITY, 60});
         return cv::imdecode(jpeg, cv::IMREAD_COLOR);
       }},
      {"resized", [](const cv::Mat& m) {
         cv::Mat r;
         cv::resize(m, r, cv::Size(), 0.4, 0.4, cv::INTER_AREA);
         return r;
       }},
      {"slightly cropped", [](const cv::Mat& m) {
         return m(cv::Rect(m.cols / 20, m.rows / 25, m.cols - m.cols / 10, m.rows - m.rows / 12)).clone();
       }},
      {"brightened", [](const cv::Mat& m) {
         cv::Mat b;
         m.convertTo(b, -1, 1.1, 20);
         return b;
       }},
  };
  for (std::size_t i = 0; i < photos.size(); ++i) {
    double nearestUnrelated = 1e9;
    for (std::size_t j = 0; j < photos.size(); ++j)
      if (j != i) nearestUnrelated = std::min(nearestUnrelated, distance(prints[i], prints[j]));
    for (const auto& v : variants) {
      const double d = distance(prints[i], normalisedPrint(v.make(photos[i])));
      EXPECT_LT(d, nearestUnrelated) << names[i] << " " << v.description;
    }
  }
  // Deterministic.
  EXPECT_EQ(normalisedPrint(photos[0]), prints[0]);
}

TEST(FeaturePrint, ATinyOrFlatPictureStillHasAFullPrint) {
  for (const cv::Size size : {cv::Size(1, 1), cv::Size(3, 40), cv::Size(17, 16)}) {
    const auto p = picture(cv::Mat(size, CV_8UC3, cv::Scalar(90, 90, 90)));
    const vision::Handler handler(p.image());
    const auto observation = vision::generateFeaturePrint(handler);
    ASSERT_EQ(observation.data.size(), static_cast<std::size_t>(vision::featurePrintLength) * 4);
    std::vector<float> v(static_cast<std::size_t>(vision::featurePrintLength));
    std::memcpy(v.data(), observation.data.data(), observation.data.size());
    for (float x : v) EXPECT_TRUE(std::isfinite(x)) << size;
  }
}

}  // namespace
