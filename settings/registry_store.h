// TRegistryStore: the current user's settings, kept in one text file (see
// settings/registry_data.h for its format) in place of a system registry.
// Both programs own one for their whole run: vistreld and the Qt window.
//
// Reads come from the contents loaded when the store was opened (refreshed by
// every write). Every write re-reads the file, applies its one change and
// writes the whole file back atomically (temporary file in the same folder,
// fsync, rename), so values other programs or the operator put there are kept.
// The file is created with mode 0600 and missing folders with 0700: it holds
// passwords.
//
// A file that cannot be read or parsed is never overwritten: the store opens
// empty and read-only, LoadError() says why ("FILE:LINE: what"), and every
// write throws ERegistryException.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "settings/registry_data.h"

namespace vistrel {

class TRegistryStore {
public:
    // Opens the store on this file; a missing file (or folder) is an empty
    // store, created at the first write.
    explicit TRegistryStore(std::string filePath);

    const std::string& FilePath() const noexcept { return path_; }
    bool IsReadOnly() const noexcept { return read_only_; }
    // Why the file was not usable, or empty.
    const std::string& LoadError() const noexcept { return load_error_; }

    // Reads the file again. Throws ERegistryException ("FILE: why" or
    // "FILE:LINE: what") and keeps what was loaded before when the file is
    // missing (no defaults by accident) or cannot be read or parsed.
    void Reload();

    bool KeyExists(std::string_view key) const { return data_.HasKey(key); }
    std::optional<TRegValue> ReadValue(std::string_view key, std::string_view name) const;
    const TRegistryData& Data() const noexcept { return data_; }

    // Each throws ERegistryException (message: what failed and why) and then
    // leaves the file as it was.
    void CreateKey(std::string_view key);  // with its missing parents
    void WriteValue(std::string_view key, std::string_view name, const TRegValue& value);
    void DeleteValue(std::string_view key, std::string_view name);  // none: nothing happens

private:
    template <typename Change>
    void Update(Change&& change);

    std::string path_;
    TRegistryData data_;
    bool read_only_ = false;
    std::string load_error_;
};

// Where the store lives: $VISTREL_REGISTRY if set and not empty, otherwise
// $XDG_CONFIG_HOME/vistrel/registry.reg, otherwise
// ~/.config/vistrel/registry.reg. Throws ERegistryException if there is no
// home folder to be found.
std::string DefaultRegistryPath();

}  // namespace vistrel
