#include "SqliteStatements.h"

#include <algorithm>
#include <chrono>

namespace virelon::platform::sqlite {

namespace {

using Clock = std::chrono::steady_clock;

// When the statement running on this thread has to give up. A file may hold work that never ends
// (another program's schema objects, a hostile file changed under an open connection): SQLite's
// progress handler interrupts whatever runs past it.
thread_local Clock::time_point statementDeadline = Clock::time_point::max();

} // namespace

int pastStatementDeadline(void*) noexcept {
    return Clock::now() > statementDeadline ? 1 : 0;
}

StatementBound::StatementBound() noexcept : saved_(statementDeadline) {
    statementDeadline = std::min(saved_, Clock::now() + preferencesStatementBound);
}

StatementBound::~StatementBound() {
    statementDeadline = saved_;
}

int boundedStep(sqlite3_stmt* statement) noexcept {
    const StatementBound bound;
    return sqlite3_step(statement);
}

bool execute(sqlite3* db, const char* sql) noexcept {
    const StatementBound bound;
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool bindText(sqlite3_stmt* statement, int index, std::string_view text) noexcept {
    // A null pointer would bind SQL NULL instead of an empty text.
    const char* bytes = text.data() ? text.data() : "";
    return sqlite3_bind_text64(statement, index, bytes, text.size(), SQLITE_STATIC, SQLITE_UTF8) ==
           SQLITE_OK;
}

bool bindValue(sqlite3_stmt* statement, int index, const StoredValue& value) noexcept {
    if (const auto* whole = std::get_if<std::int64_t>(&value))
        return sqlite3_bind_int64(statement, index, *whole) == SQLITE_OK;
    if (const auto* real = std::get_if<double>(&value))
        return sqlite3_bind_double(statement, index, *real) == SQLITE_OK;
    if (const auto* text = std::get_if<std::string>(&value))
        return bindText(statement, index, *text);
    const auto& bytes = std::get<std::vector<std::uint8_t>>(value);
    // A null pointer would bind SQL NULL instead of an empty blob.
    const void* data = bytes.empty() ? static_cast<const void*>("") : bytes.data();
    return sqlite3_bind_blob64(statement, index, data, bytes.size(), SQLITE_STATIC) == SQLITE_OK;
}

std::optional<StoredValue> columnValue(sqlite3_stmt* statement, int column) {
    std::optional<StoredValue> result;
    switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
        result.emplace(std::in_place_type<std::int64_t>, sqlite3_column_int64(statement, column));
        break;
    case SQLITE_FLOAT:
        result.emplace(std::in_place_type<double>, sqlite3_column_double(statement, column));
        break;
    case SQLITE_TEXT: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
        const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement, column));
        if (text) // else out of memory
            result.emplace(std::in_place_type<std::string>, text, size);
        break;
    }
    case SQLITE_BLOB: {
        const auto* bytes =
            static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, column));
        const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement, column));
        if (size == 0)
            result.emplace(std::in_place_type<std::vector<std::uint8_t>>);
        else if (bytes)
            result.emplace(std::in_place_type<std::vector<std::uint8_t>>, bytes, bytes + size);
        break;
    }
    default:
        break;
    }
    return result;
}

} // namespace virelon::platform::sqlite
