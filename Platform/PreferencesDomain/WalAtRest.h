#pragma once

// Inside the adapter only: the file at rest. Between bursts of writes the -wal file is kept empty,
// so that a file replaced while nothing is being written (a backup put back with mv or cp) is
// taken up as it is, with no frames of the file it replaced applied over it; and a connection
// tells when the file at the path is no longer the one it has open, or was rewritten outside
// SQLite.

#include "SqliteStatements.h"

#include <cstdint>
#include <ctime>
#include <optional>

namespace virelon::platform::sqlite {

/// The largest -wal file left behind once a checkpoint could reset it (journal_size_limit): a
/// reader that sat in a read transaction while the file grew no longer keeps it large.
inline constexpr std::int64_t walSizeLimit = 256 * 1024;

/// The frames a burst of writes may leave in the -wal before the writer checkpoints it (SQLite's
/// own automatic checkpoint, which the domain replaces, waits for as many).
inline constexpr int walCheckpointFrames = 1000;

/// Which file is at the connection's path, and when it was last changed: a file replaced by mv,
/// or rewritten in place (cp), reads differently. Writes in WAL mode go to the -wal file, so only
/// checkpoints and replacements change the database file.
struct FileIdentity {
    std::uint64_t device = 0, inode = 0;
    std::timespec changed{};
    friend bool operator==(const FileIdentity& a, const FileIdentity& b) noexcept {
        return a.device == b.device && a.inode == b.inode && a.changed.tv_sec == b.changed.tv_sec &&
               a.changed.tv_nsec == b.changed.tv_nsec;
    }
};

/// The identity of the file now at the connection's path; nothing when there is none.
std::optional<FileIdentity> identityAtPath(sqlite3* db) noexcept;

/// Copies the -wal file into the database and empties it (a TRUNCATE checkpoint), when it holds
/// anything and, when `onlyWhenQuiet`, nobody wrote to it for preferencesRestInterval. Never
/// waits: with another connection writing or reading an older snapshot it leaves everything as it
/// is for a later try. True when the -wal file is empty afterwards.
bool emptyWal(sqlite3* db, bool onlyWhenQuiet) noexcept;

} // namespace virelon::platform::sqlite
