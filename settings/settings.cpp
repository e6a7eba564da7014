#include "settings/settings.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "base/ascii_case.h"

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

constexpr std::string_view kTextValues[] = {kFilmDemoPassword, kRemoteAdminPassword, kWatchDemoPassword,
                                            kForwardServer};

// Text stored by hand may carry blanks around the number.
bool ParseStoredNumber(std::string_view text, int& value) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return ParseDecimalInt(text, value);
}

// Reads the Setup subkey's values into fields and notes what is wrong with
// them, each finding with the file and the line.
class TSettingsReader {
public:
    TSettingsReader(const TRegistryStore& store, TSettingsReport& report) : store_(store), report_(report) {}

    void Text(std::string_view name, std::string& field) {
        const TRegNamedValue* value = Find(name);
        if (!value) {
            field.clear();
            return;
        }
        if (!value->Value.IsText()) return Note(true, *value, InvalidType(name));
        field = value->Value.Data;
    }

    void Spin(std::string_view name, TSpinField& field) {
        const TRegNamedValue* value = Find(name);
        if (!value) return field.SetValue(field.Default());
        int number = 0;
        std::string shown;
        if (value->Value.IsText()) {
            if (!ParseStoredNumber(value->Value.Data, number))
                return Note(true, *value, "Invalid value for '" + std::string(name) + "': not a whole number");
            // A number past the int range saturates; show what was written.
            std::string_view written = value->Value.Data;
            while (written.front() == ' ' || written.front() == '\t') written.remove_prefix(1);
            while (written.back() == ' ' || written.back() == '\t') written.remove_suffix(1);
            shown = written.size() <= 24 ? std::string(written) : std::to_string(number);
        } else if (auto dword = value->Value.AsDword()) {
            number = static_cast<std::int32_t>(*dword);
            shown = std::to_string(number);
        } else {
            return Note(true, *value, InvalidType(name));
        }
        field.SetValue(number);
        if (number < field.Min() || number > field.Max())
            Note(false, *value,
                 "'" + std::string(name) + "' is " + shown + ", outside " + std::to_string(field.Min()) + " to " +
                     std::to_string(field.Max()) + "; " + field.Text() + " is used");
    }

    // Values no field reads: most likely a misspelt name, whose field then
    // silently keeps its default.
    void Unknown() {
        const TRegKey* key = store_.Data().FindKey(SetupKey());
        if (!key) return;
        for (const TRegNamedValue& value : key->Values) {
            bool known = false;
            for (std::string_view name : kTextValues) known = known || EqualsIgnoringCase(value.Name, name);
            for (const TSpinValue& spin : kSpinValues) known = known || EqualsIgnoringCase(value.Name, spin.Name);
            // A stranger's name could be long: the report stays one short line.
            if (!known) Note(false, value, "Unknown value '" + value.Name.substr(0, 64) + "' ignored");
        }
    }

private:
    static std::string InvalidType(std::string_view name) {
        return "Invalid data type for '" + std::string(name) + "'";
    }

    const TRegNamedValue* Find(std::string_view name) const { return store_.Data().FindNamedValue(SetupKey(), name); }

    void Note(bool isError, const TRegNamedValue& value, std::string what) {
        std::string where = store_.FilePath();
        if (value.Line > 0) where += ":" + std::to_string(value.Line);
        report_.Problems.push_back({isError, value.Line, where + ": " + what});
    }

    const TRegistryStore& store_;
    TSettingsReport& report_;
};

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

bool TSettingsReport::HasErrors() const noexcept {
    return std::any_of(Problems.begin(), Problems.end(), [](const TSettingsProblem& p) { return p.IsError; });
}

std::string TSettingsReport::Text() const {
    std::string text;
    for (const TSettingsProblem& problem : Problems) {
        if (!text.empty()) text += '\n';
        text += problem.Text;
    }
    return text;
}

TSettingsReport ReadSettings(const TRegistryStore& store, TSetupFields& fields) {
    TSettingsReport report;
    TSettingsReader reader(store, report);
    reader.Text(kFilmDemoPassword, fields.FilmDemoPasswordEdit);
    reader.Text(kRemoteAdminPassword, fields.RemoteAdminPasswordEdit);
    reader.Text(kWatchDemoPassword, fields.WatchDemoPasswordEdit);
    for (const TSpinValue& spin : kSpinValues) reader.Spin(spin.Name, fields.*spin.Field);
    reader.Text(kForwardServer, fields.ForwardServerIPEdit);
    reader.Unknown();
    std::stable_sort(report.Problems.begin(), report.Problems.end(),
                     [](const TSettingsProblem& a, const TSettingsProblem& b) { return a.Line < b.Line; });
    return report;
}

TSettingsReport LoadSettings(TRegistryStore& store, TSetupFields& fields) {
    // The key is created as a sign that the program has run; a store that
    // cannot be written is still read, and saving reports the failure.
    try {
        store.CreateKey(kSettingsKey);
    } catch (const ERegistryException&) {
    }
    return ReadSettings(store, fields);
}

TSettingsReload ReloadSettings(TRegistryStore& store, TSetupFields& fields) {
    store.Reload();
    TSettingsReload reload;
    // Read apart first, so that a file with an error changes nothing.
    TSetupFields fresh;
    reload.Report = ReadSettings(store, fresh);
    if (reload.Report.HasErrors()) {
        std::string errors;
        for (const TSettingsProblem& problem : reload.Report.Problems)
            if (problem.IsError) errors += (errors.empty() ? "" : "\n") + problem.Text;
        throw ERegistryException(errors, reload.Report.Text());
    }
    auto text = [&](std::string_view name, std::string TSetupFields::*field) {
        if (fields.*field == fresh.*field) return;
        fields.*field = fresh.*field;
        reload.Changed.emplace_back(name);
    };
    text(kFilmDemoPassword, &TSetupFields::FilmDemoPasswordEdit);
    text(kRemoteAdminPassword, &TSetupFields::RemoteAdminPasswordEdit);
    text(kWatchDemoPassword, &TSetupFields::WatchDemoPasswordEdit);
    for (const TSpinValue& spin : kSpinValues) {
        TSpinField& field = fields.*spin.Field;
        const int value = (fresh.*spin.Field).Value();
        if (field.Value() == value) continue;
        field.SetValue(value);
        reload.Changed.emplace_back(spin.Name);
    }
    return reload;
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
