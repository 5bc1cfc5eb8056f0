// Storage that fails under the shared settings, met through their public API as the application
// and the engine use it: a full file system, a read-only file, folder or file system, a file at
// the domain's place that is not ours (another program's, another user's, ours with schema objects
// planted beside the table), and a file replaced under a reader. Whatever happens, a write is
// reported saved only when it was (by the process that wrote and by a process started afterwards),
// a failed write posts no change signal, and a file that is not ours stays byte for byte as it was.

#include "ActingAsUser.h"
#include "ScratchHome.h"
#include "SettingsFaultSupport.h"
#include "SettingsSignal.h"
#include "SignalCounter.h"
#include "virelon/virelon_settings.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using virelon::VirelonSharedSettings;
namespace fs = std::filesystem;
namespace test = virelon::test;
namespace settings = virelon::settings;
using namespace std::string_literals;

namespace {

class SettingsStorageFault : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(signals.listening()) << "the test session has a bus"; }
    int signalsNow() { return signals.now(); }
    std::string readHere() {
        return test::describe(test::stateOf(VirelonSharedSettings::voiceSettings()));
    }
    /// Mounts made from here on are this process's own and vanish with it. Empty when allowed.
    static std::string privateMounts() {
        if (::unshare(CLONE_NEWNS) != 0)
            return "cannot make a mount namespace: "s + std::strerror(errno);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return "cannot make mounts private: "s + std::strerror(errno);
        return {};
    }

    test::ScratchHome scratch;
    virelon::test::SignalCounter signals;
};

/// A small file system in memory at the folder, unmounted again at the end of the test.
class SmallFileSystem {
public:
    SmallFileSystem(const fs::path& at, const char* size) : at_(at) {
        fs::create_directories(at);
        error_ = ::mount("tmpfs", at.c_str(), "tmpfs", 0, ("size="s + size + ",mode=0700").c_str())
                     ? "cannot mount a tmpfs: "s + std::strerror(errno)
                     : "";
    }
    ~SmallFileSystem() {
        if (error_.empty())
            ::umount2(at_.c_str(), MNT_DETACH);
    }
    const std::string& error() const { return error_; }

