#include "SqlitePreferencesDomain.h"

#include "WalAtRest.h"

#include <chrono>
#include <mutex>
#include <string>
#include <utility>

namespace virelon::platform::sqlite {

namespace {

constexpr const char* selectSql = "SELECT value FROM preferences WHERE key = ?1";
constexpr const char* upsertSql = "INSERT INTO preferences(key, value) VALUES(?1, ?2) "
                                  "ON CONFLICT(key) DO UPDATE SET value = excluded.value";

class SqlitePreferencesDomain final : public PreferencesDomain {
public:
    explicit SqlitePreferencesDomain(Connection db)
        : db_(std::move(db)), identity_(identityAtPath(db_.get())) {
        // Up front, so that the first read costs no more than the others.
        ready();
    }

    ~SqlitePreferencesDomain() override {
        // Closing checkpoints too (as the last connection): never into a file put in our place.
        if (sameFileLocked())
            settleLocked();
        else
            sqlite3_db_config(db_.get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    }

    std::optional<StoredValue> value(std::string_view key) noexcept override {
        return read(key).value;
    }

    Reading read(std::string_view key) noexcept override {
        try {
            const std::lock_guard lock(mutex_);
            if (!ready())
                return {true, std::nullopt};
            return selectLocked(key);
        } catch (...) {
            return {true, std::nullopt};
        }
    }

    std::vector<std::optional<StoredValue>>
    values(std::span<const std::string_view> keys) noexcept override {
        auto result = snapshot(keys);
        return result ? std::move(*result) : std::vector<std::optional<StoredValue>>(keys.size());
    }

    std::optional<std::vector<std::optional<StoredValue>>>
    snapshot(std::span<const std::string_view> keys) noexcept override {
        try {
            const std::lock_guard lock(mutex_);
            std::vector<std::optional<StoredValue>> result(keys.size());
            if (!ready())
                return std::nullopt;
            // One read transaction instead of one per key: a consistent snapshot at about a
            // third of the cost.
            const bool inTransaction = step(begin_.get());
            bool failed = false;
            for (std::size_t i = 0; i < keys.size() && !failed; ++i) {
                auto reading = selectLocked(keys[i]);
                failed = reading.failed;
                result[i] = std::move(reading.value);
            }
            if (inTransaction)
                step(commit_.get());
            return failed ? std::nullopt : std::optional(std::move(result));
        } catch (...) {
            return std::nullopt;
        }
    }

    bool setInteger(std::string_view key, std::int64_t value) noexcept override {
        return write(key, [value](sqlite3_stmt* statement) {
            return sqlite3_bind_int64(statement, 2, value) == SQLITE_OK;
        });
    }

    bool setText(std::string_view key, std::string_view value) noexcept override {
        return write(key,
                     [value](sqlite3_stmt* statement) { return bindText(statement, 2, value); });
    }

    Removal remove(std::string_view key) noexcept override {
        try {
            const std::lock_guard lock(mutex_);
            return ready() ? removeLocked(key) : Removal::failed;
        } catch (...) { // the lock could not be taken
            return Removal::failed;
        }
    }

    bool change(std::span<const Change> changes) noexcept override {
        try {
            const std::lock_guard lock(mutex_);
            if (!ready() || !execute(db_.get(), "BEGIN IMMEDIATE"))
                return false;
            bool done = true;
            for (const auto& change : changes) {
                const auto bindStored = [&change](sqlite3_stmt* statement) {
                    return bindValue(statement, 2, *change.value);
                };
                done = done && (change.value ? upsertLocked(change.key, bindStored)
                                             : removeLocked(change.key) != Removal::failed);
            }
            if (done && execute(db_.get(), "COMMIT")) {
                wroteLocked();
                return true;
            }
            execute(db_.get(), "ROLLBACK");
            return false;
        } catch (...) {
            return false;
        }
    }

    void settle() noexcept override {
        try {
            const std::lock_guard lock(mutex_);
            if (sameFileLocked())
                settleLocked(true);
        } catch (...) {
        }
    }

    bool flush() noexcept override {
        // Every write commits on its own, and a commit under synchronous=NORMAL in WAL mode
        // survives this process being killed at any instant (only a power loss may take back the
        // newest commits, and never corrupts the file). What could still hold writes back is a
        // transaction left open on this connection.
        try {
            const std::lock_guard lock(mutex_);
            if (sqlite3_get_autocommit(db_.get()) == 0)
                return false;
            // A file renamed or deleted under us still takes writes, but nobody opening the path
            // would ever see them: that is not saved.
            return currentLocked();
        } catch (...) { // the lock could not be taken
            return false;
        }
    }

    bool isCurrent() noexcept override {
        try {
            const std::lock_guard lock(mutex_);
            return sameFileLocked();
        } catch (...) {
            return false;
        }
    }

private:
    // Sets the connection up once the file can be read. One that cannot be read yet (a read-only
    // folder without -wal and -shm files) may become readable later, so each use tries again.
    bool ready() noexcept {
        if (select_ && upsert_)
            return true;
        if (!execute(db_.get(), "PRAGMA synchronous=NORMAL") ||
            !execute(db_.get(),
                     ("PRAGMA journal_size_limit=" + std::to_string(walSizeLimit)).c_str()))
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

    bool currentLocked() noexcept {
        int moved = 0;
        return sqlite3_file_control(db_.get(), "main", SQLITE_FCNTL_HAS_MOVED, &moved) ==
                   SQLITE_OK &&
               moved == 0;
    }

    Reading selectLocked(std::string_view key) {
        auto* statement = select_.get();
        const ResetOnExit reset(statement);
        if (!bindText(statement, 1, key))
            return {true, std::nullopt};
        switch (boundedStep(statement)) {
        case SQLITE_DONE:
            return {false, std::nullopt};
        case SQLITE_ROW:
            if (auto value = columnValue(statement))
                return {false, std::move(value)};
            [[fallthrough]]; // out of memory, or a kind that we do not know
        default:
            return {true, std::nullopt};
        }
    }

    static bool step(sqlite3_stmt* statement) noexcept {
        const ResetOnExit reset(statement);
        return boundedStep(statement) == SQLITE_DONE;
    }

    template <typename BindValue>
    bool write(std::string_view key, BindValue bindValue) noexcept {
        try {
            const std::lock_guard lock(mutex_);
            if (!ready() || !upsertLocked(key, bindValue))
                return false;
            wroteLocked();
            return true;
        } catch (...) { // the lock could not be taken
            return false;
        }
    }

    template <typename BindValue>
    bool upsertLocked(std::string_view key, BindValue bindValue) noexcept {
        auto* statement = upsert_.get();
        const ResetOnExit reset(statement);
        // Exactly one row written, or nothing was stored whatever SQLite says.
        return bindText(statement, 1, key) && bindValue(statement) &&
               boundedStep(statement) == SQLITE_DONE && sqlite3_changes(db_.get()) == 1;
    }

    Removal removeLocked(std::string_view key) noexcept {
        // Rare (the tool's reset, a restore): prepared for each use.
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db_.get(), "DELETE FROM preferences WHERE key = ?1", -1, &raw,
                               nullptr) != SQLITE_OK)
            return Removal::failed;
        const Statement statement(raw);
        if (!bindText(raw, 1, key) || boundedStep(raw) != SQLITE_DONE)
            return Removal::failed;
        return sqlite3_changes(db_.get()) > 0 ? Removal::removed : Removal::nothingStored;
    }

