#include "SpeechVoices.h"

#include <libspeechd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

// The server is found the way libspeechd finds it, but the conversation is our own, over a
// non-blocking socket: libspeechd 0.11.4 has no timeouts (a hung server blocks its reads for
// ever, already inside spd_open2), calls exit() on a reply it cannot parse (a server dying after
// the first bytes of a reply is enough), and reads replies one byte per read() and splits them in
// quadratic time, which makes espeak-ng's 13,362 entries take several seconds.

namespace virelon::platform {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The longest one listing takes, all told: finding the server, starting it if need be, and every
// reply. A server that dribbles or sends without end is cut off here or at the size limit.
constexpr auto answerTimeout = std::chrono::seconds(2);
// espeak-ng's 13,362 entries take about 0.6 MiB.
constexpr std::size_t replySizeLimit = std::size_t{16} << 20;
// How often we knock while a server we started is coming up.
constexpr auto connectRetryInterval = milliseconds(10);
constexpr std::size_t readChunkSize = 64 * 1024;
constexpr const char* spawnProgram = "speech-dispatcher";

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

struct ServerAddress {
    sockaddr_storage socketAddress{};
    socklen_t length = 0;
    std::string unixPath; // empty for an inet address, which we never start a server for
};

struct AddressDeleter {
    void operator()(SPDConnectionAddress* address) const noexcept {
        SPDConnectionAddress__free(address);
    }
};

// SPEECHD_ADDRESS when set ("unix_socket:PATH", "inet_socket:HOST:PORT"), else the user's
// runtime folder: the same rules every other client of the user's server follows.
std::optional<ServerAddress> serverAddress() {
    char* error = nullptr;
    std::unique_ptr<SPDConnectionAddress, AddressDeleter> address(spd_get_default_address(&error));
    std::free(error);
    if (!address)
        return std::nullopt;

    ServerAddress result;
    if (address->method == SPD_METHOD_UNIX_SOCKET && address->unix_socket_name) {
        sockaddr_un unixAddress{};
        unixAddress.sun_family = AF_UNIX;
        const std::string_view path = address->unix_socket_name;
        if (path.empty() || path.size() >= sizeof unixAddress.sun_path)
            return std::nullopt;
        path.copy(unixAddress.sun_path, path.size());
        std::memcpy(&result.socketAddress, &unixAddress, sizeof unixAddress);
        result.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
        result.unixPath = path;
        return result;
    }
    if (address->method == SPD_METHOD_INET_SOCKET && address->inet_socket_host) {
        // Numeric addresses only: a name lookup could block without bound.
        std::string_view host = address->inet_socket_host;
        if (host == "localhost")
            host = "127.0.0.1";
        if (address->inet_socket_port <= 0 || address->inet_socket_port > 65535)
            return std::nullopt;
        const auto port = htons(static_cast<std::uint16_t>(address->inet_socket_port));
        const std::string hostText(host);
        sockaddr_in inet4{};
        sockaddr_in6 inet6{};
        if (inet_pton(AF_INET, hostText.c_str(), &inet4.sin_addr) == 1) {
            inet4.sin_family = AF_INET;
            inet4.sin_port = port;
            std::memcpy(&result.socketAddress, &inet4, sizeof inet4);
            result.length = sizeof inet4;
            return result;
        }
        if (inet_pton(AF_INET6, hostText.c_str(), &inet6.sin6_addr) == 1) {
            inet6.sin6_family = AF_INET6;
            inet6.sin6_port = port;
            std::memcpy(&result.socketAddress, &inet6, sizeof inet6);
            result.length = sizeof inet6;
            return result;
        }
    }
    return std::nullopt;
}

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, 60'000));
}

// True when `events` can be handled on fd before the deadline.
bool waitUntil(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const int timeout = millisecondsUntil(deadline);
        if (timeout <= 0)
            return false;
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, timeout);
        if (ready > 0)
            return true; // errors and hang-ups show up in the following read or write
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

void sleepUntil(Clock::time_point wakeUp) {
    while (Clock::now() < wakeUp)
        ::poll(nullptr, 0, std::max(1, millisecondsUntil(wakeUp)));
}

enum class ConnectOutcome { connected, nobodyListening, busy, failed };

