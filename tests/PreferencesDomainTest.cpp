// The SQLite domain against real files in a scratch configuration folder. Other programs' files
// and values are written with raw SQLite, as those programs would.

#include "PreferencesDomain.h"
#include "ActingAsUser.h"
#include "ScratchHome.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <pwd.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using virelon::platform::openPreferencesDomain;
using virelon::platform::preferencesBusyTimeout;
using virelon::platform::preferencesDomainPath;
using virelon::platform::StoredValue;
using Bytes = std::vector<std::uint8_t>;

constexpr std::string_view suite = "group.org.example.preferences";

std::string domainFile() {
    return preferencesDomainPath(suite).value();
}

// A connection of another program. Waits for locks like ours does, but longer.
class RawDb {
public:
    explicit RawDb(const std::string& path,
                   int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) {
        if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK)
            ADD_FAILURE() << "cannot open " << path << ": " << sqlite3_errmsg(db_);
        sqlite3_busy_timeout(db_, 5000);
    }
    ~RawDb() { sqlite3_close_v2(db_); }
    RawDb(const RawDb&) = delete;
    RawDb& operator=(const RawDb&) = delete;

    void exec(const std::string& sql) {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK)
            ADD_FAILURE() << sql << ": " << (error ? error : "?");
        sqlite3_free(error);
    }
    // The first column of the first row as text; nothing when there is no row.
    std::optional<std::string> text(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        std::optional<std::string> result;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            result = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        sqlite3_finalize(statement);
        return result;
    }

private:
    sqlite3* db_ = nullptr;
};

std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::set<std::string> listing(const fs::path& directory) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

unsigned modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777u;
}

bool store(virelon::platform::PreferencesDomain& domain, std::string_view key,
           const StoredValue& value) {
    if (const auto* number = std::get_if<std::int64_t>(&value))
        return domain.setInteger(key, *number);
    return domain.setText(key, std::get<std::string>(value));
}

// A table row goes by its name, in the test's name and in messages.
constexpr auto caseName = [](const auto& tested) { return std::string(tested.param.name); };
template <typename Case>
requires requires(const Case& c) {
    c.name;
}
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

using virelon::test::ActingAsUser;

// Where the domain lives

struct LocationCase {
    const char* name;
    std::optional<std::string> configHome; // XDG_CONFIG_HOME; unset when absent
    std::optional<std::string> home;       // HOME; unset when absent
    std::string suiteName;
    std::optional<std::string> expected;
};

class PreferencesDomainLocation : public testing::TestWithParam<LocationCase> {};

