#include "window/spin_field_box.h"

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>

#include <algorithm>

namespace vistrel {

TSpinFieldBox::TSpinFieldBox(TSpinField& field, QWidget* parent) : QAbstractSpinBox(parent), field_(field) {
    setButtonSymbols(QAbstractSpinBox::UpDownArrows);
    setAccelerated(false);
    setKeyboardTracking(true);
    setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
    lineEdit()->setText(QString::fromLatin1(field_.Text()));
    connect(lineEdit(), &QLineEdit::textEdited, this, &TSpinFieldBox::OnTextEdited);
}

QString TSpinFieldBox::Text() const { return lineEdit()->text(); }

void TSpinFieldBox::SyncFromModel() {
    const QString text = QString::fromLatin1(field_.Text());
    if (lineEdit()->text() == text) return;
    const bool hadFocus = hasFocus();
    lineEdit()->setText(text);
    // Keep the caret at the end while the operator is typing.
    if (hadFocus) lineEdit()->setCursorPosition(static_cast<int>(text.size()));
}

void TSpinFieldBox::OnTextEdited(const QString& text) {
    field_.SetText(text.toLatin1().toStdString());
    SyncFromModel();
}

void TSpinFieldBox::stepBy(int steps) {
    field_.StepBy(steps);
    SyncFromModel();
    lineEdit()->selectAll();
}

QValidator::State TSpinFieldBox::validate(QString&, int&) const {
    // The key filter and the model decide; the spin box itself refuses nothing.
    return QValidator::Acceptable;
}

void TSpinFieldBox::fixup(QString&) const {}

QSize TSpinFieldBox::sizeHint() const {
    QSize size = QAbstractSpinBox::sizeHint();
    const int digits = fontMetrics().horizontalAdvance(QStringLiteral("999999"));
    size.setWidth(std::max(size.width(), digits + 40));
    return size;
}

QAbstractSpinBox::StepEnabled TSpinFieldBox::stepEnabled() const {
    if (isReadOnly()) return StepNone;
    StepEnabled enabled = StepNone;
    const int value = field_.Value();
    if (value < field_.Max()) enabled |= StepUpEnabled;
    if (value > field_.Min()) enabled |= StepDownEnabled;
    return enabled;
}

void TSpinFieldBox::keyPressEvent(QKeyEvent* event) {
    const QString text = event->text();
    // Keys without text (arrows, Page Up/Down, Home, ...) go to the spin box,
    // and so do Ctrl shortcuts (copy, paste, undo, select all): they are
    // editing keys, whatever text the platform attaches to them.
    if (event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)) {
        QAbstractSpinBox::keyPressEvent(event);
        return;
    }
    if (text.size() == 1) {
        const QChar ch = text.at(0);
        const bool accepted = ch.unicode() < 0x80 && TSpinField::AcceptsKey(static_cast<char>(ch.unicode()));
        if (!accepted) {
            QApplication::beep();
            event->accept();
            return;
        }
    } else if (text.size() > 1) {
        // A composed or pasted run of characters: each must be acceptable.
        for (QChar ch : text) {
            if (ch.unicode() >= 0x80 || !TSpinField::AcceptsKey(static_cast<char>(ch.unicode()))) {
                QApplication::beep();
                event->accept();
                return;
            }
        }
    }
    QAbstractSpinBox::keyPressEvent(event);
}

void TSpinFieldBox::focusOutEvent(QFocusEvent* event) {
    QAbstractSpinBox::focusOutEvent(event);
    field_.FocusLost();
    SyncFromModel();
}

}  // namespace vistrel
