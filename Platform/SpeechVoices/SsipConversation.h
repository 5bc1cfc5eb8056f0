#pragma once

// Inside the adapter only: one SSIP conversation with the speech server.

#include "SpeechServerSocket.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace virelon::platform::speechd {

/// Replies are lines "NNN-text" ending in "NNN text", each ending in CRLF. Every wait ends at the
/// deadline, and no reply may be larger than voiceReplySizeLimit.
class SsipConversation {
public:
    SsipConversation(FileDescriptor fd, Clock::time_point deadline)
        : fd_(std::move(fd)), deadline_(deadline) {}

    struct Reply {
        int code = 0;
        std::vector<std::string_view> lines; // the data lines' text; valid until the next command
        bool succeeded() const { return code >= 200 && code < 300; }
    };

    /// Nothing when the server is gone, does not answer in time, breaks the protocol or sends a
    /// reply past the size limit. Throws only std::bad_alloc.
    std::optional<Reply> exchange(std::string_view command);

private:
    bool send(std::string_view data);
    std::optional<Reply> receive();
    bool readMore();
    static bool isDigit(char c) { return c >= '0' && c <= '9'; }
    static constexpr std::size_t readChunkSize = 64 * 1024;

    FileDescriptor fd_;
    Clock::time_point deadline_;
    std::string buffer_;
    std::vector<char> chunk_ = std::vector<char>(readChunkSize);
    std::size_t consumed_ = 0; // bytes of buffer_ that belong to earlier lines
    std::size_t scanned_ = 0;  // where the search for the next line end resumes
};

} // namespace virelon::platform::speechd
