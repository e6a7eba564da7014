// What both front ends (vistreld and vistrel-server) do the same way before
// and around the relay frame: the command line with the options they share,
// opening the settings store, and turning SIGINT/SIGTERM into a descriptor
// the event loop can watch, so the relay stops between two events, never
// inside one.
#pragma once

#include <CLI/CLI.hpp>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "edge/origin_mirror.h"
#include "relay/main_form.h"
#include "web/web_api.h"

namespace vistrel {

class TRegistryStore;

// VISTREL_VERSION comes from the top CMakeLists.txt, as do the manual pages'.
inline constexpr const char* kVistrelVersion = VISTREL_VERSION;

// Half the machine's physical memory (0, no limit, if it cannot be read).
size_t DefaultMaxMemory();
// A --max-memory value: plain bytes, or a number with K, M or G (powers of
// 1024; lower case too). False for anything else and for a size that does
// not fit.
bool ParseMemorySize(std::string_view text, size_t& bytes);

struct TRelayCommandLine {
    TListenSettings Listen;
    std::string RegistryPath;  // empty: the default place
    size_t MaxMemory = DefaultMaxMemory();  // --max-memory in bytes; 0: no limit
    // Where the HTTP side listens ("ADDR:PORT"), or "off".
    std::string Http = "127.0.0.1:38964";
    // Reads (status, lists, log, metrics) need no password on any address.
    bool HttpPublicRead = false;
    // Reads need a password on loopback too (a relay behind a reverse proxy
    // on the same machine, which every reader reaches it through).
    bool HttpClosedRead = false;
    // HTTPS: the PEM files of the certificate (chain) and of its private key
    // (both or neither).
    std::string HttpCert;
    std::string HttpKey;
    // The recordings: --data-dir (empty: DefaultDataDir()), --no-recording,
    // --fsync, --max-disk (0: no limit).
    std::string DataDir;
    bool NoRecording = false;
    TFsyncMode Fsync = TFsyncMode::EverySec;
    uint64_t MaxDisk = 0;
    // Edge mode: the origin's HTTP side to mirror games from ("" : the setup
    // field ForwardServerIPEdit decides).
    std::string ForwardFrom;
    // Edge mode: the file whose first line is the origin's read credential
    // (--forward-password-file; "": none is sent).
    std::string ForwardPasswordFile;
};

// Where the recordings go without --data-dir: $STATE_DIRECTORY (its first
// folder, as systemd sets it), else $XDG_STATE_HOME/vistrel, else
// ~/.local/state/vistrel; empty when none of them is known.
std::string DefaultDataDir();
// The recorder's options from the command line (an empty folder for
// --no-recording).
TRecorderOptions RecordingOptionsFor(const TRelayCommandLine& relay);

// The groups --help lists the shared options under. A program's own options
// go into one of these or a group of their own (listed after these, in the
// order the groups first appear); --help and --version come last. Options in
// kUnlistedOptions work but are not listed. (CLI11's own way of hiding, the
// group "", would also drop the option's name from its error messages.)
inline constexpr const char* kListeningOptions = "Listening";
inline constexpr const char* kSettingsOptions = "Settings";
inline constexpr const char* kLimitOptions = "Limits";
inline constexpr const char* kHttpOptions = "HTTP";
inline constexpr const char* kRecordingOptions = "Recording";
inline constexpr const char* kEdgeOptions = "Edge";
inline constexpr const char* kUnlistedOptions = "Unlisted";

// A check for an option's value: accepts(value), or the usage error
// "<option>: <value> is not <what>".
CLI::Validator ValueCheck(const std::string& what, bool (*accepts)(std::string_view));

// What Parse does with an argument that no option takes.
enum class TUnknownArguments {
    Reject,  // a usage error
    Leave,   // left alone, for a later parse (vistrel-server: Qt's own options)
};

// One program's command line: --help, --version and the relay options both
// programs share (--address, --sender-port, --viewer-port, --backlog,
// --registry, --max-memory, --http, --http-public-read, --data-dir,
// --no-recording, --fsync, --max-disk, --forward-from,
// --forward-password-file) are there from the start; a program adds its own
// options to App(), one line
// each, for example
//     commandLine.App().add_flag("--debug", debug, "also print the debug lines")->group("Log");
// An option given twice takes its last value.
class TCommandLine {
public:
    // relay receives the values of the shared options and must outlive the
    // command line.
    TCommandLine(const std::string& program, const std::string& description, TRelayCommandLine& relay);

    CLI::App& App() { return app_; }

    // Parses argv. Returns the exit status to end with: 0 once --help or
    // --version has been answered on stdout, 2 after a usage error (an
    // unknown option, a missing or invalid value), reported on stderr with
    // the option it concerns; nothing when the program goes on.
    std::optional<int> Parse(int argc, char** argv, TUnknownArguments unknown = TUnknownArguments::Reject);

    // The --help text.
    std::string Help() const;

private:
    int UsageError(const std::string& message, bool withHelp) const;

    std::string program_;
    CLI::App app_;
};

// Starts the HTTP side (JSON API, metrics, operator page) for the frame as
// the command line asks; null for --http off. Raises EHttpServerError when it
// cannot listen, or cannot read or use the certificate or the key.
std::unique_ptr<TWebApi> StartWebApi(TMainForm& form, const TRelayCommandLine& relay);

// Edge mode, when --forward-from or else the setup field ForwardServerIPEdit
// gives an origin: mirrors its games into the frame (null when neither
// does), its health on web's metrics page (web may be null). Raises
// Exception when the field holds no http:// or https:// URL.
std::unique_ptr<TOriginMirror> StartForwarding(TMainForm& form, const TRelayCommandLine& relay, TWebApi* web);
// Ends edge mode: the metrics page stops reading the mirror before it goes.
void StopForwarding(std::unique_ptr<TOriginMirror>& mirror, TWebApi* web);

// Where the HTTP side serves, as a browser opens it ("http://ADDR:PORT/" or
// "https://[ADDR]:PORT/", with the port it listens on).
std::string HttpUrl(const TRelayCommandLine& relay, uint16_t port);

// Logs SafetyWarnings(form), once at start-up.
void LogSafetyWarnings(TMainForm& form);

// Opens the store at path, or at the default place when path is empty.
// error receives why the file cannot be used (the relay then runs on the
// defaults and never writes it); the store is null only when no place for it
// could be found at all.
std::unique_ptr<TRegistryStore> OpenSettingsStore(const std::string& path, std::string& error);

// Ignores SIGPIPE (a write to a reset connection must never end the
// process), blocks SIGINT and SIGTERM, and returns a non-blocking signalfd
// that becomes readable when one arrives; -1 if it cannot be made. Call it
// before any thread starts.
int BlockStopSignals();
// Blocks SIGHUP and returns a non-blocking signalfd for it (vistreld reloads
// its settings on it); -1 if it cannot be made. Call it before any thread
// starts.
int BlockReloadSignal();
// Reads every pending signal from the descriptor (either kind).
void DrainStopSignals(int signalFd);

}  // namespace vistrel
