#pragma once

// Inside the adapter only: the domain's folder and file, and whose they are.

#include <string>

#include <sys/stat.h>

namespace virelon::platform::sqlite {

/// Creates the directory and any missing parents, each with mode 0700. Existing ones are left as
/// they are.
bool makeDirectories(const std::string& path);

/// Creates the file (0600), which tells us that it is ours to initialise. False when it exists.
bool createFile(const std::string& path) noexcept;

/// True when the folder or file belongs to the user and nobody else may write it. One that others
/// may read or write is narrowed to `narrowed` first (an earlier umask, a folder made by hand).
/// Another user's, or one that others may write and that cannot be narrowed (a read-only file
/// system), is not ours.
bool ownedByUser(const std::string& path, const struct stat& info, mode_t narrowed) noexcept;

/// Every file SQLite may open beside the database (-journal, -wal, -shm), where there is one, is
/// ours as well: a regular file of the user's own (SQLite does not follow links to them). Another
/// user's rollback journal would be rolled back into our file at the next opening; a FIFO would
/// block the opening forever. Checked once the folder is the user's alone, after which nobody else
/// can plant one.
bool companionsOwnedByUser(const std::string& path);

bool fileExists(const std::string& path) noexcept;

/// True when the file lies on a file system mounted read-only: nobody can change it there.
bool onReadOnlyFileSystem(const std::string& path) noexcept;

} // namespace virelon::platform::sqlite
