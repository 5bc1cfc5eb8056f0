#include "VirelonIOSApp.h"

#include "virelon/VirelonSharedSettings.h"

namespace virelon {

VirelonIOSApp::VirelonIOSApp() {
    VirelonSharedSettings::migrateLegacySettings();
}

WindowGroup VirelonIOSApp::body() const {
    return {[](ui::Runtime& runtime, const ScreenServices& services) {
        return std::make_unique<ContentView>(runtime, services);
    }};
}

} // namespace virelon
