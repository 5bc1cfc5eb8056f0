#pragma once

// Inside the adapter only: whether the -wal file beside the database holds changes of that very
// file.
//
// Nothing in a -wal file names the database it belongs to, and SQLite applies whatever valid
// frames it finds there to the file now at the path: a file put back from a backup (by mv or cp)
// while the -wal still held changes of the file it replaced (in a burst of writes, or after a
// crash) would get them applied over it. So every write transaction of ours also counts itself
// in the database header's user version (page 1, offset 60), and each transaction in the -wal
// carries page 1 with its count. Checkpoints copy frames into the file in order, so the file a
// -wal belongs to holds the count the -wal started from (the first transaction's, less one) or
// one of those in it. A backup carries an older count; another file's counts started elsewhere,
// as each file's first count is drawn at random when it is made (or, for a file still at 0, at
// its first write: 0 may then precede any count).

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace virelon::platform::sqlite {

/// The count the next write transaction stores after `current`: one higher, wrapping after 2^32
/// past 0, which only a file never written holds; after that 0, a random one.
std::int32_t nextCommitCount(std::int32_t current) noexcept;

/// True when the -wal file beside `path` holds committed transactions of ours and the file at
/// `path` holds none of their counts, nor the one they started from: the file was replaced while
/// they were waiting. False when there is no -wal, it holds nothing SQLite would apply, its
/// transactions do not count themselves (another program's writes), or they belong to the file.
/// Read as SQLite's recovery reads the -wal (valid header, frames up to the last commit whose
/// salts and checksums hold), without opening the database. A -wal or file that changed while it
/// was read (a writer or a checkpoint at work) is read again; one that keeps changing is a
/// writer's, whose -wal it is.
bool walOfAnotherFile(const std::string& path) noexcept;

/// True when the -wal file beside the connection's path holds committed transactions of ours
/// that belong to the file the connection has open (which may no longer be at the path).
bool walOfOpenFile(sqlite3* db) noexcept;

} // namespace virelon::platform::sqlite
