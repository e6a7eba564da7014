#include "app/front_end_common.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>
#include <vector>

#include "base/whole_number.h"
#include "net/socket_address.h"
#include "settings/registry_store.h"
#include "web/metrics_text.h"
#include "edge/edge_metrics.h"

namespace vistrel {

namespace {

// The group of --help and --version, listed last.
constexpr const char* kHelpGroup = "Help";

bool IsPortNumber(std::string_view text) {
    uint16_t port = 0;
    return ParseWholeNumber(text, port);
}

// Numbers only: a host name would be looked up after the data folder is
// made, and fail only then.
bool IsListenAddress(std::string_view text) { return IsIpAddress(text); }

// The whole file, at most 1 MiB (a certificate chain is a few KiB); raises
// EHttpServerError naming the file and what it is for.
std::string ReadPemFile(const std::string& path, const char* what) {
    constexpr size_t kMaxPemBytes = size_t{1} << 20;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw EHttpServerError("Cannot read the HTTPS " + std::string(what) + " " + path + ": " + std::strerror(errno));
    std::string text(kMaxPemBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (in.bad())
        throw EHttpServerError("Cannot read the HTTPS " + std::string(what) + " " + path + ": " + std::strerror(errno));
    if (text.size() > kMaxPemBytes)
        throw EHttpServerError("The HTTPS " + std::string(what) + " " + path + " is larger than 1 MiB");
    if (text.find("-----BEGIN ") == std::string::npos)
        throw EHttpServerError("The HTTPS " + std::string(what) + " " + path + " holds no PEM block (-----BEGIN ...)");
    return text;
}

bool IsBacklog(std::string_view text) {
    int backlog = 0;
    return ParseWholeNumber(text, backlog, 1, 65535);
}

// --help: the usage line, the description, then every group of listed
// options, the program's own after the shared ones and --help/--version
// last; option names in a column 21 characters wide.
class THelpFormatter : public CLI::Formatter {
public:
    THelpFormatter() { column_width(21); }

    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode /*mode*/) const override {
        std::vector<std::string> groups;
        for (const std::string& group : app->get_groups())
            if (!group.empty() && group != kUnlistedOptions && group != kHelpGroup) groups.push_back(group);
        groups.push_back(kHelpGroup);

        std::string text = "Usage: " + name + " [options]\n" + app->get_description() + "\n";
        for (const std::string& group : groups) {
            text += "\n" + group + ":\n";
            for (const CLI::Option* option :
                 app->get_options([&group](const CLI::Option* o) { return o->get_group() == group; }))
                text += make_option(option, false);
        }
        return text;
    }

    // The value's name alone: no "..." for an option given more than once,
    // no list of the options it needs or excludes.
    std::string make_option_opts(const CLI::Option* option) const override {
        return option->get_type_size() == 0 ? std::string() : " " + option->get_type_name();
    }
};

bool IsMemorySize(std::string_view text) {
    size_t bytes = 0;
    return ParseMemorySize(text, bytes);
}

bool IsFsyncMode(std::string_view text) {
    TFsyncMode mode;
    return ParseFsyncMode(text, mode);
}

bool IsForwardSetting(std::string_view text) { return IsForwardUrl(text); }

bool IsHttpSetting(std::string_view text) {
    THttpListen listen;
    return text == "off" || ParseHttpListen(text, listen);
}

}  // namespace

std::string DefaultDataDir() {
    if (const char* state = std::getenv("STATE_DIRECTORY"); state && *state) {
        const std::string_view all(state);
        const std::string first(all.substr(0, all.find(':')));
        if (!first.empty()) return first;
    }
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/') return std::string(xdg) + "/vistrel";
    if (const char* home = std::getenv("HOME"); home && *home == '/') return std::string(home) + "/.local/state/vistrel";
    return {};
}

TRecorderOptions RecordingOptionsFor(const TRelayCommandLine& relay) {
    TRecorderOptions options;
    if (!relay.NoRecording) options.DataDir = relay.DataDir.empty() ? DefaultDataDir() : relay.DataDir;
    options.Fsync = relay.Fsync;
    options.MaxDisk = relay.MaxDisk;
    return options;
}

size_t DefaultMaxMemory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    return static_cast<size_t>(pages) / 2 * static_cast<size_t>(pageSize);
}

