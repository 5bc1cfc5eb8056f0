#include "widgets/QtHost.h"

#include "core/VirelonIOSApp.h"
#include "platform/SettingsSignal.h"
#include "virelon/Identifiers.h"
#include "virelon/VirelonSharedSettings.h"
#include "widgets/ApplicationActivation.h"
#include "widgets/CommandLine.h"
#include "widgets/DesktopConventions.h"
#include "widgets/DisplayCheck.h"
#include "widgets/FirstFrameReport.h"
#include "widgets/SettingsWindow.h"
#include "widgets/Translation.h"

#include <QApplication>
#include <QFontMetrics>
#include <QIcon>
#include <QImageReader>
#include <QStyle>

#include <fontconfig/fontconfig.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

namespace virelon::widgets {

int runApplication(int& argc, char** argv) {
    if (const auto information = informationRequested(argc, argv)) {
        std::fputs(information->c_str(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    const char* command = argc > 0 ? argv[0] : "virelon-voices";
    if (const auto message =
            missingDisplayMessage(command, [](const char* name) { return std::getenv(name); })) {
        std::fputs(message->c_str(), stderr);
        return 1;
    }
    // Qt would abort (status 134) with a message of its own when it has no plugin for the display.
    std::optional<InstalledPlatformPlugins> plugins; // read when first asked, kept for Qt
    const auto installed = [&plugins](std::string_view key) {
        return (plugins ? *plugins : plugins.emplace()).contains(key);
    };
    if (const auto message = missingPlatformMessage(
            command, {argv, argv + argc}, [](const char* name) { return std::getenv(name); },
            installed)) {
        std::fputs(message->c_str(), stderr);
        return 1;
    }
    // Before any thread starts.
    platform::setAsideHungSessionBus();
    // The environment is changed only while no other thread may read it (the threads below read
    // it, as do fontconfig, sd-bus and SQLite), and after they have ended only on this thread,
    // as the voice listing's worker reads nothing from it. Qt's X11 plugin takes the launcher's
    // startup notification id out of the environment while the QApplication is made: with one
    // given, the QApplication is made before these threads start instead of meanwhile.
    std::optional<QApplication> application;
    // Qt would abort (status 134) with a message of its own when its platform plugin cannot
    // connect to the display.
    const auto makeApplication = [&] {
        const FatalQtMessageGuard guard(
            std::string(command) +
            ": cannot open a window: Qt's platform plugin could not connect to the display. Is the "
            "desktop session running, and are DISPLAY or WAYLAND_DISPLAY those of this session?\n");
        application.emplace(argc, argv);
    };
    if (std::getenv("DESKTOP_STARTUP_ID") != nullptr)
        makeApplication();
    // The application, whose creation migrates the keychain's settings, is made while Qt starts;
    // nothing here touches the settings until it is there.
    std::optional<VirelonIOSApp> app;
    std::jthread making([&app] { app.emplace(); });
    // The first text the window measures has fontconfig read its whole configuration, the costliest
    // step before the first frame; it is read here meanwhile, and Qt's fonts find it read.
    std::jthread fonts([] { FcInit(); });
    // One window per session: the name is claimed on the session bus meanwhile too.
    const std::string applicationId(identifiers::applicationIdentifier);
    std::optional<ApplicationActivation::Claim> claim;
    std::jthread claiming(
        [&claim, &applicationId] { claim.emplace(applicationId, platform::activationClaimBound); });

    if (!application)
        makeApplication();
    plugins.reset();
    if (argc > 1) { // Qt has taken its own options out.
        std::fprintf(stderr, "%s: unknown argument \"%s\". Try %s --help.\n", command, argv[1],
                     command);
        return 2;
    }
    // Fusion draws each group box's frame from an image, and Qt's first image read loads every
    // image-format plugin installed: in the middle of the first frame, unless done here meanwhile.
    // Other styles may read no image at all.
    std::jthread imageFormats;
    if (QApplication::style()->name().compare(u"fusion", Qt::CaseInsensitive) == 0)
        imageFormats = std::jthread([] { QImageReader::supportedImageFormats(); });
    // A running application is asked to show its own window. The owner of the name may be busy
    // with its launch, so it gets longer to answer than the bus itself.
    claiming.join();
    ApplicationActivation activation(std::move(*claim), platform::activationAnswerBound);
    if (activation.role() == ApplicationActivation::Role::raisedOther)
        return 0;
    // Wayland's app id; the icon, installed under the same name as the desktop entry, follows.
    QGuiApplication::setDesktopFileName(QString::fromStdString(applicationId));
    const auto translator = loadTranslation(QLocale::system());
    if (translator)
        QCoreApplication::installTranslator(translator.get());

    fonts.join();
    // The window's first measured text would load the font: it is loaded while the migration may
    // still be running.
    QFontMetrics(QApplication::font()).height();
    making.join();
    const auto voices = platform::makeSpeechDispatcherVoices(
        true, [] { VirelonSharedSettings::requestVoiceReload(); });
    const auto locale = platform::makeIcuLocaleServices();
    const auto bundle = platform::makeBuildBundleInfo(std::string(identifiers::version),
                                                      std::string(identifiers::buildNumber));

    SettingsWindow window(app->body(), HostServices{*voices, *locale, *bundle});
    addCloseShortcuts(window);
    fitToAvailableScreen(window);
    activation.raiseOnActivate(window);
    window.show();
    reportFirstFrame(window);
    // The installed icon, read after the first frame, whose content does not show it; the window
    // manager takes it up a moment later. Not looked up in the icon theme, whose index costs more
    // to parse than anything else before the first frame (docs/performance.md, "Launch").
    afterFirstFrame(window,
                    [] { QApplication::setWindowIcon(QIcon(QStringLiteral(VIRELON_ICON_FILE))); });
    return QApplication::exec();
}

} // namespace virelon::widgets
