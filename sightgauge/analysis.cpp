// The default report: scene labels, the normalised feature print, people
// and face counts from the recognisers, and the pixel profile.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <future>
#include <new>
#include <optional>

#include "reports.h"

namespace sightgauge {

std::vector<Classification> keptClassifications(const std::vector<vision::Classification>& labels) {
  std::vector<Classification> kept;
  for (const vision::Classification& label : labels) {
    if (kept.size() == maximumLabels) break;
    if (label.confidence >= minimumLabelConfidence) kept.push_back({label.identifier, label.confidence});
  }
  return kept;
}

std::vector<float> normalizedEmbedding(const vision::FeaturePrintObservation& print) {
  if (print.elementCount < 1) return {};
  const std::uint64_t count = static_cast<std::uint64_t>(print.elementCount);
  std::vector<float> values;
  if (print.elementType == vision::ElementType::float32) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(print.data.size() / 4, count));
    values.resize(n);
    if (n > 0) std::memcpy(values.data(), print.data.data(), n * sizeof(float));
  } else if (print.elementType == vision::ElementType::float64) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(print.data.size() / 8, count));
    values.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      double value;
      std::memcpy(&value, print.data.data() + i * sizeof(double), sizeof value);
      values[i] = static_cast<float>(value);
    }
  }
  float sum = 0;
  for (float value : values) sum += value * value;
  if (sum > 0) {
    const float length = std::sqrt(sum);
    for (float& value : values) value = std::clamp(value / length, -1.0f, 1.0f);
  }
  return values;
}

json::Value toJson(const VisionAnalysis& analysis) {
  json::Value labels = json::Value::array();
  for (const Classification& kept : analysis.classifications) {
    json::Value entry = json::Value::object();
    entry["label"] = kept.label;
    entry["confidence"] = static_cast<double>(kept.confidence);
    labels.push_back(std::move(entry));
  }
  json::Value embedding = json::Value::array();
  for (float value : analysis.embedding) embedding.push_back(shortFloat(value));
  json::Value out = json::Value::object();
  out["classifierRevision"] = analysis.classifierRevision;
  out["featurePrintRevision"] = analysis.featurePrintRevision;
  out["classifications"] = std::move(labels);
  out["humanCount"] = analysis.humanCount;
  out["faceCount"] = analysis.faceCount;
  out["embedding"] = std::move(embedding);
  out["pixelProfile"] = toJson(analysis.pixelProfile);
  return out;
}

void runAnalysis(const std::string& path) {
  const auto source = openImage(path);
  const int orientation = imageOrientation(source->properties());
  // The pixel profile reads the file on its own (two reduced decodes), so it
  // runs beside the full decode and the recognisers, from a source of its
  // own. Every path below waits for it before the process ends.
  std::future<std::optional<PixelProfile>> profileTask =
      std::async(std::launch::async, [&path]() -> std::optional<PixelProfile> {
        try {
          const auto own = imageio::Source::open(path);
          if (own) return pixelProfile(*own);
        } catch (const std::exception&) {
        }
        return std::nullopt;  // read again below, from the main source
      });
  const auto finishProfile = [&] { return profileTask.valid() ? profileTask.get() : std::nullopt; };

  VisionAnalysis analysis;
  vision::SceneClassification scene;
  vision::FeaturePrintObservation print;
  std::string failure;
  {
    std::optional<imageio::Raster> raster;
    try {
      raster = source->decode(imageio::Orientation::stored, {.maxPixels = maxPixels});
    } catch (const std::bad_alloc&) {
      raster.reset();
    }
    if (!raster || raster->width < 1 || raster->height < 1) {
      finishProfile();
      fail("Cannot decode image: " + absolutePath(path));
    }
    try {
      // The recognisers share one handler, so the picture is turned upright once.
      const vision::Handler handler(
          {raster->data.data(), raster->width, raster->height, raster->rowBytes(), raster->bitsPerComponent},
          orientation);
      raster.reset();  // the handler keeps its own upright copy
      scene = vision::classifyScene(handler);
      print = vision::generateFeaturePrint(handler);
      analysis.humanCount = static_cast<std::int64_t>(vision::detectHumanRectangles(handler).size());
      analysis.faceCount = static_cast<std::int64_t>(vision::detectFaceRectangles(handler).size());
    } catch (const std::bad_alloc&) {
      failure = "Apple Vision analysis failed: Not enough memory to analyse the image.";
    } catch (const std::exception& error) {
      failure = std::string("Apple Vision analysis failed: ") + error.what();
    }
  }
  std::optional<PixelProfile> profile = finishProfile();
  if (!failure.empty()) fail(failure);
  analysis.classifications = keptClassifications(scene.labels);
  if (print.data.empty() && print.elementCount == 0) fail("Apple Vision did not return an image feature print.\n");
  analysis.embedding = normalizedEmbedding(print);
  if (analysis.embedding.empty()) fail("Apple Vision returned an empty image feature print.\n");
  analysis.classifierRevision = scene.revision;
  analysis.featurePrintRevision = vision::featurePrintRevision;
  // The profile describes the stored raster, orientation not applied.
  analysis.pixelProfile = profile ? std::move(*profile) : pixelProfile(*source);

  const Encoded encoded = encodeRecord(toJson(analysis));
  if (!encoded.text) fail("Cannot encode Apple Vision response: " + encoded.problem);
  writeOutput(*encoded.text);
}

}  // namespace sightgauge
