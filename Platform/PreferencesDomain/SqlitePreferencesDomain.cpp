#include "PreferencesDomain.h"

#include <sqlite3.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace virelon::platform {

namespace {

constexpr std::string_view fileName = "preferences.db";

// The table exactly as SQLite keeps it in sqlite_schema: a file whose preferences table reads any
// differently is not ours.
constexpr const char* tableSql = "CREATE TABLE preferences(key TEXT PRIMARY KEY NOT NULL, "
                                 "value ANY NOT NULL) STRICT, WITHOUT ROWID";
constexpr const char* selectSql = "SELECT value FROM preferences WHERE key = ?1";
constexpr const char* upsertSql = "INSERT INTO preferences(key, value) VALUES(?1, ?2) "
                                  "ON CONFLICT(key) DO UPDATE SET value = excluded.value";

struct ConnectionCloser {
    void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
};
using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Leaves a statement ready for its next use, whatever way the use ended. Resetting also ends the
// read transaction of a statement that stopped at a row.
class ResetOnExit {
public:
    explicit ResetOnExit(sqlite3_stmt* statement) : statement_(statement) {}
    ~ResetOnExit() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
    ResetOnExit(const ResetOnExit&) = delete;
    ResetOnExit& operator=(const ResetOnExit&) = delete;

private:
    sqlite3_stmt* statement_;
};

// Binds the exact bytes, embedded NULs included. The text must outlive the statement's next step.
bool bindText(sqlite3_stmt* statement, int index, std::string_view text) {
    // A null pointer would bind SQL NULL instead of an empty text.
    const char* bytes = text.data() ? text.data() : "";
    return sqlite3_bind_text64(statement, index, bytes, text.size(), SQLITE_STATIC, SQLITE_UTF8) ==
           SQLITE_OK;
}

std::optional<StoredValue> columnValue(sqlite3_stmt* statement) {
    std::optional<StoredValue> result;
    switch (sqlite3_column_type(statement, 0)) {
    case SQLITE_INTEGER:
        result.emplace(std::in_place_type<std::int64_t>, sqlite3_column_int64(statement, 0));
        break;
    case SQLITE_FLOAT:
        result.emplace(std::in_place_type<double>, sqlite3_column_double(statement, 0));
        break;
    case SQLITE_TEXT: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement, 0));
        if (text) // else out of memory
            result.emplace(std::in_place_type<std::string>, text, size);
        break;
    }
    case SQLITE_BLOB: {
        const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, 0));
        const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement, 0));
        if (size == 0)
            result.emplace(std::in_place_type<std::vector<std::uint8_t>>);
        else if (bytes)
            result.emplace(std::in_place_type<std::vector<std::uint8_t>>, bytes, bytes + size);
        break;
    }
    default:
        break;
    }
    return result;
}

