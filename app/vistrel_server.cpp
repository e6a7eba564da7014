// vistrel-server: the relay with its operator window. Starts hidden with only
// the tray icon (or shown, where the desktop has no notification area), runs
// one copy per user, and ends through the tray menu's "Shutdown Vistrel"
// (SIGINT and SIGTERM take the same way out, so the column widths are kept).
#include <unistd.h>

#include <QApplication>
#include <QFileInfo>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/whole_number.h"
#include "net/event_loop.h"
#include "settings/registry_store.h"
#include "window/loop_bridge.h"
#include "window/main_window.h"
#include "window/page_screenshots.h"
#include "window/single_instance.h"
#include "app/front_end_common.h"

namespace {

using namespace vistrel;

struct TOptions {
    TRelayCommandLine Relay;
    std::string ScreenshotDir;  // hidden: write pictures of every page
    int ScreenshotDelayMs = 2000;
};

bool IsDelay(std::string_view text) {
    int delayMs = 0;
    return ParseWholeNumber(text, delayMs, 0, 600000);
}

// Returns the exit status to end with, or nothing to go on.
std::optional<int> ParseOptions(int argc, char** argv, TOptions& options,
                                TUnknownArguments unknown = TUnknownArguments::Reject) {
    TCommandLine commandLine("vistrel-server",
                             "Relays recorded games, with an operator window in the notification area.",
                             options.Relay);
    commandLine.App().add_option("--screenshots", options.ScreenshotDir)->group(kUnlistedOptions);
    commandLine.App().add_option("--screenshot-delay", options.ScreenshotDelayMs)
        ->check(ValueCheck("a delay in milliseconds", IsDelay))->group(kUnlistedOptions);
    return commandLine.Parse(argc, argv, unknown);
}

// Whether Qt has a display to start on: without one it aborts (SIGABRT)
// before it has taken its own options out of argv.
bool DisplayGiven(int argc, char** argv) {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        if (const char* value = std::getenv(name); value && *value) return true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-platform" || arg == "--platform" || arg.starts_with("-platform=") ||
            arg.starts_with("--platform="))
            return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // Before Qt starts any thread, so that SIGINT and SIGTERM reach only the
    // descriptor read on the relay's loop.
    const int signalFd = BlockStopSignals();

    // --help, --version and a bad value are answered before Qt starts, so
    // that they work without a display. An argument no option takes may be
    // one of Qt's own: that is judged once Qt has taken its options out.
    // Without a display no argument can be Qt's: one that no option takes is
    // a usage error, and the missing display is said in one line.
    {
        const bool display = DisplayGiven(argc, argv);
        TOptions early;
        if (auto status =
                ParseOptions(argc, argv, early, display ? TUnknownArguments::Leave : TUnknownArguments::Reject))
            return *status;
        if (!display) {
            std::fputs("vistrel-server: no display: set DISPLAY or WAYLAND_DISPLAY, or give -platform offscreen\n",
                       stderr);
            return 1;
        }
    }

    QApplication app(argc, argv);  // takes Qt's own options out of argv
    // Hidden to the tray, the program has no window open and must go on.
    QApplication::setQuitOnLastWindowClosed(false);
    const QString programName = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    QApplication::setApplicationName(programName);

    TOptions options;
    if (auto status = ParseOptions(argc, argv, options)) return *status;

    std::string storeError;
    std::unique_ptr<TRegistryStore> store = OpenSettingsStore(options.Relay.RegistryPath, storeError);

    TEventLoop loop;
    TWindowOptions windowOptions;
    windowOptions.Listen = options.Relay.Listen;
    windowOptions.Store = store.get();
    windowOptions.MemoryBudget = MemoryBudgetFor(options.Relay.MaxMemory);
    windowOptions.Recording = RecordingOptionsFor(options.Relay);
    windowOptions.TrayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
    TMainWindow window(loop, windowOptions);  // loads the list layouts

    TSingleInstance instance(TSingleInstance::DefaultDirectory(), programName);
    if (!instance.TryBecomeFirst()) {
        // Another copy runs: bring it forward and end, before any setting is
        // read or any port opened.
        instance.AskFirstToShow();
        return 0;
    }
    QObject::connect(&instance, &TSingleInstance::ShowRequested, &window, &TMainWindow::ShowFromTray);
    QObject::connect(&window, &TMainWindow::ShutDown, &app, &QCoreApplication::quit, Qt::QueuedConnection);

    if (signalFd >= 0) {
        (void)loop.Watch(signalFd, TEventLoop::kReadable, [&window, signalFd](uint32_t) {
            DrainStopSignals(signalFd);
            // Not from inside the loop's step: the shutdown releases the registry.
            QMetaObject::invokeMethod(&window, &TMainWindow::Shutdown1Click, Qt::QueuedConnection);
        });
    }

    if (!storeError.empty())
        window.ReportError(ERegistryException(
            "The settings file cannot be used; running on the default settings.", storeError));
    // The HTTP side serves the window's frame; without it the window goes on.
    std::unique_ptr<TWebApi> web;
    std::unique_ptr<TOriginMirror> mirror;
    if (window.Start()) {
        try {
            web = StartWebApi(window.Form(), options.Relay);
        } catch (const std::exception& e) {
            window.ReportError(e);
        }
        // Edge mode, from --forward-from or the setup page's Forward Server.
        try {
            mirror = StartForwarding(window.Form(), options.Relay, web.get());
        } catch (const std::exception& e) {
            window.ReportError(e);
        }
        window.Bridge().Rearm();
    }

    if (!options.ScreenshotDir.empty()) {
        QTimer::singleShot(options.ScreenshotDelayMs, &window, [&window, &options] {
            WritePageScreenshots(window, QString::fromLocal8Bit(options.ScreenshotDir.c_str()));
        });
    }

    const int status = app.exec();
    StopForwarding(mirror, web.get());
    web.reset();
    if (signalFd >= 0) {
        loop.Unwatch(signalFd);
        close(signalFd);
    }
    return status;
}
