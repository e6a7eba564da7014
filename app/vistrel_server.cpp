// vistrel-server: the relay with its operator window. Starts hidden with only
// the tray icon (or shown, where the desktop has no notification area), runs
// one copy per user, and ends through the tray menu's "Shutdown Vistrel"
// (SIGINT and SIGTERM take the same way out, so the column widths are kept).
#include <signal.h>
#include <sys/signalfd.h>
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

#include "console/registry.h"
#include "console/window/main_window.h"
#include "console/window/page_screenshots.h"
#include "console/window/single_instance.h"
#include "net/event_loop.h"

namespace {

using namespace vistrel;

constexpr std::string_view kVersion = "1.3";

struct Options {
    TListenSettings listen;
    std::string registryPath;  // empty: the default place
    QString screenshotDir;     // hidden: write pictures of every page
    int screenshotDelayMs = 2000;
};

void PrintUsage(std::FILE* to) {
    std::fprintf(to,
                 "Usage: vistrel-server [options]\n"
                 "Relays recorded games, with an operator window in the notification area.\n"
                 "\n"
                 "  --address A        listen on this IPv4 address (default 0.0.0.0)\n"
                 "  --sender-port N    port for senders (default 38963)\n"
                 "  --viewer-port N    port for viewers (default 38962)\n"
                 "  --registry FILE    settings file (default $VISTREL_REGISTRY, else\n"
                 "                     $XDG_CONFIG_HOME/vistrel/registry.reg)\n"
                 "  --help             show this text\n"
                 "  --version          show the version\n");
}

bool IsNumber(const std::string& text, long max) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return std::stol(text) <= max;
}

std::optional<int> ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vistrel-server: %s needs a value\n", argv[i]);
                return std::nullopt;
            }
            return std::string(argv[++i]);
        };
        if (arg == "--help") {
            PrintUsage(stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("vistrel-server %.*s\n", static_cast<int>(kVersion.size()), kVersion.data());
            return 0;
        } else if (arg == "--address" || arg == "--sender-port" || arg == "--viewer-port" ||
                   arg == "--registry" || arg == "--screenshots" || arg == "--screenshot-delay") {
            auto v = value();
            if (!v) return 2;
            if (arg == "--address") {
                options.listen.Addr = *v;
            } else if (arg == "--registry") {
                options.registryPath = *v;
            } else if (arg == "--screenshots") {
                options.screenshotDir = QString::fromLocal8Bit(v->c_str());
            } else if (arg == "--screenshot-delay") {
                if (!IsNumber(*v, 600000)) {
                    std::fprintf(stderr, "vistrel-server: %s is not a delay in milliseconds\n", v->c_str());
                    return 2;
                }
                options.screenshotDelayMs = std::stoi(*v);
            } else {
                if (!IsNumber(*v, 65535)) {
                    std::fprintf(stderr, "vistrel-server: %s is not a port number\n", v->c_str());
                    return 2;
                }
                (arg == "--sender-port" ? options.listen.SenderPort : options.listen.ViewerPort) = *v;
            }
        } else {
            std::fprintf(stderr, "vistrel-server: unknown option %s\n", argv[i]);
            PrintUsage(stderr);
            return 2;
        }
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    // Blocked before Qt starts any thread, so that SIGINT and SIGTERM reach
    // only the descriptor read on the relay's loop.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    // A write to a reset connection must never end the process.
    signal(SIGPIPE, SIG_IGN);

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

    std::unique_ptr<TRegistryStore> store;
    std::string storeError;
    try {
        store = std::make_unique<TRegistryStore>(options.registryPath.empty() ? DefaultRegistryPath()
                                                                               : options.registryPath);
        storeError = store->LoadError();
    } catch (const std::exception& e) {
        storeError = e.what();
    }

    EventLoop loop;
    TWindowOptions windowOptions;
    windowOptions.Listen = options.listen;
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

    int signalFd = signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd >= 0) {
        (void)loop.Watch(signalFd, EventLoop::kReadable, [&window, signalFd](uint32_t) {
            signalfd_siginfo info;
            while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            }
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