    /// Writes a filler file until nothing more fits.
    void fill() {
        const int fd = ::open((at_ / "filler").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        const std::string block(4096, 'f');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        ::close(fd);
    }
    /// Gives some space back.
    void free(off_t bytes) {
        const fs::path filler = at_ / "filler";
        const auto size = static_cast<off_t>(fs::file_size(filler));
        ASSERT_EQ(::truncate(filler.c_str(), size > bytes ? size - bytes : 0), 0);
    }

private:
    fs::path at_;
    std::string error_;
};

// Writes 0..5 in another process that then ends normally, closing the file as an earlier run of
// the application would (the last connection to close takes the -wal and -shm files away).
void writeEverySettingInAnotherProcess() {
    const auto result =
        test::runProgram(test::faultHelper, {"write-to", std::to_string(test::sequenceKeys - 1)});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
}

std::string stateAfterFirstWrites() {
    return test::describe({test::controlValueOfWrite(0), test::controlValueOfWrite(1),
                           test::controlValueOfWrite(2), test::controlValueOfWrite(3),
                           test::controlValueOfWrite(4), test::fallbackOfWrite(5)});
}

TEST_F(SettingsStorageFault, OnAFullFileSystemAWriteIsReportedSavedOnlyWhenItWas) {
    if (const auto error = privateMounts(); !error.empty())
        GTEST_SKIP() << error;
    SmallFileSystem disk(scratch.configHome(), "256k");
    if (!disk.error().empty())
        GTEST_SKIP() << disk.error();
    for (std::int64_t n = 0; n < static_cast<std::int64_t>(test::sequenceKeys); ++n)
        ASSERT_TRUE(test::performWrite(n));
    int saves = static_cast<int>(test::sequenceKeys);

    // The disk runs full with a little room left, which long identifiers soon use up.
    disk.fill();
    disk.free(24 * 1024);
    int failures = 0;
    for (int i = 0; i < 24; ++i) {
        SCOPED_TRACE("write " + std::to_string(i));
        const std::string before = readHere();
        const bool saved =
            i % 3 == 2 ? VirelonSharedSettings::saveSetting(
                             i, settings::voiceControls[static_cast<std::size_t>(i % 5)].key)
                       : VirelonSharedSettings::setFallbackVoiceIdentifier(
                             "voice/" + std::to_string(i) + std::string(6000, 'x'));
        saves += saved;
        failures += !saved;
        const std::string after = readHere();
        if (saved)
            EXPECT_NE(after, before);
        else
            EXPECT_EQ(after, before) << "a write reported failed has landed";
        EXPECT_EQ(test::readInAnotherProcess(), after);
    }
    EXPECT_GT(failures, 0) << "the file system never ran full";
    RecordProperty("writesSavedOnTheFullFileSystem", saves - static_cast<int>(test::sequenceKeys));
    RecordProperty("writesFailedOnTheFullFileSystem", failures);
    EXPECT_EQ(signalsNow(), saves) << "one signal for each write reported saved, none else";

    // With room again, writing goes on where it stopped, on an intact file.
    disk.free(1 << 20);
    EXPECT_TRUE(VirelonSharedSettings::saveSetting(77, settings::voicing.key));
    EXPECT_EQ(VirelonSharedSettings::voicing(), 77);
    EXPECT_EQ(test::integrityCheck(test::settingsFile()), "ok");
}

TEST_F(SettingsStorageFault, AFileSystemFullFromTheStartGivesDefaultsAndFailedWrites) {
    if (const auto error = privateMounts(); !error.empty())
        GTEST_SKIP() << error;
    SmallFileSystem disk(scratch.configHome(), "64k");
    if (!disk.error().empty())
        GTEST_SKIP() << disk.error();
    disk.fill();

    EXPECT_EQ(readHere(), test::defaultsDescribed());
    EXPECT_FALSE(VirelonSharedSettings::saveSetting(40, settings::intonation.key));
    EXPECT_FALSE(VirelonSharedSettings::setFallbackVoiceIdentifier("m/Kate"));
    EXPECT_EQ(readHere(), test::defaultsDescribed());
    EXPECT_EQ(signalsNow(), 0);

    // What the failed start left behind does not stand in the way once there is room.
    disk.free(1 << 20);
    EXPECT_EQ(test::readInAnotherProcess(), test::defaultsDescribed());
}

enum class ReadOnly { File, Folder, FileSystem };

struct ReadOnlyCase {
    const char* name;
    ReadOnly what;
    bool storedReadable; // SQLite can make the -wal and -shm files it needs to read
};

void PrintTo(const ReadOnlyCase& c, std::ostream* out) {
    *out << c.name;
}

class SettingsReadOnlyStorage : public SettingsStorageFault,
                                public testing::WithParamInterface<ReadOnlyCase> {};

TEST_P(SettingsReadOnlyStorage, WritesFailPostNothingAndChangeNothing) {
    const auto& c = GetParam();
    writeEverySettingInAnotherProcess();
    const fs::path file = test::settingsFile();
    const fs::path folder = file.parent_path();
    const std::string bytes = test::contents(file);
    const int signalsBefore = signalsNow();

    std::optional<test::ActingAsUser> user;
    switch (c.what) {
    case ReadOnly::File:
    case ReadOnly::Folder:
        ASSERT_EQ(::chmod(c.what == ReadOnly::File ? file.c_str() : folder.c_str(),
                          c.what == ReadOnly::File ? 0400 : 0500),
                  0);
        // Root passes permission checks; an unprivileged user meets them. Such a user cannot
        // reach the test session's bus, so only the file system case can show a stray signal.
        user.emplace(scratch.root(), &test::faultHelper);
        if (!user->available())
            GTEST_SKIP() << "running as root and cannot act as an unprivileged user";
        break;
    case ReadOnly::FileSystem:
        if (const auto error = privateMounts(); !error.empty())
            GTEST_SKIP() << error;
        ASSERT_EQ(::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr), 0);
        ASSERT_EQ(
            ::mount(nullptr, folder.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0)
            << std::strerror(errno);
        break;
    }

    // The stored values where they can still be read, else the defaults: never anything else.
    // Without -wal and -shm files and no way to make them, SQLite cannot read the file.
    const std::string stored = stateAfterFirstWrites();
    const auto storedOrDefaults = [&](const std::string& read) {
        return c.storedReadable ? read == stored
                                : read == stored || read == test::defaultsDescribed();
    };
    EXPECT_PRED1(storedOrDefaults, readHere());
    EXPECT_PRED1(storedOrDefaults, test::readInAnotherProcess());
    EXPECT_FALSE(VirelonSharedSettings::saveSetting(40, settings::intonation.key));
    EXPECT_FALSE(VirelonSharedSettings::saveSetting(41, settings::phrasePause.key));
    EXPECT_FALSE(VirelonSharedSettings::setFallbackVoiceIdentifier("m/Kate"));
    EXPECT_PRED1(storedOrDefaults, readHere());
    EXPECT_EQ(signalsNow(), signalsBefore);
    EXPECT_EQ(test::contents(file), bytes);
    user.reset();
    if (c.what == ReadOnly::FileSystem)
        ::umount2(folder.c_str(), MNT_DETACH);
}

INSTANTIATE_TEST_SUITE_P(Cases, SettingsReadOnlyStorage,
                         testing::Values(ReadOnlyCase{"File", ReadOnly::File, true},
                                         ReadOnlyCase{"Folder", ReadOnly::Folder, false},
                                         ReadOnlyCase{"FileSystem", ReadOnly::FileSystem, false}),
                         [](const auto& tested) { return std::string(tested.param.name); });

struct ForeignFileCase {
    const char* name;
    std::function<void(const fs::path&)> make;
    bool asRoot = false; // gives files away to another user
};

void PrintTo(const ForeignFileCase& c, std::ostream* out) {
    *out << c.name;
}

class SettingsForeignFile : public SettingsStorageFault,
                            public testing::WithParamInterface<ForeignFileCase> {};

// Another program's connection, kept open through a case when it is still running.
std::unique_ptr<sqlite3, int (*)(sqlite3*)> stillOpen(nullptr, sqlite3_close_v2);

void otherProgramsDatabase(const fs::path& file, const char* sql, bool keepOpen = false) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    if (keepOpen)
        stillOpen.reset(db);
    else
        sqlite3_close(db);
}

