// TSpinFieldBox: a spin field of the setup page ("Max Viewer Clients",
// "Broadcast Delay", ...), a spin box drawn over the toolkit-free TSpinField
// model, which holds the truth and its rules: digits, "+" and "-" and editing
// keys only (anything else beeps); an empty or non-numeric text reads as 0
// and becomes "0"; a number typed out of the field's range applies as typed
// and is brought into range when the field loses the focus; buttons, arrows
// and the wheel step by 1, Page Up/Down by 10, never past the range. Every
// change of the text reaches the model, whose change event the relay frame
// acts on (the viewer limit becomes the viewer server's client limit).
//
// When the model changes on its own (the settings being loaded, the remote
// admin setting a value), the owner calls SyncFromModel(). Owned by the setup
// page (a Qt child); the model is owned by the relay frame and outlives the
// widget's use of it.
#pragma once

#include <QAbstractSpinBox>

#include "console/setup_fields.h"

namespace vistrel {

class TSpinFieldBox : public QAbstractSpinBox {
    Q_OBJECT
public:
    explicit TSpinFieldBox(TSpinField& field, QWidget* parent = nullptr);

    // Shows the model's text if the field shows anything else.
    void SyncFromModel();
    QString Text() const;

    void stepBy(int steps) override;
    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;
    QSize sizeHint() const override;

protected:
    StepEnabled stepEnabled() const override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void OnTextEdited(const QString& text);

    TSpinField& field_;
};

}  // namespace vistrel
