#pragma once

// Inside the adapter only: the domain over a connection to a file that holds our table.

#include "SqliteStatements.h"

#include <memory>
#include <mutex>

namespace virelon::platform::sqlite {

/// Takes the connection over; it must already be defensive and bounded (openConnection()). Call
/// with the connections held.
std::unique_ptr<PreferencesDomain> makeSqlitePreferencesDomain(Connection db);

/// Held while connections to a settings file are opened or closed. A fork holds it too, and
/// waits until no domain is inside SQLite, so that SQLite's own locks are free in the child. The
/// first hold in the child closes the connections it inherited, before it opens any: SQLite keeps
/// one record per file and process of the POSIX locks it holds, which a fresh connection would
/// otherwise share with an inherited one, though the child holds none of those locks (closing
/// them in the child releases nothing of the parent's). Domains made before the fork then fail
/// every operation in the child.
std::unique_lock<std::mutex> holdConnections();

} // namespace virelon::platform::sqlite
