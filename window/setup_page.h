// TSetupPage: the setup sheet. Shows the remote admin password (the HTTP
// side's commands need it), the filming password (both masked), the viewer
// limit, the broadcast delay, the catch-up pace and the crowd limit; the
// watch password and the forward server field exist with
// their labels but are never shown. The fields are views of
// the relay frame's TSetupFields: an edit goes into the model at once (as
// 8-bit text), and Refresh() shows the model after the settings were loaded.
// Owned by the main window (a Qt child).
#pragma once

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QWidget>

#include "console/setup_fields.h"
#include "window/spin_field_box.h"

namespace vistrel {

class TSetupPage : public QWidget {
    Q_OBJECT
public:
    explicit TSetupPage(TSetupFields& fields, QWidget* parent = nullptr);

    // Shows every model value in its field.
    void Refresh();
    // Shows each spin field's model text in its field (after a model changed
    // on its own).
    void SyncSpinFields();

private:
    QLineEdit* AddTextField(const char* name, const QString& label, bool masked, bool shown, std::string& value);
    TSpinFieldBox* AddSpinField(const char* name, const QString& label, TSpinField& field);

    // Named after the fields, not in the snake_case of other private
    // members: each field's Qt object name is its field name (for the stored
    // fields also the settings value's name); findChild() finds it by that.
    QLineEdit* RemoteAdminPasswordEdit;
    QLineEdit* FilmDemoPasswordEdit;
    QLineEdit* WatchDemoPasswordEdit;
    TSpinFieldBox* MaxClientsSpin;
    TSpinFieldBox* BroadcastDelaySpin;
    TSpinFieldBox* CatchUpSpin;
    TSpinFieldBox* CrowdSpin;
    QLineEdit* ForwardServerIPEdit;

    TSetupFields& fields_;
    QGridLayout* grid_;
    int next_row_ = 0;
};

}  // namespace vistrel
