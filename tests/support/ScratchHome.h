#pragma once

// A fresh, private configuration folder for one test process: XDG_CONFIG_HOME points into a new
// temporary folder that is removed again when the object goes away.

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace virelon::test {

class ScratchHome {
public:
    ScratchHome() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "virelon-scratch.XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        root_ = pattern;
        ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
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

} // namespace virelon::test
