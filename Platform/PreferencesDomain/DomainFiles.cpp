#include "DomainFiles.h"

#include "platform/PreferencesDomain.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace virelon::platform {

namespace {

constexpr std::string_view fileName = "preferences.db";

bool isValidSuiteName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// The variable's value when it is an absolute path, without trailing slashes.
std::optional<std::string> absolutePathVariable(const char* name) {
    const char* value = std::getenv(name);
    if (!value || value[0] != '/')
        return std::nullopt;
    std::string path(value);
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string joined(const std::string& directory, std::string_view name) {
    std::string path = directory;
    if (path.back() != '/')
        path += '/';
    path += name;
    return path;
}

} // namespace

namespace sqlite {

namespace {

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

bool makeDirectories(const std::string& path) {
    const auto makeOne = [&path] {
        // chmod because the umask may have taken bits away; the directory is ours.
        return ::mkdir(path.c_str(), 0700) == 0 && ::chmod(path.c_str(), 0700) == 0;
    };
    if (makeOne())
        return true;
    if (errno == EEXIST)
        return isDirectory(path);
    const auto slash = path.find_last_of('/');
    if (errno != ENOENT || slash == 0 || slash == std::string::npos)
        return false;
    if (!makeDirectories(path.substr(0, slash)))
        return false;
    return makeOne() || (errno == EEXIST && isDirectory(path));
}

bool createFile(const std::string& path) noexcept {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::fchmod(fd, 0600); // against a umask that took bits away
    ::close(fd);
    return true;
}

bool ownedByUser(const std::string& path, const struct stat& info, mode_t narrowed) noexcept {
    if (info.st_uid != ::geteuid())
        return false;
    if ((info.st_mode & 077) == 0)
        return true;
    return ::chmod(path.c_str(), narrowed) == 0 || (info.st_mode & 022) == 0;
}

bool companionsOwnedByUser(const std::string& path) {
    // Looked at with lstat() only: open() on a FIFO would block.
    for (const char* suffix : {"-journal", "-wal", "-shm"}) {
        const std::string companion = path + suffix;
        struct stat info {};
        if (::lstat(companion.c_str(), &info) != 0) {
            if (errno == ENOENT)
                continue;
            return false;
        }
        if (!S_ISREG(info.st_mode) || !ownedByUser(companion, info, 0600))
            return false;
    }
    return true;
}

bool fileExists(const std::string& path) noexcept {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

bool onReadOnlyFileSystem(const std::string& path) noexcept {
    struct statvfs info {};
    return ::statvfs(path.c_str(), &info) == 0 && (info.f_flag & ST_RDONLY) != 0;
}

} // namespace sqlite

std::optional<std::string> preferencesDomainPath(std::string_view suiteName) noexcept {
    try {
        if (!isValidSuiteName(suiteName))
            return std::nullopt;
        // A relative XDG_CONFIG_HOME is invalid and ignored, as the XDG base directories say.
        auto configHome = absolutePathVariable("XDG_CONFIG_HOME");
        if (!configHome) {
            const auto home = absolutePathVariable("HOME");
            if (!home)
                return std::nullopt;
            configHome = joined(*home, ".config");
        }
        return joined(joined(*configHome, suiteName), fileName);
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace virelon::platform
