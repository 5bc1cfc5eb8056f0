#include "SqlitePreferencesDomain.h"

#include "WalAtRest.h"
#include "WalIndexProof.h"
#include "WalLineage.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <pthread.h>

namespace virelon::platform::sqlite {

namespace {

constexpr const char* selectSql = "SELECT value FROM preferences WHERE key = ?1";
constexpr const char* upsertSql = "INSERT INTO preferences(key, value) VALUES(?1, ?2) "
                                  "ON CONFLICT(key) DO UPDATE SET value = excluded.value";

class SqlitePreferencesDomain;

// Every domain of the process, for forks (holdConnections()).
struct Domains {
    std::mutex connections;
    std::vector<SqlitePreferencesDomain*> live; // under `connections`
    bool inherited = false;                     // in a child, until the first hold
};
Domains& domains() {
    static auto* all = new Domains; // never destroyed: domains may outlive the statics at exit
    return *all;
}

class SqlitePreferencesDomain final : public PreferencesDomain {
public:
    explicit SqlitePreferencesDomain(Connection db)
        : db_(std::move(db)), identity_(identityAtPath(db_.get())) {
        static const int forksHandled =
            ::pthread_atfork(&beforeFork, &afterForkInParent, &afterForkInChild);
        (void)forksHandled;
        // In place of SQLite's own checkpoint after a commit, which would change the file
        // behind the identity this handle keeps (wroteLocked()).
        sqlite3_wal_hook(db_.get(), &countFrames, this);
        // Up front, so that the first read costs no more than the others.
        ready();
        domains().live.push_back(this);
    }

    ~SqlitePreferencesDomain() override {
        const auto held = holdConnections();
        std::erase(domains().live, this);
        // Closing checkpoints too (as the last connection): never into a file put in our place.
        // A file moved away from the path gets the changes of its own that still wait in the
        // -wal (a backup put back by mv in the middle of a burst of writes): the file now at the
        // path is refused while they wait there, and taken up once they are gone.
        const bool ours = sameFileLocked();
        if (ours || (db_ && !currentLocked() && walOfOpenFile(db_.get())))
            settleLocked();
        close(!ours);
    }