bool ParseMemorySize(std::string_view text, size_t& bytes) {
    size_t shift = 0;
    if (!text.empty()) {
        switch (text.back()) {
            case 'K': case 'k': shift = 10; break;
            case 'M': case 'm': shift = 20; break;
            case 'G': case 'g': shift = 30; break;
            default: break;
        }
        if (shift != 0) text.remove_suffix(1);
    }
    size_t value = 0;
    if (!ParseWholeNumber(text, value)) return false;
    if (shift != 0 && value > (SIZE_MAX >> shift)) return false;
    bytes = value << shift;
    return true;
}

CLI::Validator ValueCheck(const std::string& what, bool (*accepts)(std::string_view)) {
    return CLI::Validator(
        [what, accepts](std::string& value) { return accepts(value) ? std::string() : value + " is not " + what; },
        std::string());
}

TCommandLine::TCommandLine(const std::string& program, const std::string& description, TRelayCommandLine& relay)
    : program_(program), app_(description, program) {
    app_.formatter(std::make_shared<THelpFormatter>());
    // Unknown arguments are reported by Parse, or left for Qt.
    app_.allow_extras();
    app_.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app_.set_help_flag("--help", "show this text")->group(kHelpGroup);
    app_.set_version_flag("--version", program + " " + kVistrelVersion, "show the version")->group(kHelpGroup);

    const CLI::Validator port = ValueCheck("a port number", IsPortNumber);
    app_.add_option_function<std::vector<std::string>>(
            "--address",
            [&relay](const std::vector<std::string>& addrs) {
                relay.Listen.Addr = addrs.front();
                relay.Listen.MoreAddrs.clear();
                for (size_t i = 1; i < addrs.size(); ++i)
                    if (std::find(addrs.begin(), addrs.begin() + static_cast<std::ptrdiff_t>(i), addrs[i]) ==
                        addrs.begin() + static_cast<std::ptrdiff_t>(i))
                        relay.Listen.MoreAddrs.push_back(addrs[i]);
            },
            "listen on this IPv4 or IPv6 address; may be given more\nthan once (default every IPv4 and IPv6 interface)")
        ->type_name("A")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(ValueCheck("an IPv4 or IPv6 address", IsListenAddress))
        ->group(kListeningOptions);
    app_.add_option("--sender-port", relay.Listen.SenderPort, "port for senders (default 38963)")
        ->type_name("N")->check(port)->group(kListeningOptions);
    app_.add_option("--viewer-port", relay.Listen.ViewerPort, "port for viewers (default 38962)")
        ->type_name("N")->check(port)->group(kListeningOptions);
    app_.add_option("--backlog", relay.Listen.Backlog, "connections waiting to be accepted, per port (default 511)")
        ->type_name("N")->check(ValueCheck("a number from 1 to 65535", IsBacklog))->group(kListeningOptions);
    app_.add_option("--registry", relay.RegistryPath,
                    "settings file (default $VISTREL_REGISTRY, else\n$XDG_CONFIG_HOME/vistrel/registry.reg)")
        ->type_name("FILE")->group(kSettingsOptions);
    app_.add_option_function<std::string>(
            "--max-memory", [&relay](const std::string& text) { ParseMemorySize(text, relay.MaxMemory); },
            "memory budget (bytes, or with K, M, G; 0: no limit;\ndefault half the physical memory)")
        ->type_name("SIZE")->check(ValueCheck("a size (bytes, or a number with K, M or G)", IsMemorySize))
        ->group(kLimitOptions);
    app_.add_option("--http", relay.Http,
                    "serve the operator page, the JSON API and the metrics\non ADDR:PORT ([ADDR]:PORT for IPv6), or "
                    "off\n(default 127.0.0.1:38964)")
        ->type_name("ADDR:PORT")
        ->check(ValueCheck("ADDR:PORT or off", IsHttpSetting))
        ->group(kHttpOptions);
    CLI::Option* publicRead =
        app_.add_flag("--http-public-read", relay.HttpPublicRead, "reads need no password on any address")
            ->group(kHttpOptions);
    app_.add_flag("--http-closed-read", relay.HttpClosedRead,
                  "reads need the watch or remote admin password on\nloopback too (behind a reverse proxy)")
        ->excludes(publicRead)
        ->group(kHttpOptions);
    CLI::Option* cert =
        app_.add_option("--http-cert", relay.HttpCert, "serve HTTPS with this certificate (PEM, the chain)")
            ->type_name("FILE")
            ->group(kHttpOptions);
    CLI::Option* key = app_.add_option("--http-key", relay.HttpKey, "the certificate's private key (PEM)")
                           ->type_name("FILE")
                           ->group(kHttpOptions);
    cert->needs(key);
    key->needs(cert);
    app_.add_option("--data-dir", relay.DataDir,
                    "record every game in this folder (default $STATE_DIRECTORY,\nelse $XDG_STATE_HOME/vistrel, else ~/.local/state/vistrel)")
        ->type_name("DIR")->group(kRecordingOptions);
    app_.add_flag("--no-recording", relay.NoRecording, "keep the games in memory only")->group(kRecordingOptions);
    app_.add_option_function<std::string>(
            "--fsync", [&relay](const std::string& text) { ParseFsyncMode(text, relay.Fsync); },
            "force the recordings to the disk after every packet,\nonce a second, or never (default everysec)")
        ->type_name("always|everysec|no")->check(ValueCheck("always, everysec or no", IsFsyncMode))
        ->group(kRecordingOptions);
    app_.add_option_function<std::string>(
            "--max-disk", [&relay](const std::string& text) {
                size_t bytes = 0;
                ParseMemorySize(text, bytes);
                relay.MaxDisk = bytes;
            },
            "the recordings may hold this much (bytes, or with K, M, G;\ndefault no limit)")
        ->type_name("SIZE")->check(ValueCheck("a size (bytes, or a number with K, M or G)", IsMemorySize))
        ->group(kRecordingOptions);

    app_.add_option("--forward-from", relay.ForwardFrom,
                    "edge mode: mirror the games of the relay whose HTTP side\n(or a cache in front of it) is at URL (default: the\nsetup page's Forward Server, if set)")
        ->type_name("URL")->check(ValueCheck("an http:// or https:// URL", IsForwardSetting))->group(kEdgeOptions);
    app_.add_option("--forward-password-file", relay.ForwardPasswordFile,
                    "edge mode: send the first line of FILE to the origin\nas its watch (or remote admin) password")
        ->type_name("FILE")->group(kEdgeOptions);
}

