#include "settings/registry_data.h"

#include <cstdio>
#include <utility>

#include "base/ascii_case.h"
#include "base/latin1.h"
#include "base/whole_number.h"

namespace vistrel {

namespace {

std::string Fold(std::string_view s) {
    std::string folded(s);
    for (char& c : folded) c = AsciiLower(c);
    return folded;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    return s;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

std::string_view Trim(std::string_view s) { return TrimLeft(TrimRight(s)); }

// 1 to 8 hex digits, the whole text.
bool ParseHex32(std::string_view s, std::uint32_t& value) { return s.size() <= 8 && ParseHexNumber(s, value); }

// A text that reads back unchanged from between quotes and stays readable in
// an editor: valid UTF-8 and no control characters but tabs.
bool FitsQuoted(std::string_view s) {
    for (char c : s) {
        auto code = static_cast<unsigned char>(c);
        if ((code < 0x20 && c != '\t') || code == 0x7f) return false;
    }
    return IsValidUtf8(s);
}

void AppendQuoted(std::string& out, std::string_view s) {
    out += '"';
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    out += '"';
}

// Reads a quoted text at the front of `s` (which starts with '"'); `\\` and
// `\"` stand for themselves, any other backslash is kept as it is. Returns
// false if the closing quote is missing; otherwise `s` is left after it.
bool TakeQuoted(std::string_view& s, std::string& text) {
    text.clear();
    std::size_t i = 1;
    while (i < s.size()) {
        char c = s[i];
        if (c == '"') {
            s.remove_prefix(i + 1);
            return true;
        }
        if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
            text += s[i + 1];
            i += 2;
            continue;
        }
        text += c;
        ++i;
    }
    return false;
}

void AppendHexBytes(std::string& out, std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    // Long lists go on over several lines so that the file stays readable.
    constexpr std::size_t kPerLine = 25;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) out += (i % kPerLine == 0) ? ",\\\n  " : ",";
        auto b = static_cast<unsigned char>(bytes[i]);
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
}

}  // namespace

// ---- TRegValue ----------------------------------------------------------

TRegValue TRegValue::Dword(std::uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return {REG_DWORD, std::move(bytes)};
}

std::optional<std::uint32_t> TRegValue::AsDword() const noexcept {
    if (Type != REG_DWORD || Data.size() != 4) return std::nullopt;
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(Data[i]);
    return v;
}

// ---- TRegistryData ------------------------------------------------------

