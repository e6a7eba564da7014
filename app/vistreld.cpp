// vistreld: the relay without a window. Runs the same frame as the desktop
// program on its own event loop; every log line goes to stdout as it is
// written (without its timestamp when stdout is the journal, which stamps
// lines itself), errors the window would show in a message box go to
// stderr. Under systemd it reports when it is ready and when it stops.
// SIGHUP re-reads the settings file; --check reads the settings and the
// options, reports every problem and ends without listening.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/latin1.h"
#include "net/event_loop.h"
#include "net/socket_address.h"
#include "settings/registry_store.h"
#include "settings/settings.h"
#include "relay/main_form.h"
#include "app/front_end_common.h"
#include "app/service_notify.h"

namespace {

using namespace vistrel;

struct TOptions {
    TRelayCommandLine Relay;
    bool Debug = false;
    bool Check = false;
};

// Returns the exit status to end with, or nothing to go on.
std::optional<int> ParseOptions(int argc, char** argv, TOptions& options) {
    TCommandLine commandLine("vistreld",
                             "Relays recorded games: camera programs upload on the sender port,\n"
                             "viewers watch on the viewer port.",
                             options.Relay);
    commandLine.App().add_flag("--debug", options.Debug, "also print the debug lines")->group("Log");
    commandLine.App()
        .add_flag("--check", options.Check,
                  "check the settings file and the options, report every\nproblem and end (0: usable, 1: not)")
        ->group(kSettingsOptions);
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
std::string ReadyStatus(const TMainForm& form, const TWebApi* web) {
    std::string addrs;
    for (const std::string& addr : form.DemoSenders().ListeningAddrs()) addrs += (addrs.empty() ? "" : ", ") + addr;
    std::string status = "Relaying on " + addrs + ": senders on port " +
                         std::to_string(form.DemoSenders().LocalPort()) + ", viewers on port " +
                         std::to_string(form.DemoViewers().LocalPort());
    if (web) status += "; HTTP on port " + std::to_string(web->LocalPort());
    return status;
}

class TStderrFrontEnd : public TFrontEnd {
public:
    // A report of several problems gives one line each.
    void ReportError(const std::exception& e) override {
        const std::string text = OneLine(e.what());
        for (size_t start = 0; start <= text.size();) {
            const size_t end = std::min(text.find('\n', start), text.size());
            std::fprintf(stderr, "vistreld: %s\n", text.substr(start, end - start).c_str());
            start = end + 1;
        }
        std::fflush(stderr);
    }
};

void PrintProblem(const std::string& text) { std::fprintf(stderr, "vistreld: %s\n", OneLine(text).c_str()); }

// --check: what start-up would read and refuse, without listening, loading
// the recordings or writing anything. Warnings alone still pass.
int CheckSettingsAndOptions(const TRelayCommandLine& relay) {
    std::string storeError;
    std::unique_ptr<TRegistryStore> store = OpenSettingsStore(relay.RegistryPath, storeError);
    if (!store || !storeError.empty()) {
        PrintProblem(storeError);
        return 1;
    }
    TSetupFields fields;
    const TSettingsReport report = ReadSettings(*store, fields);
    size_t warnings = 0;
    for (const TSettingsProblem& problem : report.Problems) {
        PrintProblem(problem.Text);
        if (!problem.IsError) ++warnings;
    }
    if (relay.ForwardFrom.empty() && !fields.ForwardServerIPEdit.empty() && !IsForwardUrl(fields.ForwardServerIPEdit)) {
        PrintProblem("The Forward Server is not an http:// or https:// URL: " + fields.ForwardServerIPEdit);
        ++warnings;
    }
    if (fields.FilmDemoPasswordEdit.size() > kMaxFilmDemoPasswordLength) {
        PrintProblem("The filming password in the settings has " + std::to_string(fields.FilmDemoPasswordEdit.size()) +
                     " characters; senders send at most " + std::to_string(kMaxFilmDemoPasswordLength) +
                     ", so no sender can log in.");
        ++warnings;
    }
    if (report.HasErrors()) return 1;
    std::printf("vistreld: %s: the settings and the options are usable (%zu warning%s)\n", store->FilePath().c_str(),
                warnings, warnings == 1 ? "" : "s");
    return 0;
}

std::string Count(size_t n, const char* what) { return std::to_string(n) + " " + what + (n == 1 ? "" : "s"); }

// One line per listener, with the port the kernel chose for port 0.
void LogListeners(TMainForm& form, const TRelayCommandLine& relay, const TWebApi* web) {
    for (const std::string& addr : form.DemoSenders().ListeningAddrs())
        form.ServerLog(false, "Listening for senders on " + HostPort(addr, form.DemoSenders().LocalPort()));
    for (const std::string& addr : form.DemoViewers().ListeningAddrs())
        form.ServerLog(false, "Listening for viewers on " + HostPort(addr, form.DemoViewers().LocalPort()));
    if (web) {
        const std::string url = HttpUrl(relay, web->LocalPort());
        form.ServerLog(false, (relay.HttpCert.empty() ? "Serving HTTP on " : "Serving HTTPS on ") + url);
    }
}

// SIGHUP: the file's passwords and spin fields take effect at once through
// the fields the frame already follows; connections stay. A file that fails
// its checks changes nothing. Passwords are named, never shown.
void ReloadSettingsOnSignal(TMainForm& form) {
    TRegistryStore* store = form.Store();
    if (!store) {
        form.ServerLog(false, "Settings not reloaded: there is no settings file");
        return;
    }
    try {
        const TSettingsReload reload = ReloadSettings(*store, form.SetupForEditing());
        for (const TSettingsProblem& problem : reload.Report.Problems) form.ServerLog(false, problem.Text);
        std::string changed;
        for (const std::string& name : reload.Changed) changed += (changed.empty() ? "" : ", ") + name;
        form.ServerLog(false, "Settings reloaded from " + store->FilePath() + ": " +
                                  (changed.empty() ? "nothing changed" : changed + " changed"));
    } catch (const ERegistryException& e) {
        const std::string text = e.what();
        for (size_t start = 0; start <= text.size();) {
            const size_t end = std::min(text.find('\n', start), text.size());
            form.ServerLog(false,
                           "Settings not reloaded, the running settings are kept: " + text.substr(start, end - start));
            start = end + 1;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    TOptions options;
    if (auto status = ParseOptions(argc, argv, options)) return *status;
    if (options.Check) return CheckSettingsAndOptions(options.Relay);

    int signalFd = BlockStopSignals();
    int reloadFd = BlockReloadSignal();
    if (signalFd < 0 || reloadFd < 0) {
        std::perror("vistreld: signalfd");
        return 1;
    }

    std::string storeError;
    std::unique_ptr<TRegistryStore> store = OpenSettingsStore(options.Relay.RegistryPath, storeError);
    if (!store) {
        // No place for a file at all (no home folder): nothing an operator wrote is lost.
        std::fprintf(stderr, "vistreld: %s; running on the default settings\n", OneLine(storeError).c_str());
    } else if (!storeError.empty()) {
        // Running on the defaults would start the relay open: no password, no limit.
        std::fprintf(stderr, "vistreld: %s; not starting\n", OneLine(storeError).c_str());
        close(reloadFd);
        close(signalFd);
        return 1;
    }

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
                if (status == 0) mirror = StartForwarding(form, options.Relay, web.get());
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
            (void)loop.Watch(reloadFd, TEventLoop::kReadable, [&form, reloadFd](uint32_t) {
                DrainStopSignals(reloadFd);
                ReloadSettingsOnSignal(form);
            });
            LogListeners(form, options.Relay, web.get());
            NotifyServiceReady(ReadyStatus(form, web.get()));
            loop.Run();
            loop.Unwatch(reloadFd);
            loop.Unwatch(signalFd);
            form.ServerLog(false, "Shutting down: " + Count(form.DemoSenders().ClientCount(), "sender") + " and " +
                                      Count(form.DemoViewers().ClientCount(), "viewer") + " disconnected");
        }
        StopForwarding(mirror, web.get());
        web.reset();
    }  // FormDestroy, then the servers drop their connections
    close(reloadFd);
    close(signalFd);
    return status;
}
