#include "WalLineage.h"

#include "platform/FileDescriptor.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/random.h>
#include <unistd.h>

namespace virelon::platform::sqlite {

namespace {

// SQLite's -wal format: a 32-byte header (magic, format version, page size, checkpoint sequence,
// two salts, a checksum of the bytes before it), then frames: a 24-byte header (page number, the
// database size in pages on a commit frame and 0 otherwise, the salts, a cumulative checksum)
// and the page. Numbers are big-endian; the checksum adds 32-bit words in the byte order the
// magic's lowest bit names.
constexpr std::size_t walHeaderSize = 32, frameHeaderSize = 24;
constexpr std::uint32_t walMagic = 0x377f0682, walVersion = 3007000;
constexpr std::size_t userVersionOffset = 60; // in page 1: the database header's user version
constexpr int looksWhileChanging = 5;         // at a -wal or file changing while it is read

std::uint32_t bigEndian(const unsigned char* bytes) noexcept {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
}

struct Checksum {
    std::uint32_t first = 0, second = 0;
    bool bigEndianWords = true;

    void add(const unsigned char* bytes, std::size_t size) noexcept {
        const auto word = [this](const unsigned char* at) {
            return bigEndianWords ? bigEndian(at)
                                  : std::uint32_t{at[3]} << 24 | std::uint32_t{at[2]} << 16 |
                                        std::uint32_t{at[1]} << 8 | std::uint32_t{at[0]};
        };
        for (std::size_t i = 0; i + 8 <= size; i += 8) {
            first += word(bytes + i) + second;
            second += word(bytes + i + 4) + first;
        }
    }
    bool matches(const unsigned char* stored) const noexcept {
        return bigEndian(stored) == first && bigEndian(stored + 4) == second;
    }
};

bool readExactly(int fd, unsigned char* into, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t got = ::read(fd, into, size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        into += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

// The counts of the first and the last committed transaction in the -wal that wrote page 1.
struct Counts {
    std::uint32_t first = 0, last = 0;
};

// Read as SQLite's recovery reads the -wal: nothing when its header does not hold (SQLite then
// ignores it), frames up to the first whose salts or checksum do not hold, and of those only the
// transactions that committed. `steady` is false when the header was rewritten (a new generation
// of frames begun) or the file cut short (a checkpoint emptied it) while the frames were read:
// what was read may then be a part of what is there.
std::optional<Counts> committedCounts(const std::string& walPath, bool& steady) noexcept {
    steady = true;
    const FileDescriptor wal(
        ::open(walPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    std::array<unsigned char, walHeaderSize> header{};
    if (!wal || !readExactly(wal.get(), header.data(), header.size()))
        return std::nullopt;
    const std::uint32_t magic = bigEndian(&header[0]), pageSize = bigEndian(&header[8]);
    Checksum sum{0, 0, (magic & 1) != 0};
    sum.add(header.data(), 24);
    if ((magic & ~1u) != walMagic || bigEndian(&header[4]) != walVersion || pageSize < 512 ||
        pageSize > 65536 || (pageSize & (pageSize - 1)) != 0 || !sum.matches(&header[24]))
        return std::nullopt;

    std::vector<unsigned char> frame;
    try {
        frame.resize(frameHeaderSize + pageSize);
    } catch (...) {
        return std::nullopt;
    }
    std::optional<Counts> committed;
    std::optional<std::uint32_t> pending; // page 1's count in the transaction being read
    while (readExactly(wal.get(), frame.data(), frame.size())) {
        const std::uint32_t page = bigEndian(&frame[0]);
        const bool commit = bigEndian(&frame[4]) != 0;
        if (page == 0 || !std::equal(&frame[8], &frame[16], &header[16]))
            break;
        sum.add(frame.data(), 8);
        sum.add(frame.data() + frameHeaderSize, pageSize);
        if (!sum.matches(&frame[16]))
            break;
        if (page == 1)
            pending = bigEndian(&frame[frameHeaderSize + userVersionOffset]);
        if (commit && pending) {
            committed = Counts{committed ? committed->first : *pending, *pending};
            pending.reset();
        }
    }
    std::array<unsigned char, walHeaderSize> again{};
    steady =
        ::pread(wal.get(), again.data(), again.size(), 0) == std::ssize(again) && again == header;
    return committed;
}

// The count in a database file's own page 1, read through SQLite's file layer.
std::optional<std::uint32_t> countIn(sqlite3_file* file) noexcept {
    std::array<unsigned char, 4> count{};
    if (!file->pMethods ||
        file->pMethods->xRead(file, count.data(), count.size(), userVersionOffset) != SQLITE_OK)
        return std::nullopt;
    return bigEndian(count.data());
}

// The count in the database file at `path`, without its -wal. Opened through SQLite's file
// layer, which keeps the file open while this process holds locks on it: closing a descriptor
// of our own would drop every lock the process's connections hold there. The file alone may be
// halfway through a checkpoint, so it is not read as a database.
std::optional<std::uint32_t> fileCount(const std::string& path) noexcept {
    sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
    if (!vfs)
        return std::nullopt;
    std::unique_ptr<char[]> storage(
        new (std::nothrow) char[static_cast<std::size_t>(vfs->szOsFile)]());
    auto* file = reinterpret_cast<sqlite3_file*>(storage.get());
    if (!file)
        return std::nullopt;
    int flags = 0;
    const bool opened = vfs->xOpen(vfs, path.c_str(), file,
                                   SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_READONLY, &flags) == SQLITE_OK;
    const auto count = opened ? countIn(file) : std::nullopt;
    if (file->pMethods) // set even by an opening that failed halfway
        file->pMethods->xClose(file);
    return count;
}

// Whether a file holding `count` is the one the -wal's transactions started from or one of them;
// in unsigned arithmetic, counted from the count before the first, so that counts may wrap. A
// file still at 0 (made before files counted, or made in place) may be the start of any history.
bool fits(const Counts& counts, std::uint32_t count) noexcept {
    const std::uint32_t base = counts.first - 1;
    return count == 0 || count - base <= counts.last - base;
}

} // namespace

std::int32_t nextCommitCount(std::int32_t current) noexcept {
    auto next = static_cast<std::uint32_t>(current) + 1;
    if (current == 0) { // the first count of the file's history: anywhere
        const auto got = ::getrandom(&next, sizeof next, GRND_NONBLOCK);
        if (got != static_cast<ssize_t>(sizeof next))
            next = static_cast<std::uint32_t>(::time(nullptr)) ^
                   static_cast<std::uint32_t>(::getpid()) << 16;
    }
    return static_cast<std::int32_t>(next == 0 ? 1 : next);
}

bool walOfAnotherFile(const std::string& path) noexcept {
    for (int look = 0; look < looksWhileChanging; ++look) {
        if (look > 0)
            ::usleep(2'000);
        const auto before = fileCount(path);
        bool steady = true;
        const auto counts = committedCounts(path + "-wal", steady);
        if (!counts && steady)
            return false;
        if (!steady || fileCount(path) != before) // a writer or a checkpoint at work: look again
            continue;
        return !(before && fits(*counts, *before));
    }
    return false; // changing all the time: a writer at work on it, whose -wal it is
}

bool walOfOpenFile(sqlite3* db) noexcept {
    const char* path = sqlite3_db_filename(db, "main");
    const char* wal = path && *path ? sqlite3_filename_wal(path) : nullptr;
    sqlite3_file* file = nullptr;
    if (!wal || sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
        !file)
        return false;
    bool steady = true;
    const auto counts = committedCounts(wal, steady);
    const auto count = counts && steady ? countIn(file) : std::nullopt;
    return count && fits(*counts, *count);
}

} // namespace virelon::platform::sqlite
