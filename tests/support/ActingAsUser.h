#pragma once

// Acting as an unprivileged user inside a test process that runs as root.

#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <string>
#include <system_error>
#include <sys/types.h>
#include <unistd.h>
#include <utility>

namespace virelon::test {

// Root passes every permission check. To meet what a user meets, the process owns the scratch
// files as an unprivileged user and acts as that user for as long as this lives. A program the
// test runs meanwhile is copied into the scratch folder first (and `program` pointed at the copy
// until then): the build folder may lie where only root can enter.
class ActingAsUser {
public:
    explicit ActingAsUser(const std::filesystem::path& root, std::string* program = nullptr) {
        if (::geteuid() != 0) {
            available_ = true;
            return;
        }
        if (program) {
            const auto copy = root / std::filesystem::path(*program).filename();
            std::error_code error;
            std::filesystem::copy_file(*program, copy,
                                       std::filesystem::copy_options::overwrite_existing, error);
            if (error)
                return;
            program_ = program;
            original_ = std::exchange(*program, copy.string());
        }
        const passwd* nobody = ::getpwnam("nobody");
        const uid_t uid = nobody ? nobody->pw_uid : 65534;
        const gid_t gid = nobody ? nobody->pw_gid : 65534;
        bool owned = ::lchown(root.c_str(), uid, gid) == 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
            owned = owned && ::lchown(entry.path().c_str(), uid, gid) == 0;
        if (!owned || ::setegid(gid) != 0)
            return;
        if (::seteuid(uid) != 0) {
            if (::setegid(0) != 0)
                std::abort();
            return;
        }
        dropped_ = available_ = true;
    }
    ~ActingAsUser() {
        if (dropped_ && (::seteuid(0) != 0 || ::setegid(0) != 0))
            std::abort();
        if (program_)
            *program_ = original_;
    }
    ActingAsUser(const ActingAsUser&) = delete;
    ActingAsUser& operator=(const ActingAsUser&) = delete;

    bool available() const { return available_; }

private:
    bool available_ = false;
    bool dropped_ = false;
    std::string* program_ = nullptr;
    std::string original_;
};

} // namespace virelon::test
