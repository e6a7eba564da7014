// The operator settings of the setup page in the settings store, under
// "Vistrel Server\Setup": the three passwords (text), the four spin fields
// "MaxClientsSpin", "BroadcastDelaySpin", "CatchUpSpin" and "CrowdSpin" (each
// a 32-bit integer, or decimal text if it was found stored as text) and
// "ForwardServerIPEdit" (text: the URL of the origin an edge relay mirrors).
// The relay frame calls LoadSettings once at start-up and SaveSettings each
// time the operator leaves the setup page.
#pragma once

#include <string_view>

#include "settings/registry_store.h"
#include "console/setup_fields.h"

namespace vistrel {

inline constexpr std::string_view kSettingsKey = "Vistrel Server";
inline constexpr std::string_view kSetupSubkey = "Setup";

// Reads "FilmDemoPasswordEdit", "RemoteAdminPasswordEdit",
// "WatchDemoPasswordEdit", the four spin fields and "ForwardServerIPEdit", in
// that order, each into its field right after it is read; a missing text
// reads as "", a missing number as its field's default (0, 0, 1, 200). A
// stored number out of its field's range is brought into it (a negative
// integer to the lowest value, too many digits to the highest). Setting a
// spin field raises its change event if its text changes. Creates the key
// "Vistrel Server" if it can (a store that cannot be written is read anyway).
// Throws ERegistryException "Invalid data type for '<name>'" for a value of
// the wrong type: the fields before it are set, the ones after it untouched.
void LoadSettings(TRegistryStore& store, TSetupFields& fields);

// Writes the three passwords (as text), the spin fields' values and the
// Forward Server (as text), in that order. Throws ERegistryException "Failed to create key <key>" or
// "Failed to set data for '<name>'" (Detail() gives the cause); what was
// written before the failure stays written.
void SaveSettings(TRegistryStore& store, const TSetupFields& fields);

}  // namespace vistrel
