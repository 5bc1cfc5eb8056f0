// Storage that fails under the shared settings, met through their public API as the application
// and the engine use it: a full file system; a read-only file, folder or file system; a file at
// the domain's place that is not ours (another program's, another user's, ours with schema objects
// planted beside the table); a file replaced under a reader. Whatever
// happens, a write is reported saved only when it was (to the process that wrote and to one
// started afterwards), a failed write posts no change signal, and a file not ours stays as it was.

#include "support/ScratchHome.h"
#include "support/SettingsFaultSupport.h"
#include "support/SignalCounter.h"
#include "virelon/virelon_settings.h"

#include <cstring>
#include <optional>
#include <sched.h>
#include <sys/mount.h>

using virelon::VirelonSharedSettings;
namespace fs = std::filesystem;
namespace test = virelon::test;
using namespace std::string_literals;

namespace {

/// Mounts made from here on are this process's own and vanish with it. Empty when allowed.
std::string privateMounts() {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        return "cannot make mounts of our own: "s + std::strerror(errno);
    return {};
}

class SettingsStorageFault : public testing::Test {
public:
    void SetUp() override { ASSERT_TRUE(signals.listening()) << "the test session has a bus"; }
    void TearDown() override { // mounts and modes must not stop the scratch folder's removal
        user.reset();
        ::umount2(file.parent_path().c_str(), MNT_DETACH);
        ::umount2(scratch.configHome().c_str(), MNT_DETACH);
    }
    test::ScratchHome scratch;
    test::SignalCounter signals;
    const fs::path file = test::settingsFile();
    std::optional<test::ActingAsUser> user;
    std::optional<test::RawDb> stillOpen;   // another program's connection, open through a case
    std::optional<test::Subprocess> holder; // the same, in a process of its own
};

TEST_F(SettingsStorageFault, OnAFullFileSystemAWriteIsReportedSavedOnlyWhenItWas) {
    const auto disk = scratch.configHome(), filler = disk / "filler";
    fs::create_directories(disk);
    std::string error = privateMounts();
    if (error.empty() && ::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=256k,mode=0700") != 0)
        error = "cannot mount a tmpfs: "s + std::strerror(errno);
    if (!error.empty())
        GTEST_SKIP() << error;
    const auto fill = [&](off_t room) { // runs the disk full, then gives `room` bytes back
        const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        for (const std::string block(4096, 'f'); ::write(fd, block.data(), block.size()) > 0;) {
        }
        ::close(fd);
        ASSERT_EQ(::truncate(filler.c_str(),
                             std::max<off_t>(0, static_cast<off_t>(fs::file_size(filler)) - room)),
                  0);
    };
    // Full from the start: defaults, failed writes, and nothing left in the way of later ones.
    fill(0);
    EXPECT_EQ(test::runProgram(test::self, {"--role", "write", "0", "5"}).out, "failed\n");
    EXPECT_EQ(test::readInAnotherProcess(), test::stateAfter(-1));
    EXPECT_EQ(signals.now(), 0);
    fill(1 << 20);
    for (int n = 0; n < 6; ++n)
        ASSERT_TRUE(test::performWrite(n));

    // A little room, which ever longer identifiers soon use up.
    fill(24 * 1024);
    int saves = 6, failures = 0;
    for (int i = 0; i < 24; ++i) {
        SCOPED_TRACE("write " + std::to_string(i));
        const auto before = test::stateNow();
        const bool saved = VirelonSharedSettings::setFallbackVoiceIdentifier(
            "voice/" + std::to_string(i) + std::string(i % 3 ? 2500 * std::size_t(i) : 0, 'x'));
        saves += saved;
        failures += !saved;
        EXPECT_EQ(test::stateNow() == before, !saved) << "saved: " << saved;
        EXPECT_EQ(test::readInAnotherProcess(), test::stateNow());
    }
    EXPECT_GT(saves, 6);
    EXPECT_GT(failures, 0) << "the file system never ran full";
    EXPECT_EQ(signals.now(), saves) << "one signal for each write reported saved, none else";

    // With room again, writing goes on where it stopped, on an intact file.
    ASSERT_EQ(::truncate(filler.c_str(), 0), 0);
    EXPECT_TRUE(VirelonSharedSettings::saveSetting(77, virelon::settings::voicing.key));
    EXPECT_EQ(VirelonSharedSettings::voicing(), 77);
    EXPECT_EQ(test::RawDb(file).text("PRAGMA integrity_check"), "ok");
}

// A file at the domain's place: ours made read-only (by mode or mount), or one that is not ours.
enum How {
    readOnlyFile,
    readOnlyFolder,
    readOnlyMount,
    bytes,
    sql,
    openSql,
    held,
    ours,
    fifo,
    theirs,
    link
};
struct UnusableCase {
    const char* name;
    How how;
    const char* text = ""; // what the file starts with, or the SQL that makes it
};
void PrintTo(const UnusableCase& c, std::ostream* out) {
    *out << c.name;
}
class SettingsUnusableFile : public SettingsStorageFault,
                             public testing::WithParamInterface<UnusableCase> {
public:
    // Gets the file ready; says why the case cannot run here, if it cannot.
    std::string make(const UnusableCase& c) {
        const auto folder = file.parent_path(), target = folder / "theirs.db";
        fs::create_directories(folder);
        if (c.how <= readOnlyMount)
            test::writeInAnotherProcess(0, 5);
        else if (c.how == bytes)
            std::ofstream(file, std::ios::binary) << c.text + "\0"s + std::string(4080, '\1');
        else if (c.how == openSql)
            stillOpen.emplace(file).exec(c.text);
        else if (c.how == held)
            holder.emplace(test::self, std::vector<std::string>{"--role", "hold", c.text});
        else
            test::RawDb(c.how == link ? target : file)
                .exec(c.how == sql
                          ? c.text
                          : "CREATE TABLE preferences(key TEXT PRIMARY KEY NOT NULL, value "
                            "ANY NOT NULL) STRICT, WITHOUT ROWID; INSERT INTO preferences "
                            "VALUES('intonation', 30); "s +
                                (c.how == ours ? c.text : ""));
        if (c.how == link)
            fs::create_symlink(target, file);
        if (c.how == fifo) {
            EXPECT_EQ(::mkfifo((file.string() + c.text).c_str(), 0600), 0);
        }
        if (c.how == readOnlyFile || c.how == readOnlyFolder) {
            // Root passes permission checks; an unprivileged user meets them (and cannot reach
            // the test session's bus, so only the mount case can show a stray signal).
            EXPECT_EQ(::chmod(c.how == readOnlyFile ? file.c_str() : folder.c_str(), 0500), 0);
            user.emplace(scratch.root(), &test::self);
            return user->available() ? "" : "running as root and cannot act as another user";
        }
        if (c.how == readOnlyMount &&
            (!privateMounts().empty() ||
             ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) ||
             ::mount(nullptr, folder.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr)))
            return "cannot mount read-only: "s + std::strerror(errno);
        if (c.how >= theirs && ::geteuid() != 0)
            return "only root can give a file to another user";
        const auto given = c.how == link    ? target
                           : *c.text == ' ' ? folder
                           : *c.text        ? fs::path(file.string() + c.text)
                                            : file;
        if (c.how == theirs && *c.text == '-') // an empty -wal or -shm beside the file
            std::ofstream{given};
        if (c.how >= theirs && (::chown(given.c_str(), 65534, 65534) != 0 ||
                                (*c.text == ' ' && ::chmod(folder.c_str(), 0777) != 0)))
            return "cannot give the file away";
        return {};
    }
};

TEST_P(SettingsUnusableFile, GivesWhatIsStoredOrDefaultsAndWritesFailChangingNothing) {
    const auto& c = GetParam();
    if (const auto skip = make(c); !skip.empty())
        GTEST_SKIP() << skip;
    if (holder) {
        ASSERT_TRUE(holder->waitFor("held\n"));
    }
    const std::string bytes = test::contents(file);
    const auto names = test::listing(file.parent_path());
    const int signalsBefore = signals.now();
    ASSERT_FALSE(bytes.empty());
    // Ours where it can still be read (in a read-only folder without -wal and -shm files, and no
    // way to make them, SQLite cannot read a file), else the defaults: never anything else.
    const auto expected = [&c](const test::State& read) {
        return read == test::stateAfter(c.how == readOnlyFile || c.how == readOnlyMount ? 5 : -1) ||
               (c.how == readOnlyFolder && read == test::stateAfter(5));
    };
    // Another process first: one that hangs is killed, and the case fails instead of hanging.
    EXPECT_PRED1(expected, test::readInAnotherProcess());
    EXPECT_PRED1(expected, test::stateNow());
    // The engine's snapshot tells defaults given because the file could not be read.
    virelon_voice_settings read{};
    EXPECT_EQ(virelon_settings_read(&read), test::stateNow() == test::stateAfter(-1) ? 1 : 0);
    virelon_voice_settings_clear(&read);
    EXPECT_FALSE(VirelonSharedSettings::saveSetting(40, virelon::settings::intonation.key));
    EXPECT_FALSE(VirelonSharedSettings::setFallbackVoiceIdentifier("m/Kate"));
    EXPECT_PRED1(expected, test::stateNow());
    EXPECT_EQ(signals.now(), signalsBefore);
    EXPECT_TRUE(test::contents(file) == bytes) << "the file was changed";
    if (c.how > readOnlyMount) {
        EXPECT_EQ(test::listing(file.parent_path()), names);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsUnusableFile,
    testing::Values(
        UnusableCase{"ReadOnlyFile", readOnlyFile}, UnusableCase{"ReadOnlyFolder", readOnlyFolder},
        UnusableCase{"ReadOnlyFileSystem", readOnlyMount}, UnusableCase{"Garbage", bytes},
        UnusableCase{"SqliteMagicThenGarbage", bytes, "SQLite format 3"},
        UnusableCase{"DatabaseWithoutTables", sql, "PRAGMA user_version=3"},
        UnusableCase{"OtherProgramsDatabase", sql,
                     "CREATE TABLE s(k, v); INSERT INTO s VALUES(1, 2)"},
        UnusableCase{"OtherProgramsWalDatabaseInUse", openSql,
                     "PRAGMA journal_mode=WAL; CREATE TABLE n(x); INSERT INTO n VALUES(1)"},
        // Our file, held exclusively by another program for as long as the case runs.
        UnusableCase{"OursHeldExclusively", held,
                     "CREATE TABLE preferences(key TEXT PRIMARY KEY NOT NULL, value ANY NOT NULL) "
                     "STRICT, WITHOUT ROWID; INSERT INTO preferences VALUES('intonation', 30); "
                     "PRAGMA journal_mode=WAL; PRAGMA locking_mode=EXCLUSIVE; UPDATE preferences "
                     "SET value = 30"},
        UnusableCase{"OtherProgramsDatabaseWithAPreferencesTable", sql,
                     "CREATE TABLE preferences(key TEXT PRIMARY KEY, value); INSERT INTO "
                     "preferences VALUES('intonation', 30)"},
        // Our table exactly, with something planted beside it.
        UnusableCase{
            "TriggerThatSwallowsWrites", ours,
            "CREATE TRIGGER t BEFORE INSERT ON preferences BEGIN SELECT RAISE(IGNORE); END"},
        UnusableCase{
            "TriggerThatNeverEnds", ours,
            "CREATE TRIGGER t BEFORE INSERT ON preferences BEGIN SELECT count(*) FROM (WITH "
            "RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT x FROM c); END"},
        UnusableCase{"ViewBesideTheTable", ours, "CREATE VIEW v AS SELECT 1"},
        UnusableCase{"FifoForItsJournal", fifo, "-journal"},
        // Our table exactly, but another user's: the file, a link's target, a -wal, -shm or
        // -journal file beside it, or (" ") the file in a folder that everyone may write.
        UnusableCase{"AnotherUsersFile", theirs}, UnusableCase{"LinkToAnotherUsersFile", link},
        UnusableCase{"AnotherUsersWalFile", theirs, "-wal"},
        UnusableCase{"AnotherUsersShmFile", theirs, "-shm"},
        UnusableCase{"AnotherUsersJournal", theirs, "-journal"},
        UnusableCase{"AnotherUsersWritableFolder", theirs, " "}),
    [](const auto& tested) { return std::string(tested.param.name); });

// A backup put back by mv or by cp while an engine reads and a writer (the window) has the file
// open, once writes have gone quiet: the engine soon reads the backup's values, the writer's next
// writes land on it, and the file stays whole; nothing of the file it replaced comes back.
TEST_F(SettingsStorageFault, ABackupPutBackUnderAnEngineAndAWriterIsTakenUpAsItIs) {
    const auto home = scratch.root() / "backup";
    test::writeInAnotherProcess(0, 2, {{"XDG_CONFIG_HOME", home.string()}});
    const auto backup = home / file.parent_path().filename() / file.filename();
    for (const bool copy : {false, true}) {
        SCOPED_TRACE(copy ? "cp" : "mv");
        for (int n = 0; n < 12; ++n)
            ASSERT_TRUE(test::performWrite(n));
        test::Subprocess engine(test::self, {"--role", "engine"});
        ASSERT_TRUE(engine.waitFor(test::joined(test::stateAfter(11))));
        ::usleep(2'200'000); // at rest: the engine empties the -wal within 2 s of the last write
        if (copy) {
            fs::copy_file(backup, file, fs::copy_options::overwrite_existing);
        } else {
            fs::copy_file(backup, file.string() + ".new");
            fs::rename(file.string() + ".new", file);
        }
        EXPECT_TRUE(
            engine.waitFor(test::joined(test::stateAfter(2)), false, std::chrono::seconds(3)));
        for (int n = 3; n < 6; ++n)
            EXPECT_TRUE(test::performWrite(n)) << n;
        EXPECT_EQ(test::stateNow(), test::stateAfter(5));
        EXPECT_EQ(test::readInAnotherProcess(), test::stateAfter(5));
        EXPECT_TRUE(engine.waitFor(test::joined(test::stateAfter(5))));
        EXPECT_EQ(test::RawDb(file).text("PRAGMA integrity_check"), "ok");
    }
}

// A backup put back while the -wal still holds changes of the file it replaces (its writer killed
// in a burst of writes) gets none of them applied: every process refuses the file, which stays as
// it was put back, until its user deletes the -wal and -shm; it is then taken up as it is.
TEST_F(SettingsStorageFault, ABackupPutBackOverChangesStillInTheWalIsRefusedNotApplied) {
    const auto home = scratch.root() / "backup";
    test::writeInAnotherProcess(0, 2, {{"XDG_CONFIG_HOME", home.string()}});
    const auto backup = home / file.parent_path().filename() / file.filename();
    const fs::path wal = file.string() + "-wal", shm = file.string() + "-shm";
    const auto killedInABurst = [&] { // the last write it reported saved
        test::Subprocess writer(test::self, {"--role", "write", "100", "1000000"});
        EXPECT_TRUE(writer.waitFor("120\n"));
        writer.signal(SIGKILL);
        auto out = writer.finish().out;
        out.resize(out.rfind('\n'));
        EXPECT_TRUE(fs::exists(wal) && fs::file_size(wal) > 0) << "the burst left no changes";
        return std::stoll(out.substr(out.rfind('\n') + 1));
    };
    // Counts that wrap past 2^32 inside the -wal still belong to the file: a crash is recovered.
    test::writeInAnotherProcess(0, 0);
    test::RawDb(file).exec("PRAGMA user_version = -3");
    const auto last = killedInABurst();
    EXPECT_EQ(test::readInAnotherProcess()[static_cast<std::size_t>(last % test::sequenceKeys)],
              test::valueOfWrite(last));

    for (const bool copy : {false, true}) {
        SCOPED_TRACE(copy ? "cp" : "mv");
        killedInABurst();
        if (copy) {
            fs::copy_file(backup, file, fs::copy_options::overwrite_existing);
        } else {
            fs::copy_file(backup, file.string() + ".new");
            fs::rename(file.string() + ".new", file);
        }
        const auto putBack = test::contents(file);
        EXPECT_EQ(test::readInAnotherProcess(), test::stateAfter(-1));
        EXPECT_EQ(test::runProgram(test::self, {"--role", "write", "3", "3"}).out, "failed\n");
        EXPECT_EQ(test::contents(file), putBack);
        EXPECT_TRUE(fs::exists(wal));

        fs::remove(wal);
        fs::remove(shm);
        EXPECT_EQ(test::readInAnotherProcess(), test::stateAfter(2));
        test::writeInAnotherProcess(3, 5);
        EXPECT_EQ(test::readInAnotherProcess(), test::stateAfter(5));
        EXPECT_EQ(test::RawDb(file).text("PRAGMA integrity_check"), "ok");
    }
}

// A backup put back by mv in the middle of this process's burst of writes: the writer gives its
// waiting changes to the file it had open, then takes up the backup as it is.
TEST_F(SettingsStorageFault, AWriterWhoseFileWasMovedAwayInABurstTakesUpTheNewOne) {
    const auto home = scratch.root() / "backup";
    test::writeInAnotherProcess(0, 2, {{"XDG_CONFIG_HOME", home.string()}});
    for (int n = 0; n < 8; ++n)
        ASSERT_TRUE(test::performWrite(n));
    ASSERT_GT(fs::file_size(file.string() + "-wal"), 0u) << "nothing waits in the -wal";
    fs::rename(home / file.parent_path().filename() / file.filename(), file);
    EXPECT_TRUE(test::performWrite(3));
    EXPECT_EQ(test::stateNow(), test::stateAfter(3));
    EXPECT_EQ(test::readInAnotherProcess(), test::stateAfter(3));
    EXPECT_EQ(test::RawDb(file).text("PRAGMA integrity_check"), "ok");
}

// An engine that started while the file was unusable, or whose file is later replaced (a backup
// put back with mv), takes up the file in place: on the next change signal at the latest, and by
// itself within a second. Between two of its reads, a commit by another process is seen at once,
// signal or not: a read reuses what it read last only when it proves nobody committed since.
TEST_F(SettingsStorageFault, ReadersTakeUpAFileThatAppearedOrWasReplaced) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << std::string(8192, 'Z');
    EXPECT_EQ(test::stateNow(), test::stateAfter(-1));
    // Backups made elsewhere by another process: after writes 0..5, and after writes 0..2.
    const auto backup = [&](std::int64_t last) {
        const auto home = scratch.root() / ("backup" + std::to_string(last));
        test::writeInAnotherProcess(0, last, {{"XDG_CONFIG_HOME", home.string()}});
        return home / file.parent_path().filename() / file.filename();
    };
    const auto first = backup(5), second = backup(2);

    int changes = 0;
    auto* observer = virelon_settings_observe([](void* n) { ++*static_cast<int*>(n); }, &changes);
    ASSERT_NE(observer, nullptr);
    fs::rename(first, file);
    virelon::platform::postSessionBusSignalOnce(VirelonSharedSettings::changeNotification());
    for (int i = 0; i < 40 && changes == 0; ++i) {
        pollfd entry{virelon_settings_observer_fd(observer),
                     static_cast<short>(virelon_settings_observer_events(observer)), 0};
        ::poll(&entry, 1, 50);
        virelon_settings_observer_process(observer);
    }
    virelon_settings_observer_free(observer);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(test::stateNow(), test::stateAfter(5));
    EXPECT_EQ(test::stateNow(), test::stateAfter(5)); // proven unchanged, given again

    fs::rename(second, file);
    ::usleep(1'100'000);
    EXPECT_EQ(test::stateNow(), test::stateAfter(2));
    EXPECT_EQ(test::stateNow(), test::stateAfter(2));
    test::writeInAnotherProcess(3, 3);
    EXPECT_EQ(test::stateNow(), test::stateAfter(3));
}

} // namespace
