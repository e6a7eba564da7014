#include "app/front_end_common.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>

#include "settings/registry_store.h"

namespace vistrel {

const char* const kRelayOptionsUsage =
    "  --address A        listen on this IPv4 address (default 0.0.0.0)\n"
    "  --sender-port N    port for senders (default 38963)\n"
    "  --viewer-port N    port for viewers (default 38962)\n"
    "  --registry FILE    settings file (default $VISTREL_REGISTRY, else\n"
    "                     $XDG_CONFIG_HOME/vistrel/registry.reg)\n";

namespace {

bool IsPortNumber(std::string_view text) {
    if (text.empty() || text.size() > 5) return false;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value <= 65535;
}

}  // namespace

TOptionResult TakeRelayOption(const char* program, int argc, char** argv, int& i, TRelayCommandLine& out) {
    std::string_view arg = argv[i];
    if (arg != "--address" && arg != "--sender-port" && arg != "--viewer-port" && arg != "--registry")
        return TOptionResult::NotMine;
    if (i + 1 >= argc) {
        std::fprintf(stderr, "%s: %s needs a value\n", program, argv[i]);
        return TOptionResult::Invalid;
    }
    std::string value = argv[++i];
    if (arg == "--address") {
        out.Listen.Addr = value;
    } else if (arg == "--registry") {
        out.RegistryPath = value;
    } else if (!IsPortNumber(value)) {
        std::fprintf(stderr, "%s: %s is not a port number\n", program, value.c_str());
        return TOptionResult::Invalid;
    } else {
        (arg == "--sender-port" ? out.Listen.SenderPort : out.Listen.ViewerPort) = value;
    }
    return TOptionResult::Taken;
}

std::unique_ptr<TRegistryStore> OpenSettingsStore(const std::string& path, std::string& error) {
    error.clear();
    try {
        auto store = std::make_unique<TRegistryStore>(path.empty() ? DefaultRegistryPath() : path);
        error = store->LoadError();
        return store;
    } catch (const std::exception& e) {
        error = e.what();
        return nullptr;
    }
}

int BlockStopSignals() {
    signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    return signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
}

void DrainStopSignals(int signalFd) {
    signalfd_siginfo info;
    while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
}

}  // namespace vistrel
