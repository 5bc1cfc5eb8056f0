// Settings path benchmark. Run inside a private session (scripts/bench.sh):
//  (a) saveSetting as the screen pays it, paced 10 ms apart, next to a bare SQLite upsert with
//      the same pragmas, and the same upsert with synchronous=FULL (the durability choice);
//  (b) from saveSetting's call until another process, woken by the change signal, has read all
//      six settings, next to the signal alone (no write);
//  (c) the engine's read of all six settings, next to one bare prepared SELECT of six keys.
// Usage: settings_bench [--quick]

#include "BenchSupport.h"
#include "EngineProcess.h"
#include "platform/SettingsSignal.h"
#include "virelon/LegacyMigration.h"
#include "virelon/VirelonSharedSettings.h"

#include <sqlite3.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using virelon::VirelonSharedSettings;

namespace {

constexpr std::int64_t pace = bench::writePace;

/// A scratch database with the domain's schema, written with bare SQLite calls.
class BareDatabase {
public:
    BareDatabase(const std::string& path, const char* synchronous) {
        std::filesystem::remove(path);
        sqlite3_open(path.c_str(), &db_);
        sqlite3_busy_timeout(db_, 500);
        exec("PRAGMA journal_mode=WAL");
        exec((std::string("PRAGMA synchronous=") + synchronous).c_str());
        exec("CREATE TABLE preferences(key TEXT PRIMARY KEY NOT NULL, value ANY NOT NULL) "
             "STRICT, WITHOUT ROWID");
        for (const char* key :
             {"intonation", "headSizePercent", "voicing", "wordPause", "phrasePause"})
            upsert(key, 50);
        sqlite3_prepare_v2(db_,
                           "INSERT INTO preferences(key,value) VALUES(?,?) ON CONFLICT(key) DO "
                           "UPDATE SET value=excluded.value",
                           -1, &write_, nullptr);
        sqlite3_prepare_v2(db_,
                           "SELECT key, value FROM preferences WHERE key IN ('intonation', "
                           "'headSizePercent', 'voicing', 'wordPause', 'phrasePause', "
                           "'fallbackVoiceIdentifier')",
                           -1, &read_, nullptr);
    }
    ~BareDatabase() {
        sqlite3_finalize(write_);
        sqlite3_finalize(read_);
        sqlite3_close(db_);
    }
    void upsert(const char* key, std::int64_t value) {
        if (!write_) {
            const std::string sql = std::string("INSERT INTO preferences VALUES('") + key + "'," +
                                    std::to_string(value) + ")";
            exec(sql.c_str());
            return;
        }
        sqlite3_bind_text(write_, 1, key, -1, SQLITE_STATIC);
        sqlite3_bind_int64(write_, 2, value);
        sqlite3_step(write_);
        sqlite3_reset(write_);
    }
    std::int64_t readSix() {
        std::int64_t sum = 0;
        while (sqlite3_step(read_) == SQLITE_ROW)
            sum += sqlite3_column_int64(read_, 1);
        sqlite3_reset(read_);
        return sum;
    }

private:
    void exec(const char* sql) { sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }
    sqlite3* db_ = nullptr;
    sqlite3_stmt* write_ = nullptr;
    sqlite3_stmt* read_ = nullptr;
};

std::vector<double> pacedWrites(int count, const auto& write) {
    std::vector<double> samples;
    for (int i = 0; i < count; ++i) {
        const auto start = bench::nowNs();
        write(i);
        samples.push_back(static_cast<double>(bench::nowNs() - start) / 1000.0);
        bench::sleepNs(pace);
    }
    return samples;
}

using Engine = bench::EngineProcess;

std::vector<double> toEngine(int count, Engine& engine, const auto& change) {
    std::vector<double> samples;
    for (int i = 0; i < count; ++i) {
        const auto start = bench::nowNs();
        change(i);
        samples.push_back(static_cast<double>(engine.nextReadDone().first - start) / 1000.0);
        bench::sleepNs(pace);
    }
    return samples;
}

} // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int writes = quick ? 200 : 1000;
    const auto here = std::filesystem::path(argv[0]).parent_path();
    const auto scratch = std::filesystem::temp_directory_path() / "virelon-bench.db";

    virelon::migrateLegacySettings(); // opens the domain as a launch does
    std::printf("Settings path, %d paced writes\n", writes);

    // (a)
    const auto ours = bench::summarize(pacedWrites(
        writes, [](int i) { VirelonSharedSettings::saveSetting(i % 101, "intonation"); }));
    {
        BareDatabase normal(scratch.string(), "NORMAL");
        const auto bare = bench::summarize(
            pacedWrites(writes, [&](int i) { normal.upsert("intonation", i % 101); }));
        bench::report("(a) saveSetting", ours, bare, "bare upsert (NORMAL)");
    }
    {
        BareDatabase full(scratch.string(), "FULL");
        const auto bare = bench::summarize(
            pacedWrites(writes, [&](int i) { full.upsert("intonation", i % 101); }));
        bench::report("    bare upsert (FULL)", bare, ours, "saveSetting (NORMAL)");
    }

    // (b)
    {
        Engine engine({(here / "settings_bench_engine").string()});
        const int changes = writes / 5;
        const auto write = bench::summarize(toEngine(changes, engine, [](int i) {
            VirelonSharedSettings::saveSetting(i % 101, "voicing");
        }));
        auto poster = virelon::platform::makeSessionBusPoster();
        const auto signalOnly = bench::summarize(toEngine(changes, engine, [&](int) {
            poster->post(VirelonSharedSettings::changeNotification());
        }));
        bench::report("(b) saveSetting -> engine read 6", write, signalOnly,
                      "signal -> engine read 6");
    }

    // (c)
    {
        const auto six = bench::summarize(bench::perCall(quick ? 200 : 2000, [] {
            return VirelonSharedSettings::intonation() + VirelonSharedSettings::headSize() +
                   VirelonSharedSettings::voicing() + VirelonSharedSettings::wordPause() +
                   VirelonSharedSettings::phrasePause() +
                   static_cast<std::int64_t>(
                       VirelonSharedSettings::fallbackVoiceIdentifier().value_or("").size());
        }));
        const auto snapshot = bench::summarize(bench::perCall(quick ? 200 : 2000, [] {
            const auto all = VirelonSharedSettings::voiceSettings();
            return all.intonation + all.headSize + all.voicing + all.wordPause + all.phrasePause +
                   static_cast<std::int64_t>(all.fallbackVoiceIdentifier.value_or("").size());
        }));
        BareDatabase bare(scratch.string(), "NORMAL");
        const auto select =
            bench::summarize(bench::perCall(quick ? 200 : 2000, [&] { return bare.readSix(); }));
        bench::report("(c) engine reads six (snapshot)", snapshot, select,
                      "one bare SELECT of six");
        bench::report("    six getters one by one", six, select, "one bare SELECT of six");
    }
    std::filesystem::remove(scratch);
    return 0;
}
