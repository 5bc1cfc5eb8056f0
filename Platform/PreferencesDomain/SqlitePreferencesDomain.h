#pragma once

// Inside the adapter only: the domain over a connection to a file that holds our table.

#include "SqliteStatements.h"

#include <memory>

namespace virelon::platform::sqlite {

/// Takes the connection over; it must already be defensive and bounded (openConnection()).
std::unique_ptr<PreferencesDomain> makeSqlitePreferencesDomain(Connection db);

} // namespace virelon::platform::sqlite
