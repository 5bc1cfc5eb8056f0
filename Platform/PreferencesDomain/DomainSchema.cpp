#include "DomainSchema.h"

#include "DomainFiles.h"
#include "WalLineage.h"
#include "platform/FileDescriptor.h"
#include "platform/PercentEncoding.h"

#include <cerrno>
#include <string>
#include <string_view>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace virelon::platform::sqlite {

namespace {

// The table exactly as SQLite keeps it in sqlite_schema: a file whose preferences table reads any
// differently is not ours.
constexpr const char* tableSql = "CREATE TABLE preferences(key TEXT PRIMARY KEY NOT NULL, "
                                 "value ANY NOT NULL) STRICT, WITHOUT ROWID";

// SQLite's file URI: the path with the bytes outside RFC 3986's unreserved set (and "/") escaped.
std::string fileUri(std::string_view path) {
    return "file:" + percentEncoded(path, "/-._~");
}

// The new file's whole content, made in memory: our table, the first count of its history
// (WalLineage.h), and the file format versions of WAL mode (2 at offsets 18 and 19 of the header),
// as switching a file to WAL would write them.
std::optional<std::string> newFileImage() {
    const auto db = openConnection(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    const std::string count = "PRAGMA user_version=" + std::to_string(nextCommitCount(0));
    if (!db || !execute(db.get(), tableSql) || !execute(db.get(), count.c_str()))
        return std::nullopt;
    sqlite3_int64 size = 0;
    unsigned char* bytes = sqlite3_serialize(db.get(), "main", &size, 0);
    std::optional<std::string> image;
    if (bytes && size >= 100) {
        image.emplace(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size));
        (*image)[18] = (*image)[19] = 2;
    }
    sqlite3_free(bytes);
    return image;
}

} // namespace

// Written whole into an unnamed file in the folder, synced, and only then given its name: the
// name never shows a file half made, and two processes creating it at once leave one file.
// Without unnamed files (or /proc to name them through) the file is created empty in place.
Creation createOurFile(const std::string& path) {
    if (fileExists(path))
        return Creation::Exists;
    const auto inPlace = [&path] {
        return createFile(path) ? Creation::Created : Creation::Exists;
    };
    const std::string folder = path.substr(0, path.find_last_of('/'));
    const FileDescriptor file(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!file) // a file system without unnamed files
        return inPlace();
    const auto image = newFileImage();
    if (!image || ::fchmod(file.get(), 0600) != 0 || !writeAll(file.get(), *image) ||
        ::fdatasync(file.get()) != 0)
        return Creation::Failed;
    const std::string unnamed = "/proc/self/fd/" + std::to_string(file.get());
    if (::linkat(AT_FDCWD, unnamed.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0)
        return errno == EEXIST ? Creation::Exists : errno == ENOENT ? inPlace() : Creation::Failed;
    const FileDescriptor directory(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory || ::fsync(directory.get()) != 0)
        return Creation::Failed;
    return Creation::Created;
}

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
Connection openImmutable(const std::string& path) {
    return openConnection(fileUri(path) + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
}

bool holdsOurTable(const std::string& path) {
    const bool walPresent = fileExists(path + "-wal");
    const auto db = walPresent ? openConnection(path, SQLITE_OPEN_READONLY) : openImmutable(path);
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
