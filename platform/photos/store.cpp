#include "store.h"

#include <sys/random.h>

#include <cstdio>
#include <cstring>

namespace photos::store {

namespace {

// Version of the schema this code writes. Migrations from older versions
// run in Database::migrate, one step per version.
constexpr int schemaVersion = 1;

constexpr const char* schemaV1 = R"sql(
CREATE TABLE settings(
  key TEXT PRIMARY KEY,
  value TEXT NOT NULL
);
CREATE TABLE assets(
  id INTEGER PRIMARY KEY,
  uuid TEXT NOT NULL UNIQUE,
  media_type INTEGER NOT NULL,
  pixel_width INTEGER NOT NULL,
  pixel_height INTEGER NOT NULL,
  creation_date INTEGER,
  modification_date INTEGER,
  latitude REAL,
  longitude REAL,
  hidden INTEGER NOT NULL DEFAULT 0,
  favorite INTEGER NOT NULL DEFAULT 0,
  added_date INTEGER NOT NULL
);
CREATE INDEX assets_by_creation ON assets(creation_date, id);
CREATE TABLE resources(
  id INTEGER PRIMARY KEY,
  asset_id INTEGER NOT NULL REFERENCES assets(id) ON DELETE CASCADE,
  type INTEGER NOT NULL,
  original_filename TEXT NOT NULL,
  uniform_type_identifier TEXT NOT NULL,
  stored_file TEXT NOT NULL UNIQUE
);
CREATE INDEX resources_by_asset ON resources(asset_id, id);
CREATE TABLE collections(
  id INTEGER PRIMARY KEY,
  uuid TEXT NOT NULL UNIQUE,
  type INTEGER NOT NULL,
  subtype INTEGER NOT NULL,
  title TEXT,
  created_date INTEGER NOT NULL
);
CREATE TABLE memberships(
  collection_id INTEGER NOT NULL REFERENCES collections(id) ON DELETE CASCADE,
  asset_id INTEGER NOT NULL REFERENCES assets(id) ON DELETE CASCADE,
  position INTEGER NOT NULL,
  PRIMARY KEY(collection_id, asset_id)
) WITHOUT ROWID;
CREATE INDEX memberships_by_position ON memberships(collection_id, position);
CREATE INDEX memberships_by_asset ON memberships(asset_id);
CREATE TABLE limited_selection(
  asset_id INTEGER PRIMARY KEY REFERENCES assets(id) ON DELETE CASCADE,
  position INTEGER NOT NULL
);
)sql";

bool isDamage(int code) {
  const int primary = code & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

}  // namespace

std::string newUuid() {
  unsigned char bytes[16];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    const ssize_t got = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw Error(std::string("Cannot make a photo library identifier: ") + std::strerror(errno));
    }
    filled += static_cast<std::size_t>(got);
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);  // variant 1
  char text[37];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

std::optional<std::string> uuidOf(std::string_view localIdentifier, std::string_view suffix) {
  if (localIdentifier.size() != 36 + suffix.size() || !localIdentifier.ends_with(suffix)) return std::nullopt;
  const std::string_view uuid = localIdentifier.substr(0, 36);
  for (std::size_t i = 0; i < uuid.size(); ++i) {
    const char c = uuid[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return std::nullopt;
  }
  return std::string(uuid);
}

[[noreturn]] void raiseFrom(sqlite3* db, std::string_view doing) {
  const int code = db ? sqlite3_extended_errcode(db) : SQLITE_NOMEM;
  const char* file = db ? sqlite3_db_filename(db, "main") : nullptr;
  const std::string where = file && *file ? std::string(file) : std::string("(unknown)");
  const std::string detail = db ? sqlite3_errmsg(db) : "out of memory";
  if (isDamage(code)) throw Error("The photo library database " + where + " is damaged (" + detail + ").");
  throw Error("The photo library could not " + std::string(doing) + ": " + detail + ".");
}

// --- Statement ---

Statement::Statement(sqlite3* db, std::string_view sql) : db_(db) {
  if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &statement_, nullptr) != SQLITE_OK)
    raiseFrom(db, "read its database");
}

Statement::~Statement() { sqlite3_finalize(statement_); }

Statement& Statement::bind(int position, std::int64_t value) {
  sqlite3_bind_int64(statement_, position, value);
  return *this;
}
Statement& Statement::bind(int position, double value) {
  sqlite3_bind_double(statement_, position, value);
  return *this;
}
Statement& Statement::bind(int position, std::string_view value) {
  sqlite3_bind_text(statement_, position, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  return *this;
}
Statement& Statement::bind(int position, const std::optional<std::string>& value) {
  return value ? bind(position, std::string_view(*value)) : bindNull(position);
}
Statement& Statement::bind(int position, const std::optional<std::int64_t>& value) {
  return value ? bind(position, *value) : bindNull(position);
}
Statement& Statement::bind(int position, const std::optional<double>& value) {
  return value ? bind(position, *value) : bindNull(position);
}
Statement& Statement::bindNull(int position) {
  sqlite3_bind_null(statement_, position);
  return *this;
}

bool Statement::step() {
  done_ = false;
  const int result = sqlite3_step(statement_);
  if (result == SQLITE_ROW) return true;
  if (result == SQLITE_DONE) {
    done_ = true;
    return false;
  }
  raiseFrom(db_, "read or change its database");
}

void Statement::run() {
  while (step()) {
  }
  reset();
}

void Statement::reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
  done_ = true;
}