    // Forgets the proven snapshot (its proof reads the connection's mapping), finalizes the
    // statements, then closes the connection. `leaveFiles`: without the checkpoint a last
    // connection makes on closing, for a file put in our place or a connection inherited across a
    // fork.
    void close(bool leaveFiles) noexcept {
        last_.stamp.reset();
        proof_ = WalIndexProof{};
        select_.reset(), upsert_.reset(), snapshot_.reset(), count_.reset();
        if (db_ && leaveFiles)
            sqlite3_db_config(db_.get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        db_.reset();
    }

    // A fork waits until no domain is inside SQLite, and both processes go on from there.
    static void beforeFork() noexcept {
        domains().connections.lock();
        for (auto* domain : domains().live)
            domain->mutex_.lock();
    }
    static void afterForkInParent() noexcept {
        for (auto* domain : domains().live)
            domain->mutex_.unlock();
        domains().connections.unlock();
    }
    static void afterForkInChild() noexcept {
        domains().inherited = true; // closed by the first holdConnections()
        afterForkInParent();
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

    std::optional<std::vector<std::optional<StoredValue>>>
    snapshot(std::span<const std::string_view> keys) noexcept override {
        try {
            const std::lock_guard lock(mutex_);
            if (last_.proven(keys, proof_.stamp()))
                return last_.values;
            last_.stamp.reset();
            if (!ready() || !prepareSnapshot(keys.size()))
                return std::nullopt;
            // One statement, one row, a column per key: one read transaction and one step,
            // where BEGIN, a SELECT per key and COMMIT took eight.
            auto* statement = snapshot_.get();
            const ResetOnExit reset(statement);
            for (std::size_t i = 0; i < keys.size(); ++i) {
                if (!bindText(statement, static_cast<int>(i) + 1, keys[i]))
                    return std::nullopt;
            }
            // Taken before the read transaction begins and checked after it ends: unchanged, it
            // is the commit the values were read at.
            const auto before = proof_.stamp();
            if (boundedStep(statement) != SQLITE_ROW)
                return std::nullopt;
            std::vector<std::optional<StoredValue>> result(keys.size());
            for (std::size_t i = 0; i < keys.size(); ++i) {
                const int column = static_cast<int>(i);
                result[i] = columnValue(statement, column);
                // A key holding nothing gives NULL; anything else unread is a failed read (out
                // of memory, or a kind that we do not know).
                if (!result[i] && sqlite3_column_type(statement, column) != SQLITE_NULL)
                    return std::nullopt;
            }
            sqlite3_reset(statement); // ends the read transaction
            if (!proofTried_) {
                proofTried_ = true;
                proof_.attach(db_.get());
            }
            if (before && proof_.stamp() == before)
                last_.keep(keys, result, *before);
            return result;
        } catch (...) {
            last_.stamp.reset();
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
            auto removal = Removal::failed;
            if (transactLocked([&] { return (removal = removeLocked(key)) == Removal::removed; }))
                return Removal::removed;
            return removal == Removal::nothingStored ? removal : Removal::failed;
        } catch (...) { // the lock could not be taken
            return Removal::failed;
        }
    }

    bool change(std::span<const Change> changes) noexcept override {
        try {
            const std::lock_guard lock(mutex_);
            return transactLocked([&] {
                for (const auto& change : changes) {
                    const auto bindStored = [&change](sqlite3_stmt* statement) {
                        return bindValue(statement, 2, *change.value);
                    };
                    if (change.value ? !upsertLocked(change.key, bindStored)
                                     : removeLocked(change.key) == Removal::failed)
                        return false;
                }
                return true;
            });
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

    bool confirmVisible() noexcept override {
        // Every write commits on its own, and a commit under synchronous=NORMAL in WAL mode
        // survives this process being killed at any instant (only a power loss may take back the
        // newest commits, and never corrupts the file). What could still hold writes back is a
        // transaction left open on this connection.
        try {
            const std::lock_guard lock(mutex_);
            if (!db_ || sqlite3_get_autocommit(db_.get()) == 0)
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
        if (select_ && upsert_ && count_)
            return true;
        if (!db_) // inherited across a fork, and closed
            return false;
        if (!execute(db_.get(), "PRAGMA synchronous=NORMAL") ||
            !execute(db_.get(),
                     ("PRAGMA journal_size_limit=" + std::to_string(walSizeLimit)).c_str()))
            return false;
        return prepareKept(select_, selectSql) && prepareKept(upsert_, upsertSql) &&
               prepareKept(count_, "PRAGMA user_version");
    }

    // Prepares a statement kept for the connection's life into an empty slot.
    bool prepareKept(Statement& slot, const char* sql) noexcept {
        sqlite3_stmt* statement = nullptr;
        if (!slot && sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &statement,
                                        nullptr) == SQLITE_OK)
            slot.reset(statement);
        return slot != nullptr;
    }

    // "SELECT (SELECT value FROM preferences WHERE key = ?1), ..." for that many keys, kept for
    // the next snapshot of as many. A key holding no value gives NULL, which no stored value is.
    bool prepareSnapshot(std::size_t count) {
        if (snapshot_ && snapshotKeys_ == count)
            return true;
        snapshot_.reset();
        if (count == 0)
            return false;
        std::string sql = "SELECT ";
        for (std::size_t i = 1; i <= count; ++i)
            sql += (i > 1 ? ", " : "") +
                   std::string("(SELECT value FROM preferences WHERE key = ?") + std::to_string(i) +
                   ")";
        if (!prepareKept(snapshot_, sql.c_str()))
            return false;
        snapshotKeys_ = count;
        return true;
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

    template <typename BindValue>
    bool write(std::string_view key, BindValue bindValue) noexcept {
        try {
            const std::lock_guard lock(mutex_);
            return transactLocked([&] { return upsertLocked(key, bindValue); });
        } catch (...) { // the lock could not be taken
            return false;
        }
    }

    // The last snapshot and the WAL-index header it was read at (WalIndexProof.h); no stamp when
    // it may not be given again.
    struct LastRead {
        std::vector<std::string> keys;
        std::vector<std::optional<StoredValue>> values;
        std::optional<WalIndexStamp> stamp;

        bool sameKeys(std::span<const std::string_view> asked) const noexcept {
            return std::equal(asked.begin(), asked.end(), keys.begin(), keys.end());
        }
        bool proven(std::span<const std::string_view> asked,
                    const std::optional<WalIndexStamp>& now) const noexcept {
            return stamp && now == stamp && sameKeys(asked);
        }
        void keep(std::span<const std::string_view> asked,
                  const std::vector<std::optional<StoredValue>>& read, const WalIndexStamp& at) {
            if (!sameKeys(asked))
                keys.assign(asked.begin(), asked.end());
            values = read;
            stamp = at;
        }
    };

    template <typename BindValue>
    bool upsertLocked(std::string_view key, BindValue bindValue) noexcept {
        auto* statement = upsert_.get();
        const ResetOnExit reset(statement);
        // Exactly one row written, or nothing was stored whatever SQLite says.
        return bindText(statement, 1, key) && bindValue(statement) &&
               boundedStep(statement) == SQLITE_DONE && sqlite3_changes(db_.get()) == 1;
    }

    // Every write: one transaction, in which `work` says whether it wrote what it should, counted
    // and committed, or rolled back.
    template <typename Work>
    bool transactLocked(Work work) noexcept {
        if (!ready() || !execute(db_.get(), "BEGIN IMMEDIATE"))
            return false;
        if (!work()) {
            execute(db_.get(), "ROLLBACK");
            return false;
        }
        if (!commitLocked())
            return false;
        wroteLocked();
        return true;
    }

    // Counts the transaction in the file's header, so that the -wal's transactions can be told
    // from another file's (WalLineage.h), and commits it; rolled back when either fails.
    bool commitLocked() noexcept {
        std::optional<std::int32_t> count;
        {
            const ResetOnExit reset(count_.get());
            if (boundedStep(count_.get()) == SQLITE_ROW)
                count = static_cast<std::int32_t>(sqlite3_column_int64(count_.get(), 0));
        }
        char set[40];
        if (count)
            std::snprintf(set, sizeof set, "PRAGMA user_version=%d", nextCommitCount(*count));
        if (count && execute(db_.get(), set) && execute(db_.get(), "COMMIT"))
            return true;
        execute(db_.get(), "ROLLBACK");
        return false;
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

    // Called by SQLite after each commit of this connection, with the frames now in the -wal.
    static int countFrames(void* domain, sqlite3*, const char*, int frames) noexcept {
        static_cast<SqlitePreferencesDomain*>(domain)->walFrames_ = frames;
        return SQLITE_OK;
    }

    // A write that follows a pause (one alone, or the first of a burst, such as a slider being
    // dragged) leaves the -wal file empty: the checkpoint costs a little on the rare write and
    // nothing on the writes of a burst. A long burst is checkpointed every walCheckpointFrames
    // frames, as SQLite itself would, by this handle, which then knows the file it changed.
    void wroteLocked() noexcept {
        const auto now = std::chrono::steady_clock::now();
        const bool paused = now - std::exchange(lastWrite_, now) >= preferencesRestInterval;
        if ((paused || walFrames_ >= walCheckpointFrames) && sameFileLocked())
            settleLocked();
    }

    // The file at the path is the one this handle has open, as it left it: not replaced, and
    // changed by nobody but SQLite's checkpoints and our own.
    bool sameFileLocked() noexcept {
        return db_ && currentLocked() && identity_ && identityAtPath(db_.get()) == identity_;
    }

    // Our own checkpoint changes the file, which stays the one we have open (it was, just before),
    // whether it emptied the -wal or copied only part of it.
    void settleLocked(bool onlyWhenQuiet = false) noexcept {
        if (emptyWal(db_.get(), onlyWhenQuiet))
            walFrames_ = 0;
        identity_ = identityAtPath(db_.get());
    }

    std::mutex mutex_; // the statements are shared by every caller
    Connection db_;
    std::optional<FileIdentity> identity_; // of the file at the path, as this handle last left it
    std::chrono::steady_clock::time_point lastWrite_{};
    int walFrames_ = 0; // in the -wal after this connection's last commit
    Statement select_;  // declared after db_: finalized before the connection closes
    Statement upsert_;
    Statement snapshot_;
    Statement count_;
    std::size_t snapshotKeys_ = 0;
    WalIndexProof proof_; // valid while db_ is open
    bool proofTried_ = false;
    LastRead last_;
};

} // namespace

std::unique_ptr<PreferencesDomain> makeSqlitePreferencesDomain(Connection db) {
    return std::make_unique<SqlitePreferencesDomain>(std::move(db));
}

std::unique_lock<std::mutex> holdConnections() {
    std::unique_lock held(domains().connections);
    if (std::exchange(domains().inherited, false)) {
        for (auto* domain : domains().live)
            domain->close(true);
        domains().live.clear();
    }
    return held;
}

} // namespace virelon::platform::sqlite
