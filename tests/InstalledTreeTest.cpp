// The installed tree, as `cmake --install` stages it into a DESTDIR of the build folder: the files
// a desktop and an engine need, valid desktop metadata and manual pages, headers that stand on
// their own, and a library that exports its public interface and nothing else.

#include "support/ScratchHome.h"
#include "support/Subprocess.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>

namespace fs = std::filesystem;
using virelon::test::runProgram;

namespace {

const fs::path prefix = VIRELON_STAGED_PREFIX, bindir = VIRELON_STAGED_BINDIR;
const fs::path libdir = VIRELON_STAGED_LIBDIR, includedir = VIRELON_STAGED_INCLUDEDIR;
const fs::path datadir = VIRELON_STAGED_DATADIR, mandir = VIRELON_STAGED_MANDIR;
const std::string id = VIRELON_APPLICATION_IDENTIFIER, version = VIRELON_VERSION;
const fs::path library = libdir / ("libvirelon-settings.so." VIRELON_VERSION_MAJOR);

std::string readFile(const fs::path& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

/// Every match of `pattern`'s first group in `text`.
std::vector<std::string> matches(const std::string& text, const std::string& pattern) {
    std::vector<std::string> found;
    const std::regex expression(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), expression);
         it != std::sregex_iterator(); ++it)
        found.push_back((*it)[1].str());
    return found;
}

// The files an engine and a desktop find, the names they find them by, and what nothing else
// checks: no private header, no build path in the library, the version pkg-config gives.
TEST(InstalledTree, HoldsWhatEnginesAndDesktopsFindAndNothingPrivate) {
    for (const auto& file :
         {bindir / "virelon-voices", bindir / "virelon-settings",
          libdir / ("libvirelon-settings.so." + version), library,
          libdir / "libvirelon-settings.so",
          libdir / "cmake/VirelonSettings/VirelonSettingsConfigVersion.cmake",
          includedir / "virelon/virelon_settings.h", includedir / "virelon/VirelonSharedSettings.h",
          includedir / "virelon/Identifiers.h", includedir / "virelon/Export.h"})
        EXPECT_TRUE(fs::is_regular_file(file)) << file;
    for (const auto& link : {library, libdir / "libvirelon-settings.so"})
        EXPECT_TRUE(fs::is_symlink(link)) << link;
    const auto dynamic = runProgram("/usr/bin/readelf", {"-d", library.string()});
    EXPECT_NE(dynamic.out.find("Library soname: [" + library.filename().string() + "]"),
              std::string::npos)
        << dynamic.out;
    EXPECT_EQ(dynamic.out.find("PATH"), std::string::npos)
        << "no RPATH or RUNPATH: " << dynamic.out;
    // Where pkg-config finds the library and headers the engine example's build shows; the file
    // names the installed prefix, so that pkg-config can leave out the system folders.
    for (const auto& [option, expected] :
         {std::pair{"--modversion", version}, {"--variable=prefix", VIRELON_INSTALL_PREFIX}})
        EXPECT_EQ(runProgram("/usr/bin/pkg-config", {option, "virelon-settings"},
                             {{"PKG_CONFIG_PATH", (libdir / "pkgconfig").string()}})
                      .out,
                  expected + "\n");

    std::set<std::string> privateNames;
    for (const auto& folder : {"Platform", "Shared/seam", "Shared/private"})
        for (const auto& entry :
             fs::recursive_directory_iterator(fs::path(VIRELON_SOURCE_DIR) / folder))
            if (entry.is_regular_file())
                privateNames.insert(entry.path().filename().string());
    ASSERT_TRUE(privateNames.contains("SettingsPlatform.h") &&
                privateNames.contains("DecimalInteger.h"));
    for (const auto& entry : fs::recursive_directory_iterator(prefix))
        EXPECT_FALSE(privateNames.contains(entry.path().filename().string())) << entry.path();
}

// The C interface and the settings class only (a dependency's, the platform layer's or the reading
// rules' never), and each declaration the installed headers mark for export; each header compiles
// alone as the oldest C and C++ it is for.
TEST(InstalledTree, LibraryExportsItsHeadersAndTheyStandAlone) {
    const auto symbols = matches(
        "\n" + runProgram("/usr/bin/nm", {"-D", "--defined-only", "-C", library.string()}).out,
        "\\n[0-9a-f]+ [^A] ([^@\\n]*)");
    ASSERT_FALSE(symbols.empty());
    for (const auto& symbol : symbols)
        EXPECT_TRUE(symbol.starts_with("__") || symbol.starts_with("virelon_") ||
                    symbol.starts_with("virelon::VirelonSharedSettings::"))
            << symbol;
    virelon::test::ScratchHome scratch;
    const auto source = scratch.root() / "include.txt";
    for (const auto& header : fs::directory_iterator(includedir / "virelon")) {
        const auto name = header.path().filename().string();
        const bool c = name == "virelon_settings.h" || name == "Export.h";
        // At the start of a line: not the macro's own definition.
        for (const auto& exported : matches(
                 readFile(header),
                 "\\n[ \\t]*VIRELON_SETTINGS_EXPORT\\s+(?:static\\s+)?[^;(]*?\\b(\\w+)\\s*\\(")) {
            // A C++ name is followed by its parameters or an ABI tag ("[abi:cxx11]").
            const std::regex cxx("^virelon::(\\w+::)*" + exported + "[(\\[]");
            EXPECT_TRUE(std::any_of(symbols.begin(), symbols.end(), [&](const auto& symbol) {
                return c ? symbol == exported : std::regex_search(symbol, cxx);
            })) << exported;
        }
        // A declaration of its own: a translation unit may not be empty in ISO C.
        std::ofstream(source) << "#include <virelon/" << name << ">\ntypedef int checked;\n";
        for (const auto& [compiler, language] :
             {std::pair{VIRELON_C_COMPILER, "-xc"}, std::pair{VIRELON_CXX_COMPILER, "-xc++"}}) {
            if (language[3] == 0 && !c)
                continue;
            const auto result = runProgram(
                compiler, {language, language[3] ? "-std=c++17" : "-std=c99", "-Wall", "-Wextra",
                           "-Wpedantic", "-Wconversion", "-Wsign-conversion", "-Werror",
                           "-fsyntax-only", "-I" + includedir.string(), source.string()});
            EXPECT_EQ(result.status, 0) << name << " as " << language << ":\n" << result.err;
        }
    }
}