std::int64_t Statement::integer(int column) const { return sqlite3_column_int64(statement_, column); }
double Statement::real(int column) const { return sqlite3_column_double(statement_, column); }
std::string Statement::text(int column) const {
  const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
  return data ? std::string(data, static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)))
              : std::string();
}
bool Statement::isNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
std::optional<std::int64_t> Statement::optionalInteger(int column) const {
  if (isNull(column)) return std::nullopt;
  return integer(column);
}
std::optional<std::string> Statement::optionalText(int column) const {
  if (isNull(column)) return std::nullopt;
  return text(column);
}

// --- Database ---

Database::Database(const std::string& path) : path_(path) {
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    const std::string detail = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw Error("The photo library database " + path + " cannot be opened (" + detail + ").");
  }
  sqlite3_extended_result_codes(db_, 1);
  // Writers wait for each other; imports of a few files finish in well
  // under this.
  sqlite3_busy_timeout(db_, 60000);
  try {
    execute("PRAGMA foreign_keys = ON");
    {
      Statement journal(db_, "PRAGMA journal_mode = WAL");
      if (!journal.step() || journal.text(0) != "wal")
        throw Error("The photo library database " + path + " cannot use write-ahead logging.");
    }
    execute("PRAGMA synchronous = NORMAL");
    migrate();
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
}

Database::~Database() { sqlite3_close(db_); }

void Database::execute(std::string_view sql) {
  const std::string text(sql);
  if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) raise("change its database");
}

void Database::raise(std::string_view doing) const { raiseFrom(db_, doing); }

// Brings the schema to schemaVersion inside one write transaction, so that
// two processes opening a new library at once create it once.
void Database::migrate() {
  auto version = [&] {
    Statement statement(db_, "PRAGMA user_version");
    return statement.step() ? statement.integer(0) : 0;
  };
  if (version() == schemaVersion) return;
  WriteTransaction transaction(*this);
  const std::int64_t found = version();
  if (found > schemaVersion)
    throw Error("The photo library database " + path_ +
                " was made by a newer version of the photo library (schema " + std::to_string(found) + ").");
  if (found == 0) {
    Statement tables(db_, "SELECT count(*) FROM sqlite_master");
    const bool empty = tables.step() && tables.integer(0) == 0;
    tables.reset();
    if (!empty)
      throw Error("The photo library database " + path_ +
                  " is damaged (unknown tables without a schema version).");
    execute(schemaV1);
    // The library's smart albums, defined by queries (see the fetches).
    Statement smart(db_,
                    "INSERT INTO collections(uuid, type, subtype, title, created_date) "
                    "VALUES(?, 2, ?, ?, strftime('%s', 'now'))");
    smart.bind(1, newUuid())
        .bind(2, static_cast<std::int64_t>(CollectionSubtype::smartAlbumFavorites))
        .bind(3, std::string_view("Favorites"))
        .run();
    smart.bind(1, newUuid())
        .bind(2, static_cast<std::int64_t>(CollectionSubtype::smartAlbumRecents))
        .bind(3, std::string_view("Recents"))
        .run();
  }
  // Later versions add their steps here: if (found < 2) { ... }
  execute("PRAGMA user_version = " + std::to_string(schemaVersion));
  transaction.commit();
}

// --- WriteTransaction ---

WriteTransaction::WriteTransaction(Database& db) : db_(db) {
  db_.execute("BEGIN IMMEDIATE");
  open_ = true;
}

WriteTransaction::~WriteTransaction() {
  if (open_) sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void WriteTransaction::commit() {
  db_.execute("COMMIT");
  open_ = false;
}

// --- settings ---

std::optional<std::string> setting(Database& db, const char* key) {
  Statement statement(db.handle(), "SELECT value FROM settings WHERE key = ?");
  statement.bind(1, std::string_view(key));
  if (!statement.step()) return std::nullopt;
  return statement.text(0);
}

void setSetting(Database& db, const char* key, std::string_view value) {
  Statement statement(db.handle(),
                      "INSERT INTO settings(key, value) VALUES(?, ?) "
                      "ON CONFLICT(key) DO UPDATE SET value = excluded.value");
  statement.bind(1, std::string_view(key)).bind(2, value).run();
}

}  // namespace photos::store