bool execute(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

class SqlitePreferencesDomain final : public PreferencesDomain {
public:
    explicit SqlitePreferencesDomain(Connection db) : db_(std::move(db)) {
        // Up front, so that the first read costs no more than the others.
        ready();
    }

    std::optional<StoredValue> value(std::string_view key) override {
        try {
            const std::lock_guard lock(mutex_);
            if (!ready())
                return std::nullopt;
            return selectLocked(key);
        } catch (...) {
            return std::nullopt;
        }
    }

    std::vector<std::optional<StoredValue>>
    values(std::span<const std::string_view> keys) override {
        try {
            const std::lock_guard lock(mutex_);
            std::vector<std::optional<StoredValue>> result(keys.size());
            if (!ready())
                return result;
            // One read transaction instead of one per key: a consistent snapshot at about a
            // third of the cost.
            const bool inTransaction = step(begin_.get());
            for (std::size_t i = 0; i < keys.size(); ++i)
                result[i] = selectLocked(keys[i]);
            if (inTransaction)
                step(commit_.get());
            return result;
        } catch (...) {
            return std::vector<std::optional<StoredValue>>(keys.size());
        }
    }

    bool setInteger(std::string_view key, std::int64_t value) override {
        return write(key, [value](sqlite3_stmt* statement) {
            return sqlite3_bind_int64(statement, 2, value) == SQLITE_OK;
        });
    }

    bool setText(std::string_view key, std::string_view value) override {
        return write(key,
                     [value](sqlite3_stmt* statement) { return bindText(statement, 2, value); });
    }

    bool flush() override {
        // Every write commits on its own, and a commit under synchronous=NORMAL in WAL mode
        // survives this process being killed at any instant (only a power loss may take back the
        // newest commits, and never corrupts the file). What could still hold writes back is a
        // transaction left open on this connection.
        const std::lock_guard lock(mutex_);
        if (sqlite3_get_autocommit(db_.get()) == 0)
            return false;
        // A file renamed or deleted under us still takes writes, but nobody opening the path
        // would ever see them: that is not saved.
        int moved = 0;
        return sqlite3_file_control(db_.get(), "main", SQLITE_FCNTL_HAS_MOVED, &moved) ==
                   SQLITE_OK &&
               moved == 0;
    }

private:
    // Sets the connection up once the file can be read. One that cannot be read yet (a read-only
    // folder without -wal and -shm files) may become readable later, so each use tries again.
    bool ready() {
        if (select_ && upsert_)
            return true;
        if (!execute(db_.get(), "PRAGMA synchronous=NORMAL"))
            return false;
        const auto prepare = [this](Statement& slot, const char* sql) {
            sqlite3_stmt* statement = nullptr;
            if (!slot && sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT,
                                            &statement, nullptr) == SQLITE_OK)
                slot.reset(statement);
            return slot != nullptr;
        };
        return prepare(select_, selectSql) && prepare(upsert_, upsertSql) &&
               prepare(begin_, "BEGIN") && prepare(commit_, "COMMIT");
    }

    std::optional<StoredValue> selectLocked(std::string_view key) {
        auto* statement = select_.get();
        const ResetOnExit reset(statement);
        if (!bindText(statement, 1, key) || sqlite3_step(statement) != SQLITE_ROW)
            return std::nullopt;
        return columnValue(statement);
    }

    static bool step(sqlite3_stmt* statement) {
        const ResetOnExit reset(statement);
        return sqlite3_step(statement) == SQLITE_DONE;
    }

    template <typename BindValue>
    bool write(std::string_view key, BindValue bindValue) {
        const std::lock_guard lock(mutex_);
        if (!ready())
            return false;
        auto* statement = upsert_.get();
        const ResetOnExit reset(statement);
        return bindText(statement, 1, key) && bindValue(statement) &&
               sqlite3_step(statement) == SQLITE_DONE;
    }

    std::mutex mutex_; // the statements are shared by every caller
    Connection db_;
    Statement select_; // declared after db_: finalized before the connection closes
    Statement upsert_;
    Statement begin_;
    Statement commit_;
};