// Our table exactly as we create it, a stored value, and what else the SQL adds.
void ourTableWith(const fs::path& file, const std::string& sql) {
    otherProgramsDatabase(file, ("CREATE TABLE preferences(key TEXT PRIMARY KEY NOT NULL, value "
                                 "ANY NOT NULL) STRICT, WITHOUT ROWID; INSERT INTO preferences "
                                 "VALUES('intonation', 30); " +
                                 sql)
                                    .c_str());
}

TEST_P(SettingsForeignFile, GettersGiveDefaultsAndWritesFailLeavingTheFileAlone) {
    if (GetParam().asRoot && ::geteuid() != 0)
        GTEST_SKIP() << "only root can give a file to another user";
    const fs::path file = test::settingsFile();
    fs::create_directories(file.parent_path());
    GetParam().make(file);
    const std::string bytes = test::contents(file);
    const auto files = test::listing(file.parent_path());
    ASSERT_FALSE(bytes.empty());

    EXPECT_EQ(readHere(), test::defaultsDescribed());
    for (const auto& control : settings::voiceControls)
        EXPECT_FALSE(VirelonSharedSettings::isStored(control.key));
    EXPECT_FALSE(VirelonSharedSettings::saveSetting(40, settings::intonation.key));
    EXPECT_FALSE(VirelonSharedSettings::setFallbackVoiceIdentifier("m/Kate"));
    EXPECT_EQ(readHere(), test::defaultsDescribed());
    EXPECT_EQ(test::readInAnotherProcess(), test::defaultsDescribed());
    EXPECT_EQ(signalsNow(), 0);
    EXPECT_EQ(test::contents(file), bytes);
    EXPECT_EQ(test::listing(file.parent_path()), files);
    stillOpen.reset();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsForeignFile,
    testing::Values(
        ForeignFileCase{"Garbage",
                        [](const fs::path& file) {
                            std::ofstream(file, std::ios::binary) << std::string(8192, '\x5a');
                        }},
        ForeignFileCase{"SqliteMagicThenGarbage",
                        [](const fs::path& file) {
                            std::ofstream(file, std::ios::binary)
                                << "SQLite format 3"s + '\0' + std::string(4080, '\x01');
                        }},
        ForeignFileCase{
            "DatabaseWithoutTables",
            [](const fs::path& file) { otherProgramsDatabase(file, "PRAGMA user_version=3"); }},
        ForeignFileCase{"OtherProgramsDatabase",
                        [](const fs::path& file) {
                            otherProgramsDatabase(file, "CREATE TABLE settings(k, v); "
                                                        "INSERT INTO settings VALUES('a', 1)");
                        }},
        ForeignFileCase{"OtherProgramsWalDatabaseInUse",
                        [](const fs::path& file) {
                            otherProgramsDatabase(file,
                                                  "PRAGMA journal_mode=WAL; CREATE "
                                                  "TABLE notes(x); INSERT INTO notes "
                                                  "VALUES(1)",
                                                  true);
                        }},
        ForeignFileCase{"OtherProgramsDatabaseWithAPreferencesTable",
                        [](const fs::path& file) {
                            otherProgramsDatabase(file,
                                                  "PRAGMA journal_mode=WAL; CREATE TABLE "
                                                  "preferences(key TEXT PRIMARY KEY, value); "
                                                  "INSERT INTO preferences VALUES('intonation', "
                                                  "30)");
                        }},
        // Our table exactly, with something planted beside it.
        ForeignFileCase{"TriggerThatSwallowsWrites",
                        [](const fs::path& file) {
                            ourTableWith(file, "CREATE TRIGGER t BEFORE INSERT ON "
                                               "preferences BEGIN SELECT "
                                               "RAISE(IGNORE); END");
                        }},
        ForeignFileCase{"TriggerThatNeverEnds",
                        [](const fs::path& file) {
                            ourTableWith(file, "CREATE TRIGGER t BEFORE INSERT ON "
                                               "preferences BEGIN SELECT count(*) "
                                               "FROM (WITH RECURSIVE c(x) AS (SELECT 1 "
                                               "UNION ALL SELECT x + 1 FROM c) SELECT "
                                               "x FROM c); END");
                        }},
        ForeignFileCase{
            "ViewBesideTheTable",
            [](const fs::path& file) { ourTableWith(file, "CREATE VIEW v AS SELECT 1"); }},
        ForeignFileCase{"AnotherUsersFile",
                        [](const fs::path& file) {
                            ourTableWith(file, "");
                            ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
                        },
                        true},
        ForeignFileCase{"LinkToAnotherUsersFile",
                        [](const fs::path& file) {
                            const auto target = file.parent_path() / "theirs.db";
                            ourTableWith(target, "");
                            ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
                            fs::create_symlink(target, file);
                        },
                        true},
        ForeignFileCase{"AnotherUsersWritableFolder",
                        [](const fs::path& file) {
                            ourTableWith(file, "");
                            ASSERT_EQ(::chmod(file.parent_path().c_str(), 0777), 0);
                            ASSERT_EQ(::chown(file.parent_path().c_str(), 65534, 65534), 0);
                        },
                        true}),
    [](const auto& tested) { return std::string(tested.param.name); });

