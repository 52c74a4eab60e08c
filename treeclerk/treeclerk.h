// treeclerk: file-system work for the host application, one JSON request
// per process. The request protocol (run, runBatch, the error object and the
// output routines) lives in protocol.cpp; the operations in the files named
// after their group.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "json.h"

namespace treeclerk {

inline constexpr std::size_t maxJSONBytes = 8'388'608;
inline constexpr std::size_t ioChunkBytes = 1'048'576;
inline constexpr std::int64_t batchItemLimitBytes = 1'048'576;
inline constexpr std::size_t batchTotalLimitBytes = 4'194'304;

// The program's own error value: a POSIX error name and a message.
struct Failure {
  std::string code;
  std::string message;
};

// An error raised by a platform service (JSON parser, file manager queries,
// trash); reported with the code "EIO" and its description.
struct PlatformError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Where the program's output goes and where "write" gets its data. The
// process entry points these at the standard streams; the fuzz harness and
// the tests at memory.
struct Streams {
  std::function<void(std::string_view)> writeStandardOutput;
  std::function<std::string()> readStandardInput;
};

// One request being served: the streams and the batch capture buffer.
struct Session {
  Streams streams;
  std::optional<std::string> captureBuffer;  // present only while a batch op runs
};

// The outcome of one request: exit status and the error object text for
// standard error (empty on success).
struct Outcome {
  int status = 0;
  std::string errorText;
};

// Serves one request given as the program's first argument (absent when the
// program was started without one). Never exits the process.
Outcome run(const char* argument, Session& session);

// Operations and protocol routines, shared between the source files.
void execute(const json::Value& request, Session& session);
void runBatch(const json::Value& request, Session& session);
void writeJSON(const json::Value& value, Session& session);
void writeOut(std::string_view bytes, Session& session);
std::string errnoName(int error);
Failure fail(std::string_view call, std::string_view path);
Failure fail(std::string_view call, std::string_view path, int error);
std::int64_t jsonInt(const json::Value& request, const char* key, std::int64_t fallback);

// Request keys read for every operation.
struct CommonKeys {
  std::string path;
  bool recursive = false;
  bool force = false;
  bool modeGiven = false;        // the key "mode" is present at all
  bool modeOutOfRange = false;   // a whole number outside 0 to 65535
  unsigned mode = 0777;
};
CommonKeys readCommonKeys(const json::Value& request);
// A string key, empty when absent or not a string; refuses NUL bytes.
std::string stringKey(const json::Value& request, const char* key);
bool boolKey(const json::Value& request, const char* key);
// The mode to use; raises EINVAL for a whole number outside 0 to 65535.
unsigned checkedMode(const CommonKeys& keys);

// Path helpers.
std::string joinPath(std::string_view directory, std::string_view name);
std::string parentPath(std::string_view path);
// The file that opening `path` for writing would reach: symbolic links are
// followed (also dangling ones, whose target would be created); a loop
// gives the last link looked at.
std::string linkTarget(const std::string& path);

// Queries (queries.cpp).
json::Value statInfo(const std::string& path, bool follow);
bool isDirectory(const std::string& path);
void opExists(const CommonKeys& keys, Session& session);
void opReadlink(const CommonKeys& keys, Session& session);
void opRealpath(const CommonKeys& keys, Session& session);
json::Value volumeInfo(const std::string& path);
json::Value volumeIdentity(const std::string& path);  // volume.cpp
// A UUID in 8-4-4-4-12 form, lowercase; absent for any other text.
std::optional<std::string> canonicalUuid(std::string_view text);

// Listing (listing.cpp).
json::Value listDirectory(const std::string& path);
json::Value treeEntries(const std::string& path, std::int64_t maxEntries);

// Content (content.cpp).
void readFileOut(const json::Value& request, const CommonKeys& keys, Session& session);
void writeFromInput(const json::Value& request, const CommonKeys& keys, Session& session);
json::Value sha256File(const std::string& path);
json::Value copyHashing(const std::string& source, const std::string& destination,
                        const std::string& suffix);
void fsyncPath(const std::string& path);

// Changes (changes.cpp).
void makeDirectory(const std::string& path, bool recursive, unsigned mode);
std::string makeTemporaryDirectory(const std::string& prefix);
void remove(const std::string& path, bool recursive, bool force);
void renamePath(const std::string& path, const std::string& to);
void copyItem(const std::string& source, const std::string& destination, bool recursive);
void setTimes(const json::Value& request, const std::string& path);
void changeMode(const std::string& path, unsigned mode);

// Trash (trash.cpp): the item's new path inside the trash.
std::string moveToTrash(const std::string& path);

// Unicode (unicode.cpp): the canonically composed form of a name, or the
// name itself when it is ASCII, not valid UTF-8, or normalisation is not
// available.
std::string composedForm(const std::string& name);

}  // namespace treeclerk
