// The request protocol: reading the request, the batch runner, the error
// object, and the output routines with their size cap.

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include <openssl/evp.h>
#include <sys/stat.h>

#include "treeclerk.h"

namespace treeclerk {

namespace {

const json::WriteOptions outputOptions{.keyOrder = json::KeyOrder::declared,
                                       .invalidUtf8 = json::InvalidUtf8::escape};

Failure noRequest() { return {"EINVAL", "treeclerk: brak żądania JSON"}; }

constexpr std::size_t maxRequestDepth = 512;

// Names are bytes: a byte that is not part of valid UTF-8 travels as a lone
// surrogate escape \udcXX, in answers and in requests alike.
const json::ParseOptions requestOptions{.requireContainer = false, .maxDepth = maxRequestDepth,
                                        .byteEscapes = true};

json::Value parseRequest(std::string_view text) {
  auto parsed = json::parse(text, requestOptions);
  if (!parsed) throw PlatformError(json::describeParseFailure(text, requestOptions));
  return std::move(*parsed);
}

// The code and message of any error the operations raise.
Failure describe(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const Failure& failure) {
    return failure;
  } catch (const std::exception& other) {
    return {"EIO", other.what()};
  } catch (...) {
    return {"EIO", "unknown error"};
  }
}

std::string errorObjectText(const Failure& failure) {
  json::Value object = json::Value::object();
  object["code"] = failure.code;
  object["message"] = failure.message;
  return json::write(object, outputOptions).value_or("{\"code\":\"EIO\",\"message\":\"\"}");
}

const std::string& batchableOperation(const std::string& name) {
  static const std::string none;
  static const std::string names[] = {"exists", "stat",   "lstat", "readlink", "statfs",
                                      "realpath", "readdir", "read", "sha256", "mkdir",
                                      "rm",     "rename", "utimes", "chmod", "fsync"};
  for (const auto& candidate : names) {
    if (candidate == name) return candidate;
  }
  return none;
}

// A batch runs a "read" itself only when it yields at most 1 MiB.
bool readTooLargeForBatch(const json::Value& request) {
  const auto path = request.find("path");
  std::string file;
  if (path != request.end() && path->is_string()) file = path->get<std::string>();
  if (file.find('\0') != std::string::npos) return false;  // the read refuses it itself

  std::int64_t offset = 0;
  try {
    offset = jsonInt(request, "offset", 0);
  } catch (const Failure&) {
    offset = 0;
  }
  std::optional<std::int64_t> length;
  if (request.contains("length")) {
    try {
      length = jsonInt(request, "length", 0);
    } catch (const Failure&) {
      length.reset();
    }
  }
  struct stat info;
  if (::stat(file.c_str(), &info) != 0) return false;
  const std::int64_t size = info.st_size;
  const std::int64_t remaining = offset >= size ? 0 : size - offset;
  const std::int64_t expected = length ? std::min(remaining, *length) : remaining;
  return expected > batchItemLimitBytes;
}

std::string base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                      reinterpret_cast<const unsigned char*>(bytes.data()),
                                      static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(written));
  return out;
}

bool isValidUtf8(const std::string& bytes) {
  return json::write(json::Value(bytes), {.invalidUtf8 = json::InvalidUtf8::fail}).has_value();
}

json::Value deferred() { return json::Value::object({{"deferred", true}}); }

}  // namespace

std::string errnoName(int error) {
  switch (error) {
    case EPERM: return "EPERM";
    case ENOENT: return "ENOENT";
    case E2BIG: return "E2BIG";
    case EACCES: return "EACCES";
    case EEXIST: return "EEXIST";
    case EXDEV: return "EXDEV";
    case ENOTDIR: return "ENOTDIR";
    case EISDIR: return "EISDIR";
    case EINVAL: return "EINVAL";
    case ENOSPC: return "ENOSPC";
    case EROFS: return "EROFS";
    case ENOTEMPTY: return "ENOTEMPTY";
    default: return "EIO";
  }
}

Failure fail(std::string_view call, std::string_view path, int error) {
  // The program never changes its locale, so strerror speaks the C locale.
  std::string name = errnoName(error);
  std::string message = name;
  message += ": ";
  message += std::strerror(error);
  message += ", ";
  message += call;
  message += " '";
  message += path;
  message += "'";
  return {std::move(name), std::move(message)};
}