void TRegistryData::CheckKeyPath(std::string_view path) {
    if (path.empty()) return;
    if (path.size() > kMaxKeyPathLength)
        throw ERegistryException("Invalid key name '" + std::string(path.substr(0, 64)) + "...'",
                                 "a key path is longer than " + std::to_string(kMaxKeyPathLength) + " bytes");
    std::size_t start = 0;
    std::size_t depth = 0;
    while (true) {
        if (++depth > kMaxKeyDepth)
            throw ERegistryException("Invalid key name '" + std::string(path) + "'",
                                     "keys nest deeper than " + std::to_string(kMaxKeyDepth) + " levels");
        std::size_t end = path.find('\\', start);
        std::string_view part = path.substr(start, end == std::string_view::npos ? end : end - start);
        if (part.empty())
            throw ERegistryException("Invalid key name '" + std::string(path) + "'", "a part of the key path is empty");
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    if (path.find('\n') != std::string_view::npos)
        throw ERegistryException("Invalid key name '" + std::string(path) + "'", "key names cannot hold line breaks");
}

void TRegistryData::CheckValueName(std::string_view name) {
    if (name.find('\n') != std::string_view::npos)
        throw ERegistryException("Invalid value name '" + std::string(name) + "'",
                                 "value names cannot hold line breaks");
}

const TRegKey* TRegistryData::FindKey(std::string_view path) const {
    auto it = index_.find(Fold(path));
    return it == index_.end() ? nullptr : &keys_[it->second];
}

TRegKey* TRegistryData::FindKeyMutable(std::string_view path) {
    auto it = index_.find(Fold(path));
    return it == index_.end() ? nullptr : &keys_[it->second];
}

bool TRegistryData::HasKey(std::string_view path) const { return FindKey(path) != nullptr; }

const TRegNamedValue* TRegistryData::FindNamedValue(std::string_view path, std::string_view name) const {
    const TRegKey* key = FindKey(path);
    if (!key) return nullptr;
    auto it = key->index_.find(Fold(name));
    return it == key->index_.end() ? nullptr : &key->Values[it->second];
}

const TRegValue* TRegistryData::FindValue(std::string_view path, std::string_view name) const {
    const TRegNamedValue* found = FindNamedValue(path, name);
    return found ? &found->Value : nullptr;
}

TRegKey& TRegistryData::AddKey(std::string_view path) {
    keys_.emplace_back();
    keys_.back().Path = std::string(path);
    index_.emplace(Fold(path), keys_.size() - 1);
    return keys_.back();
}

bool TRegistryData::CreateKey(std::string_view path) {
    CheckKeyPath(path);
    if (HasKey(path)) return false;
    if (path.empty()) {
        AddKey(path);
        return true;
    }
    // Parents first, each spelled as it already is where it exists.
    std::string spelled;
    std::size_t start = 0;
    while (true) {
        std::size_t end = path.find('\\', start);
        std::string_view part = path.substr(start, end == std::string_view::npos ? end : end - start);
        std::string_view prefix = path.substr(0, end);
        if (const TRegKey* existing = FindKey(prefix)) {
            spelled = existing->Path;
        } else {
            if (!spelled.empty()) spelled += '\\';
            spelled += part;
            AddKey(spelled);
        }
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return true;
}

void TRegistryData::SetValue(std::string_view path, std::string_view name, TRegValue value, int line) {
    CheckValueName(name);
    CreateKey(path);
    TRegKey& key = *FindKeyMutable(path);
    std::string folded = Fold(name);
    auto it = key.index_.find(folded);
    if (it != key.index_.end()) {
        key.Values[it->second].Value = std::move(value);
        key.Values[it->second].Line = line;
        return;
    }
    key.Values.push_back({std::string(name), std::move(value), line});
    key.index_.emplace(std::move(folded), key.Values.size() - 1);
}

bool TRegistryData::DeleteValue(std::string_view path, std::string_view name) {
    TRegKey* key = FindKeyMutable(path);
    if (!key) return false;
    auto it = key->index_.find(Fold(name));
    if (it == key->index_.end()) return false;
    key->Values.erase(key->Values.begin() + static_cast<std::ptrdiff_t>(it->second));
    key->index_.clear();
    for (std::size_t i = 0; i < key->Values.size(); ++i) key->index_.emplace(Fold(key->Values[i].Name), i);
    return true;
}

// ---- Reading the text ---------------------------------------------------

namespace {

class TRegistryParser {
public:
    explicit TRegistryParser(std::string_view text) : text_(text) {
        if (text_.substr(0, 3) == "\xEF\xBB\xBF") text_.remove_prefix(3);  // a UTF-8 byte-order mark
    }

    TRegistryData Parse() {
        bool headerSeen = false;
        std::string_view line;
        while (NextLine(line)) {
            std::string_view content = Trim(line);
            if (content.empty()) continue;
            if (!headerSeen) {
                if (content != kRegistryFileHeader)
                    Fail("expected \"" + std::string(kRegistryFileHeader) + "\"");
                headerSeen = true;
                continue;
            }
            if (content.front() == ';') continue;
            if (content.front() == '[') {
                KeyLine(content);
            } else if (content.front() == '"' || content.front() == '@') {
                ValueLine(content);
            } else {
                Fail("expected a [key] or a \"name\"=value line");
            }
        }
        return std::move(data_);
    }

private:
    bool NextLine(std::string_view& line) {
        if (pos_ >= text_.size()) return false;
        std::size_t end = text_.find('\n', pos_);
        if (end == std::string_view::npos) end = text_.size();
        line = text_.substr(pos_, end - pos_);
        pos_ = end + 1;
        ++line_no_;
        return true;
    }

    [[noreturn]] void Fail(const std::string& reason) const { throw ERegistryFormatError(entry_line_ ? entry_line_ : line_no_, reason); }

    void KeyLine(std::string_view content) {
        entry_line_ = 0;
        std::size_t close = content.rfind(']');
        if (close == std::string_view::npos || close != content.size() - 1) Fail("a key line must end with ']'");
        std::string_view name = content.substr(1, close - 1);
        if (!name.empty() && name.front() == '-') Fail("deleting keys is not supported");
        if (!StartsWithIgnoringCase(name, kRegistryRootName))
            Fail("keys must lie under " + std::string(kRegistryRootName));
        name.remove_prefix(kRegistryRootName.size());
        std::string_view path;
        if (!name.empty()) {
            if (name.front() != '\\') Fail("keys must lie under " + std::string(kRegistryRootName));
            path = name.substr(1);
            if (path.empty()) Fail("empty key name");
        }
        try {
            data_.CreateKey(path);
        } catch (const ERegistryException& e) {
            Fail(e.Detail().empty() ? e.what() : e.Detail());
        }
        key_ = data_.FindKey(path)->Path;
        in_key_ = true;
    }

    void ValueLine(std::string_view content) {
        entry_line_ = line_no_;
        if (!in_key_) Fail("a value must follow a [key] line");
        std::string name;
        if (content.front() == '@') {
            content.remove_prefix(1);
        } else if (!TakeQuoted(content, name)) {
            Fail("the value name has no closing quote");
        }
        content = TrimLeft(content);
        if (content.empty() || content.front() != '=') Fail("expected '=' after the value name");
        content = TrimLeft(content.substr(1));
        const int line = entry_line_;
        data_.SetValue(key_, name, Data(content), line);
        entry_line_ = 0;
    }

    TRegValue Data(std::string_view content) {
        if (content.empty()) Fail("the value has no data");
        if (content.front() == '"') {
            std::string text;
            if (!TakeQuoted(content, text)) Fail("the text has no closing quote");
            if (!Trim(content).empty()) Fail("unexpected characters after the text");
            return TRegValue::Text(std::move(text));
        }
        if (content == "-") Fail("deleting values is not supported");
        if (StartsWithIgnoringCase(content, "dword:")) {
            std::uint32_t v = 0;
            if (!ParseHex32(Trim(content.substr(6)), v)) Fail("dword: needs 1 to 8 hexadecimal digits");
            return TRegValue::Dword(v);
        }
        if (StartsWithIgnoringCase(content, "hex:")) return {REG_BINARY, Bytes(content.substr(4))};
        if (StartsWithIgnoringCase(content, "hex(")) {
            std::size_t close = content.find("):");
            std::uint32_t type = 0;
            if (close == std::string_view::npos || !ParseHex32(content.substr(4, close - 4), type))
                Fail("hex(N): needs a hexadecimal type number");
            return {type, Bytes(content.substr(close + 2))};
        }
        Fail("unknown kind of value data");
    }

    // A comma-separated byte list; a trailing backslash continues it on the
    // next line.
    std::string Bytes(std::string_view first) {
        std::string list(TrimRight(first));
        while (!list.empty() && list.back() == '\\') {
            list.pop_back();
            std::string_view next;
            if (!NextLine(next)) Fail("the byte list goes on past the end of the file");
            list += TrimRight(next);
        }
        std::string bytes;
        std::string_view rest = Trim(list);
        if (rest.empty()) return bytes;
        bytes.reserve(rest.size() / 3 + 1);
        while (true) {
            std::size_t comma = rest.find(',');
            std::string_view item = Trim(rest.substr(0, comma));
            std::uint32_t b = 0;
            if (item.size() > 2 || !ParseHex32(item, b)) Fail("a byte must be 1 or 2 hexadecimal digits");
            bytes += static_cast<char>(b);
            if (comma == std::string_view::npos) break;
            rest = rest.substr(comma + 1);
        }
        return bytes;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    int line_no_ = 0;
    int entry_line_ = 0;  // where a value entry began, while reading one
    TRegistryData data_;
    std::string key_;
    bool in_key_ = false;
};

}  // namespace

TRegistryData ParseRegistryText(std::string_view text) { return TRegistryParser(text).Parse(); }

// ---- Writing the text ---------------------------------------------------

std::string FormatRegistryText(const TRegistryData& data) {
    std::string out(kRegistryFileHeader);
    out += "\n";
    for (const TRegKey& key : data.Keys()) {
        out += "\n[";
        out += kRegistryRootName;
        if (!key.Path.empty()) {
            out += '\\';
            out += key.Path;
        }
        out += "]\n";
        for (const TRegNamedValue& v : key.Values) {
            if (v.Name.empty()) out += '@';
            else AppendQuoted(out, v.Name);
            out += '=';
            const TRegValue& value = v.Value;
            if (value.Type == REG_SZ && FitsQuoted(value.Data)) {
                AppendQuoted(out, value.Data);
            } else if (auto dword = value.AsDword()) {
                char buf[16];
                std::snprintf(buf, sizeof buf, "dword:%08x", *dword);
                out += buf;
            } else {
                if (value.Type == REG_BINARY) {
                    out += "hex:";
                } else {
                    char buf[24];
                    std::snprintf(buf, sizeof buf, "hex(%x):", value.Type);
                    out += buf;
                }
                AppendHexBytes(out, value.Data);
            }
            out += '\n';
        }
    }
    return out;
}

}  // namespace vistrel
