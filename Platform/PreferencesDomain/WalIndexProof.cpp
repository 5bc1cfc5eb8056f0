#include "WalIndexProof.h"

#include "DomainSchema.h"

#include <atomic>
#include <cstring>

namespace virelon::platform::sqlite {

namespace {

// The WAL-index, in 32-bit words of the machine's own byte order: two copies of the 48-byte
// header at bytes 0 and 48, then the checkpoint information, nBackfill first (byte 96).
constexpr std::size_t headerWords = 12;
constexpr std::size_t backfilledWord = 24;
constexpr int indexPageSize = 32768; // the unit in which SQLite maps the WAL-index
constexpr std::uint32_t knownVersion = 3007000;

// The header's own checksum: over its first 40 bytes, as pairs of native words.
bool checksumHolds(const std::array<std::uint32_t, headerWords>& header) noexcept {
    std::uint32_t s1 = 0, s2 = 0;
    for (std::size_t i = 0; i < 10; i += 2) {
        s1 += header[i] + s2;
        s2 += header[i + 1] + s1;
    }
    return s1 == header[10] && s2 == header[11];
}

} // namespace

bool WalIndexProof::attach(sqlite3* db) noexcept {
    index_ = nullptr;
    if (!inWalMode(db))
        return false;
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file ||
        !file->pMethods || file->pMethods->iVersion < 2 || !file->pMethods->xShmMap)
        return false;
    // The first page of the WAL-index, mapped already by the read that went before; not extended.
    volatile void* region = nullptr;
    if (file->pMethods->xShmMap(file, 0, indexPageSize, 0, &region) != SQLITE_OK || !region)
        return false;
    index_ = static_cast<const std::uint32_t*>(const_cast<const void*>(region));
    return true;
}

std::optional<WalIndexStamp> WalIndexProof::stamp() const noexcept {
    if (!index_)
        return std::nullopt;
    // Other processes write this memory. A writer stores the second copy, then (after a barrier)
    // the first; reading the first, then after a barrier the second, finds them equal only once
    // both hold the same commit, as SQLite's own readers check.
    WalIndexStamp now;
    std::array<std::uint32_t, headerWords> second{};
    for (std::size_t i = 0; i < headerWords; ++i)
        now.header[i] = __atomic_load_n(index_ + i, __ATOMIC_RELAXED);
    std::atomic_thread_fence(std::memory_order_acquire);
    for (std::size_t i = 0; i < headerWords; ++i)
        second[i] = __atomic_load_n(index_ + headerWords + i, __ATOMIC_RELAXED);
    now.backfilled = __atomic_load_n(index_ + backfilledWord, __ATOMIC_RELAXED);
    std::atomic_thread_fence(std::memory_order_acquire);

    unsigned char initialised = 0; // the byte after iChange
    std::memcpy(&initialised, reinterpret_cast<const unsigned char*>(now.header.data()) + 12, 1);
    if (now.header != second || initialised == 0 || now.header[0] != knownVersion ||
        !checksumHolds(now.header))
        return std::nullopt;
    return now;
}

} // namespace virelon::platform::sqlite
