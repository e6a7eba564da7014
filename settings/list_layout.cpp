#include "settings/list_layout.h"

#include <optional>

#include "base/whole_number.h"

namespace vistrel {

namespace {

// Beyond these a stored layout is not one this program wrote; it is ignored
// rather than allowed to build absurd headers.
constexpr int kMaxWidth = 65535;
constexpr std::size_t kMaxEntries = 256;

std::string LayoutKey() { return std::string(kLayoutKey) + "\\" + std::string(kLayoutSubkey); }

std::optional<int> ParseWidth(std::string_view entry) {
    while (!entry.empty() && entry.front() == ' ') entry.remove_prefix(1);
    while (!entry.empty() && entry.back() == ' ') entry.remove_suffix(1);
    int width = 0;
    if (!ParseWholeNumber(entry, width, 0, kMaxWidth)) return std::nullopt;
    return width;
}

// The widths of a stored text, or nothing if any entry is not a width.
std::optional<std::vector<int>> ParseWidths(std::string_view text) {
    std::vector<int> widths;
    while (true) {
        if (widths.size() == kMaxEntries) return std::nullopt;
        std::size_t comma = text.find(',');
        std::optional<int> width = ParseWidth(text.substr(0, comma));
        if (!width) return std::nullopt;
        widths.push_back(*width);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return widths;
}

}  // namespace

THeaderSections InitialGamesListSections() {
    return {{"ID", 50},    {"Name", 200},   {"Game", 70},  {"Mod", 70},     {"Compressed Size", 95},
            {"Users", 50}, {"Sender", 115}, {"Delay", 50}, {"Packets", 60}, {"Visible", 60}};
}

THeaderSections InitialUserListSections() { return {{"User Name", 111}, {"User IP", 64}, {"Downloaded", 90}}; }

std::string JoinListLayout(const THeaderSections& sections) {
    std::string text;
    for (const THeaderSection& section : sections) {
        if (!text.empty()) text += ',';
        text += std::to_string(section.Width);
    }
    return text;
}

void LoadListLayout(TRegistryStore& store, std::string_view valueName, THeaderSections& sections) {
    try {
        store.CreateKey(kLayoutKey);
    } catch (const ERegistryException&) {
        // Reading goes on; saving at the end reports a store that cannot be written.
    }
    std::optional<TRegValue> value = store.ReadValue(LayoutKey(), valueName);
    if (!value || !value->IsText() || value->Data.empty()) return;
    std::optional<std::vector<int>> widths = ParseWidths(value->Data);
    if (!widths) return;
    // The last entry is never applied: the last column keeps the width it
    // starts with (InitialGamesListSections, InitialUserListSections).
    for (std::size_t i = 0; i + 1 < widths->size(); ++i) {
        if (i >= sections.size()) sections.push_back({"S. " + std::to_string(i + 1), 0});
        sections[i].Width = (*widths)[i];
    }
}

void SaveListLayout(TRegistryStore& store, std::string_view valueName, const THeaderSections& sections) {
    std::string text = JoinListLayout(sections);
    try {
        store.CreateKey(kLayoutKey);
    } catch (const ERegistryException& e) {
        throw ERegistryException("Failed to create key " + std::string(kLayoutKey), e.what());
    }
    if (text.empty()) {
        try {
            store.DeleteValue(LayoutKey(), valueName);
        } catch (const ERegistryException& e) {
            throw ERegistryException("Failed to delete value '" + std::string(valueName) + "'", e.what());
        }
        return;
    }
    try {
        store.CreateKey(LayoutKey());
    } catch (const ERegistryException& e) {
        throw ERegistryException("Failed to create key " + std::string(kLayoutSubkey), e.what());
    }
    try {
        store.WriteValue(LayoutKey(), valueName, TRegValue::Text(text));
    } catch (const ERegistryException& e) {
        throw ERegistryException("Failed to set data for '" + std::string(valueName) + "'", e.what());
    }
}

}  // namespace vistrel
