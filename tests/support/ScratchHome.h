#pragma once

// A fresh, private configuration folder for one test process: XDG_CONFIG_HOME points into a new
// temporary folder that is removed again when the object goes away.

#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <utility>

namespace virelon::test {

class ScratchHome {
public:
    ScratchHome() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "virelon-scratch.XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        root_ = pattern;
        ::setenv("XDG_CONFIG_HOME", configHome().c_str(), 1);
    }
    ~ScratchHome() {
        std::error_code ignored;
        // Read-only folders made by a test must not stop the clean-up.
        for (auto& entry : std::filesystem::recursive_directory_iterator(root_, ignored))
            std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(root_, ignored);
    }
    ScratchHome(const ScratchHome&) = delete;
    ScratchHome& operator=(const ScratchHome&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path configHome() const { return root_ / "config"; }

private:
    std::filesystem::path root_;
};

// Root passes every permission check. To meet what a user meets, the process owns the scratch
// files as an unprivileged user and acts as that user for as long as this lives. A program the
// test runs meanwhile is copied into the scratch folder first (and `program` pointed at the copy
// until then): the build folder may lie where only root can enter.
class ActingAsUser {
public:
    explicit ActingAsUser(const std::filesystem::path& root, std::string* program = nullptr) {
        available_ = ::geteuid() != 0;
        std::error_code error;
        const auto copy = root / std::filesystem::path(program ? *program : "").filename();
        if (available_ || (program && !std::filesystem::copy_file(*program, copy, error)))
            return;
        if (program)
            restore_ = {program, std::exchange(*program, copy.string())};
        const passwd* nobody = ::getpwnam("nobody");
        const uid_t uid = nobody ? nobody->pw_uid : 65534;
        const gid_t gid = nobody ? nobody->pw_gid : 65534;
        bool owned = ::lchown(root.c_str(), uid, gid) == 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
            owned = owned && ::lchown(entry.path().c_str(), uid, gid) == 0;
        if (owned && ::setegid(gid) == 0) {
            dropped_ = available_ = ::seteuid(uid) == 0;
            if (!dropped_ && ::setegid(0) != 0)
                std::abort();
        }
    }
    ~ActingAsUser() {
        if (dropped_ && (::seteuid(0) != 0 || ::setegid(0) != 0))
            std::abort();
        if (restore_.first)
            *restore_.first = restore_.second;
    }
    ActingAsUser(const ActingAsUser&) = delete;
    ActingAsUser& operator=(const ActingAsUser&) = delete;

    bool available() const { return available_; }

private:
    bool available_ = false, dropped_ = false;
    std::pair<std::string*, std::string> restore_;
};

} // namespace virelon::test
