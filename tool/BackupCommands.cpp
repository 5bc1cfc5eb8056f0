// export and import: the stored settings as JSON (the form of --json get), written to a file
// whole or not at all, and put back from one in a single transaction with one change signal.

#include "Commands.h"

#include "platform/FileDescriptor.h"
#include "tool/BackupFile.h"
#include "tool/Json.h"
#include "virelon/SettingsPlatform.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace virelon::tool {

namespace {

// Writes the bytes to `file` whole or not at all: into a new file beside it (0600), synced, then
// renamed over the name. An existing name is replaced only when it is a regular file.
std::string writeWhole(const std::string& file, const std::string& bytes) {
    struct stat info {};
    if (::lstat(file.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
        return "it exists and is not a regular file";
    std::string temporary = file + ".XXXXXX";
    const platform::FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd)
        return std::strerror(errno);
    errno = 0;
    if (!platform::writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0 ||
        ::rename(temporary.c_str(), file.c_str()) != 0) {
        const std::string why = std::strerror(errno ? errno : EIO);
        ::unlink(temporary.c_str()); // ours: made above
        return why;
    }
    const auto slash = file.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : file.substr(0, slash + 1);
    const platform::FileDescriptor directory(
        ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory || ::fsync(directory.get()) != 0)
        return std::strerror(errno);
    return {};
}

} // namespace

int Commands::exportTo(const std::optional<std::string>& file) {
    if (!file)
        return Commands(out_, err_, true).get(std::nullopt);
    std::ostringstream document;
    if (const int status = Commands(document, err_, true).get(std::nullopt); status != ok)
        return status;
    if (const auto why = writeWhole(*file, document.str()); !why.empty()) {
        err_ << "virelon-settings: could not write " << terminalText(*file) << ": " << why
             << "; nothing was written.\n";
        return failed;
    }
    if (json_)
        out_ << "{\"exported\":" << jsonString(*file) << "}\n";
    else
        out_ << "settings exported to " << terminalText(*file) << '\n';
    return ok;
}

int Commands::importFrom(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::string text(largestBackup + 1, '\0');
    if (in)
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (!in && !in.eof()) {
        err_ << "virelon-settings: could not read " << terminalText(file)
             << "; nothing was changed.\n";
        return failed;
    }
    text.resize(static_cast<std::size_t>(in.gcount()));
    std::string wrong;
    const auto settings = readBackup(text, wrong);
    if (!settings) {
        err_ << "virelon-settings: " << terminalText(file)
             << " is not an export of the settings: " << wrong << "; nothing was changed.\n";
        return badUsage;
    }
    std::vector<platform::PreferencesDomain::Change> changes;
    for (const auto& [key, value] : *settings)
        changes.push_back({key, value});
    if (!detail::settingsCore().restore(changes)) {
        err_ << "virelon-settings: the settings could not be imported: the settings at "
             << terminalText(domainLocation()) << " cannot be opened or written; nothing was "
             << "changed.\n";
        return unusable();
    }
    if (json_)
        out_ << "{\"imported\":" << jsonString(file) << ",\"settings\":" << settings->size()
             << "}\n";
    else
        out_ << settings->size() << " settings imported from " << terminalText(file) << '\n';
    return announced();
}

} // namespace virelon::tool
