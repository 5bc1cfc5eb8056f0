#pragma once

// Inside the adapter only: SQLite handles, statements bounded in time, binding and reading values.

#include "platform/PreferencesDomain.h"

#include <sqlite3.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string_view>

namespace virelon::platform::sqlite {

struct ConnectionCloser {
    void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
};
using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

/// The progress handler every connection installs: interrupts a statement that runs past the
/// deadline of the StatementBound around it.
int pastStatementDeadline(void*) noexcept;

/// Bounds the statements run on this thread while it lives to preferencesStatementBound; nested
/// bounds keep the earliest deadline.
class StatementBound {
public:
    StatementBound() noexcept;
    ~StatementBound();
    StatementBound(const StatementBound&) = delete;
    StatementBound& operator=(const StatementBound&) = delete;

private:
    std::chrono::steady_clock::time_point saved_;
};

/// sqlite3_step() within a StatementBound.
int boundedStep(sqlite3_stmt* statement) noexcept;

/// sqlite3_exec() within a StatementBound; true when it succeeded.
bool execute(sqlite3* db, const char* sql) noexcept;

/// Leaves a statement ready for its next use, whatever way the use ended. Resetting also ends the
/// read transaction of a statement that stopped at a row.
class ResetOnExit {
public:
    explicit ResetOnExit(sqlite3_stmt* statement) noexcept : statement_(statement) {}
    ~ResetOnExit() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
    ResetOnExit(const ResetOnExit&) = delete;
    ResetOnExit& operator=(const ResetOnExit&) = delete;

private:
    sqlite3_stmt* statement_;
};

/// Binds the exact bytes, embedded NULs included. The text must outlive the statement's next step.
bool bindText(sqlite3_stmt* statement, int index, std::string_view text) noexcept;

/// Binds a value of any kind as it is; texts and bytes as bindText() does.
bool bindValue(sqlite3_stmt* statement, int index, const StoredValue& value) noexcept;

/// A column of the current row (the first unless told); nothing for NULL, a kind we do not know,
/// or when memory runs out. Throws only std::bad_alloc.
std::optional<StoredValue> columnValue(sqlite3_stmt* statement, int column = 0);

} // namespace virelon::platform::sqlite
