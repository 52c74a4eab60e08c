// The access state the library keeps for the current user.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <thread>
#include <utility>

#include "internal.h"

namespace photos {

namespace {

constexpr std::array<std::pair<AuthorizationStatus, std::string_view>, 5> stateNames{{
    {AuthorizationStatus::notDetermined, "notDetermined"},
    {AuthorizationStatus::restricted, "restricted"},
    {AuthorizationStatus::denied, "denied"},
    {AuthorizationStatus::authorized, "authorized"},
    {AuthorizationStatus::limited, "limited"},
}};

bool exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

// Nothing at the path (as opposed to something this user may not look at).
bool absent(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

bool readableAndWritable(const std::string& path, bool directory) {
  return ::access(path.c_str(), R_OK | W_OK | (directory ? X_OK : 0)) == 0;
}

bool ownedByCurrentUser(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && info.st_uid == ::geteuid();
}

}  // namespace

std::string accessStateName(AuthorizationStatus status) {
  for (const auto& [value, name] : stateNames)
    if (value == status) return std::string(name);
  return "notDetermined";
}

std::optional<AuthorizationStatus> accessStateFromName(std::string_view name) {
  for (const auto& [value, text] : stateNames)
    if (text == name) return value;
  return std::nullopt;
}

AuthorizationStatus storedAccessState(store::Database& db) {
  const auto stored = store::setting(db, store::accessStateKey);
  if (!stored) return AuthorizationStatus::notDetermined;
  return accessStateFromName(*stored).value_or(AuthorizationStatus::denied);
}

AuthorizationStatus authorizationStatus(const std::string& libraryDirectory, AccessLevel) {
  // Both access levels share one state.
  if (absent(libraryDirectory)) return AuthorizationStatus::notDetermined;
  const std::string database = libraryDirectory + "/" + store::databaseName;
  if (!readableAndWritable(libraryDirectory, true)) return AuthorizationStatus::denied;
  if (!exists(database)) return AuthorizationStatus::notDetermined;
  for (const std::string& path : {database, database + "-wal", database + "-shm"})
    if (exists(path) && !readableAndWritable(path, false)) return AuthorizationStatus::denied;
  store::Database db(database);
  return storedAccessState(db);
}

AuthorizationStatus authorizationStatus(AccessLevel level) {
  return authorizationStatus(defaultLibraryPath(), level);
}

void requestAuthorization(const std::string& libraryDirectory, AccessLevel level,
                          std::function<void(AuthorizationStatus)> handler) {
  AuthorizationStatus status = AuthorizationStatus::denied;
  try {
    status = authorizationStatus(libraryDirectory, level);
    if (status == AuthorizationStatus::notDetermined) {
      // The person running the host application on their own account owns
      // the library: the first request grants full access. Another process
      // may have answered meanwhile; its answer stands.
      Library::open(libraryDirectory, {.honourAccessState = false});  // creates it when needed
      if (!ownedByCurrentUser(libraryDirectory)) throw Error("The photo library belongs to another user.");
      store::Database db(libraryDirectory + "/" + store::databaseName);
      store::WriteTransaction transaction(db);
      if (storedAccessState(db) == AuthorizationStatus::notDetermined)
        store::setSetting(db, store::accessStateKey, accessStateName(AuthorizationStatus::authorized));
      status = storedAccessState(db);
      transaction.commit();
    }
  } catch (const Error&) {
    status = AuthorizationStatus::denied;
  }
  std::thread([handler = std::move(handler), status] { handler(status); }).detach();
}

void requestAuthorization(AccessLevel level, std::function<void(AuthorizationStatus)> handler) {
  requestAuthorization(defaultLibraryPath(), level, std::move(handler));
}

}  // namespace photos
