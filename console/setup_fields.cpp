#include "console/setup_fields.h"

#include <algorithm>
#include <climits>
#include <utility>

namespace vistrel {

bool ParseDecimalInt(std::string_view text, int& value) noexcept {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) return false;
    // Accumulate in a wider type and stop growing once past the int range,
    // so that any number of digits saturates instead of overflowing.
    long long magnitude = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return false;
        if (magnitude <= static_cast<long long>(INT_MAX) + 1) magnitude = magnitude * 10 + (c - '0');
    }
    long long signed_value = negative ? -magnitude : magnitude;
    value = static_cast<int>(std::clamp<long long>(signed_value, INT_MIN, INT_MAX));
    return true;
}

int TSpinField::Value() const noexcept {
    int value = 0;
    return ParseDecimalInt(text_, value) ? value : 0;
}

void TSpinField::SetValue(int value) {
    ChangeText(std::to_string(std::clamp(value, MinValue, MaxValue)));
}

void TSpinField::SetText(std::string text) {
    int value = 0;
    if (ParseDecimalInt(text, value))
        ChangeText(std::move(text));
    else
        ChangeText(std::string(1, '0'));
}

void TSpinField::StepBy(int delta) {
    long long next = static_cast<long long>(Value()) + delta;
    SetValue(static_cast<int>(std::clamp<long long>(next, MinValue, MaxValue)));
}

void TSpinField::FocusLost() {
    int value = Value();
    if (value < MinValue || value > MaxValue) SetValue(value);
}

bool TSpinField::AcceptsKey(char key) noexcept {
    if ((key >= '0' && key <= '9') || key == '+' || key == '-') return true;
    // Editing keys arrive as control characters (Backspace, Ctrl+V, ...);
    // Enter is not one of them.
    auto code = static_cast<unsigned char>(key);
    return (code < 0x20 && key != '\r' && key != '\n') || code == 0x7f;
}

void TSpinField::ChangeText(std::string text) {
    if (text == text_) return;
    text_ = std::move(text);
    if (OnChange) OnChange(Value());
}

}  // namespace vistrel
