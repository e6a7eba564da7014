// The fields of the setup page as plain models, free of any toolkit.
// Owned by the relay frame; LoadSettings/SaveSettings fill and read them, the
// Qt window mirrors them on screen, the sender login reads the filming
// password. One thread: nothing here is locked.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "core/protocol.h"

namespace vistrel {

// The longest filming password a sender can offer: its slot in GAMEINFO
// holds 16 characters and a NUL. The setup page takes no more; a longer one
// found in the settings is reported at start-up, since no login could match.
inline constexpr size_t kMaxFilmDemoPasswordLength = Slot::GameInfoPassword.Width - 1;

// A spin field of the setup page (the viewer limit, the broadcast delay,
// ...). Its value is the number written in its text; every change of the
// text raises OnChange with that value (the relay frame wires the viewer
// limit to the viewer server's client limit). Each field has its own range;
// the default one is the viewer limit's.
class TSpinField {
public:
    static constexpr int kMinValue = 0;
    static constexpr int kMaxValue = 99999;

    explicit TSpinField(int minValue = kMinValue, int maxValue = kMaxValue, int initial = kMinValue)
        : min_(minValue), max_(maxValue), default_(initial), text_(std::to_string(initial)) {}

    const std::string& Text() const noexcept { return text_; }
    int Min() const noexcept { return min_; }
    int Max() const noexcept { return max_; }
    // The value the field starts with, and takes when the settings hold none.
    int Default() const noexcept { return default_; }

    // The number written in the text. While the operator types, a number out
    // of the range counts as typed; one beyond the int range saturates.
    int Value() const noexcept;
    // The value brought into the range: what the relay acts on.
    int Clamped() const noexcept;

    // The program sets the value: brought into the range, written as
    // decimal text; OnChange runs only if that changed the text.
    void SetValue(int value);

    // The operator's edit left this text in the field. A text that is empty
    // or not a number reads as 0 and is replaced by "0" at once.
    void SetText(std::string text);

    // Spin buttons, arrow keys, the wheel (+-1) and Page Up/Down (+-10):
    // the value moves and is brought into range.
    void StepBy(int delta);

    // Leaving the field clamps a value typed out of range.
    void FocusLost();

    // Keys the field takes: digits, "+", "-" and editing (control) keys
    // other than Enter. Anything else is refused with a beep.
    static bool AcceptsKey(char key) noexcept;

    std::function<void(int value)> OnChange;

private:
    void ChangeText(std::string text);

    int min_;
    int max_;
    int default_;
    std::string text_;
};

// Reads a whole text as a decimal number: an optional sign, then one or more
// digits, nothing else. Beyond the int range the result saturates. Returns
// false (and leaves `value` alone) for anything else.
bool ParseDecimalInt(std::string_view text, int& value) noexcept;

struct TSetupFields {
    std::string RemoteAdminPasswordEdit;  // hidden on the page, still stored
    std::string FilmDemoPasswordEdit;     // the filming password senders log in with
    std::string WatchDemoPasswordEdit;    // hidden on the page, still stored
    std::string ForwardServerIPEdit;      // edge mode: the origin's URL ("" : none), read at start-up
    TSpinField MaxClientsSpin;            // the viewer limit, 0 = no limit
    // Seconds a stored packet waits after it was acknowledged before viewers
    // see it (0 = at once).
    TSpinField BroadcastDelaySpin{0, 3600, 0};
    // Packets per tick a viewer far behind the live edge receives (1 = the
    // relay's pace of one packet per tick).
    TSpinField CatchUpSpin{1, 16, 1};
    // Viewers above which a game's joins and leaves are summed up (0 = no limit).
    TSpinField CrowdSpin{0, 99999, 200};
};

}  // namespace vistrel