ConnectOutcome tryConnect(const ServerAddress& address, Clock::time_point deadline,
                          FileDescriptor& connection) {
    FileDescriptor fd(
        ::socket(address.socketAddress.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd)
        return ConnectOutcome::failed;
    const auto* target = reinterpret_cast<const sockaddr*>(&address.socketAddress);
    int result = ::connect(fd.get(), target, address.length);
    while (result != 0 && errno == EINTR)
        result = ::connect(fd.get(), target, address.length);
    if (result != 0 && errno == EINPROGRESS) {
        int error = ETIMEDOUT;
        socklen_t size = sizeof error;
        if (waitUntil(fd.get(), POLLOUT, deadline))
            ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &size);
        result = error == 0 ? 0 : -1;
        errno = error;
    }
    if (result == 0) {
        connection = std::move(fd);
        return ConnectOutcome::connected;
    }
    switch (errno) {
    case ENOENT:
    case ECONNREFUSED:
        return ConnectOutcome::nobodyListening;
    case EAGAIN: // a Unix socket's backlog is full: the server is there but busy
        return ConnectOutcome::busy;
    default:
        return ConnectOutcome::failed;
    }
}

// One SSIP conversation. Replies are lines "NNN-text" ending in "NNN text", each ending in CRLF.
class SsipConversation {
public:
    SsipConversation(FileDescriptor fd, Clock::time_point deadline)
        : fd_(std::move(fd)), deadline_(deadline) {}

    struct Reply {
        int code = 0;
        std::vector<std::string_view> lines; // the data lines' text; valid until the next command
        bool succeeded() const { return code >= 200 && code < 300; }
    };

    // Nothing when the server is gone, does not answer in time, breaks the protocol or sends a
    // reply past the size limit.
    std::optional<Reply> exchange(std::string_view command) {
        buffer_.erase(0, consumed_);
        scanned_ = consumed_ = 0;
        std::string line(command);
        line += "\r\n";
        if (!send(line))
            return std::nullopt;
        return receive();
    }

private:
    bool send(std::string_view data) {
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

    std::optional<Reply> receive() {
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

    bool readMore() {
        // The buffer holds the current reply from its start (exchange() dropped the earlier ones).
        if (buffer_.size() >= replySizeLimit)
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

    static bool isDigit(char c) { return c >= '0' && c <= '9'; }

    FileDescriptor fd_;
    Clock::time_point deadline_;
    std::string buffer_;
    std::vector<char> chunk_ = std::vector<char>(readChunkSize);
    std::size_t consumed_ = 0; // bytes of buffer_ that belong to earlier lines
    std::size_t scanned_ = 0;  // where the search for the next line end resumes
};

std::string clientName() {
    std::string user = "unknown";
    char storage[1024];
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, storage, sizeof storage, &found) == 0 && found)
        user = found->pw_name;
    // The name is sent inside quotes, with colons between its parts.
    std::erase_if(
        user, [](char c) { return c == '"' || c == ':' || static_cast<unsigned char>(c) < 0x20; });
    return "SET SELF CLIENT_NAME \"" + user + ":virelon:voices\"";
}

// True when `name` is another listed voice's name followed by "+" and a variant, the way
// espeak-ng lists each voice once more for each of its variants ("Afrikaans+Adam").
bool isVariant(std::string_view name, const std::unordered_set<std::string_view>& names) {
    for (auto plus = name.find('+', 1); plus != std::string_view::npos && plus + 1 < name.size();
         plus = name.find('+', plus + 1)) {
        if (names.contains(name.substr(0, plus)))
            return true;
    }
    return false;
}

// Appends one module's voices, leaving out variants and later entries of a name already listed
// (one name for two languages): the identifier has to name one voice. A line reads
// "NAME\tLANGUAGE\tVARIANT".
void appendVoices(std::string_view module, const std::vector<std::string_view>& lines,
                  std::vector<Voice>& voices) {
    std::vector<std::pair<std::string_view, std::string_view>> entries;
    entries.reserve(lines.size());
    std::unordered_set<std::string_view> names;
    names.reserve(lines.size());
    for (const auto line : lines) {
        const auto nameEnd = std::min(line.find('\t'), line.size());
        const auto name = line.substr(0, nameEnd);
        auto language = line.substr(std::min(nameEnd + 1, line.size()));
        language = language.substr(0, std::min(language.find('\t'), language.size()));
        if (name.empty())
            continue;
        entries.emplace_back(name, language);
        names.insert(name);
    }
    std::unordered_set<std::string_view> listed;
    for (const auto& [name, language] : entries) {
        if (isVariant(name, names) || !listed.insert(name).second)
            continue;
        std::string identifier;
        identifier.reserve(module.size() + 1 + name.size());
        identifier.append(module).append("/").append(name);
        voices.push_back(Voice{std::move(identifier), std::string(name), std::string(language)});
    }
}

class SpeechDispatcherVoices final : public SpeechVoices {
public:
    ~SpeechDispatcherVoices() override { spawnerFinished(); }

    // Every listing asks the server afresh: there is nothing to drop.
    void updateSpeechVoices() override {}

