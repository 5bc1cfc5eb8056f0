#pragma once

// Inside the adapter only: proving from SQLite's WAL-index (the -shm file, in its documented
// format) that nobody committed since a read, so that the read's values may be given again
// without a read transaction. See "The read that proves nothing changed" in README.md.

#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <optional>

namespace virelon::platform::sqlite {

/// The WAL-index as it was at one moment: the header's first copy (mxFrame, salts, checksums,
/// iChange among it) and the count of frames checkpointed into the database (nBackfill).
struct WalIndexStamp {
    std::array<std::uint32_t, 12> header{};
    std::uint32_t backfilled = 0;
    bool operator==(const WalIndexStamp&) const = default;
};

/// Reads the WAL-index of one connection through the mapping its own VFS made (the documented
/// xShmMap method), never one of our own: the proof looks at exactly the memory the connection's
/// reads would consult, and opens, locks or closes nothing (closing a descriptor of the -shm file
/// would drop every lock this process holds on it).
class WalIndexProof {
public:
    /// Attaches to the connection's WAL-index. Only after a read has succeeded on the connection
    /// in WAL mode: then it holds the -shm file mapped and a shared lock on the database file,
    /// which keeps every other connection from leaving WAL mode while it is open. False (and the
    /// proof stays unavailable) when the database is not in WAL mode or has no mapping.
    bool attach(sqlite3* db) noexcept;

    /// The header as it is now, when it validates: both copies identical, initialised, the
    /// version known and the checksum right. Nothing while it is being written, never written,
    /// or when no WAL-index is attached.
    std::optional<WalIndexStamp> stamp() const noexcept;

    bool attached() const noexcept { return index_ != nullptr; }

private:
    const std::uint32_t* index_ = nullptr; // valid while the connection is open
};

} // namespace virelon::platform::sqlite
