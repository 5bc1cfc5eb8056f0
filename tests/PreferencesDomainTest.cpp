// The SQLite domain against real files in a scratch configuration folder. What other programs
// store, and how the settings read it, is the stored value fuzzer's; here: where the file lives,
// exact values, its modes, its journal, and other connections and processes at the same file.

#include "platform/PreferencesDomain.h"
#include "support/RawDatabase.h"
#include "support/ScratchHome.h"

#include <limits>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using virelon::platform::openPreferencesDomain;
using virelon::platform::preferencesDomainPath;
using virelon::platform::StoredValue;
using virelon::test::RawDb;

constexpr std::string_view suite = "group.org.example.preferences";

void setOrUnset(const char* variable, const char* value) {
    value ? ::setenv(variable, value, 1) : ::unsetenv(variable);
}

TEST(PreferencesDomain, LivesInTheConfigurationBaseDirectoryOrNowhere) {
    struct Case {
        const char *configHome, *home; // nullptr: unset
        std::string suiteName;
        std::optional<std::string> path;
    };
    const Case cases[] = {
        {"/cfg//", "/home/u", "s", "/cfg/s/preferences.db"},
        {"/", nullptr, "s", "/s/preferences.db"},
        {"cfg", "/home/u", "s", "/home/u/.config/s/preferences.db"}, // relative: ignored
        {"", "/home/u/", "s", "/home/u/.config/s/preferences.db"},
        {nullptr, "/home/u", "s", "/home/u/.config/s/preferences.db"},
        {"cfg", nullptr, "s", std::nullopt},
        {nullptr, "", "s", std::nullopt},
        {nullptr, "home/u", "s", std::nullopt},
        {"/cfg", "/home/u", "a/b", std::nullopt},
        {"/cfg", "/home/u", ".", std::nullopt},
        {"/cfg", "/home/u", "..", std::nullopt},
        {"/cfg", "/home/u", "", std::nullopt},
        {"/cfg", "/home/u", "a\0b"s, std::nullopt},
    };
    for (const auto& c : cases) {
        setOrUnset("XDG_CONFIG_HOME", c.configHome);
        setOrUnset("HOME", c.home);
        EXPECT_EQ(preferencesDomainPath(c.suiteName), c.path) << c.configHome << " " << c.home;
    }
    // Without a place, nothing is opened and nothing created (here: in the working folder).
    virelon::test::ScratchHome scratch;
    ASSERT_EQ(::chdir(scratch.root().c_str()), 0);
    ::setenv("XDG_CONFIG_HOME", "config", 1);
    ::unsetenv("HOME");
    EXPECT_EQ(openPreferencesDomain(suite), nullptr);
    EXPECT_TRUE(virelon::test::listing(scratch.root()).empty());
}

TEST(PreferencesDomain, ValuesReadBackExactlyAfterReopeningWhateverWasStoredBefore) {
    virelon::test::ScratchHome scratch;
    // In the path, what a file URI would take for a query, a fragment or an escape.
    ::setenv("XDG_CONFIG_HOME", (scratch.configHome() / "a?b#c%41 d").c_str(), 1);
    const std::pair<std::string, StoredValue> values[] = {
        {"k", std::int64_t{0}},
        {"k", std::numeric_limits<std::int64_t>::min()},
        {"k", "Kate"s},
        {"k", std::numeric_limits<std::int64_t>::max()},
        {"k", ""s},
        {"k", "\0a\0b\0"s},
        {"k", "\xff\xfe\xc3"s},
        {"k", "42"s},
        {"", "v"s},
        {"k", std::string(200000, 'x')},
        {"k\0Zo\xc3\xab"s, std::int64_t{7}}};
    for (const auto& [key, value] : values) {
        {
            auto domain = openPreferencesDomain(suite);
            ASSERT_NE(domain, nullptr);
            const auto* number = std::get_if<std::int64_t>(&value);
            ASSERT_TRUE(number ? domain->setInteger(key, *number)
                               : domain->setText(key, std::get<std::string>(value)));
            EXPECT_TRUE(domain->confirmVisible());
            EXPECT_EQ(domain->value(key), value);
            EXPECT_EQ(domain->value(key + "x"), std::nullopt); // the whole key counts
        }
        const auto reopened = openPreferencesDomain(suite);
        ASSERT_NE(reopened, nullptr);
        EXPECT_EQ(reopened->value(key), value);
    }
}

// Under any umask; and where a file was left before: an empty one (a crash while creating it), or
// ours with modes others may use (an earlier umask, a folder made by hand) and an empty -wal
// companion, as a crash leaves one. Narrowed before anything is stored, and then usable.
TEST(PreferencesDomain, FolderAndFilesAreTheOwnersAloneWhateverTheUmaskAndWhatWasLeft) {
    const std::tuple<mode_t, unsigned, unsigned> cases[] = {
        // umask; folder, file left (0: none)
        {0000, 0, 0},    {0022, 0, 0},       {0077, 0, 0},      {0277, 0, 0},
        {0022, 0700, 0}, {0022, 0755, 0644}, {0022, 0777, 0666}};
    for (const auto& [umask, folderMode, fileMode] : cases) {
        SCOPED_TRACE(std::to_string(umask) + " " + std::to_string(folderMode) + " " +
                     std::to_string(fileMode));
        virelon::test::ScratchHome scratch;
        const fs::path file = *preferencesDomainPath(suite), folder = file.parent_path();
        if (folderMode) {
            fs::create_directories(folder);
            fs::permissions(scratch.configHome(), fs::perms::owner_all);
            std::ofstream{file};
            if (fileMode) {
                ASSERT_TRUE(openPreferencesDomain(suite)->setInteger("k", 0));
                std::ofstream(file.string() + "-wal");
            }
            ::chmod(folder.c_str(), folderMode);
            for (const auto* suffix : {"", "-wal"})
                ::chmod((file.string() + suffix).c_str(), fileMode ? fileMode : 0600);
        }
        const mode_t previous = ::umask(umask);
        auto domain = openPreferencesDomain(suite);
        const bool written = domain && domain->setInteger("k", 1);
        ::umask(previous);
        EXPECT_TRUE(written);
        EXPECT_EQ(virelon::test::modeOf(scratch.configHome()), 0700u);
        EXPECT_EQ(virelon::test::modeOf(folder), 0700u);
        for (const auto& name : virelon::test::listing(folder))
            EXPECT_EQ(virelon::test::modeOf(folder / name), 0600u) << name;
        RawDb other(file);
        EXPECT_EQ(other.text("PRAGMA journal_mode"), "wal");
        EXPECT_EQ(other.text("SELECT value FROM preferences WHERE key = 'k'"), "1");
    }
}

