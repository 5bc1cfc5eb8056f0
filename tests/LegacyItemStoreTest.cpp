// The Secret Service store against the real gnome-keyring of scripts/test-env.sh, items written
// with the real secret-tool as another program would. (A keychain that never appears is launched
// against by tests/e2e/hung_services_test.py.)

#include "LegacyItemStore.h"
#include "PreferencesDomain.h"
#include "ScratchHome.h"
#include "SettingsPlatform.h"
#include "virelon/Identifiers.h"
#include "virelon/VirelonSharedSettings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using namespace virelon::platform;
using Bytes = std::vector<std::uint8_t>;
namespace ids = virelon::identifiers;

Bytes bytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

// secret-tool with `arguments` (quoted for the shell): its output, or `secret` as its input.
std::string secretTool(const std::string& arguments, const Bytes& secret = {}) {
    const bool writes = !secret.empty();
    FILE* tool = ::popen(("secret-tool " + arguments + (writes ? "" : " 2>&1 </dev/null")).c_str(),
                         writes ? "w" : "r");
    std::string output(writes ? 0 : 1 << 16, '\0');
    if (writes)
        std::fwrite(secret.data(), 1, secret.size(), tool);
    else
        output.resize(std::fread(output.data(), 1, output.size(), tool));
    EXPECT_EQ(::pclose(tool), 0) << arguments;
    return output;
}

void store(const std::string& attributes, const Bytes& secret) {
    secretTool("store --label=test " + attributes, secret);
}

class Keyring : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::getenv("VIRELON_TEST_ROOT"))
            GTEST_SKIP() << "run inside scripts/test-env.sh, never against the user's keyring";
    }
};

TEST_F(Keyring, OneSearchFindsEachAccountsBytesExactlyAndChangesNothing) {
    const std::string service = "org.virelon.test." + std::to_string(::getpid());
    const std::string in = "access-group TEAM.g service " + service + " account ";
    store(in + "plain", bytes("Kate"));
    store(in + "odd", {0xff, 0x00, '2', '\n'});
    store(in + "'other schema' xdg:schema org.example.Other", bytes("Zoe"));
    store("access-group TEAM.g2 service " + service + " account plain", bytes("second"));
    store("access-group TEAM.g service " + service + ".other account elsewhere", bytes("1"));
    store("access-group TEAM.g service " + service.substr(0, service.size() - 1) +
              " account prefix", bytes("1"));
    const auto before = secretTool("search --all --unlock service " + service);
    const auto keychain = makeSecretServiceStore(5s);
    const std::string_view accounts[] = {"plain", "odd", "other schema", "missing", "elsewhere",
                                         "prefix"};
    EXPECT_EQ(keychain->lookup(service, "TEAM.g", accounts),
              (LegacyItems{{"plain", bytes("Kate")},
                           {"odd", {0xff, 0x00, '2', '\n'}},
                           {"other schema", bytes("Zoe")}}));
    EXPECT_EQ(keychain->lookup(service, "TEAM.g2", accounts), (LegacyItems{{"plain", bytes("second")}}));
    EXPECT_EQ(secretTool("search --all --unlock service " + service), before);
}

// The launch's migration over the real domain and keyring, items under the application's own
// keychain service: every key without a value comes from one search, the rest is not asked.
TEST_F(Keyring, MigrationReadsEveryMissingKeyFromOneSearch) {
    using virelon::VirelonSharedSettings;
    const virelon::test::ScratchHome scratch;
    const std::string in = "service " + std::string(ids::keychainService) + " access-group " +
                           std::string(ids::keychainAccessGroup);
    // The session's keyring is shared with other tests: take the items away again.
    const std::unique_ptr<const char, void (*)(const char*)> clear(in.c_str(), [](const char* items) {
        secretTool(std::string("clear ") + items);
    });
    store(in + " account fallbackVoiceIdentifier", bytes("testvoices/Kate"));
    store(in + " account headSize", bytes("150"));
    store(in + " account voicing", bytes("4.5"));
    store(in + " account wordPause", bytes("7"));
    ASSERT_TRUE(openPreferencesDomain(ids::suiteName)->setInteger("wordPause", 33));
    static std::vector<std::vector<std::string>> searches;
    struct CountingStore final : LegacyItemStore {
        LegacyItems lookup(std::string_view service, std::string_view accessGroup,
                           std::span<const std::string_view> accounts) override {
            searches.emplace_back(accounts.begin(), accounts.end());
            return makeSecretServiceStore(500ms)->lookup(service, accessGroup, accounts);
        }
    };
    virelon::detail::settingsPlatform().makeLegacyStore = [] { return std::make_unique<CountingStore>(); };
    const auto before = secretTool("search --all --unlock " + in);

    VirelonSharedSettings::migrateLegacySettings();
    VirelonSharedSettings::migrateLegacySettings();

    EXPECT_EQ(searches, (std::vector<std::vector<std::string>>{
                            {"fallbackVoiceIdentifier", "intonation", "headSize", "voicing", "phrasePause"},
                            {"intonation", "voicing", "phrasePause"}}));
    EXPECT_EQ(VirelonSharedSettings::fallbackVoiceIdentifier(), "testvoices/Kate");
    EXPECT_EQ(VirelonSharedSettings::headSize(), 100);
    EXPECT_FALSE(VirelonSharedSettings::isStored("voicing"));
    EXPECT_EQ(VirelonSharedSettings::wordPause(), 33);
    EXPECT_EQ(secretTool("search --all --unlock " + in), before);
}

} // namespace
