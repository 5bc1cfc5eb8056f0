#include "QtHost.h"

#include "DisplayCheck.h"
#include "FirstFrameReport.h"
#include "SessionBusCheck.h"
#include "SettingsWindow.h"
#include "Translation.h"
#include "VirelonIOSApp.h"
#include "virelon/Identifiers.h"

#include <QApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace virelon::widgets {

int runApplication(int& argc, char** argv) {
    const char* command = argc > 0 ? argv[0] : "virelon-voices";
    if (const auto message =
            missingDisplayMessage(command, [](const char* name) { return std::getenv(name); })) {
        std::fputs(message->c_str(), stderr);
        return 1;
    }
    // The same bound as a settings post: launch may pay it once, before any thread starts.
    setAsideHungSessionBus(std::chrono::milliseconds(500));

    QApplication application(argc, argv);
    const auto translator = loadTranslation(QLocale::system());
    if (translator)
        QCoreApplication::installTranslator(translator.get());

    const VirelonIOSApp app;
    const auto voices = platform::makeSpeechDispatcherVoices();
    const auto locale = platform::makeIcuLocaleServices();
    const auto bundle = platform::makeBuildBundleInfo(std::string(identifiers::version),
                                                      std::string(identifiers::buildNumber));

    SettingsWindow window(app.body(), HostServices{*voices, *locale, *bundle});
    window.show();
    reportFirstFrame(window);
    return QApplication::exec();
}

} // namespace virelon::widgets
