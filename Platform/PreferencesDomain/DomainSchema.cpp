#include "DomainSchema.h"

#include "DomainFiles.h"

#include <string_view>
#include <utility>

namespace virelon::platform::sqlite {

namespace {

// The table exactly as SQLite keeps it in sqlite_schema: a file whose preferences table reads any
// differently is not ours.
constexpr const char* tableSql = "CREATE TABLE preferences(key TEXT PRIMARY KEY NOT NULL, "
                                 "value ANY NOT NULL) STRICT, WITHOUT ROWID";

std::string fileUri(std::string_view path) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string uri = "file:";
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= '0' && byte <= '9') || c == '/' || c == '-' || c == '.' || c == '_' ||
            c == '~') {
            uri += c;
        } else {
            uri += '%';
            uri += hex[byte >> 4];
            uri += hex[byte & 0xF];
        }
    }
    return uri;
}

} // namespace

Connection openConnection(const std::string& name, int flags) {
    sqlite3* raw = nullptr;
    const int result = sqlite3_open_v2(name.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    Connection db(raw);
    if (result != SQLITE_OK)
        return nullptr;
    // Before anything else touches the file: a connection that meets another one's lock waits
    // instead of failing at once.
    sqlite3_busy_timeout(db.get(), static_cast<int>(preferencesBusyTimeout.count()));
    // Nothing another program left in the file may run inside our statements: no triggers or
    // views, no functions called from the schema, no writes to the schema itself; and no
    // statement runs for longer than its bound.
    for (const auto& [option, value] :
         {std::pair{SQLITE_DBCONFIG_DEFENSIVE, 1}, std::pair{SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0},
          std::pair{SQLITE_DBCONFIG_ENABLE_TRIGGER, 0},
          std::pair{SQLITE_DBCONFIG_ENABLE_VIEW, 0}}) {
        if (sqlite3_db_config(db.get(), option, value, nullptr) != SQLITE_OK)
            return nullptr;
    }
    sqlite3_progress_handler(db.get(), 1000, &pastStatementDeadline, nullptr);
    return db;
}

Schema readSchema(sqlite3* db) noexcept {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT (SELECT count(*) FROM sqlite_schema), (SELECT sql FROM "
                           "sqlite_schema WHERE type = 'table' AND name = 'preferences')",
                           -1, &raw, nullptr) != SQLITE_OK)
        return Schema::Unreadable;
    const Statement statement(raw);
    if (boundedStep(raw) != SQLITE_ROW)
        return Schema::Unreadable;
    const auto objects = sqlite3_column_int64(raw, 0);
    if (objects == 0)
        return Schema::Empty;
    // Our table and nothing else: a trigger, view or index beside it would run inside our
    // statements.
    const auto* sql = reinterpret_cast<const char*>(sqlite3_column_text(raw, 1));
    return objects == 1 && sql && std::string_view(sql) == tableSql ? Schema::Ours
                                                                    : Schema::Foreign;
}

// Looks at an existing file without changing it or leaving anything beside it. Without a WAL file
// next to it nobody has it open in WAL mode, so the main file alone is complete: read it as
// immutable, which takes no locks and creates no -wal or -shm files. With a WAL file present, a
// read-only connection that does not checkpoint on closing leaves the files as it found them.
bool holdsOurTable(const std::string& path) {
    const bool walPresent = fileExists(path + "-wal");
    const auto db = walPresent ? openConnection(path, SQLITE_OPEN_READONLY)
                               : openConnection(fileUri(path) + "?immutable=1",
                                                SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
    if (!db)
        return false;
    if (walPresent &&
        sqlite3_db_config(db.get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr) != SQLITE_OK)
        return false;
    return readSchema(db.get()) == Schema::Ours;
}

bool initialise(sqlite3* db) noexcept {
    if (!execute(db, "BEGIN IMMEDIATE"))
        return false;
    const Schema schema = readSchema(db);
    const bool ours = schema == Schema::Ours || (schema == Schema::Empty && execute(db, tableSql));
    if (ours && execute(db, "COMMIT"))
        return true;
    execute(db, "ROLLBACK");
    return false;
}

bool inWalMode(sqlite3* db) noexcept {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &raw, nullptr) != SQLITE_OK)
        return false;
    const Statement statement(raw);
    if (boundedStep(raw) != SQLITE_ROW)
        return false;
    const auto* mode = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
    return mode && std::string_view(mode) == "wal";
}

} // namespace virelon::platform::sqlite