bool isValidSuiteName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// The variable's value when it is an absolute path, without trailing slashes.
std::optional<std::string> absolutePathVariable(const char* name) {
    const char* value = std::getenv(name);
    if (!value || value[0] != '/')
        return std::nullopt;
    std::string path(value);
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string joined(const std::string& directory, std::string_view name) {
    std::string path = directory;
    if (path.back() != '/')
        path += '/';
    path += name;
    return path;
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Creates the directory and any missing parents, each with mode 0700. Existing ones are left as
// they are.
bool makeDirectories(const std::string& path) {
    const auto makeOne = [&path] {
        // chmod because the umask may have taken bits away; the directory is ours.
        return ::mkdir(path.c_str(), 0700) == 0 && ::chmod(path.c_str(), 0700) == 0;
    };
    if (makeOne())
        return true;
    if (errno == EEXIST)
        return isDirectory(path);
    const auto slash = path.find_last_of('/');
    if (errno != ENOENT || slash == 0 || slash == std::string::npos)
        return false;
    if (!makeDirectories(path.substr(0, slash)))
        return false;
    return makeOne() || (errno == EEXIST && isDirectory(path));
}

// Creates the file, which tells us that it is ours to initialise.
bool createFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::fchmod(fd, 0600); // against a umask that took bits away
    ::close(fd);
    return true;
}

bool fileExists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

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

Connection openConnection(const std::string& name, int flags) {
    sqlite3* raw = nullptr;
    const int result = sqlite3_open_v2(name.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    Connection db(raw);
    if (result != SQLITE_OK)
        return nullptr;
    // Before anything else touches the file: a connection that meets another one's lock waits
    // instead of failing at once.
    sqlite3_busy_timeout(db.get(), static_cast<int>(preferencesBusyTimeout.count()));
    return db;
}

enum class Schema { Empty, Ours, Foreign, Unreadable };

Schema readSchema(sqlite3* db) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT (SELECT count(*) FROM sqlite_schema), (SELECT sql FROM "
                           "sqlite_schema WHERE type = 'table' AND name = 'preferences')",
                           -1, &raw, nullptr) != SQLITE_OK)
        return Schema::Unreadable;
    const Statement statement(raw);
    if (sqlite3_step(raw) != SQLITE_ROW)
        return Schema::Unreadable;
    if (sqlite3_column_int64(raw, 0) == 0)
        return Schema::Empty;
    const auto* sql = reinterpret_cast<const char*>(sqlite3_column_text(raw, 1));
    return sql && std::string_view(sql) == tableSql ? Schema::Ours : Schema::Foreign;
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

// Creates the table in a file that holds nothing yet. The check and the creation share one write
// transaction, so of several processes creating the domain at once exactly one creates the table.
bool initialise(sqlite3* db) {
    if (!execute(db, "BEGIN IMMEDIATE"))
        return false;
    const Schema schema = readSchema(db);
    const bool ours = schema == Schema::Ours || (schema == Schema::Empty && execute(db, tableSql));
    if (ours && execute(db, "COMMIT"))
        return true;
    execute(db, "ROLLBACK");
    return false;
}

bool inWalMode(sqlite3* db) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &raw, nullptr) != SQLITE_OK)
        return false;
    const Statement statement(raw);
    if (sqlite3_step(raw) != SQLITE_ROW)
        return false;
    const auto* mode = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
    return mode && std::string_view(mode) == "wal";
}

std::unique_ptr<PreferencesDomain> openDomain(std::string_view suiteName) {
    const auto location = preferencesDomainPath(suiteName);
    if (!location || !makeDirectories(location->substr(0, location->find_last_of('/'))))
        return nullptr;
    const bool created = createFile(*location);

    // SQLite follows symbolic links to place its -wal and -shm files; so does everything here.
    char* resolved = ::realpath(location->c_str(), nullptr);
    if (!resolved)
        return nullptr;
    const std::string path(resolved);
    std::free(resolved);

    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return nullptr;
    // An empty file holds nobody's data: it is what a crash during our own creation leaves.
    const bool fresh = created || info.st_size == 0;
    if (!fresh && !holdsOurTable(path))
        return nullptr;

    auto db = openConnection(path, SQLITE_OPEN_READWRITE);
    if (!db)
        return nullptr;
    bool readable = true;
    if (fresh) {
        if (!initialise(db.get()))
            return nullptr;
    } else {
        // Checked again on this connection, in case the file was replaced meanwhile. A file that
        // was ours a moment ago but cannot be read now (a read-only folder without -wal and -shm
        // files) still opens: reads and writes then fail one by one.
        const Schema schema = readSchema(db.get());
        if (schema == Schema::Empty || schema == Schema::Foreign)
            return nullptr;
        readable = schema == Schema::Ours;
    }
    // WAL is switched on once, by whoever finds the file not yet in WAL mode: right after creating
    // it, or after a crash between creating the table and switching. A read-only file stays as it
    // is.
    if (readable && !inWalMode(db.get()))
        execute(db.get(), "PRAGMA journal_mode=WAL");
    return std::make_unique<SqlitePreferencesDomain>(std::move(db));
}

} // namespace

std::unique_ptr<PreferencesDomain> openPreferencesDomain(std::string_view suiteName) {
    try {
        return openDomain(suiteName);
    } catch (...) {
        return nullptr;
    }
}

std::optional<std::string> preferencesDomainPath(std::string_view suiteName) {
    try {
        if (!isValidSuiteName(suiteName))
            return std::nullopt;
        // A relative XDG_CONFIG_HOME is invalid and ignored, as the XDG base directories say.
        auto configHome = absolutePathVariable("XDG_CONFIG_HOME");
        if (!configHome) {
            const auto home = absolutePathVariable("HOME");
            if (!home)
                return std::nullopt;
            configHome = joined(*home, ".config");
        }
        return joined(joined(*configHome, suiteName), fileName);
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace virelon::platform
