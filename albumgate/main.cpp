// albumgate: one command on the photo library per process.

#include <charconv>
#include <string>
#include <vector>

#include "albumgate.h"
#include "commands.h"

namespace {

using namespace albumgate;

const char generalUsage[] =
    "Usage: albumgate <albums|album-info|album-assets|export-batch|assets-info|export-assets|import-files|"
    "existing-assets> ...";

// A base-10 signed 64-bit integer: an optional sign and one or more digits.
std::optional<std::int64_t> parseIndex(const std::string& text) {
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty() || digits[0] < '0' || digits[0] > '9') return std::nullopt;
  // Parse with the sign so that the most negative value fits.
  const std::string signedDigits = (negative ? "-" : "") + std::string(digits);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(signedDigits.data(), signedDigits.data() + signedDigits.size(), value);
  if (error != std::errc() || end != signedDigits.data() + signedDigits.size()) return std::nullopt;
  return value;
}

// The album named by the command's one argument; a wrong count or an album
// that cannot be found both fail with the command's usage message.
photos::Collection requireAlbum(const std::vector<std::string>& args, const char* usage) {
  if (args.size() != 3) fail(usage);
  auto collection = collectionFor(args[2]);
  if (!collection) fail(usage);
  return std::move(*collection);
}

int exportStatus(const ExportBatchResult& result) { return result.failures.empty() ? 0 : 2; }

int run(const std::vector<std::string>& args) {
  if (args.size() < 2) fail(generalUsage);
  requirePhotoAccess();
  const std::string& command = args[1];

  if (command == "albums") {
    writeJson(toJson(AlbumList{albumRows()}));
    return 0;
  }
  if (command == "album-info") {
    writeJson(toJson(albumInfo(requireAlbum(args, "Usage: albumgate album-info <album-id>"))));
    return 0;
  }
  if (command == "album-assets") {
    writeJson(albumAssets(requireAlbum(args, "Usage: albumgate album-assets <album-id>")));
    return 0;
  }
  if (command == "export-batch") {
    const char usage[] = "Usage: albumgate export-batch <album-id> <start-index> <end-index> <output-dir>";
    if (args.size() != 6) fail(usage);
    const auto start = parseIndex(args[3]);
    const auto end = parseIndex(args[4]);
    if (!start || !end) fail(usage);
    const ExportBatchResult result = exportBatch(args[2], *start, *end, args[5]);
    writeJson(toJson(result));
    return exportStatus(result);
  }
  if (command == "assets-info") {
    if (args.size() < 3) fail("Usage: albumgate assets-info <local-identifier>...");
    writeJson(assetsInfo({args.begin() + 2, args.end()}));
    return 0;
  }
  if (command == "export-assets") {
    if (args.size() < 4) fail("Usage: albumgate export-assets <output-dir> <local-identifier>...");
    const ExportBatchResult result = exportAssets({args.begin() + 3, args.end()}, args[2]);
    writeJson(toJson(result));
    return exportStatus(result);
  }
  if (command == "import-files") {
    if (args.size() != 3) fail("Usage: albumgate import-files <json-request>");
    const auto decoded = decodeImportFilesRequest(args[2]);
    if (!decoded.request) fail("Cannot decode PhotoKit import request: " + decoded.error);
    writeJson(toJson(importFiles(*decoded.request)));
    return 0;
  }
  if (command == "existing-assets") {
    if (args.size() != 3) fail("Usage: albumgate existing-assets <json-request>");
    const auto decoded = decodeExistingAssetsRequest(args[2]);
    if (!decoded.request) fail("Cannot decode PhotoKit existing-assets request: " + decoded.error);
    writeJson(toJson(existingAssetsResult(decoded.request->identifiers)));
    return 0;
  }
  fail("Unknown albumgate command: " + command);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(std::vector<std::string>(argv, argv + argc));
  } catch (const photos::Error& error) {
    fail(error.what());
  } catch (const std::exception& error) {
    fail(std::string("PhotoKit failed: ") + error.what());
  }
}
