// The job of one run, in its fixed order: arguments, the upright bitmap, the
// first detection, the faces hidden one after another, the rendering, the
// verification, the summary, and the JPEG only when no face remains.
#include "veilpass.h"

namespace veilpass {

std::vector<vision::FaceObservation> faceObservations(const imageio::Raster& bitmap) {
  const vision::Image image{bitmap.data.data(), bitmap.width, bitmap.height, bitmap.rowBytes(),
                            bitmap.bitsPerComponent};
  const vision::Handler handler(image, 1);
  return vision::detectFaceLandmarks(handler);
}

Arguments parseArguments(const std::vector<std::string>& arguments) {
  if (arguments.size() != 3) throw Error(ErrorCode::usage);
  const auto method = anonymizeMethodNamed(arguments[2]);
  if (!method) throw Error(ErrorCode::usage);
  return {arguments[0], arguments[1], *method};
}

void run(const std::vector<std::string>& arguments, std::FILE* out) {
  const Arguments args = parseArguments(arguments);
  if (!imageio::initialize()) throw Error(ErrorCode::decodeFailed);
  Bitmap bitmap = normalizedImage(args.input);
  const std::int64_t width = bitmap->width, height = bitmap->height;

  const std::vector<vision::FaceObservation> sourceFaces = faceObservations(*bitmap);
  coreimage::Image current = imageOfBitmap(bitmap);
  for (const vision::FaceObservation& face : sourceFaces)
    current = anonymized(current, facePolygon(face, width, height), width, height, args.method);

  const Bitmap rendering = renderedBitmap(current, width, height);
  if (!rendering) throw Error(ErrorCode::verificationRenderFailed);
  // The rendering is the final picture; the source pixels are no longer needed.
  current = {};
  bitmap.reset();

  const std::vector<vision::FaceObservation> remainingFaces = faceObservations(*rendering);
  const Summary summary{args.method, static_cast<std::int64_t>(remainingFaces.size()),
                        static_cast<std::int64_t>(sourceFaces.size())};
  const std::string line = summaryLine(summary);
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
  if (!remainingFaces.empty()) throw Error(ErrorCode::facesRemain, summary.remainingFaceCount);

  writeFreshJPEG(*rendering, args.output);
}

}  // namespace veilpass
