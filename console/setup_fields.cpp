#include "console/setup_fields.h"

#include <algorithm>
#include <climits>
#include <utility>

#include "base/whole_number.h"

namespace vistrel {

bool ParseDecimalInt(std::string_view text, int& value) noexcept {
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return false;
    // A field may be typed or stored with more digits than an int holds:
    // those saturate, and the field's bounds clamp them.
    const bool negative = text.front() == '-';
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long magnitude = limit;
    (void)ParseWholeNumber(digits, magnitude, 0, limit);
    value = static_cast<int>(negative ? -magnitude : magnitude);
    return true;
}

int TSpinField::Value() const noexcept {
    int value = 0;
    return ParseDecimalInt(text_, value) ? value : 0;
}

int TSpinField::Clamped() const noexcept { return std::clamp(Value(), min_, max_); }

void TSpinField::SetValue(int value) { ChangeText(std::to_string(std::clamp(value, min_, max_))); }

void TSpinField::SetText(std::string text) {
    int value = 0;
    if (ParseDecimalInt(text, value))
        ChangeText(std::move(text));
    else
        ChangeText(std::string(1, '0'));
}

void TSpinField::StepBy(int delta) {
    long long next = static_cast<long long>(Value()) + delta;
    SetValue(static_cast<int>(std::clamp<long long>(next, min_, max_)));
}

void TSpinField::FocusLost() {
    int value = Value();
    if (value < min_ || value > max_) SetValue(value);
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
