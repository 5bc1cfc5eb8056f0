#pragma once

// Inside the adapter only: connections made defensive, and what a file holds (the schema and
// journal mode checks).

#include "SqliteStatements.h"

#include <string>

namespace virelon::platform::sqlite {

/// A connection that waits preferencesBusyTimeout for another one's lock, runs nothing another
/// program left in the file (triggers, views, functions called from the schema, writes to the
/// schema) and bounds each statement. Null when it cannot be opened so.
Connection openConnection(const std::string& name, int flags);

enum class Schema { Empty, Ours, Foreign, Unreadable };

/// Our one table and nothing else is Ours; nothing at all is Empty.
Schema readSchema(sqlite3* db) noexcept;

/// A read-only connection that takes the file as nobody will change it: no locks, no -wal or -shm
/// files looked at or made.
Connection openImmutable(const std::string& path);

/// Looks at an existing file without changing it or leaving anything beside it.
bool holdsOurTable(const std::string& path);

/// Creates the table in a file that holds nothing yet. The check and the creation share one write
/// transaction, so of several processes creating the domain at once exactly one creates the table.
bool initialise(sqlite3* db) noexcept;

bool inWalMode(sqlite3* db) noexcept;

enum class Creation { Created, Exists, Failed };

/// Creates the file at `path` (0600). Where the file system allows it, the file holds our table in
/// WAL mode from the start; elsewhere it is created empty, which tells the caller to initialise
/// it. Exists: there is a file (or link) there already.
Creation createOurFile(const std::string& path);

} // namespace virelon::platform::sqlite
