// The installed tree, as `cmake --install` stages it into a DESTDIR of the build folder: the files
// a desktop and an engine need, valid desktop metadata, and a library that exports its public
// interface and nothing else.

#include "ScratchHome.h"
#include "Subprocess.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using virelon::test::runProgram;

namespace {

const fs::path prefix = VIRELON_STAGED_PREFIX;
const fs::path bindir = VIRELON_STAGED_BINDIR;
const fs::path libdir = VIRELON_STAGED_LIBDIR;
const fs::path includedir = VIRELON_STAGED_INCLUDEDIR;
const fs::path datadir = VIRELON_STAGED_DATADIR;
const fs::path mandir = VIRELON_STAGED_MANDIR;
const std::string applicationId = VIRELON_APPLICATION_IDENTIFIER;
const std::string version = VIRELON_VERSION;
const std::string soname = std::string("libvirelon-settings.so.") + VIRELON_VERSION_MAJOR;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

/// The value of `key=` in a desktop entry, or "".
std::string desktopValue(const std::string& entry, const std::string& key) {
    std::smatch match;
    const std::regex line("(^|\n)" + key + "=([^\n]*)");
    return std::regex_search(entry, match, line) ? match[2].str() : "";
}

std::vector<fs::path> installedHeaders() {
    std::vector<fs::path> headers;
    for (const auto& entry : fs::directory_iterator(includedir / "virelon"))
        headers.push_back(entry.path());
    return headers;
}

// The files an engine and a desktop find after installation.
struct ExpectedFile {
    fs::path path;
    bool executable;
};

void PrintTo(const ExpectedFile& file, std::ostream* out) {
    *out << file.path.lexically_relative(prefix);
}

class InstalledFile : public ::testing::TestWithParam<ExpectedFile> {};

TEST_P(InstalledFile, IsPresent) {
    const auto& expected = GetParam();
    const auto status = fs::status(expected.path);
    ASSERT_TRUE(fs::is_regular_file(status)) << expected.path;
    if (expected.executable) {
        EXPECT_NE(status.permissions() & fs::perms::owner_exec, fs::perms::none) << expected.path;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tree, InstalledFile,
    ::testing::Values(
        ExpectedFile{bindir / "virelon-voices", true},
        ExpectedFile{bindir / "virelon-settings", true},
        ExpectedFile{libdir / ("libvirelon-settings.so." + version), false},
        ExpectedFile{libdir / soname, false},
        ExpectedFile{libdir / "libvirelon-settings.so", false},
        ExpectedFile{includedir / "virelon/virelon_settings.h", false},
        ExpectedFile{includedir / "virelon/VirelonSharedSettings.h", false},
        ExpectedFile{includedir / "virelon/Identifiers.h", false},
        ExpectedFile{includedir / "virelon/Export.h", false},
        ExpectedFile{libdir / "pkgconfig/virelon-settings.pc", false},
        ExpectedFile{libdir / "cmake/VirelonSettings/VirelonSettingsConfig.cmake", false},
        ExpectedFile{libdir / "cmake/VirelonSettings/VirelonSettingsConfigVersion.cmake", false},
        ExpectedFile{datadir / "applications" / (applicationId + ".desktop"), false},
        ExpectedFile{datadir / "metainfo" / (applicationId + ".metainfo.xml"), false},
        ExpectedFile{datadir / "icons/hicolor/scalable/apps" / (applicationId + ".svg"), false},
        ExpectedFile{datadir / "dbus-1/services" / (applicationId + ".service"), false},
        ExpectedFile{mandir / "man1/virelon-settings.1", false},
        ExpectedFile{mandir / "man1/virelon-voices.1", false}),
    [](const auto& tested) {
        std::string name = tested.param.path.filename().string();
        for (auto& c : name)
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(InstalledTree, NoPlatformOrPrivateHeaderIsInstalled) {
    std::set<std::string> privateNames;
    const fs::path source = VIRELON_SOURCE_DIR;
    for (const auto& folder : {source / "Platform", source / "Shared/src"}) {
        for (const auto& entry : fs::recursive_directory_iterator(folder)) {
            if (entry.path().extension() == ".h")
                privateNames.insert(entry.path().filename().string());
        }
    }
    ASSERT_TRUE(privateNames.contains("SettingsPlatform.h"));
    for (const auto& entry : fs::recursive_directory_iterator(prefix)) {
        EXPECT_FALSE(privateNames.contains(entry.path().filename().string()))
            << entry.path() << " is not part of the installed interface";
    }
}

TEST(InstalledTree, LibraryCarriesItsSonameAndLinkNames) {
    const auto dynamic = runProgram("/usr/bin/readelf", {"-d", (libdir / soname).string()});
    ASSERT_EQ(dynamic.status, 0) << dynamic.err;
    EXPECT_NE(dynamic.out.find("Library soname: [" + soname + "]"), std::string::npos)
        << dynamic.out;
    EXPECT_EQ(dynamic.out.find("RUNPATH"), std::string::npos) << "no build paths in the library";
    EXPECT_EQ(dynamic.out.find("RPATH"), std::string::npos) << "no build paths in the library";

    const auto real = libdir / ("libvirelon-settings.so." + version);
    for (const auto& link : {libdir / soname, libdir / "libvirelon-settings.so"}) {
        ASSERT_TRUE(fs::is_symlink(link)) << link;
        EXPECT_EQ(fs::canonical(link), fs::canonical(real)) << link;
    }
}

/// The names of the declarations marked for export in one installed header.
std::vector<std::string> exportedNames(const fs::path& header) {
    const std::string text = readFile(header);
    // At the start of a line: not the macro's own definition.
    const std::regex declaration(
        R"((^|\n)[ \t]*VIRELON_SETTINGS_EXPORT\s+(static\s+)?[^;(]*?\b(\w+)\s*\()");
    std::vector<std::string> names;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), declaration);
         it != std::sregex_iterator(); ++it)
        names.push_back((*it)[3].str());
    return names;
}

TEST(InstalledTree, LibraryExportsItsPublicInterfaceAndNothingElse) {
    const auto listing =
        runProgram("/usr/bin/nm", {"-D", "--defined-only", "-C", (libdir / soname).string()});
    ASSERT_EQ(listing.status, 0) << listing.err;
    std::vector<std::string> symbols;
    std::istringstream lines(listing.out);
    for (std::string line; std::getline(lines, line);) {
        // "<address> <type> <name>[@@<version>]"; type A is the version node itself.
        const auto type = line.find(' ');
        const auto name = line.find(' ', type + 1);
        if (name == std::string::npos || line.compare(type + 1, 2, "A ") == 0)
            continue;
        symbols.push_back(line.substr(name + 1, line.find('@', name) - name - 1));
    }
    std::printf("exported symbols: %zu\n", symbols.size());

    for (const auto& symbol : symbols) {
        EXPECT_EQ(symbol.find("virelon::platform::"), std::string::npos) << symbol;
        EXPECT_EQ(symbol.find("virelon::detail::"), std::string::npos) << symbol;
        // Ours, or the toolchain's reserved names; never a dependency's symbols.
        const bool ours = symbol.starts_with("virelon_") || symbol.starts_with("virelon::");
        EXPECT_TRUE(ours || symbol.starts_with("__")) << symbol;
    }

    // Every declaration the installed headers mark for export is there.
    std::size_t declared = 0;
    for (const auto& header : installedHeaders()) {
        const bool c = header.filename() == "virelon_settings.h";
        for (const auto& name : exportedNames(header)) {
            ++declared;
            // A C++ name is followed by its parameters or an ABI tag ("[abi:cxx11]").
            const std::regex cxx("^virelon::(\\w+::)*" + name + "[(\\[]");
            bool found = false;
            for (const auto& symbol : symbols)
                found = found || (c ? symbol == name : std::regex_search(symbol, cxx));
            EXPECT_TRUE(found) << name << " from " << header.filename();
        }
    }
    EXPECT_GT(declared, 0u);
}

// Each installed header compiles on its own, with nothing but the installed include folder:
// the C header as C, all of them as the oldest C++ they are meant for.
struct Language {
    const char* name;
    const char* compiler;
    const char* language;
    const char* standard;
    bool cHeadersOnly;
};

void PrintTo(const Language& language, std::ostream* out) {
    *out << language.name;
}

class InstalledHeaders : public ::testing::TestWithParam<Language> {};

TEST_P(InstalledHeaders, CompileOnTheirOwnWithoutWarnings) {
    const auto& language = GetParam();
    virelon::test::ScratchHome scratch;
    std::size_t compiled = 0;
    for (const auto& header : installedHeaders()) {
        const auto name = header.filename().string();
        const bool cHeader = name == "virelon_settings.h" || name == "Export.h";
        if (language.cHeadersOnly && !cHeader)
            continue;
        const auto source = scratch.root() / "include.txt";
        // A declaration of its own: a translation unit may not be empty in ISO C.
        std::ofstream(source) << "#include <virelon/" << name << ">\ntypedef int checked;\n";
        const auto result = runProgram(
            language.compiler, {"-x", language.language, language.standard, "-Wall", "-Wextra",
                                "-Wpedantic", "-Wconversion", "-Wsign-conversion", "-Werror",
                                "-fsyntax-only", "-I" + includedir.string(), source.string()});
        EXPECT_EQ(result.status, 0) << name << " as " << language.name << ":\n" << result.err;
        ++compiled;
    }
    EXPECT_GT(compiled, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Languages, InstalledHeaders,
    ::testing::Values(Language{"C99", VIRELON_C_COMPILER, "c", "-std=c99", true},
                      Language{"C11", VIRELON_C_COMPILER, "c", "-std=c11", true},
                      Language{"Cxx17", VIRELON_CXX_COMPILER, "c++", "-std=c++17", false},
                      Language{"Cxx20", VIRELON_CXX_COMPILER, "c++", "-std=c++20", false}),
    [](const auto& tested) { return std::string(tested.param.name); });

TEST(InstalledTree, PkgConfigPointsIntoTheInstalledTree) {
    const std::vector<std::pair<std::string, std::string>> environment{
        {"PKG_CONFIG_PATH", (libdir / "pkgconfig").string()}};
    const auto modversion =
        runProgram("/usr/bin/pkg-config", {"--modversion", "virelon-settings"}, environment);
    ASSERT_EQ(modversion.status, 0) << modversion.err;
    EXPECT_EQ(modversion.out, version + "\n");

    for (const auto& [variable, folder] :
         {std::pair{"libdir", libdir}, std::pair{"includedir", includedir}}) {
        const auto value =
            runProgram("/usr/bin/pkg-config",
                       {"--variable=" + std::string(variable), "virelon-settings"}, environment);
        ASSERT_EQ(value.status, 0) << value.err;
        const fs::path reported = value.out.substr(0, value.out.find('\n'));
        ASSERT_TRUE(fs::exists(reported)) << variable << " = " << reported;
        EXPECT_EQ(fs::canonical(reported), fs::canonical(folder)) << variable;
    }
}

TEST(InstalledTree, DesktopEntryIsValid) {
    const auto file = datadir / "applications" / (applicationId + ".desktop");
    const auto result = runProgram("/usr/bin/desktop-file-validate", {file.string()});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out + result.err, "") << "no errors, warnings or hints";
}

TEST(InstalledTree, MetainfoIsValid) {
    const auto file = datadir / "metainfo" / (applicationId + ".metainfo.xml");
    const auto result = runProgram("/usr/bin/appstreamcli", {"validate", "--pedantic", "--no-net",
                                                             "--no-color", file.string()});
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    // Not even an info or a pedantic hint ("I: ...", "P: ...").
    EXPECT_FALSE(std::regex_search(result.out, std::regex("(^|\n)[EWIP]: "))) << result.out;
}

TEST(InstalledTree, DesktopFilesNameWhatIsInstalled) {
    const auto entry = readFile(datadir / "applications" / (applicationId + ".desktop"));
    EXPECT_TRUE(fs::exists(bindir / desktopValue(entry, "Exec"))) << desktopValue(entry, "Exec");
    EXPECT_TRUE(fs::exists(datadir / "icons/hicolor/scalable/apps" /
                           (desktopValue(entry, "Icon") + ".svg")))
        << desktopValue(entry, "Icon");

    // Activated over D-Bus: the service file starts the installed program under the same name.
    EXPECT_EQ(desktopValue(entry, "DBusActivatable"), "true");
    const auto service = readFile(datadir / "dbus-1/services" / (applicationId + ".service"));
    EXPECT_EQ(desktopValue(service, "Name"), applicationId);
    const auto exec = desktopValue(service, "Exec");
    EXPECT_TRUE(exec.starts_with("/") && (bindir / "virelon-voices").string().ends_with(exec))
        << exec;

    const auto metainfo = readFile(datadir / "metainfo" / (applicationId + ".metainfo.xml"));
    EXPECT_NE(metainfo.find("<id>" + applicationId + "</id>"), std::string::npos);
    EXPECT_NE(metainfo.find(">" + applicationId + ".desktop</launchable>"), std::string::npos);
    const std::regex binary("<binary>([^<]+)</binary>");
    int binaries = 0;
    for (auto it = std::sregex_iterator(metainfo.begin(), metainfo.end(), binary);
         it != std::sregex_iterator(); ++it, ++binaries)
        EXPECT_TRUE(fs::exists(bindir / (*it)[1].str())) << (*it)[1];
    EXPECT_EQ(binaries, 2);
}

TEST(InstalledTree, ManualPagesFormatWithoutWarnings) {
    for (const auto* name : {"virelon-settings.1", "virelon-voices.1"}) {
        const auto page = mandir / "man1" / name;
        const auto result =
            runProgram("/usr/bin/groff", {"-man", "-ww", "-z", "-Tutf8", page.string()});
        EXPECT_EQ(result.status, 0) << name;
        EXPECT_EQ(result.err, "") << name;
    }
}

TEST(InstalledTree, InstalledToolRuns) {
    const auto result = runProgram((bindir / "virelon-settings").string(), {"--version"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find(version), std::string::npos) << result.out;
}

} // namespace
