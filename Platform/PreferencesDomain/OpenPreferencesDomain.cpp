#include "platform/PreferencesDomain.h"

#include "DomainFiles.h"
#include "DomainSchema.h"
#include "SqlitePreferencesDomain.h"
#include "WalLineage.h"

#include <cstdlib>
#include <utility>

#include <sys/stat.h>

namespace virelon::platform {

namespace {

using namespace sqlite;

std::unique_ptr<PreferencesDomain> openDomain(std::string_view suiteName) {
    const auto location = preferencesDomainPath(suiteName);
    if (!location)
        return nullptr;
    const std::string folder = location->substr(0, location->find_last_of('/'));
    struct stat folderInfo {};
    if (!makeDirectories(folder) || ::stat(folder.c_str(), &folderInfo) != 0 ||
        !ownedByUser(folder, folderInfo, 0700))
        return nullptr;
    const auto creation = createOurFile(*location);
    if (creation == Creation::Failed)
        return nullptr;
    const bool created = creation == Creation::Created;

    // SQLite follows symbolic links to place its -wal and -shm files; so does everything here.
    char* resolved = ::realpath(location->c_str(), nullptr);
    if (!resolved)
        return nullptr;
    const std::string path(resolved);
    std::free(resolved);

    // Never through a link into another user's file, and no connection opened before the file and
    // every companion SQLite may open beside it are the user's alone.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        !ownedByUser(path, info, 0600) || !companionsOwnedByUser(path))
        return nullptr;
    // Changes waiting in the -wal for the file this one replaced are neither applied to it nor
    // dropped: the file is refused until its user decides (walOfAnotherFile()).
    if (walOfAnotherFile(path))
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
        Schema schema = readSchema(db.get());
        // On a read-only mount without -wal and -shm files SQLite cannot read a file in WAL mode
        // (it could make neither); nobody can change the file there, so it is read as immutable.
        // Writes then fail one by one.
        if (schema == Schema::Unreadable && onReadOnlyFileSystem(path) &&
            !fileExists(path + "-wal") && !fileExists(path + "-shm")) {
            if (auto immutable = openImmutable(path)) {
                db = std::move(immutable);
                schema = readSchema(db.get());
            }
        }
        if (schema == Schema::Empty || schema == Schema::Foreign)
            return nullptr;
        readable = schema == Schema::Ours;
    }
    // WAL is switched on once, by whoever finds the file not yet in WAL mode: right after creating
    // it, or after a crash between creating the table and switching. A read-only file stays as it
    // is.
    if (readable && !inWalMode(db.get()))
        execute(db.get(), "PRAGMA journal_mode=WAL");
    return makeSqlitePreferencesDomain(std::move(db));
}

} // namespace

std::unique_ptr<PreferencesDomain> openPreferencesDomain(std::string_view suiteName) noexcept {
    try {
        const auto held = holdConnections(); // opened whole or not at all around a fork
        return openDomain(suiteName);
    } catch (...) {
        return nullptr;
    }
}

bool preferencesDomainHasForeignWal(std::string_view suiteName) noexcept {
    try {
        const auto location = preferencesDomainPath(suiteName);
        char* resolved = location ? ::realpath(location->c_str(), nullptr) : nullptr;
        if (!resolved)
            return false;
        const std::string path(resolved);
        std::free(resolved);
        return walOfAnotherFile(path);
    } catch (...) {
        return false;
    }
}

} // namespace virelon::platform
