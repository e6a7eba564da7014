// What both front ends (vistreld and vistrel-server) do the same way before
// and around the relay frame: the command-line options they share, opening
// the settings store, and turning SIGINT/SIGTERM into a descriptor the event
// loop can watch, so the relay stops between two events, never inside one.
#pragma once

#include <memory>
#include <string>

#include "relay/main_form.h"

namespace vistrel {

class TRegistryStore;

inline constexpr const char* kVistrelVersion = "1.3";

struct TRelayCommandLine {
    TListenSettings Listen;
    std::string RegistryPath;  // empty: the default place
};

// The usage lines of the shared options, for each program's --help.
extern const char* const kRelayOptionsUsage;

enum class TOptionResult { Taken, NotMine, Invalid };

// Takes argv[i] (and its value, advancing i) when it is one of --address,
// --sender-port, --viewer-port, --registry. Invalid: a message naming
// `program` has been written to stderr.
TOptionResult TakeRelayOption(const char* program, int argc, char** argv, int& i, TRelayCommandLine& out);

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
// Reads every pending signal from the descriptor.
void DrainStopSignals(int signalFd);

}  // namespace vistrel