std::string TCommandLine::Help() const {
    return app_.help();
}

std::optional<int> TCommandLine::Parse(int argc, char** argv, TUnknownArguments unknown) {
    try {
        app_.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(Help().c_str(), stdout);
        return 0;
    } catch (const CLI::CallForVersion& e) {
        std::printf("%s\n", e.what());
        return 0;
    } catch (const CLI::ArgumentMismatch& e) {
        // An option takes the argument after it as its value whatever that
        // looks like, so only the last argument can lack its value.
        std::string last = argc > 1 ? argv[argc - 1] : "";
        last = last.substr(0, last.find('='));
        const CLI::Option* option = app_.get_option_no_throw(last);
        if (option && option->get_type_size() != 0) return UsageError(last + " needs a value", false);
        return UsageError(e.what(), false);
    } catch (const CLI::ParseError& e) {
        return UsageError(e.what(), false);
    }
    if (unknown == TUnknownArguments::Reject) {
        const std::vector<std::string> rest = app_.remaining();
        if (!rest.empty()) return UsageError("unknown option " + rest.front(), true);
    }
    return std::nullopt;
}

int TCommandLine::UsageError(const std::string& message, bool withHelp) const {
    std::fprintf(stderr, "%s: %s\n", program_.c_str(), message.c_str());
    if (withHelp) std::fputs(Help().c_str(), stderr);
    return 2;
}

