#pragma once

#include <string>

namespace virelon {

/// Has the screen reader speak a message. Saying the same message again speaks it again.
class Announcer {
public:
    virtual ~Announcer() = default;
    virtual void announce(const std::string& message) noexcept = 0;
};

} // namespace virelon