    VoiceListing speechVoices() override {
        try {
            spawnerFinished();
            return listAll();
        } catch (...) { // out of memory
            return {};
        }
    }

private:
    VoiceListing listAll() {
        VoiceListing listing;
        const auto address = serverAddress();
        if (!address)
            return listing;
        const auto deadline = Clock::now() + answerTimeout;
        auto fd = connectToServer(*address, deadline);
        if (!fd)
            return listing;
        SsipConversation conversation(std::move(*fd), deadline);
        const auto greeting = conversation.exchange(clientName());
        if (!greeting || !greeting->succeeded())
            return listing;

        const auto moduleReply = conversation.exchange("LIST OUTPUT_MODULES");
        if (!moduleReply || !moduleReply->succeeded())
            return listing;
        const std::vector<std::string> modules(moduleReply->lines.begin(),
                                               moduleReply->lines.end());
        for (const auto& module : modules) {
            const auto selected = conversation.exchange("SET SELF OUTPUT_MODULE " + module);
            if (!selected)
                return {};
            // A module that went away or cannot list: its voices are unknown, not gone.
            std::optional<SsipConversation::Reply> listed;
            if (selected->succeeded()) {
                listed = conversation.exchange("LIST SYNTHESIS_VOICES");
                if (!listed)
                    return {};
            }
            if (listed && listed->succeeded())
                appendVoices(module, listed->lines, listing.voices);
            else
                listing.failedModules.push_back(module);
        }
        listing.succeeded = true;
        return listing;
    }

    std::optional<FileDescriptor> connectToServer(const ServerAddress& address,
                                                  Clock::time_point deadline) {
        bool spawned = false;
        for (;;) {
            FileDescriptor connection;
            switch (tryConnect(address, deadline, connection)) {
            case ConnectOutcome::connected:
                return connection;
            case ConnectOutcome::failed:
                return std::nullopt;
            case ConnectOutcome::nobodyListening:
                if (address.unixPath.empty())
                    return std::nullopt;
                if (!spawned && spawner_ < 0 && !spawnServer(address.unixPath))
                    return std::nullopt;
                spawned = true;
                break;
            case ConnectOutcome::busy:
                break;
            }
            // A starter that gave up leaves nothing to wait for; one that succeeded, or is still
            // at work, leaves a server coming up.
            const auto starterStatus = spawnerFinished();
            if (starterStatus && *starterStatus != 0) {
                if (tryConnect(address, deadline, connection) == ConnectOutcome::connected)
                    return connection;
                return std::nullopt;
            }
            const auto retryAt = Clock::now() + connectRetryInterval;
            if (retryAt >= deadline)
                return std::nullopt;
            sleepUntil(retryAt);
        }
    }

    // Starts the server the way libspeechd's autospawn does, but without waiting for the starter
    // to finish: it is reaped later, whenever it has ended.
    bool spawnServer(const std::string& socketPath) {
        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        if (posix_spawn_file_actions_init(&actions) != 0)
            return false;
        if (posix_spawnattr_init(&attributes) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            return false;
        }
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
        sigset_t signals;
        sigemptyset(&signals);
        posix_spawnattr_setsigmask(&attributes, &signals);
        sigfillset(&signals);
        posix_spawnattr_setsigdefault(&attributes, &signals);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

        std::string program = spawnProgram;
        std::string spawnOption = "--spawn";
        std::string methodOption = "--communication-method";
        std::string method = "unix_socket";
        std::string pathOption = "--socket-path";
        std::string path = socketPath;
        char* arguments[] = {program.data(), spawnOption.data(), methodOption.data(),
                             method.data(),  pathOption.data(),  path.data(),
                             nullptr};
        pid_t pid = -1;
        const int result =
            posix_spawnp(&pid, spawnProgram, &actions, &attributes, arguments, environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
        if (result != 0)
            return false;
        spawner_ = pid;
        return true;
    }

    // The starter's exit status once it has ended; nothing while it runs or when there is none.
    std::optional<int> spawnerFinished() {
        if (spawner_ < 0)
            return std::nullopt;
        int status = 0;
        const pid_t result = ::waitpid(spawner_, &status, WNOHANG);
        if (result == 0 || (result < 0 && errno == EINTR))
            return std::nullopt;
        spawner_ = -1;
        if (result < 0)
            return 0; // reaped elsewhere (SIGCHLD ignored): the socket tells
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }

    pid_t spawner_ = -1;
};

} // namespace

std::unique_ptr<SpeechVoices> makeSpeechDispatcherVoices() {
    return std::make_unique<SpeechDispatcherVoices>();
}

} // namespace virelon::platform
