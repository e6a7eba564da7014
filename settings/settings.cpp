#include "settings/settings.h"

#include <cstdint>
#include <string>

namespace vistrel {

namespace {

constexpr std::string_view kFilmDemoPassword = "FilmDemoPasswordEdit";
constexpr std::string_view kRemoteAdminPassword = "RemoteAdminPasswordEdit";
constexpr std::string_view kWatchDemoPassword = "WatchDemoPasswordEdit";
constexpr std::string_view kForwardServer = "ForwardServerIPEdit";

// The spin fields, in the order they are read and written: each a 32-bit
// integer beside the others in the Setup subkey.
struct TSpinValue {
    std::string_view Name;
    TSpinField TSetupFields::*Field;
};
constexpr TSpinValue kSpinValues[] = {
    {"MaxClientsSpin", &TSetupFields::MaxClientsSpin},
    {"BroadcastDelaySpin", &TSetupFields::BroadcastDelaySpin},
    {"CatchUpSpin", &TSetupFields::CatchUpSpin},
    {"CrowdSpin", &TSetupFields::CrowdSpin},
};

std::string SetupKey() { return std::string(kSettingsKey) + "\\" + std::string(kSetupSubkey); }

[[noreturn]] void InvalidType(std::string_view name) {
    throw ERegistryException("Invalid data type for '" + std::string(name) + "'");
}

// A text value (the passwords, the Forward Server).
std::string ReadPassword(const TRegistryStore& store, std::string_view name) {
    std::optional<TRegValue> value = store.ReadValue(SetupKey(), name);
    if (!value) return {};
    if (!value->IsText()) InvalidType(name);
    return value->Data;
}

// Text stored by hand may carry blanks around the number.
int ParseStoredNumber(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    int value = 0;
    return ParseDecimalInt(text, value) ? value : 0;
}

// The stored number as it stands; the field brings it into its range.
int ReadSpin(const TRegistryStore& store, std::string_view name, int missing) {
    std::optional<TRegValue> value = store.ReadValue(SetupKey(), name);
    if (!value) return missing;
    if (value->IsText()) return ParseStoredNumber(value->Data);
    if (auto number = value->AsDword()) return static_cast<std::int32_t>(*number);
    InvalidType(name);
}

void CreateKey(TRegistryStore& store, const std::string& path, std::string_view shownName) {
    try {
        store.CreateKey(path);
    } catch (const ERegistryException& e) {
        throw ERegistryException("Failed to create key " + std::string(shownName), e.what());
    }
}

void WriteValue(TRegistryStore& store, std::string_view name, const TRegValue& value) {
    CreateKey(store, SetupKey(), kSetupSubkey);
    try {
        store.WriteValue(SetupKey(), name, value);
    } catch (const ERegistryException& e) {
        throw ERegistryException("Failed to set data for '" + std::string(name) + "'", e.what());
    }
}

}  // namespace

void LoadSettings(TRegistryStore& store, TSetupFields& fields) {
    // The key is created as a sign that the program has run; a store that
    // cannot be written is still read, and saving reports the failure.
    try {
        store.CreateKey(kSettingsKey);
    } catch (const ERegistryException&) {
    }
    fields.FilmDemoPasswordEdit = ReadPassword(store, kFilmDemoPassword);
    fields.RemoteAdminPasswordEdit = ReadPassword(store, kRemoteAdminPassword);
    fields.WatchDemoPasswordEdit = ReadPassword(store, kWatchDemoPassword);
    for (const TSpinValue& spin : kSpinValues) {
        TSpinField& field = fields.*spin.Field;
        field.SetValue(ReadSpin(store, spin.Name, field.Default()));
    }
    fields.ForwardServerIPEdit = ReadPassword(store, kForwardServer);
}

void SaveSettings(TRegistryStore& store, const TSetupFields& fields) {
    CreateKey(store, std::string(kSettingsKey), kSettingsKey);
    WriteValue(store, kFilmDemoPassword, TRegValue::Text(fields.FilmDemoPasswordEdit));
    WriteValue(store, kRemoteAdminPassword, TRegValue::Text(fields.RemoteAdminPasswordEdit));
    WriteValue(store, kWatchDemoPassword, TRegValue::Text(fields.WatchDemoPasswordEdit));

    for (const TSpinValue& spin : kSpinValues) {
        // A number an operator wrote by hand as text stays text, in its own type.
        const int number = (fields.*spin.Field).Value();
        std::optional<TRegValue> old = store.ReadValue(SetupKey(), spin.Name);
        if (old && old->IsText()) WriteValue(store, spin.Name, TRegValue{old->Type, std::to_string(number)});
        else WriteValue(store, spin.Name, TRegValue::Dword(static_cast<std::uint32_t>(number)));
    }
    WriteValue(store, kForwardServer, TRegValue::Text(fields.ForwardServerIPEdit));
}

}  // namespace vistrel
