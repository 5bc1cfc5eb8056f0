// The keychain lookup over the real gnome-keyring of scripts/test-env.sh, items written with the
// real secret-tool as another program would: each item's bytes exactly, nothing else matching and
// nothing changed; and the launch's migration with it over the real domain.
// (A keychain that could be activated but is not running is launched against, and not started, by
// tests/e2e/hung_services_test.py.)

#include "platform/LegacyItemStore.h"
#include "support/ScratchHome.h"
#include "virelon/Identifiers.h"
#include "virelon/LegacyMigration.h"
#include "virelon/VirelonSharedSettings.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

using namespace virelon::platform;
using virelon::VirelonSharedSettings;
using Bytes = std::vector<std::uint8_t>;
namespace ids = virelon::identifiers;

// secret-tool with `arguments` (quoted for the shell): its output, or `secret` as its input.
std::string secretTool(const std::string& arguments, std::string_view secret = {}) {
    FILE* tool =
        ::popen(("secret-tool " + arguments + (secret.empty() ? " 2>&1 </dev/null" : "")).c_str(),
                secret.empty() ? "r" : "w");
    std::string output(secret.empty() ? 1 << 16 : 0, '\0');
    output.resize(secret.empty() ? std::fread(output.data(), 1, output.size(), tool)
                                 : std::fwrite(secret.data(), 1, secret.size(), tool) * 0);
    EXPECT_EQ(::pclose(tool), 0) << arguments;
    return output;
}

TEST(Keyring, TheLookupReadsOurItemsByteForByteAndTheLaunchMigratesThem) {
    if (!std::getenv("VIRELON_TEST_ROOT"))
        GTEST_SKIP() << "run inside scripts/test-env.sh, never against the user's keyring";
    const virelon::test::ScratchHome scratch;
    const std::string service(ids::keychainService), group(ids::keychainAccessGroup),
        near = service.substr(0, service.size() - 1);
    const std::string ours = "service " + service + " access-group " + group + " account ";
    // The session's keyring is shared with other tests: take the items away again.
    const std::shared_ptr<void> clear(nullptr, [&](void*) {
        for (const auto& other : {service, near})
            secretTool("clear service " + other);
    });
    const std::string odd("\xff\0\x32\n", 4);
    for (const auto& [attributes, secret] :
         std::initializer_list<std::pair<std::string, std::string>>{
             {ours + "fallbackVoiceIdentifier", "testvoices/Kate"},
             {ours + "headSize", "150"},
             {ours + "intonation xdg:schema org.example.Other", odd},
             {"service " + service + " access-group " + group + ".other account phrasePause", "1"},
             {"service " + near + " access-group " + group + " account phrasePause", "1"}})
        secretTool("store --label=test " + attributes, secret);
    const auto before = secretTool("search --all --unlock service " + service);
    const std::string_view accounts[] = {"fallbackVoiceIdentifier", "intonation", "headSize",
                                         "phrasePause"};
    using namespace std::chrono_literals;
    const auto bytes = [](std::string_view text) { return Bytes(text.begin(), text.end()); };
    EXPECT_EQ(makeSecretServiceStore(5s)->lookup(service, group, accounts),
              (LegacyItems{{"fallbackVoiceIdentifier", bytes("testvoices/Kate")},
                           {"intonation", bytes(odd)},
                           {"headSize", bytes("150")}}));
    // The launch's migration with its own store, over the real domain.
    virelon::migrateLegacySettings();
    EXPECT_EQ(VirelonSharedSettings::fallbackVoiceIdentifier(), "testvoices/Kate");
    EXPECT_EQ(VirelonSharedSettings::headSize(), 100);
    EXPECT_FALSE(VirelonSharedSettings::isStored("intonation"));
    EXPECT_EQ(secretTool("search --all --unlock service " + service), before);
}

} // namespace