Failure fail(std::string_view call, std::string_view path) { return fail(call, path, errno); }

std::int64_t jsonInt(const json::Value& request, const char* key, std::int64_t fallback) {
  const auto found = request.find(key);
  if (found == request.end()) return fallback;
  const json::Value& value = *found;
  const Failure invalid{"EINVAL", std::string("EINVAL: niepoprawna wartość ") + key};
  if (!value.is_number()) throw invalid;  // Booleans are not numbers here
  const double number = value.get<double>();
  constexpr double twoTo63 = 9223372036854775808.0;
  if (!std::isfinite(number) || std::trunc(number) != number || number < 0 || number > twoTo63) {
    throw invalid;
  }
  constexpr auto largest = std::numeric_limits<std::int64_t>::max();
  if (value.is_number_unsigned()) {
    const auto whole = value.get<std::uint64_t>();
    return whole > static_cast<std::uint64_t>(largest) ? largest : static_cast<std::int64_t>(whole);
  }
  if (value.is_number_integer()) return value.get<std::int64_t>();
  // 2^63 itself has no signed 64-bit form; it is held as the largest value.
  return number >= twoTo63 ? largest : static_cast<std::int64_t>(number);
}

void writeOut(std::string_view bytes, Session& session) {
  if (session.captureBuffer) {
    session.captureBuffer->append(bytes);
  } else {
    session.streams.writeStandardOutput(bytes);
  }
}

void writeJSON(const json::Value& value, Session& session) {
  auto text = json::write(value, outputOptions);
  if (!text) throw PlatformError("the result cannot be written as JSON");
  if (!session.captureBuffer && text->size() > maxJSONBytes) {
    throw Failure{"E2BIG", "E2BIG: odpowiedź narzędzia plikowego przekracza 8 MB"};
  }
  writeOut(*text, session);
}

void runBatch(const json::Value& request, Session& session) {
  const auto ops = request.find("ops");
  bool valid = ops != request.end() && ops->is_array();
  if (valid) {
    for (const auto& op : *ops) valid = valid && op.is_object();
  }
  if (!valid) throw Failure{"EINVAL", "EINVAL: brak listy ops"};

  std::size_t capturedTotal = 0;
  json::Value results = json::Value::array();
  for (const auto& op : *ops) {
    const auto nameKey = op.find("op");
    const std::string name =
        nameKey != op.end() && nameKey->is_string() ? nameKey->get<std::string>() : "";
    if (batchableOperation(name).empty() || capturedTotal > batchTotalLimitBytes ||
        (name == "read" && readTooLargeForBatch(op))) {
      results.push_back(deferred());
      continue;
    }

    session.captureBuffer.emplace();
    try {
      execute(op, session);
    } catch (...) {
      session.captureBuffer.reset();
      const Failure failure = describe(std::current_exception());
      json::Value result = json::Value::object();
      result["ok"] = false;
      result["code"] = failure.code;
      result["message"] = failure.message;
      results.push_back(std::move(result));
      continue;
    }
    std::string captured = std::move(*session.captureBuffer);
    session.captureBuffer.reset();
    capturedTotal += captured.size();

    json::Value result = json::Value::object();
    result["ok"] = true;
    if (name == "read") {
      result["kind"] = "base64";
      result["data"] = base64(captured);
    } else {
      result["kind"] = "json";
      result["data"] = isValidUtf8(captured) ? std::move(captured) : std::string("null");
    }
    results.push_back(std::move(result));
  }
  writeJSON(results, session);
}

Outcome run(const char* argument, Session& session) {
  session.captureBuffer.reset();
  try {
    if (argument == nullptr) throw noRequest();
    const json::Value request = parseRequest(argument);
    if (!request.is_object() || request.empty()) throw noRequest();
    const auto op = request.find("op");
    if (op == request.end() || !op->is_string()) throw noRequest();
    if (op->get_ref<const std::string&>() == "batch") {
      runBatch(request, session);
    } else {
      execute(request, session);
    }
    return {};
  } catch (...) {
    session.captureBuffer.reset();
    return {1, errorObjectText(describe(std::current_exception()))};
  }
}

}  // namespace treeclerk
