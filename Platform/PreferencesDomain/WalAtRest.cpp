#include "WalAtRest.h"

#include <chrono>
#include <ctime>

#include <sys/stat.h>

namespace virelon::platform::sqlite {

std::optional<FileIdentity> identityAtPath(sqlite3* db) noexcept {
    const char* path = sqlite3_db_filename(db, "main");
    struct stat info {};
    if (!path || !*path || ::stat(path, &info) != 0)
        return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                        static_cast<std::uint64_t>(info.st_ino), info.st_ctim};
}

bool emptyWal(sqlite3* db, bool onlyWhenQuiet) noexcept {
    const char* path = sqlite3_db_filename(db, "main");
    const char* wal = path ? sqlite3_filename_wal(path) : nullptr;
    struct stat info {};
    if (!wal || ::stat(wal, &info) != 0 || info.st_size == 0)
        return true; // no -wal file, or an empty one: nothing to do
    const auto sinceWritten = [&info] {
        std::timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        return std::chrono::seconds(now.tv_sec - info.st_mtim.tv_sec) +
               std::chrono::nanoseconds(now.tv_nsec - info.st_mtim.tv_nsec);
    };
    if (onlyWhenQuiet && sinceWritten() < preferencesRestInterval)
        return false; // written to a moment ago: a burst of writes may go on
    // Without the busy timeout: a checkpoint that cannot finish at once is tried again later
    // instead of holding up the write or read that asked for it.
    sqlite3_busy_timeout(db, 0);
    const StatementBound bound;
    const int result =
        sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    sqlite3_busy_timeout(db, static_cast<int>(preferencesBusyTimeout.count()));
    return result == SQLITE_OK;
}

} // namespace virelon::platform::sqlite
