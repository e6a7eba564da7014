// vistreld: the relay without a window. Runs the same frame as the desktop
// program on its own event loop; every log line goes to stdout as it is
// written (without its timestamp when stdout is the journal, which stamps
// lines itself), errors the window would show in a message box go to
// stderr. Under systemd it reports when it is ready and when it stops.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/front_end_common.h"
#include "app/service_notify.h"
#include "base/latin1.h"
#include "settings/registry_store.h"
#include "relay/main_form.h"
#include "net/event_loop.h"

namespace {

using namespace vistrel;

struct TOptions {
    TRelayCommandLine Relay;
    bool Debug = false;
};

// Returns the exit status to end with, or nothing to go on.
std::optional<int> ParseOptions(int argc, char** argv, TOptions& options) {
    TCommandLine commandLine("vistreld",
                             "Relays recorded games: camera programs upload on the sender port,\n"
                             "viewers watch on the viewer port.",
                             options.Relay);
    commandLine.App().add_flag("--debug", options.Debug, "also print the debug lines")->group("Log");
    return commandLine.Parse(argc, argv);
}

void PrintLine(std::string_view line, bool withTimestamp) {
    std::string text = Latin1ToUtf8(withTimestamp ? line : WithoutLogTimestamp(line));
    text += '\n';
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// Socket error messages carry a CR LF between "Error N in function STEP"
// and the error's description.
std::string OneLine(std::string text) {
    for (auto pos = text.find("\r\n"); pos != std::string::npos; pos = text.find("\r\n", pos))
        text.replace(pos, 2, ": ");
    return text;
}

// What `systemctl status` shows while the relay runs: where it listens.
std::string ReadyStatus(const TMainForm& form, const TRelayCommandLine& relay, const TWebApi* web) {
    std::string status = "Relaying on " + relay.Listen.Addr + ": senders on port " +
                         std::to_string(form.DemoSenders().LocalPort()) + ", viewers on port " +
                         std::to_string(form.DemoViewers().LocalPort());
    if (web) status += "; HTTP on port " + std::to_string(web->LocalPort());
    return status;
}

class TStderrFrontEnd : public TFrontEnd {
public:
    void ReportError(const std::exception& e) override {
        std::fprintf(stderr, "vistreld: %s\n", OneLine(e.what()).c_str());
        std::fflush(stderr);
    }
};

}  // namespace

int main(int argc, char** argv) {
    TOptions options;
    if (auto status = ParseOptions(argc, argv, options)) return *status;

    int signalFd = BlockStopSignals();
    if (signalFd < 0) {
        std::perror("vistreld: signalfd");
        return 1;
    }

    std::string storeError;
    std::unique_ptr<TRegistryStore> store = OpenSettingsStore(options.Relay.RegistryPath, storeError);
    if (!storeError.empty())
        std::fprintf(stderr, "vistreld: %s; running on the default settings\n", OneLine(storeError).c_str());

    TEventLoop loop;
    TStderrFrontEnd frontEnd;
    int status = 0;
    {
        TMainForm form(loop, frontEnd, store.get(), options.Relay.Listen);
        form.SetMemoryBudget(MemoryBudgetFor(options.Relay.MaxMemory));
        form.SetRecording(RecordingOptionsFor(options.Relay));
        const TLogLines& log = form.Console().Log();
        const bool withTimestamp = !StdoutIsJournal();
        log.Listeners().Subscribe([&log, withTimestamp](const TListChange& change) {
            if (change.Kind == TListChange::TKind::LineAppended) PrintLine(log.Line(change.Index), withTimestamp);
        });
        if (options.Debug)
            form.Log().SetDebugLineSink([withTimestamp](const std::string& line) { PrintLine(line, withTimestamp); });

        std::unique_ptr<TWebApi> web;
        std::unique_ptr<TOriginMirror> mirror;
        if (form.FormCreate()) {
            LogSafetyWarnings(form);
            try {
                web = StartWebApi(form, options.Relay);
            } catch (const std::exception& e) {
                // As for the relay's own ports: a port that cannot be used ends the run.
                frontEnd.ReportError(e);
                status = 1;
            }
            try {
                if (status == 0) mirror = StartForwarding(form, options.Relay);
            } catch (const std::exception& e) {
                // A Forward Server the setup field cannot give: the relay goes on alone.
                frontEnd.ReportError(e);
            }
        } else {
            status = 1;
        }
        if (status == 0) {
            (void)loop.Watch(signalFd, TEventLoop::kReadable, [&loop, signalFd](uint32_t) {
                DrainStopSignals(signalFd);
                NotifyServiceStopping();
                loop.Stop();
            });
            NotifyServiceReady(ReadyStatus(form, options.Relay, web.get()));
            loop.Run();
            loop.Unwatch(signalFd);
        }
        mirror.reset();
        web.reset();
    }  // FormDestroy, then the servers drop their connections
    close(signalFd);
    return status;
}
