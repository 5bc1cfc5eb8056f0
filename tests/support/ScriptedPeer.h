#pragma once

// A scripted speech server on a Unix socket, for what a real one cannot be made to do: it takes
// one connection, answers each command (one line read) with the next reply, byte by byte when
// given a gap, then sends `endless` over and over when given, and hangs up.

#include "SilentSocket.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace virelon::test {

class ScriptedPeer {
public:
    ScriptedPeer(const std::filesystem::path& socket, std::vector<std::string> replies,
                 std::chrono::milliseconds byteGap = {}, std::string endless = {})
        : listening_(socket), replies_(std::move(replies)), byteGap_(byteGap),
          endless_(std::move(endless)) {
        if (listening_.fd() >= 0)
            peer_ = std::thread([this] { serve(); });
    }
    ~ScriptedPeer() {
        ::shutdown(listening_.fd(), SHUT_RDWR); // no connection came: accept() returns
        if (peer_.joinable())
            peer_.join();
    }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    bool listening() const { return listening_.fd() >= 0; }

private:
    void serve() const {
        const int connection = ::accept(listening_.fd(), nullptr, nullptr);
        if (connection < 0)
            return;
        bool open = true;
        for (const auto& reply : replies_) {
            for (char ch = 0; ch != '\n' && ::read(connection, &ch, 1) == 1;) {
            }
            for (std::size_t at = 0; open && at < reply.size();) {
                const auto size = byteGap_.count() > 0 ? 1 : reply.size() - at;
                open = ::send(connection, reply.data() + at, size, MSG_NOSIGNAL) > 0;
                at += size;
                std::this_thread::sleep_for(byteGap_);
            }
        }
        std::string endless;
        while (!endless_.empty() && endless.size() < 64 * 1024)
            endless += endless_;
        while (!endless.empty() &&
               ::send(connection, endless.data(), endless.size(), MSG_NOSIGNAL) > 0) {
        }
        ::close(connection);
    }

    SilentSocket listening_;
    std::vector<std::string> replies_;
    std::chrono::milliseconds byteGap_;
    std::string endless_;
    std::thread peer_;
};

} // namespace virelon::test
