#include "core/VirelonIOSApp.h"

#include "virelon/LegacyMigration.h"

namespace virelon {

VirelonIOSApp::VirelonIOSApp() {
    migrateLegacySettings();
}

WindowGroup VirelonIOSApp::body() const {
    return {[](ui::Runtime& runtime, const ScreenServices& services) {
        return std::make_unique<ContentView>(runtime, services);
    }};
}

} // namespace virelon
