// The operator settings of the setup page in the settings store, under
// "Vistrel Server\Setup": the three passwords (text), the four spin fields
// "MaxClientsSpin", "BroadcastDelaySpin", "CatchUpSpin" and "CrowdSpin" (each
// a 32-bit integer, or decimal text if it was found stored as text) and
// "ForwardServerIPEdit" (text: the URL of the origin an edge relay mirrors).
// The relay frame calls LoadSettings once at start-up and SaveSettings each
// time the operator leaves the setup page; vistreld reloads on SIGHUP and
// checks the file with ReadSettings for --check.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "console/setup_fields.h"
#include "settings/registry_store.h"

namespace vistrel {

inline constexpr std::string_view kSettingsKey = "Vistrel Server";
inline constexpr std::string_view kSetupSubkey = "Setup";

// One finding of the settings checks, "FILE:LINE: what" (the file's path
// and the line the value stands on).
struct TSettingsProblem {
    // An error: the value could not be used and its field keeps what it
    // had. Otherwise a warning: the value was ignored (an unknown name) or
    // brought into its field's range.
    bool IsError = false;
    int Line = 0;  // 0: the program set the value, no line to name
    std::string Text;
};

struct TSettingsReport {
    std::vector<TSettingsProblem> Problems;  // in the file's order

    bool HasErrors() const noexcept;
    // Every problem, one a line.
    std::string Text() const;
};

// Reads "FilmDemoPasswordEdit", "RemoteAdminPasswordEdit",
// "WatchDemoPasswordEdit", the four spin fields and "ForwardServerIPEdit", in
// that order, each into its field right after it is read; a missing text
// reads as "", a missing number as its field's default (0, 0, 1, 200).
// Setting a spin field raises its change event if its text changes. Writes
// nothing. What is reported:
//   error   "Invalid data type for '<name>'" (a number where text belongs, a
//           binary value, an integer that is not 4 bytes), or "Invalid value
//           for '<name>': not a whole number" (a spin field stored as other
//           text); the field is left as it is and the later values are read;
//   warning "'<name>' is <n>, outside <min> to <max>; <used> is used": the
//           field's range applies (a negative integer to the lowest value,
//           too many digits to the highest);
//   warning "Unknown value '<name>' ignored" for any other value of the
//           Setup subkey.
TSettingsReport ReadSettings(const TRegistryStore& store, TSetupFields& fields);

// ReadSettings at start-up: first creates the key "Vistrel Server" if it can
// (a store that cannot be written is read anyway).
TSettingsReport LoadSettings(TRegistryStore& store, TSetupFields& fields);

// A running relay re-reads the file: the passwords and the spin fields that
// differ take the file's values (the spin fields through SetValue, so their
// change events run); ForwardServerIPEdit is read only at start-up.
// Returns the names that changed, in the order above, and the warnings.
// When the file cannot be read or parsed, or holds an error, nothing is
// changed and ERegistryException says why (its Detail() lists every problem).
struct TSettingsReload {
    std::vector<std::string> Changed;
    TSettingsReport Report;
};
TSettingsReload ReloadSettings(TRegistryStore& store, TSetupFields& fields);

// Writes the three passwords (as text), the spin fields' values and the
// Forward Server (as text), in that order. Throws ERegistryException "Failed to create key <key>" or
// "Failed to set data for '<name>'" (Detail() gives the cause); what was
// written before the failure stays written.
void SaveSettings(TRegistryStore& store, const TSetupFields& fields);

}  // namespace vistrel
