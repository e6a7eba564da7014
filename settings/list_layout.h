// Column widths of the two list views, kept in the settings store under
// "Vistrel\Common" as decimal widths joined by "," ("50,200,70,70,95,50,115").
// Works on a plain list of header sections that the window copies to and from
// its header. The window loads each layout while it is built and saves it
// when it is destroyed at program end.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "settings/registry_store.h"

namespace vistrel {

struct THeaderSection {
    std::string Title;
    int Width = 0;

    friend bool operator==(const THeaderSection&, const THeaderSection&) = default;
};
using THeaderSections = std::vector<THeaderSection>;

inline constexpr std::string_view kLayoutKey = "Vistrel";
inline constexpr std::string_view kLayoutSubkey = "Common";
inline constexpr std::string_view kGamesListLayoutValue = "GamesListBox";
inline constexpr std::string_view kUserListLayoutValue = "UserListBox";

// The columns the two lists start with, before any stored layout: games "ID"
// 50, "Name" 200, "Game" 70, "Mod" 70, "Compressed Size" 95, "Users" 50,
// "Sender" 115, "Delay" 50, "Packets" 60, "Visible" 60; users "User Name"
// 111, "User IP" 64, "Downloaded" 90. The last three games columns came
// later: a layout stored before them still applies to the columns it names.
THeaderSections InitialGamesListSections();
THeaderSections InitialUserListSections();

// Applies the stored widths to `sections`, all entries but the last one (so
// the last column keeps its width); an entry beyond the sections appends a
// section "S. <position from 1>". A missing or empty value changes nothing;
// so does a value that is not text or holds an entry that is not a width
// (a decimal number of at most 65535), or that holds more than 256 entries.
// Creates the key "Vistrel" if it can. Never throws for the store's sake.
void LoadListLayout(TRegistryStore& store, std::string_view valueName, THeaderSections& sections);

// Writes the widths joined by ","; no sections deletes the value. Throws
// ERegistryException "Failed to create key <key>", "Failed to set data for
// '<name>'" or "Failed to delete value '<name>'".
void SaveListLayout(TRegistryStore& store, std::string_view valueName, const THeaderSections& sections);

// The stored text for these sections ("" for none).
std::string JoinListLayout(const THeaderSections& sections);

}  // namespace vistrel