TEST(PreferencesDomain, WritesAreSeenAtOnceByEveryConnection) {
    virelon::test::ScratchHome scratch;
    auto first = openPreferencesDomain(suite), second = openPreferencesDomain(suite);
    ASSERT_TRUE(first && second);
    RawDb other(*preferencesDomainPath(suite));
    ASSERT_TRUE(first->setInteger("k", 11));
    EXPECT_EQ(other.text("SELECT value FROM preferences WHERE key = 'k'"), "11");
    EXPECT_EQ(second->value("k"), StoredValue{std::int64_t{11}});
    ASSERT_TRUE(second->setText("k", "twelve"));
    EXPECT_EQ(first->value("k"), StoredValue{"twelve"s});
    other.exec("UPDATE preferences SET value = 13 WHERE key = 'k'");
    EXPECT_EQ(first->value("k"), StoredValue{std::int64_t{13}});

    // A writer holding the lock: ours gives up (in time), reads on, and writes once it is free.
    other.exec("BEGIN IMMEDIATE; UPDATE preferences SET value = 5 WHERE key = 'k'");
    EXPECT_FALSE(first->setInteger("k", 2));
    EXPECT_EQ(first->value("k"), StoredValue{std::int64_t{13}});
    other.exec("COMMIT");
    EXPECT_TRUE(first->setInteger("k", 3));
    EXPECT_EQ(second->value("k"), StoredValue{std::int64_t{3}});

    // A reader sitting in a read transaction pins the -wal file, which grows while we write; once
    // it goes, the next writes bring the file back within its bound.
    const fs::path wal = *preferencesDomainPath(suite) + "-wal";
    other.exec("BEGIN");
    EXPECT_EQ(other.text("SELECT value FROM preferences WHERE key = 'k'"), "3");
    for (int i = 0; i < 1500; ++i)
        ASSERT_TRUE(first->setText("k", std::string(3000, static_cast<char>('a' + i % 26))));
    EXPECT_GT(fs::file_size(wal), 4u << 20);
    other.exec("COMMIT");
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(first->setInteger("k", i));
    EXPECT_LE(fs::file_size(wal), 256u << 10);
}

// A burst of writes longer than a checkpoint's worth: the writer's own checkpoints keep the -wal
// within about 1000 pages, and are never taken for the file being rewritten by someone else
// (which would make every later write open the file afresh).
TEST(PreferencesDomain, ALongBurstOfWritesStaysOnItsFileWithABoundedWal) {
    virelon::test::ScratchHome scratch;
    auto domain = openPreferencesDomain(suite);
    ASSERT_TRUE(domain);
    for (int i = 0; i < 2500; ++i)
        ASSERT_TRUE(domain->setInteger("k", i));
    EXPECT_TRUE(domain->isCurrent());
    EXPECT_LE(fs::file_size(*preferencesDomainPath(suite) + "-wal"), 1002u * (4096 + 24) + 32);
}

TEST(PreferencesDomain, FlushFailsOnceTheFileWasMovedOrRemovedUnderUs) {
    for (const bool remove : {false, true}) {
        virelon::test::ScratchHome scratch;
        const fs::path file = *preferencesDomainPath(suite);
        auto domain = openPreferencesDomain(suite);
        ASSERT_TRUE(domain && domain->setInteger("k", 1) && domain->confirmVisible());
        remove ? void(fs::remove(file)) : fs::rename(file, file.string() + ".moved");
        domain->setInteger("k", 2);
        EXPECT_FALSE(domain->confirmVisible()) << (remove ? "removed" : "renamed");
    }
}

TEST(PreferencesDomain, ProcessesCreatingTheDomainAtOnceAllSucceed) {
    virelon::test::ScratchHome scratch;
    for (int round = 0; round < 10; ++round) {
        const std::string suiteName = "suite-" + std::to_string(round);
        int start[2];
        ASSERT_EQ(::pipe(start), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < 4; ++i) {
            if (const pid_t pid = ::fork(); pid != 0) {
                children.push_back(pid);
                continue;
            }
            char released; // all at once, when the pipe closes
            ::close(start[1]);
            [[maybe_unused]] const auto n = ::read(start[0], &released, 1);
            auto domain = openPreferencesDomain(suiteName);
            ::_exit(domain && domain->setInteger("p" + std::to_string(i), i) ? 0 : 1);
        }
        ::close(start[0]);
        ::close(start[1]);
        for (const pid_t child : children) {
            int status = 0;
            EXPECT_TRUE(::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                        WEXITSTATUS(status) == 0);
        }
        auto domain = openPreferencesDomain(suiteName);
        ASSERT_TRUE(domain);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(domain->value("p" + std::to_string(i)), StoredValue{std::int64_t{i}});
    }
}

} // namespace
