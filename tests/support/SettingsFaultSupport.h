#pragma once

// What the fault tests of the shared settings share: the helper process, a read of the six
// settings by a fresh process, SQLite's own integrity check, and the file's bytes.

#include "SettingsWriteSequence.h"
#include "Subprocess.h"
#include "virelon/Identifiers.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace virelon::test {

inline std::string faultHelper = VIRELON_SETTINGS_FAULT_HELPER;

/// The domain file of the shared settings under the current XDG_CONFIG_HOME.
inline std::filesystem::path settingsFile() {
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    return std::filesystem::path(configHome ? configHome : "") /
           std::string(identifiers::suiteName) / "preferences.db";
}

/// All six settings as a process started now reads them (the engine starting up).
inline std::string readInAnotherProcess() {
    const auto result = runProgram(faultHelper, {"read"});
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out.empty() ? result.out : result.out.substr(0, result.out.size() - 1);
}

inline std::string defaultsDescribed() {
    return describe({settings::intonation.defaultValue, settings::headSize.defaultValue,
                     settings::voicing.defaultValue, settings::wordPause.defaultValue,
                     settings::phrasePause.defaultValue, std::nullopt});
}

/// PRAGMA integrity_check as another program's connection runs it.
inline std::string integrityCheck(const std::filesystem::path& file) {
    sqlite3* db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            result = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        else
            result = sqlite3_errmsg(db);
        sqlite3_finalize(statement);
    }
    sqlite3_close_v2(db);
    return result;
}

inline std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline std::set<std::string> listing(const std::filesystem::path& directory) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

} // namespace virelon::test
