// The job of one run, in its fixed order: arguments, the upright bitmap, the
// first detection, the faces hidden one after another, the verification,
// the summary, and the JPEG only when no face remains.
//
// Each face is rendered into its own box of the bitmap as soon as it is
// hidden, rather than chained lazily to the next: a blur reads 144 pixels
// around its box, so a lazy chain of blurred neighbours would render every
// earlier face again for each later one, which a crowd makes explosive.
// The pixels are those of the chain, to the rounding of 8-bit storage
// where faces overlap.
#include <future>

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
  const auto source = imageio::Source::open(args.input);
  if (!source) throw Error(ErrorCode::decodeFailed);
  // The face models load on the other core while the picture decodes.
  auto prepared = std::async(std::launch::async, [] { vision::prepareFaceDetection(true); });
  const Bitmap bitmap = normalizedImage(*source);
  prepared.wait();
  const std::int64_t width = bitmap->width, height = bitmap->height;

  const std::vector<vision::FaceObservation> sourceFaces = faceObservations(*bitmap);
  for (const vision::FaceObservation& face : sourceFaces)
    hideFace(bitmap, facePolygon(face, width, height), args.method);

  const std::vector<vision::FaceObservation> remainingFaces = faceObservations(*bitmap);
  const Summary summary{args.method, static_cast<std::int64_t>(remainingFaces.size()),
                        static_cast<std::int64_t>(sourceFaces.size())};
  const std::string line = summaryLine(summary);
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
  if (!remainingFaces.empty()) throw Error(ErrorCode::facesRemain, summary.remainingFaceCount);

  writeFreshJPEG(*bitmap, args.output);
}

}  // namespace veilpass
