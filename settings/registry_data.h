// The settings store's contents in memory (keys, values and their types) and
// their text form, the registry export format, so that an operator can read and
// edit the file by hand:
//
//     Windows Registry Editor Version 5.00
//
//     [HKEY_CURRENT_USER\Vistrel Server\Setup]
//     "FilmDemoPasswordEdit"="secret"
//     "MaxClientsSpin"=dword:00000019
//
// Values: "text" (REG_SZ, `\` and `"` escaped by a backslash), dword:XXXXXXXX
// (REG_DWORD), hex:.. (REG_BINARY), hex(N):.. (type N, hexadecimal) as
// comma-separated bytes; byte lists may continue on the next line after a
// trailing backslash. Text values hold their bytes as they are (UTF-8), with
// no terminating NUL, also in hex(1)/hex(2) form. "@" names the default value;
// lines starting with ";" are comments.
//
// Key paths are relative to HKEY_CURRENT_USER, their parts joined by "\"
// ("Vistrel Server\Setup"). Key and value names compare without regard to
// ASCII case, as in the registry, and keep the spelling they were created with.
//
// Used by TRegistryStore (settings/registry_store.h) and the fuzz target;
// pure code, no file access.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/exception.h"

namespace vistrel {

// Errors of the settings store and the settings built on it. The message is
// what the operator sees; Detail() says what went wrong underneath (a system
// error, the file's line), or is empty.
class ERegistryException : public Exception {
public:
    explicit ERegistryException(const std::string& message, std::string detail = {})
        : Exception("ERegistryException", message), detail_(std::move(detail)) {}

    const std::string& Detail() const noexcept { return detail_; }

private:
    std::string detail_;
};

// A text that is not a valid registry file; Line() counts from 1.
class ERegistryFormatError : public ERegistryException {
public:
    ERegistryFormatError(int line, const std::string& reason)
        : ERegistryException("line " + std::to_string(line) + ": " + reason),
          line_(line), reason_(reason) {}

    int Line() const noexcept { return line_; }
    const std::string& Reason() const noexcept { return reason_; }

private:
    int line_;
    std::string reason_;
};

using TRegType = std::uint32_t;
inline constexpr TRegType REG_NONE = 0;
inline constexpr TRegType REG_SZ = 1;
inline constexpr TRegType REG_EXPAND_SZ = 2;
inline constexpr TRegType REG_BINARY = 3;
inline constexpr TRegType REG_DWORD = 4;

// One value: its type and its bytes. Text types hold the text itself; a
// REG_DWORD holds 4 bytes, little-endian (any other length is kept as found).
struct TRegValue {
    TRegType Type = REG_NONE;
    std::string Data;

    static TRegValue Text(std::string text) { return {REG_SZ, std::move(text)}; }
    static TRegValue ExpandText(std::string text) { return {REG_EXPAND_SZ, std::move(text)}; }
    static TRegValue Dword(std::uint32_t value);
    static TRegValue Binary(std::string bytes) { return {REG_BINARY, std::move(bytes)}; }

    bool IsText() const noexcept { return Type == REG_SZ || Type == REG_EXPAND_SZ; }
    // The number of a REG_DWORD of 4 bytes; nothing for anything else.
    std::optional<std::uint32_t> AsDword() const noexcept;

    friend bool operator==(const TRegValue&, const TRegValue&) = default;
};

struct TRegNamedValue {
    std::string Name;  // "" is the key's default value ("@" in the file)
    TRegValue Value;
    // The file's line the value was read from, for reports; 0 when it was
    // set by the program. Not part of the value: equal values compare equal
    // wherever they stand.
    int Line = 0;

    friend bool operator==(const TRegNamedValue& a, const TRegNamedValue& b) {
        return a.Name == b.Name && a.Value == b.Value;
    }
};

struct TRegKey {
    std::string Path;                    // "" is HKEY_CURRENT_USER itself
    std::vector<TRegNamedValue> Values;  // in the order they were created

    friend bool operator==(const TRegKey& a, const TRegKey& b) {
        return a.Path == b.Path && a.Values == b.Values;
    }

private:
    friend class TRegistryData;
    std::unordered_map<std::string, std::size_t> index_;  // folded name -> Values index
};

// Every key with its values, in creation order; a key's parents always come
// before it. The root key ("") is listed only once something was put in it.
class TRegistryData {
public:
    // Bounds that keep a hostile file from costing more than a small multiple
    // of its size; settings keys are short and shallow.
    static constexpr std::size_t kMaxKeyPathLength = 512;
    static constexpr std::size_t kMaxKeyDepth = 32;

    // Throws ERegistryException for a path the file could not hold (an empty
    // part, a line break) or beyond the bounds above.
    static void CheckKeyPath(std::string_view path);
    // Throws ERegistryException for a value name holding a line break.
    static void CheckValueName(std::string_view name);

    bool HasKey(std::string_view path) const;
    const TRegKey* FindKey(std::string_view path) const;
    const TRegValue* FindValue(std::string_view path, std::string_view name) const;
    // The value with its name as spelled and its line; null if there is none.
    const TRegNamedValue* FindNamedValue(std::string_view path, std::string_view name) const;

    // Creates the key and its missing parents; true if anything was created.
    bool CreateKey(std::string_view path);
    // Creates the key if needed; replaces a value of the same name in place.
    // line: where a file gave it (0: the program set it).
    void SetValue(std::string_view path, std::string_view name, TRegValue value, int line = 0);
    // True if the value existed.
    bool DeleteValue(std::string_view path, std::string_view name);

    const std::vector<TRegKey>& Keys() const noexcept { return keys_; }

    friend bool operator==(const TRegistryData& a, const TRegistryData& b) {
        return a.keys_ == b.keys_;
    }

private:
    TRegKey* FindKeyMutable(std::string_view path);
    TRegKey& AddKey(std::string_view path);

    std::vector<TRegKey> keys_;
    std::unordered_map<std::string, std::size_t> index_;  // folded path -> keys_ index
};

inline constexpr std::string_view kRegistryFileHeader = "Windows Registry Editor Version 5.00";
inline constexpr std::string_view kRegistryRootName = "HKEY_CURRENT_USER";

// Reads a whole file's text. Throws ERegistryFormatError naming the first
// line that is wrong.
TRegistryData ParseRegistryText(std::string_view text);

// The file text for the data; ParseRegistryText reads it back to equal data.
std::string FormatRegistryText(const TRegistryData& data);

}  // namespace vistrel