    // A write that follows a pause (one alone, or the first of a burst, such as a slider being
    // dragged) leaves the -wal file empty: the checkpoint costs a little on the rare write and
    // nothing on the writes of a burst.
    void wroteLocked() noexcept {
        const auto now = std::chrono::steady_clock::now();
        if (now - std::exchange(lastWrite_, now) >= preferencesRestInterval && sameFileLocked())
            settleLocked();
    }

    // The file at the path is the one this handle has open, as it left it: not replaced, and
    // changed by nobody but SQLite's checkpoints and our own.
    bool sameFileLocked() noexcept {
        return currentLocked() && identity_ && identityAtPath(db_.get()) == identity_;
    }

    // Our own checkpoint changes the file, which stays the one we have open.
    void settleLocked(bool onlyWhenQuiet = false) noexcept {
        if (emptyWal(db_.get(), onlyWhenQuiet))
            identity_ = identityAtPath(db_.get());
    }

    std::mutex mutex_; // the statements are shared by every caller
    Connection db_;
    std::optional<FileIdentity> identity_; // of the file at the path, as this handle last left it
    std::chrono::steady_clock::time_point lastWrite_{};
    Statement select_; // declared after db_: finalized before the connection closes
    Statement upsert_;
    Statement begin_;
    Statement commit_;
};

} // namespace

std::unique_ptr<PreferencesDomain> makeSqlitePreferencesDomain(Connection db) {
    return std::make_unique<SqlitePreferencesDomain>(std::move(db));
}

} // namespace virelon::platform::sqlite