TEST_P(PreferencesDomainLocation, FollowsTheConfigurationBaseDirectory) {
    const auto& c = GetParam();
    const auto set = [](const char* variable, const std::optional<std::string>& value) {
        if (value)
            ::setenv(variable, value->c_str(), 1);
        else
            ::unsetenv(variable);
    };
    set("XDG_CONFIG_HOME", c.configHome);
    set("HOME", c.home);
    EXPECT_EQ(preferencesDomainPath(c.suiteName), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PreferencesDomainLocation,
    testing::Values(LocationCase{"ConfigHome", "/cfg", "/home/u", "s", "/cfg/s/preferences.db"},
                    LocationCase{"ConfigHomeTrailingSlashes", "/cfg//", "/home/u", "s",
                                 "/cfg/s/preferences.db"},
                    LocationCase{"RootAsConfigHome", "/", std::nullopt, "s", "/s/preferences.db"},
                    LocationCase{"RelativeConfigHomeIgnored", "cfg", "/home/u", "s",
                                 "/home/u/.config/s/preferences.db"},
                    LocationCase{"EmptyConfigHomeIgnored", "", "/home/u", "s",
                                 "/home/u/.config/s/preferences.db"},
                    LocationCase{"NoConfigHome", std::nullopt, "/home/u/", "s",
                                 "/home/u/.config/s/preferences.db"},
                    LocationCase{"RelativeConfigHomeNoHome", "cfg", std::nullopt, "s",
                                 std::nullopt},
                    LocationCase{"EmptyHome", std::nullopt, "", "s", std::nullopt},
                    LocationCase{"RelativeHome", std::nullopt, "home/u", "s", std::nullopt},
                    LocationCase{"SuiteWithSlash", "/cfg", "/home/u", "a/b", std::nullopt},
                    LocationCase{"SuiteDot", "/cfg", "/home/u", ".", std::nullopt},
                    LocationCase{"SuiteDotDot", "/cfg", "/home/u", "..", std::nullopt},
                    LocationCase{"SuiteEmpty", "/cfg", "/home/u", "", std::nullopt},
                    LocationCase{"SuiteWithNul", "/cfg", "/home/u", "a\0b"s, std::nullopt}),
    caseName);

TEST(PreferencesDomain, NoLocationOpensNothingAndCreatesNothing) {
    virelon::test::ScratchHome scratch;
    ASSERT_EQ(::chdir(scratch.root().c_str()), 0);
    ::setenv("XDG_CONFIG_HOME", "config", 1);
    ::unsetenv("HOME");
    EXPECT_EQ(openPreferencesDomain(suite), nullptr);
    EXPECT_TRUE(listing(scratch.root()).empty());
}

// Values

struct RoundTripCase {
    const char* name;
    std::string key;
    StoredValue value;
};

class PreferencesDomainRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(PreferencesDomainRoundTrip, ValueReadsBackExactlyAfterReopening) {
    const auto& c = GetParam();
    virelon::test::ScratchHome scratch;
    {
        auto domain = openPreferencesDomain(suite);
        ASSERT_NE(domain, nullptr);
        ASSERT_TRUE(store(*domain, c.key, c.value));
        EXPECT_TRUE(domain->flush());
        EXPECT_EQ(domain->value(c.key), c.value);
        EXPECT_EQ(domain->value(c.key + "x"), std::nullopt); // the whole key counts
    }
    auto reopened = openPreferencesDomain(suite);
    ASSERT_NE(reopened, nullptr);
    EXPECT_EQ(reopened->value(c.key), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PreferencesDomainRoundTrip,
    testing::Values(RoundTripCase{"Zero", "k", std::int64_t{0}},
                    RoundTripCase{"Int64Min", "k", std::numeric_limits<std::int64_t>::min()},
                    RoundTripCase{"Int64Max", "k", std::numeric_limits<std::int64_t>::max()},
                    RoundTripCase{"Text", "k", "Kate"s}, RoundTripCase{"EmptyText", "k", ""s},
                    RoundTripCase{"TextWithNulBytes", "k", "\0a\0b\0"s},
                    RoundTripCase{"TextNotUtf8", "k", "\xff\xfe\xc3"s},
                    RoundTripCase{"TextLooksLikeNumber", "k", "42"s},
                    RoundTripCase{"LongText", "k", std::string(200000, 'x')},
                    RoundTripCase{"KeyWithNulAndUnicode", "k\0Zo\xc3\xab"s, std::int64_t{7}},
                    RoundTripCase{"EmptyKey", "", "v"s}),
    caseName);

TEST(PreferencesDomain, WriteReplacesWhateverKindWasStored) {
    virelon::test::ScratchHome scratch;
    auto domain = openPreferencesDomain(suite);
    ASSERT_NE(domain, nullptr);
    EXPECT_EQ(domain->value("k"), std::nullopt);
    ASSERT_TRUE(domain->setInteger("k", 1));
    ASSERT_TRUE(domain->setText("k", "two"));
    EXPECT_EQ(domain->value("k"), StoredValue{"two"s});
    ASSERT_TRUE(domain->setInteger("k", 3));
    EXPECT_EQ(domain->value("k"), StoredValue{std::int64_t{3}});
    EXPECT_EQ(domain->value("other"), std::nullopt);
}

struct ForeignValueCase {
    const char* name;
    const char* literal; // as another program stored it
    StoredValue expected;
};

class PreferencesDomainForeignValue : public testing::TestWithParam<ForeignValueCase> {};

TEST_P(PreferencesDomainForeignValue, ReadsAsItsOwnKind) {
    const auto& c = GetParam();
    virelon::test::ScratchHome scratch;
    auto domain = openPreferencesDomain(suite);
    ASSERT_NE(domain, nullptr);
    ASSERT_TRUE(domain->setInteger("intonation", 50));
    RawDb(domainFile())
        .exec("UPDATE preferences SET value = "s + c.literal + " WHERE key = 'intonation'");
    EXPECT_EQ(domain->value("intonation"), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, PreferencesDomainForeignValue,
                         testing::Values(ForeignValueCase{"Real", "2.5", 2.5},
                                         ForeignValueCase{"Blob", "x'00ff10'",
                                                          Bytes{0x00, 0xff, 0x10}},
                                         ForeignValueCase{"EmptyBlob", "x''", Bytes{}},
                                         ForeignValueCase{"TextUnderIntegerKey", "'42'", "42"s},
                                         ForeignValueCase{"Integer", "-7", std::int64_t{-7}}),
                         caseName);

// The file

class PreferencesDomainFiles : public testing::TestWithParam<mode_t> {};

TEST_P(PreferencesDomainFiles, FolderAndFileAreTheOwnersAloneWhateverTheUmask) {
    virelon::test::ScratchHome scratch;
    const mode_t previous = ::umask(GetParam());
    auto domain = openPreferencesDomain(suite);
    const bool written = domain && domain->setInteger("k", 1);
    ::umask(previous);
    ASSERT_NE(domain, nullptr);
    EXPECT_TRUE(written);
    const fs::path file = domainFile();
    EXPECT_EQ(modeOf(scratch.configHome()), 0700u);
    EXPECT_EQ(modeOf(file.parent_path()), 0700u);
    EXPECT_EQ(modeOf(file), 0600u);
}

INSTANTIATE_TEST_SUITE_P(Umasks, PreferencesDomainFiles, testing::Values(0000, 0022, 0077, 0277),
                         [](const testing::TestParamInfo<mode_t>& tested) {
                             char name[16];
                             std::snprintf(name, sizeof name, "Umask%04o", tested.param);
                             return std::string(name);
                         });

TEST(PreferencesDomain, FileIsInWalModeAndWritesAreSeenAtOnce) {
    virelon::test::ScratchHome scratch;
    auto first = openPreferencesDomain(suite);
    auto second = openPreferencesDomain(suite);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    RawDb other(domainFile(), SQLITE_OPEN_READWRITE);
    EXPECT_EQ(other.text("PRAGMA journal_mode"), "wal");

    ASSERT_TRUE(first->setInteger("k", 11));
    EXPECT_EQ(other.text("SELECT value FROM preferences WHERE key = 'k'"), "11");
    EXPECT_EQ(second->value("k"), StoredValue{std::int64_t{11}});
    ASSERT_TRUE(second->setText("k", "twelve"));
    EXPECT_EQ(first->value("k"), StoredValue{"twelve"s});
    other.exec("UPDATE preferences SET value = 13 WHERE key = 'k'");
    EXPECT_EQ(first->value("k"), StoredValue{std::int64_t{13}});
}

TEST(PreferencesDomain, FlushFailsOnceTheFileWasMovedOrRemovedUnderUs) {
    for (const bool remove : {false, true}) {
        virelon::test::ScratchHome scratch;
        auto domain = openPreferencesDomain(suite);
        ASSERT_NE(domain, nullptr);
        ASSERT_TRUE(domain->setInteger("k", 1));
        EXPECT_TRUE(domain->flush());
        if (remove)
            fs::remove(domainFile());
        else
            fs::rename(domainFile(), domainFile() + ".moved");
        domain->setInteger("k", 2);
        EXPECT_FALSE(domain->flush()) << (remove ? "removed" : "renamed");
    }
}

TEST(PreferencesDomain, EmptyFileIsInitialised) {
    virelon::test::ScratchHome scratch;
    const fs::path file = domainFile();
    fs::create_directories(file.parent_path());
    std::ofstream{file};
    auto domain = openPreferencesDomain(suite);
    ASSERT_NE(domain, nullptr);
    ASSERT_TRUE(domain->setText("k", "v"));
    EXPECT_EQ(domain->value("k"), StoredValue{"v"s});
    EXPECT_EQ(RawDb(file, SQLITE_OPEN_READONLY).text("PRAGMA journal_mode"), "wal");
}

// Failures

struct ReadOnlyCase {
    const char* name;
    bool folder; // else the file itself
};

class PreferencesDomainReadOnly : public testing::TestWithParam<ReadOnlyCase> {};

TEST_P(PreferencesDomainReadOnly, OpensButWritesFail) {
    const auto& c = GetParam();
    virelon::test::ScratchHome scratch;
    const fs::path file = domainFile();
    {
        auto writer = openPreferencesDomain(suite);
        ASSERT_NE(writer, nullptr);
        ASSERT_TRUE(writer->setInteger("k", 1));
    }
    const std::string before = contents(file);
    ASSERT_EQ(::chmod(c.folder ? file.parent_path().c_str() : file.c_str(), c.folder ? 0500 : 0400),
              0);

    const ActingAsUser user(scratch.root());
    if (!user.available())
        GTEST_SKIP() << "running as root and cannot act as an unprivileged user";
    auto domain = openPreferencesDomain(suite);
    ASSERT_NE(domain, nullptr);
    EXPECT_FALSE(domain->setInteger("k", 2));
    EXPECT_FALSE(domain->setText("new", "v"));
    if (!c.folder) { // without -wal and -shm files, and no way to create them, nothing can be read
        EXPECT_EQ(domain->value("k"), StoredValue{std::int64_t{1}});
    }
    EXPECT_EQ(contents(file), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, PreferencesDomainReadOnly,
                         testing::Values(ReadOnlyCase{"File", false}, ReadOnlyCase{"Folder", true}),
                         caseName);

TEST(PreferencesDomain, WriteGivesUpAfterTheBusyTimeoutWhileAnotherWriterHoldsTheLock) {
    virelon::test::ScratchHome scratch;
    auto domain = openPreferencesDomain(suite);
    ASSERT_NE(domain, nullptr);
    ASSERT_TRUE(domain->setInteger("k", 1));
    RawDb other(domainFile(), SQLITE_OPEN_READWRITE);
    other.exec("BEGIN IMMEDIATE; UPDATE preferences SET value = 5 WHERE key = 'k'");

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(domain->setInteger("k", 2));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, preferencesBusyTimeout * 9 / 10);
    EXPECT_LT(waited, preferencesBusyTimeout + std::chrono::seconds(2));
    // Readers are not held up by a writer, and see what was committed.
    EXPECT_EQ(domain->value("k"), StoredValue{std::int64_t{1}});

    other.exec("COMMIT");
    EXPECT_TRUE(domain->setInteger("k", 3));
    EXPECT_EQ(domain->value("k"), StoredValue{std::int64_t{3}});
}

TEST(PreferencesDomain, ProcessesCreatingTheDomainAtOnceAllSucceed) {
    virelon::test::ScratchHome scratch;
    constexpr int rounds = 10;
    constexpr int processes = 4;
    for (int round = 0; round < rounds; ++round) {
        const std::string suiteName = "suite-" + std::to_string(round);
        int start[2];
        ASSERT_EQ(::pipe(start), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < processes; ++i) {
            const pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                ::close(start[1]);
                char ignored;
                [[maybe_unused]] const auto n = ::read(start[0], &ignored, 1); // released at once
                auto domain = openPreferencesDomain(suiteName);
                const bool ok = domain && domain->setInteger("p" + std::to_string(i), i);
                domain.reset();
                ::_exit(ok ? 0 : 1);
            }
            children.push_back(pid);
        }
        ::close(start[0]);
        ::close(start[1]);
        for (const pid_t child : children) {
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << suiteName;
        }
        auto domain = openPreferencesDomain(suiteName);
        ASSERT_NE(domain, nullptr);
        for (int i = 0; i < processes; ++i)
            EXPECT_EQ(domain->value("p" + std::to_string(i)), StoredValue{std::int64_t{i}});
        EXPECT_EQ(RawDb(*preferencesDomainPath(suiteName)).text("PRAGMA journal_mode"), "wal");
    }
}

} // namespace
