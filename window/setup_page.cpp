#include "window/setup_page.h"

#include <QGridLayout>
#include <QVBoxLayout>

#include <limits>

namespace vistrel {

namespace {

QString FromLatin1(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

TSetupPage::TSetupPage(TSetupFields& fields, QWidget* parent) : QWidget(parent), fields_(fields) {
    setObjectName(QStringLiteral("SetupSheet"));
    auto* outer = new QVBoxLayout(this);
    grid_ = new QGridLayout;
    grid_->setHorizontalSpacing(12);
    grid_->setVerticalSpacing(8);
    grid_->setColumnMinimumWidth(1, 180);
    outer->addLayout(grid_);
    outer->addStretch(1);

    RemoteAdminPasswordEdit = AddTextField("RemoteAdminPasswordEdit", QStringLiteral("Remote Admin Password :"),
                                           true, true, fields_.RemoteAdminPasswordEdit);
    FilmDemoPasswordEdit = AddTextField("FilmDemoPasswordEdit", QStringLiteral("Film Demo Password"), true, true,
                                        fields_.FilmDemoPasswordEdit);
    // A sender's login carries at most this many characters.
    FilmDemoPasswordEdit->setMaxLength(static_cast<int>(kMaxFilmDemoPasswordLength));
    // The read credential of the HTTP side (status, lists, metrics, what an
    // edge fetches): shown now that it is used, so the window can set it.
    WatchDemoPasswordEdit = AddTextField("WatchDemoPasswordEdit", QStringLiteral("Watch Demo Password"), true, true,
                                         fields_.WatchDemoPasswordEdit);

    MaxClientsSpin = AddSpinField("MaxClientsSpin", QStringLiteral("Max Viewer Clients :"), fields_.MaxClientsSpin);
    // For a live final: seconds before viewers see a packet, packets per tick
    // for a viewer catching up, and the crowd whose joins are summed up.
    BroadcastDelaySpin =
        AddSpinField("BroadcastDelaySpin", QStringLiteral("Broadcast Delay :"), fields_.BroadcastDelaySpin);
    CatchUpSpin = AddSpinField("CatchUpSpin", QStringLiteral("Catch Up :"), fields_.CatchUpSpin);
    CrowdSpin = AddSpinField("CrowdSpin", QStringLiteral("Crowd Limit :"), fields_.CrowdSpin);

    // Edge mode: the URL of the origin relay's HTTP side (or of a cache in
    // front of it), used from the next start.
    ForwardServerIPEdit = AddTextField("ForwardServerIPEdit", QStringLiteral("Forward Server :"), false, true,
                                       fields_.ForwardServerIPEdit);
    ForwardServerIPEdit->setPlaceholderText(QStringLiteral("http://origin:38964"));
    grid_->setColumnStretch(2, 1);
}

QLineEdit* TSetupPage::AddTextField(const char* name, const QString& label, bool masked, bool shown,
                                    std::string& value) {
    auto* caption = new QLabel(label, this);
    auto* edit = new QLineEdit(this);
    edit->setObjectName(QString::fromLatin1(name));
    caption->setObjectName(QString::fromLatin1(name) + QStringLiteral("Label"));
    edit->setMaxLength(std::numeric_limits<int>::max());  // no length limit of our own
    if (masked) {
        edit->setEchoMode(QLineEdit::Password);
        // One "*" per character, whatever the style would draw.
        edit->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
    }
    edit->setText(FromLatin1(value));
    // Only the operator's edits go into the model: showing a stored value
    // never writes it back.
    connect(edit, &QLineEdit::textEdited, this,
            [&value](const QString& text) { value = text.toLatin1().toStdString(); });
    caption->setBuddy(edit);
    if (shown) {
        grid_->addWidget(caption, next_row_, 0);
        grid_->addWidget(edit, next_row_, 1);
        ++next_row_;
    } else {
        // Kept for loading and saving; never shown and never edited.
        caption->hide();
        edit->hide();
        edit->setEnabled(false);
    }
    return edit;
}

TSpinFieldBox* TSetupPage::AddSpinField(const char* name, const QString& label, TSpinField& field) {
    auto* caption = new QLabel(label, this);
    auto* spin = new TSpinFieldBox(field, this);
    spin->setObjectName(QString::fromLatin1(name));
    caption->setObjectName(QString::fromLatin1(name) + QStringLiteral("Label"));
    caption->setBuddy(spin);
    grid_->addWidget(caption, next_row_, 0);
    grid_->addWidget(spin, next_row_, 1, Qt::AlignLeft);
    ++next_row_;
    return spin;
}

void TSetupPage::Refresh() {
    const auto show = [](QLineEdit* edit, const std::string& value) {
        const QString text = FromLatin1(value);
        if (edit->text() != text) edit->setText(text);
    };
    show(RemoteAdminPasswordEdit, fields_.RemoteAdminPasswordEdit);
    show(FilmDemoPasswordEdit, fields_.FilmDemoPasswordEdit);
    show(WatchDemoPasswordEdit, fields_.WatchDemoPasswordEdit);
    show(ForwardServerIPEdit, fields_.ForwardServerIPEdit);
    SyncSpinFields();
}

void TSetupPage::SyncSpinFields() {
    for (TSpinFieldBox* spin : {MaxClientsSpin, BroadcastDelaySpin, CatchUpSpin, CrowdSpin}) spin->SyncFromModel();
}

}  // namespace vistrel