// Folders and files of the user's own that others may read or write are the user's alone before
// anything is stored, the -wal and -shm files included, and then work as usual.
TEST_F(SettingsStorageFault, WidenedModesAreNarrowedBeforeAnythingIsStored) {
    const fs::path file = test::settingsFile();
    for (const auto& [folderMode, fileMode] : {std::pair{0755, 0644}, std::pair{0777, 0666}}) {
        SCOPED_TRACE(std::to_string(folderMode) + " " + std::to_string(fileMode));
        fs::remove_all(file.parent_path());
        writeEverySettingInAnotherProcess();   // a file of ours, as an earlier run left it
        std::ofstream(file.string() + "-wal"); // an empty companion, as a crash leaves one
        ASSERT_EQ(::chmod(file.parent_path().c_str(), static_cast<mode_t>(folderMode)), 0);
        for (const auto* suffix : {"", "-wal"})
            ASSERT_EQ(::chmod((file.string() + suffix).c_str(), static_cast<mode_t>(fileMode)), 0);
        const auto result = test::runProgram(test::faultHelper, {"write-to", "0"});
        EXPECT_EQ(result.status, 0) << result.err;
        const auto modeOf = [](const fs::path& path) {
            struct stat info {};
            return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 01000u;
        };
        EXPECT_EQ(modeOf(file.parent_path()), 0700u);
        EXPECT_EQ(modeOf(file), 0600u);
        for (const auto& name : test::listing(file.parent_path()))
            EXPECT_EQ(modeOf(file.parent_path() / name), 0600u) << name;
        EXPECT_EQ(test::readInAnotherProcess(), stateAfterFirstWrites());
    }
}

