// vistreld: the relay without a window. Runs the same frame as the desktop
// program on its own event loop; every log line goes to stdout as it is
// written, errors the window would show in a message box go to stderr.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "console/registry.h"
#include "core/main_form.h"
#include "net/event_loop.h"

namespace {

using namespace vistrel;

constexpr std::string_view kVersion = "1.3";

struct Options {
    TListenSettings listen;
    std::string registryPath;  // empty: the default place
    bool debug = false;
};

void PrintUsage(std::FILE* to) {
    std::fprintf(to,
                 "Usage: vistreld [options]\n"
                 "Relays recorded games: camera programs upload on the sender port,\n"
                 "viewers watch on the viewer port.\n"
                 "\n"
                 "  --address A        listen on this IPv4 address (default 0.0.0.0)\n"
                 "  --sender-port N    port for senders (default 38963)\n"
                 "  --viewer-port N    port for viewers (default 38962)\n"
                 "  --registry FILE    settings file (default $VISTREL_REGISTRY, else\n"
                 "                     $XDG_CONFIG_HOME/vistrel/registry.reg)\n"
                 "  --debug            also print the debug lines\n"
                 "  --help             show this text\n"
                 "  --version          show the version\n");
}

bool IsPortNumber(const std::string& text) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return std::stol(text) <= 65535;
}

// Returns the exit status to end with, or nothing to go on.
std::optional<int> ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        auto value = [&](const char* name) -> std::optional<std::string> {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vistreld: %s needs a value\n", name);
                return std::nullopt;
            }
            return std::string(argv[++i]);
        };
        if (arg == "--help") {
            PrintUsage(stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("vistreld %.*s\n", static_cast<int>(kVersion.size()), kVersion.data());
            return 0;
        } else if (arg == "--debug") {
            options.debug = true;
        } else if (arg == "--address" || arg == "--sender-port" || arg == "--viewer-port" ||
                   arg == "--registry") {
            auto v = value(argv[i]);
            if (!v) return 2;
            if (arg == "--address") {
                options.listen.Addr = *v;
            } else if (arg == "--registry") {
                options.registryPath = *v;
            } else {
                if (!IsPortNumber(*v)) {
                    std::fprintf(stderr, "vistreld: %s is not a port number\n", v->c_str());
                    return 2;
                }
                (arg == "--sender-port" ? options.listen.SenderPort : options.listen.ViewerPort) = *v;
            }
        } else {
            std::fprintf(stderr, "vistreld: unknown option %s\n", argv[i]);
            PrintUsage(stderr);
            return 2;
        }
    }
    return std::nullopt;
}

// Log texts are 8-bit (Latin-1) as they came from the network; the terminal
// wants UTF-8.
std::string Latin1ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto byte = static_cast<unsigned char>(ch);
        if (byte < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (byte >> 6));
            out += static_cast<char>(0x80 | (byte & 0x3F));
        }
    }
    return out;
}

void PrintLine(std::string_view line) {
    std::string text = Latin1ToUtf8(line);
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// Socket error messages carry a CR LF between the step and the description.
std::string OneLine(std::string text) {
    for (auto pos = text.find("\r\n"); pos != std::string::npos; pos = text.find("\r\n", pos))
        text.replace(pos, 2, ": ");
    return text;
}

class StderrFrontEnd : public TFrontEnd {
public:
    void ReportError(const std::exception& e) override {
        std::fprintf(stderr, "vistreld: %s\n", OneLine(e.what()).c_str());
        std::fflush(stderr);
    }
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (auto status = ParseOptions(argc, argv, options)) return *status;

    // A write to a reset connection must never end the process.
    signal(SIGPIPE, SIG_IGN);

    // SIGINT and SIGTERM arrive through a descriptor on the loop, so the
    // relay stops between two events, never inside one.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    int signalFd = signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd < 0) {
        std::perror("vistreld: signalfd");
        return 1;
    }

    std::unique_ptr<TRegistryStore> store;
    try {
        store = std::make_unique<TRegistryStore>(options.registryPath.empty() ? DefaultRegistryPath()
                                                                               : options.registryPath);
        if (!store->LoadError().empty())
            std::fprintf(stderr, "vistreld: %s; running on the default settings\n", store->LoadError().c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vistreld: %s; running on the default settings\n", OneLine(e.what()).c_str());
    }

    EventLoop loop;
    StderrFrontEnd frontEnd;
    int status = 0;
    {
        TMainForm form(loop, frontEnd, store.get(), options.listen);
        TLogLines& log = form.Console.Log();
        log.Listeners().Subscribe([&log](const ListChange& change) {
            if (change.kind == ListChange::Kind::LineAppended) PrintLine(log.Line(change.index));
        });
        if (options.debug) form.OnDebugLine = [](const std::string& line) { PrintLine(line); };

        if (!form.FormCreate()) {
            status = 1;
        } else {
            (void)loop.Watch(signalFd, EventLoop::kReadable, [&loop, signalFd](uint32_t) {
                signalfd_siginfo info;
                while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                }
                loop.Stop();
            });
            loop.Run();
            loop.Unwatch(signalFd);
        }
    }  // FormDestroy, then the servers drop their connections
    close(signalFd);
    return status;
}
