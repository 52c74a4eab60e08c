// What the parts of the photo library share. Internal to platform/photos.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "photos.h"
#include "store.h"

namespace photos {

// --- The originals folder (originals.cpp) ---
//
// A stored original has a flat name ("<UUID>_<n>.<ext>") and lives in
// originals/<first character>/. A transaction writes new originals to
// incoming/<name>.pending and renames them into place after its commit; it
// marks originals it deletes with a hard link incoming/<name>.deleted. Both
// kinds of entry are settled by settleIncoming on the next open.

std::string originalPath(const std::string& directory, std::string_view storedName);
std::string pendingPath(const std::string& directory, std::string_view storedName);
std::string deletedMarkPath(const std::string& directory, std::string_view storedName);

// Copies a regular file to `to`, which must not exist. `flush` waits until
// the copy is on disk (originals must be, before the database refers to
// them). Returns the failure's description; on failure nothing is left at `to`.
enum class Flush { no, toDisk };
std::optional<std::string> copyFile(const std::string& from, const std::string& to, Flush flush);

// A shared lock on the store held by a transaction while it has entries in
// incoming/; settleIncoming only runs when nobody holds one.
class StoreLock {
 public:
  enum class Kind { shared, exclusiveIfFree };
  StoreLock(const std::string& directory, Kind kind);
  ~StoreLock();
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Finishes or undoes what transactions of ended processes left in incoming/.
void settleIncoming(const std::string& directory, store::Database& db);

// --- Exports (export.cpp) ---

// Runs the copies of writeResourceData on a thread that is reused while it
// is free; a job that finds every thread busy (a copy whose caller stopped
// waiting) gets a new one. The threads are detached and share the queue, so
// closing the library never waits for a stuck copy.
class CopyWorker {
 public:
  CopyWorker();
  CopyWorker(const CopyWorker&) = delete;
  CopyWorker& operator=(const CopyWorker&) = delete;
  // Lets the threads end once the queued copies are done.
  ~CopyWorker();
  void submit(std::function<void()> job);
  struct Queue;

 private:
  std::shared_ptr<Queue> queue_;
};

// --- The access state (authorization.cpp) ---

std::string accessStateName(AuthorizationStatus status);
std::optional<AuthorizationStatus> accessStateFromName(std::string_view name);
// The stored state, "not determined" when none is stored.
AuthorizationStatus storedAccessState(store::Database& db);

// --- The library's state ---

struct Library::Impl {
  std::string directory;
  OpenOptions options;
  std::unique_ptr<store::Database> db;
  AuthorizationStatus accessState = AuthorizationStatus::notDetermined;
  // The stored-file lookup of exports, prepared once (declared after db so
  // that it is finalized before the connection closes).
  std::mutex storedFileMutex;
  std::unique_ptr<store::Statement> storedFileQuery;
  CopyWorker copies;

  // The state the fetches apply: refreshed while it is still undetermined,
  // so a request made after opening takes effect.
  AuthorizationStatus effectiveAccess();
  // True when fetches see nothing at all.
  bool seesNothing() { return options.honourAccessState && !canSeeAny(effectiveAccess()); }
  // True when fetches see only the limited selection.
  bool seesSelectionOnly() {
    return options.honourAccessState && effectiveAccess() == AuthorizationStatus::limited;
  }
  static bool canSeeAny(AuthorizationStatus status) {
    return status == AuthorizationStatus::authorized || status == AuthorizationStatus::limited;
  }
};

}  // namespace photos
