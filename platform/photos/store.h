// The library's SQLite database: connection, prepared statements, schema.
// Internal to platform/photos.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "photos.h"

namespace photos::store {

// File and folder names inside the library directory.
inline constexpr const char* databaseName = "Photos.sqlite";
inline constexpr const char* originalsName = "originals";
inline constexpr const char* lockName = "store.lock";
// Suffix of an original written by a transaction that has not finished.
inline constexpr std::string_view pendingSuffix = ".pending";

// Local identifier suffixes.
inline constexpr std::string_view assetSuffix = "/L0/001";
inline constexpr std::string_view collectionSuffix = "/L0/040";

// A new random UUID in upper case ("9F983DBA-EC35-42B8-8773-B597CF782EDD").
std::string newUuid();
// The UUID of a local identifier with the given suffix; absent when the text
// is not such an identifier.
std::optional<std::string> uuidOf(std::string_view localIdentifier, std::string_view suffix);

// One prepared statement, reset for every use.
class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Binds (1-based positions); return *this to chain.
  Statement& bind(int position, std::int64_t value);
  Statement& bind(int position, double value);
  Statement& bind(int position, std::string_view value);
  Statement& bind(int position, const std::string& value) { return bind(position, std::string_view(value)); }
  Statement& bind(int position, const char* value) { return bind(position, std::string_view(value)); }
  Statement& bind(int position, const std::optional<std::string>& value);
  Statement& bind(int position, const std::optional<std::int64_t>& value);
  Statement& bind(int position, const std::optional<double>& value);
  Statement& bindNull(int position);

  // Steps once: true while a row is available. Throws Error on failure.
  bool step();
  // Steps to the end (for statements without results).
  void run();
  void reset();

  std::int64_t integer(int column) const;
  double real(int column) const;
  std::string text(int column) const;
  bool isNull(int column) const;
  std::optional<std::int64_t> optionalInteger(int column) const;
  std::optional<std::string> optionalText(int column) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
  bool done_ = true;
};

// An open database connection set up for the library (WAL, foreign keys,
// busy timeout) with its schema created or migrated.
class Database {
 public:
  // Throws Error (with the path in the message) when the file cannot be
  // opened, is damaged, or has a schema newer than this code.
  explicit Database(const std::string& path);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  sqlite3* handle() const { return db_; }
  const std::string& path() const { return path_; }
  void execute(std::string_view sql);

  // A failure of the database as a user-facing Error.
  [[noreturn]] void raise(std::string_view doing) const;

 private:
  void migrate();
  sqlite3* db_ = nullptr;
  std::string path_;
};

// Throws Error describing a failed SQLite call on `db`.
[[noreturn]] void raiseFrom(sqlite3* db, std::string_view doing);

// A write transaction (BEGIN IMMEDIATE, so concurrent writers wait for each
// other instead of failing halfway); rolled back unless committed.
class WriteTransaction {
 public:
  explicit WriteTransaction(Database& db);
  ~WriteTransaction();
  void commit();

 private:
  Database& db_;
  bool open_ = false;
};

// Keys of the settings table.
inline constexpr const char* accessStateKey = "accessState";

std::optional<std::string> setting(Database& db, const char* key);
void setSetting(Database& db, const char* key, std::string_view value);

}  // namespace photos::store