// An engine that started while the file was unusable, or whose file is later replaced (a backup
// put back with mv), takes up the file in place: on the next change signal at the latest, and by
// itself within a second.
TEST_F(SettingsStorageFault, ReadersTakeUpAFileThatAppearedOrWasReplaced) {
    const fs::path file = test::settingsFile();
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << std::string(8192, '\x5a');
    EXPECT_EQ(readHere(), test::defaultsDescribed());

    // Backups made elsewhere by another process: after writes 0..5, and after writes 0..2.
    const auto backup = [&](std::int64_t last) {
        const auto home = scratch.root() / ("backup" + std::to_string(last));
        const auto made = test::runProgram(test::faultHelper, {"write-to", std::to_string(last)},
                                           {{"XDG_CONFIG_HOME", home.string()}});
        EXPECT_EQ(made.status, 0) << made.err;
        return home / file.parent_path().filename() / file.filename();
    };
    const auto first = backup(5), second = backup(2);

    int changes = 0;
    auto* observer = virelon_settings_observe([](void* n) { ++*static_cast<int*>(n); }, &changes);
    ASSERT_NE(observer, nullptr);
    fs::rename(first, file);
    virelon::platform::makeSessionBusPoster()->post(VirelonSharedSettings::changeNotification());
    for (int i = 0; i < 40 && changes == 0; ++i) {
        pollfd entry{virelon_settings_observer_fd(observer),
                     virelon_settings_observer_events(observer), 0};
        ::poll(&entry, 1, 50);
        virelon_settings_observer_process(observer);
    }
    virelon_settings_observer_free(observer);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(readHere(), stateAfterFirstWrites());

    fs::rename(second, file);
    ::usleep(1'100'000);
    EXPECT_EQ(readHere(),
              test::describe({test::controlValueOfWrite(0), test::controlValueOfWrite(1),
                              test::controlValueOfWrite(2), 0, 12, std::nullopt}));
}

} // namespace
