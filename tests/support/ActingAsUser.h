#pragma once

// Acting as an unprivileged user inside a test process that runs as root.

#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

namespace virelon::test {

// Root passes every permission check. To meet what a user meets, the process owns the scratch
// files as an unprivileged user and acts as that user for as long as this lives.
class ActingAsUser {
public:
    explicit ActingAsUser(const std::filesystem::path& root) {
        if (::geteuid() != 0) {
            available_ = true;
            return;
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
    }
    ActingAsUser(const ActingAsUser&) = delete;
    ActingAsUser& operator=(const ActingAsUser&) = delete;

    bool available() const { return available_; }

private:
    bool available_ = false;
    bool dropped_ = false;
};

} // namespace virelon::test
