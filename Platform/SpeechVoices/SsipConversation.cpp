#include "SsipConversation.h"

#include "platform/Bounds.h"

#include <cerrno>

#include <poll.h>
#include <sys/socket.h>

namespace virelon::platform::speechd {

std::optional<SsipConversation::Reply> SsipConversation::exchange(std::string_view command) {
    buffer_.erase(0, consumed_);
    scanned_ = consumed_ = 0;
    std::string line(command);
    line += "\r\n";
    if (!send(line))
        return std::nullopt;
    return receive();
}

bool SsipConversation::send(std::string_view data) {
    while (!data.empty()) {
        const ssize_t sent = ::send(fd_.get(), data.data(), data.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            data.remove_prefix(static_cast<std::size_t>(sent));
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && errno == EAGAIN) {
            if (!waitUntil(fd_.get(), POLLOUT, deadline_))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

std::optional<SsipConversation::Reply> SsipConversation::receive() {
    std::vector<std::pair<std::size_t, std::size_t>> dataLines; // offset and size
    for (;;) {
        const auto end = std::string_view(buffer_).find("\r\n", scanned_);
        if (end == std::string_view::npos) {
            // A CR at the very end may belong to a CRLF that is still on its way.
            scanned_ = buffer_.size() > consumed_ ? buffer_.size() - 1 : consumed_;
            if (!readMore())
                return std::nullopt;
            continue;
        }
        const std::string_view line(buffer_.data() + consumed_, end - consumed_);
        scanned_ = consumed_ = end + 2;
        if (line.size() < 4 || !isDigit(line[0]) || !isDigit(line[1]) || !isDigit(line[2]) ||
            (line[3] != '-' && line[3] != ' '))
            return std::nullopt;
        if (line[3] == '-') {
            dataLines.emplace_back(static_cast<std::size_t>(line.data() - buffer_.data()) + 4,
                                   line.size() - 4);
            continue;
        }
        Reply reply;
        reply.code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
        reply.lines.reserve(dataLines.size());
        for (const auto& [offset, size] : dataLines)
            reply.lines.emplace_back(buffer_.data() + offset, size);
        return reply;
    }
}

bool SsipConversation::readMore() {
    // The buffer holds the current reply from its start (exchange() dropped the earlier ones).
    if (buffer_.size() >= voiceReplySizeLimit)
        return false;
    for (;;) {
        const ssize_t got = ::read(fd_.get(), chunk_.data(), chunk_.size());
        if (got > 0) {
            buffer_.append(chunk_.data(), static_cast<std::size_t>(got));
            return true;
        }
        if (got == 0)
            return false; // the server has gone
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN || !waitUntil(fd_.get(), POLLIN, deadline_))
            return false;
    }
}

} // namespace virelon::platform::speechd