// Each block of the README fenced as c or cpp compiles as the oldest C or C++ the headers are for
// and links against the installed library with nothing left undefined.
TEST(InstalledTree, TheReadmesCodeBlocksBuildAgainstIt) {
    virelon::test::ScratchHome scratch;
    const auto readme = readFile(fs::path(VIRELON_SOURCE_DIR) / "README.md");
    const std::regex fenced("\\n```(c|cpp)\\n([^`]*)```");
    std::set<std::string> languages;
    for (auto it = std::sregex_iterator(readme.begin(), readme.end(), fenced);
         it != std::sregex_iterator(); ++it) {
        const bool c = (*it)[1] == "c";
        languages.insert((*it)[1]);
        const auto source = scratch.root() / (c ? "block.c" : "block.cpp");
        std::ofstream(source) << (*it)[2];
        const auto result =
            runProgram(c ? VIRELON_C_COMPILER : VIRELON_CXX_COMPILER,
                       {c ? "-std=c99" : "-std=c++17", "-Wall", "-Wextra", "-Wpedantic", "-Werror",
                        "-shared", "-fPIC", "-Wl,--no-undefined", "-I" + includedir.string(),
                        source.string(), "-L" + libdir.string(), "-lvirelon-settings", "-o",
                        (scratch.root() / "block.so").string()});
        EXPECT_EQ(result.status, 0) << (*it)[2] << result.err;
    }
    EXPECT_EQ(languages, (std::set<std::string>{"c", "cpp"}));
}

// The validators find no error, warning, hint or info in the desktop entry, the metadata and the
// manual pages; the desktop entry, its D-Bus service and the metadata name installed files.
TEST(InstalledTree, DesktopFilesAndManualPagesAreValidAndNameWhatIsInstalled) {
    const auto entry = datadir / "applications" / (id + ".desktop");
    const auto metainfo = datadir / "metainfo" / (id + ".metainfo.xml");
    const std::pair<std::string, std::vector<std::string>> validators[] = {
        {"/usr/bin/desktop-file-validate", {entry.string()}},
        {"/usr/bin/appstreamcli",
         {"validate", "--pedantic", "--no-net", "--no-color", metainfo.string()}},
        {"/usr/bin/groff",
         {"-man", "-ww", "-z", "-Tutf8", (mandir / "man1/virelon-settings.1").string(),
          (mandir / "man1/virelon-voices.1").string()}}};
    for (const auto& [validator, arguments] : validators) {
        const auto result = runProgram(validator, arguments);
        EXPECT_EQ(result.status, 0) << arguments.back();
        EXPECT_EQ(std::regex_replace(result.out + result.err,
                                     std::regex("✔ Validation was successful.\\n"), ""),
                  "")
            << arguments.back();
    }

    const auto desktop = readFile(entry),
               service = readFile(datadir / "dbus-1/services" / (id + ".service"));
    const auto value = [](const std::string& text, const std::string& key) {
        return matches("\n" + text, "\\n" + key + "=([^\\n]*)").at(0);
    };
    EXPECT_TRUE(fs::exists(bindir / value(desktop, "Exec")));
    EXPECT_TRUE(
        fs::exists(datadir / "icons/hicolor/scalable/apps" / (value(desktop, "Icon") + ".svg")));
    // Activated over D-Bus: the service file starts the installed program under the same name.
    EXPECT_EQ(value(desktop, "DBusActivatable"), "true");
    EXPECT_EQ(value(service, "Name"), id);
    EXPECT_TRUE(value(service, "Exec").starts_with("/") &&
                (bindir / "virelon-voices").string().ends_with(value(service, "Exec")));
    const auto metadata = readFile(metainfo);
    EXPECT_EQ(matches(metadata, "<id>([^<]+)</id>"), std::vector{id});
    EXPECT_EQ(matches(metadata, ">([^<]+)</launchable>"), std::vector{id + ".desktop"});
    EXPECT_EQ(matches(metadata, "<binary>([^<]+)</binary>"),
              (std::vector<std::string>{"virelon-voices", "virelon-settings"}));
    // The screenshots are the pictures of docs/, served from the homepage.
    const auto images = matches(metadata, "<image [^>]*>https://[^<]*/([^/<]+)</image>");
    EXPECT_EQ(images.size(), 2u); // English and German
    for (const auto& image : images)
        EXPECT_TRUE(fs::is_regular_file(fs::path(VIRELON_SOURCE_DIR) / "docs" / image)) << image;
}

} // namespace