std::unique_ptr<TWebApi> StartWebApi(TMainForm& form, const TRelayCommandLine& relay) {
    if (relay.Http == "off") return nullptr;
    TWebOptions options;
    if (!ParseHttpListen(relay.Http, options.Listen))
        throw EHttpServerError("Cannot listen for HTTP on " + relay.Http + ": not ADDR:PORT");
    options.PublicRead = relay.HttpPublicRead;
    options.ClosedRead = relay.HttpClosedRead;
    if (!relay.HttpCert.empty()) {
        options.Tls.CertPem = ReadPemFile(relay.HttpCert, "certificate");
        options.Tls.KeyPem = ReadPemFile(relay.HttpKey, "key");
    }
    options.Version = kVistrelVersion;
    auto web = std::make_unique<TWebApi>(form, std::move(options));
    web->Start();
    return web;
}

std::unique_ptr<TOriginMirror> StartForwarding(TMainForm& form, const TRelayCommandLine& relay, TWebApi* web) {
    // The command line wins over the setup field.
    const std::string url = !relay.ForwardFrom.empty() ? relay.ForwardFrom : form.Setup().ForwardServerIPEdit;
    if (url.empty()) return nullptr;
    if (!IsForwardUrl(url))
        throw Exception("EForwardServer", "The Forward Server is not an http:// or https:// URL: " + url);
    TMirrorOptions options;
    options.OriginUrl = url;
    if (!relay.ForwardPasswordFile.empty()) options.Password = ReadPasswordFile(relay.ForwardPasswordFile);
    // The segments in flight are connection buffers too: a quarter of that
    // budget is theirs, and the connections keep the rest, so --max-memory
    // still holds the whole.
    TMemoryBudget budget = form.MemoryBudget();
    if (budget.ConnectionBuffers != 0) {
        options.MaxBodyBytes = std::max(budget.ConnectionBuffers / 4, kMinMirrorBodyBytes);
        budget.ConnectionBuffers -= std::min(options.MaxBodyBytes, budget.ConnectionBuffers / 2);
        form.SetMemoryBudget(budget);
    }
    form.ServerLog(false, "Forward Server: up to " + FormatByteSize(options.MaxBodyBytes) + " for segments in flight" +
                              (budget.ConnectionBuffers != 0 ? ", taken from the connection buffers" : ""));
    auto mirror = std::make_unique<TOriginMirror>(form.Host(), form.Loop(), std::move(options));
    mirror->Start();
    if (web) web->SetMoreMetrics([m = mirror.get()](TMetricsText& out) { AppendEdgeMetrics(out, *m); });
    return mirror;
}

void StopForwarding(std::unique_ptr<TOriginMirror>& mirror, TWebApi* web) {
    if (web) web->SetMoreMetrics({});
    mirror.reset();
}

std::string HttpUrl(const TRelayCommandLine& relay, uint16_t port) {
    THttpListen http;
    ParseHttpListen(relay.Http, http);
    return std::string(relay.HttpCert.empty() ? "http://" : "https://") + HostPort(http.Addr, port) + "/";
}

void LogSafetyWarnings(TMainForm& form) {
    for (const std::string& warning : SafetyWarnings(form)) form.ServerLog(false, warning);
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

int BlockReloadSignal() {
    sigset_t reload;
    sigemptyset(&reload);
    sigaddset(&reload, SIGHUP);
    sigprocmask(SIG_BLOCK, &reload, nullptr);
    return signalfd(-1, &reload, SFD_NONBLOCK | SFD_CLOEXEC);
}

void DrainStopSignals(int signalFd) {
    signalfd_siginfo info;
    while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
}

}  // namespace vistrel
