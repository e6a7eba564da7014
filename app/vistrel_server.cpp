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
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/front_end_common.h"
#include "settings/registry_store.h"
#include "window/main_window.h"
#include "window/page_screenshots.h"
#include "window/single_instance.h"
#include "net/event_loop.h"

namespace {

using namespace vistrel;

struct Options {
    TRelayCommandLine relay;
    QString screenshotDir;  // hidden: write pictures of every page
    int screenshotDelayMs = 2000;
};

void PrintUsage(std::FILE* to) {
    std::fprintf(to,
                 "Usage: vistrel-server [options]\n"
                 "Relays recorded games, with an operator window in the notification area.\n"
                 "\n"
                 "%s"
                 "  --help             show this text\n"
                 "  --version          show the version\n",
                 kRelayOptionsUsage);
}

bool IsDelay(const std::string& text) {
    if (text.empty() || text.size() > 6) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return std::stol(text) <= 600000;
}

std::optional<int> ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help") {
            PrintUsage(stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("vistrel-server %s\n", kVistrelVersion);
            return 0;
        } else if (arg == "--screenshots" || arg == "--screenshot-delay") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vistrel-server: %s needs a value\n", argv[i]);
                return 2;
            }
            std::string value = argv[++i];
            if (arg == "--screenshots") {
                options.screenshotDir = QString::fromLocal8Bit(value.c_str());
            } else if (!IsDelay(value)) {
                std::fprintf(stderr, "vistrel-server: %s is not a delay in milliseconds\n", value.c_str());
                return 2;
            } else {
                options.screenshotDelayMs = std::stoi(value);
            }
        } else {
            switch (TakeRelayOption("vistrel-server", argc, argv, i, options.relay)) {
                case TOptionResult::Taken:
                    break;
                case TOptionResult::Invalid:
                    return 2;
                case TOptionResult::NotMine:
                    std::fprintf(stderr, "vistrel-server: unknown option %s\n", argv[i]);
                    PrintUsage(stderr);
                    return 2;
            }
        }
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    // Before Qt starts any thread, so that SIGINT and SIGTERM reach only the
    // descriptor read on the relay's loop.
    const int signalFd = BlockStopSignals();

    // Answered before Qt starts, so that they work without a display.
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "--version") {
            Options ignored;
            char* single[] = {argv[0], argv[i], nullptr};
            return ParseOptions(2, single, ignored).value_or(0);
        }
    }

    QApplication app(argc, argv);  // takes Qt's own options out of argv
    // Hidden to the tray, the program has no window open and must go on.
    QApplication::setQuitOnLastWindowClosed(false);
    const QString programName = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    QApplication::setApplicationName(programName);

    Options options;
    if (auto status = ParseOptions(argc, argv, options)) return *status;

    std::string storeError;
    std::unique_ptr<TRegistryStore> store = OpenSettingsStore(options.relay.RegistryPath, storeError);

    TEventLoop loop;
    TWindowOptions windowOptions;
    windowOptions.Listen = options.relay.Listen;
    windowOptions.Store = store.get();
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
    window.Start();

    if (!options.screenshotDir.isEmpty()) {
        QTimer::singleShot(options.screenshotDelayMs, &window, [&window, &options] {
            WritePageScreenshots(window, options.screenshotDir);
        });
    }

    const int status = app.exec();
    if (signalFd >= 0) {
        loop.Unwatch(signalFd);
        close(signalFd);
    }
    return status;
}
