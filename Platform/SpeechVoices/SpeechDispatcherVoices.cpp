#include "platform/SpeechVoices.h"

#include "SpeechServerAddress.h"
#include "SpeechServerSocket.h"
#include "SpeechServerStarter.h"
#include "SsipConversation.h"
#include "VoiceEntries.h"
#include "platform/Bounds.h"

#include <optional>
#include <pwd.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

// The server is found the way libspeechd finds it, but the conversation is our own, over a
// non-blocking socket: libspeechd 0.11.4 has no timeouts (a hung server blocks its reads for
// ever, already inside spd_open2), calls exit() on a reply it cannot parse (a server dying after
// the first bytes of a reply is enough), and reads replies one byte per read() and splits them in
// quadratic time, which makes espeak-ng's 13,362 entries take several seconds.

namespace virelon::platform {

namespace {

using namespace speechd;

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

class SpeechDispatcherVoices final : public SpeechVoices {
public:
    // Where the server listens, and what starting it takes, are read from the environment here,
    // on the thread that makes this object: a listing runs on a worker while another thread may
    // change the environment (the window's activation token), so it reads nothing from it.
    SpeechDispatcherVoices(bool mayStartServer, std::function<void()> requestReload)
        : mayStartServer_(mayStartServer), address_(serverAddress()),
          requestReload_(std::move(requestReload)) {}

    // Our own listing has nothing to drop (every listing asks the server afresh): the reload is
    // the engines'.
    void updateSpeechVoices() noexcept override {
        if (requestReload_)
            requestReload_();
    }

    VoiceListing speechVoices() noexcept override {
        try {
            starter_.finished();
            return listAll();
        } catch (...) { // out of memory
            return {};
        }
    }

private:
    VoiceListing listAll() {
        VoiceListing listing;
        if (!address_)
            return listing;
        const auto deadline = Clock::now() + voiceListingBound;
        auto fd = connectToServer(*address_, deadline);
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
                if (address.unixPath.empty() || !mayStartServer_)
                    return std::nullopt;
                if (!spawned && !starter_.running() && !starter_.start(address.unixPath))
                    return std::nullopt;
                spawned = true;
                break;
            case ConnectOutcome::busy:
                break;
            }
            // A starter that gave up leaves nothing to wait for; one that succeeded, or is still
            // at work, leaves a server coming up.
            const auto starterStatus = starter_.finished();
            if (starterStatus && *starterStatus != 0) {
                if (tryConnect(address, deadline, connection) == ConnectOutcome::connected)
                    return connection;
                return std::nullopt;
            }
            const auto retryAt = Clock::now() + speechServerRetryInterval;
            if (retryAt >= deadline)
                return std::nullopt;
            sleepUntil(retryAt);
        }
    }

    const bool mayStartServer_;
    const std::optional<ServerAddress> address_;
    const std::function<void()> requestReload_;
    ServerStarter starter_; // reaps the starter it leaves behind when the object goes
};

} // namespace

std::unique_ptr<SpeechVoices>
makeSpeechDispatcherVoices(bool mayStartServer, std::function<void()> requestReload) noexcept {
    return std::make_unique<SpeechDispatcherVoices>(mayStartServer, std::move(requestReload));
}

} // namespace virelon::platform
