#include "window/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSplitter>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

#include "settings/list_layout.h"
#include "settings/registry_store.h"
#include "window/artwork.h"
#include "window/list_view.h"
#include "window/loop_bridge.h"
#include "window/setup_page.h"

namespace vistrel {

namespace {

constexpr int kInitialWidth = 804;
constexpr int kInitialHeight = 484;
constexpr int kTreeWidth = 153;

constexpr int kPageCodeRole = Qt::UserRole;
// A burst of identical errors (a tick failing every half second while a box
// is open) must not pile up without end.
constexpr size_t kMaxPendingErrors = 20;

const QString kCaption = QStringLiteral("Vistrel Server version 1.3");

std::array<TSpinField*, 4> SpinFields(TSetupFields& fields) {
    return {&fields.MaxClientsSpin, &fields.BroadcastDelaySpin, &fields.CatchUpSpin, &fields.CrowdSpin};
}

QString FromLatin1(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

TMainWindow::TMainWindow(TEventLoop& loop, TWindowOptions options, QWidget* parent)
    : QMainWindow(parent), options_(std::move(options)) {
    if (!options_.ShowError) {
        options_.ShowError = [this](const QString& message, const QString& detail) {
            QMessageBox box(QMessageBox::Critical, kCaption, message, QMessageBox::Ok, isVisible() ? this : nullptr);
            if (!detail.isEmpty()) box.setInformativeText(detail);
            box.exec();
        };
    }
    if (!options_.ConfirmShutdown) {
        options_.ConfirmShutdown = [this] {
            return QMessageBox::question(this, kCaption,
                                         QStringLiteral("There is no notification area to keep the relay in "
                                                        "while its window is closed.\n\nShut the relay down?"),
                                         QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
        };
    }

    form_ = std::make_unique<TMainForm>(loop, *this, options_.Store, options_.Listen);
    form_->SetMemoryBudget(options_.MemoryBudget);
    form_->SetRecording(options_.Recording);
    bridge_ = new TLoopBridge(loop, this);

    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(kCaption);
    setWindowIcon(ProgramIcon());
    resize(kInitialWidth, kInitialHeight);

    Splitter = new QSplitter(Qt::Horizontal, this);
    Splitter->setObjectName(QStringLiteral("Splitter"));
    Splitter->setChildrenCollapsible(false);
    BuildTree();
    BuildPages();
    Splitter->addWidget(OptionTree);
    Splitter->addWidget(InfoPageControl);
    Splitter->setStretchFactor(0, 0);
    Splitter->setStretchFactor(1, 1);
    Splitter->setSizes({kTreeWidth, kInitialWidth - kTreeWidth});
    setCentralWidget(Splitter);
    BuildMenus();
    BuildTray();

    // The spin fields: the frame acts on each change (the viewer limit becomes
    // the viewer server's client limit); the window also shows the new text,
    // whoever made the change (the settings, the remote admin).
    for (TSpinField* field : SpinFields(form_->SetupForEditing())) {
        auto apply = std::move(field->OnChange);
        field->OnChange = [this, apply = std::move(apply)](int value) {
            if (apply) apply(value);
            if (SetupSheet) SetupSheet->SyncSpinFields();
        };
    }

    LoadLayouts();
}

TMainWindow::~TMainWindow() {
    bridge_->Suspend();
    form_->Console().Log().Listeners().Unsubscribe(log_subscription_);
    for (TSpinField* field : SpinFields(form_->SetupForEditing())) field->OnChange = nullptr;
    // Every view of the frame's data goes before the frame does: the pages
    // read the setup fields and the lists up to their last event (closing
    // the window moves the focus, and the spin field clamps on focus loss).
    std::unique_ptr<QWidget>(takeCentralWidget()).reset();
    Splitter = nullptr;
    OptionTree = nullptr;
    InfoPageControl = nullptr;
    IntroSheet = GameListSheet = UserListSheet = ServerLogSheet = nullptr;
    SetupSheet = nullptr;
    GamesListBox = UserListListbox = nullptr;
    ServerLogMemo = nullptr;
    form_.reset();
}

// --- Building ------------------------------------------------------------------

void TMainWindow::BuildTree() {
    OptionTree = new QTreeWidget(this);
    OptionTree->setObjectName(QStringLiteral("OptionTree"));
    OptionTree->setHeaderHidden(true);
    OptionTree->setColumnCount(1);
    OptionTree->setSelectionMode(QAbstractItemView::SingleSelection);
    OptionTree->setMinimumWidth(40);

    auto* root = new QTreeWidgetItem(OptionTree, {QStringLiteral("Vistrel")});
    root->setData(0, kPageCodeRole, IntroPage);
    const std::pair<const char*, int> children[] = {
        {"Games List", GamesPage}, {"User List", UsersPage}, {"Server Log", LogPage}, {"Setup", SetupPage}};
    for (const auto& [text, code] : children) {
        auto* node = new QTreeWidgetItem(root, {QString::fromLatin1(text)});
        node->setData(0, kPageCodeRole, code);
    }
    connect(OptionTree, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current, QTreeWidgetItem* previous) {
                OptionTreeChanging(previous);
                OptionTreeChange(current);
            });
}

void TMainWindow::BuildPages() {
    InfoPageControl = new QStackedWidget(this);
    InfoPageControl->setObjectName(QStringLiteral("InfoPageControl"));

    IntroSheet = BuildIntroSheet();
    GamesListBox = new TListView(form_->Console().Games(), InitialGamesListSections());
    GamesListBox->setObjectName(QStringLiteral("GamesListBox"));
    GameListSheet = BuildListSheet("GameListSheet", GamesListBox);
    UserListListbox = new TListView(form_->Console().Users(), InitialUserListSections());
    UserListListbox->setObjectName(QStringLiteral("UserListListbox"));
    UserListSheet = BuildListSheet("UserListSheet", UserListListbox);
    ServerLogSheet = BuildLogSheet();
    SetupSheet = new TSetupPage(form_->SetupForEditing());

    // Stack index = page code.
    InfoPageControl->addWidget(IntroSheet);
    InfoPageControl->addWidget(GameListSheet);
    InfoPageControl->addWidget(UserListSheet);
    InfoPageControl->addWidget(ServerLogSheet);
    InfoPageControl->addWidget(SetupSheet);
    InfoPageControl->setCurrentWidget(IntroSheet);
}

QWidget* TMainWindow::BuildIntroSheet() {
    auto* sheet = new QWidget;
    sheet->setObjectName(QStringLiteral("IntroSheet"));
    auto* layout = new QVBoxLayout(sheet);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* picture = new QLabel(sheet);
    picture->setObjectName(QStringLiteral("SplashImage"));
    picture->setPixmap(SplashPicture());
    picture->setAlignment(Qt::AlignCenter);
    picture->setMinimumSize(1, 1);
    picture->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    layout->addWidget(picture, 1);

    auto* bar = new QFrame(sheet);
    bar->setObjectName(QStringLiteral("CreditsBar"));
    bar->setFrameShape(QFrame::StyledPanel);
    bar->setAutoFillBackground(true);
    QPalette barPalette = bar->palette();
    barPalette.setColor(QPalette::Window, QColor(14, 32, 58));
    barPalette.setColor(QPalette::WindowText, Qt::white);
    bar->setPalette(barPalette);
    auto* barLayout = new QHBoxLayout(bar);
    barLayout->setContentsMargins(8, 4, 8, 4);
    auto* credits = new QLabel(QStringLiteral("Vistrel Server 1.3 \u2014 written by the Vistrel developers"), bar);
    credits->setObjectName(QStringLiteral("CreditsLabel"));
    QFont bold = credits->font();
    bold.setBold(true);
    credits->setFont(bold);
    credits->setAlignment(Qt::AlignCenter);
    barLayout->addWidget(credits);
    layout->addWidget(bar);
    return sheet;
}

QWidget* TMainWindow::BuildListSheet(const char* name, TListView* list) {
    auto* sheet = new QWidget;
    sheet->setObjectName(QString::fromLatin1(name));
    auto* layout = new QVBoxLayout(sheet);
    layout->setContentsMargins(0, 0, 0, 0);
    list->setParent(sheet);
    layout->addWidget(list);
    return sheet;
}

QWidget* TMainWindow::BuildLogSheet() {
    auto* sheet = new QWidget;
    sheet->setObjectName(QStringLiteral("ServerLogSheet"));
    auto* layout = new QVBoxLayout(sheet);
    layout->setContentsMargins(0, 0, 0, 0);
    ServerLogMemo = new QPlainTextEdit(sheet);
    ServerLogMemo->setObjectName(QStringLiteral("ServerLogMemo"));
    QFont fixed(QStringLiteral("Courier New"));
    fixed.setStyleHint(QFont::TypeWriter);
    fixed.setFixedPitch(true);
    fixed.setPointSize(8);
    ServerLogMemo->setFont(fixed);
    ServerLogMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    ServerLogMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    ServerLogMemo->setUndoRedoEnabled(false);
    // The view keeps as many lines as the log does.
    ServerLogMemo->setMaximumBlockCount(static_cast<int>(TLogLines::kKeptLines));
    layout->addWidget(ServerLogMemo);

    const TLogLines& log = form_->Console().Log();
    log_subscription_ = log.Listeners().Subscribe([this](const TListChange& change) { OnLogChange(change); });
    FlushLogView();
    return sheet;
}

void TMainWindow::BuildMenus() {
    GameListPopup = new QMenu(this);
    GameListPopup->setObjectName(QStringLiteral("GameListPopup"));
    HaltTransfer1 = GameListPopup->addAction(QStringLiteral("&Halt Transfer"));
    HaltTransfer1->setObjectName(QStringLiteral("HaltTransfer1"));
    DeleteGame1 = GameListPopup->addAction(QStringLiteral("&Delete Game"));
    DeleteGame1->setObjectName(QStringLiteral("DeleteGame1"));
    connect(HaltTransfer1, &QAction::triggered, this, &TMainWindow::HaltTransfer1Click);
    connect(DeleteGame1, &QAction::triggered, this, &TMainWindow::DeleteGame1Click);
    GamesListBox->SetPopupMenu(GameListPopup);

    UserListPopup = new QMenu(this);
    UserListPopup->setObjectName(QStringLiteral("UserListPopup"));
    KickUser1 = UserListPopup->addAction(QStringLiteral("Kick User(s)"));
    KickUser1->setObjectName(QStringLiteral("KickUser1"));
    connect(KickUser1, &QAction::triggered, this, &TMainWindow::KickUser1Click);
    UserListListbox->SetPopupMenu(UserListPopup);

    TrayIconPopup = new QMenu(this);
    TrayIconPopup->setObjectName(QStringLiteral("TrayIconPopup"));
    Shutdown1 = TrayIconPopup->addAction(QStringLiteral("Shutdown Vistrel"));
    Shutdown1->setObjectName(QStringLiteral("Shutdown1"));
    connect(Shutdown1, &QAction::triggered, this, &TMainWindow::Shutdown1Click);
}

void TMainWindow::BuildTray() {
    TrayIcon = new QSystemTrayIcon(ProgramIcon(), this);
    TrayIcon->setObjectName(QStringLiteral("TrayIcon"));
    TrayIcon->setContextMenu(TrayIconPopup);
    connect(TrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick) TrayIconDblClick();
    });
}

// --- Start and end -------------------------------------------------------------

bool TMainWindow::Start() {
    if (started_) return form_->Serving();
    started_ = true;
    if (options_.TrayAvailable) TrayIcon->show();
    const bool serving = form_->FormCreate();
    SetupSheet->Refresh();
    bridge_->Rearm();
    if (!options_.TrayAvailable) show();
    return serving;
}

void TMainWindow::Shutdown1Click() {
    if (shut_down_) return;
    shut_down_ = true;
    // Nothing of the relay runs any more: the registry goes next.
    bridge_->Suspend();
    form_->FormDestroy();
    SaveLayouts();
    TrayIcon->hide();
    hide();
    emit ShutDown();
}

void TMainWindow::LoadLayouts() {
    if (!options_.Store) return;
    for (TListView* list : {GamesListBox, UserListListbox}) {
        THeaderSections sections = list->Sections();
        LoadListLayout(*options_.Store, list == GamesListBox ? kGamesListLayoutValue : kUserListLayoutValue,
                       sections);
        list->SetSections(sections);
    }
}

void TMainWindow::SaveLayouts() {
    if (!options_.Store) return;
    for (TListView* list : {GamesListBox, UserListListbox}) {
        try {
            SaveListLayout(*options_.Store,
                           list == GamesListBox ? kGamesListLayoutValue : kUserListLayoutValue, list->Sections());
        } catch (const std::exception& e) {
            // The program is ending: there is no one left to show a box to.
            std::fprintf(stderr, "vistrel-server: column widths not saved: %s\n", e.what());
        }
    }
}

// --- The frame's front end -----------------------------------------------------

void TMainWindow::ShowIntroPage() { ShowPage(IntroPage); }

void TMainWindow::ExpandOptionTree() { OptionTree->expandAll(); }

void TMainWindow::ReportError(const std::exception& e) {
    PendingError error{QString::fromLatin1(e.what()), {}};
    if (const auto* registryError = dynamic_cast<const ERegistryException*>(&e))
        error.detail = QString::fromLocal8Bit(registryError->Detail());
    if (pending_errors_.size() >= kMaxPendingErrors) return;
    pending_errors_.push_back(std::move(error));
    // Shown once the handler that raised it has returned.
    QTimer::singleShot(0, this, &TMainWindow::ShowPendingErrors);
}

void TMainWindow::ShowPendingErrors() {
    if (showing_errors_) return;  // the box already open takes the rest in turn
    showing_errors_ = true;
    while (!pending_errors_.empty()) {
        PendingError error = std::move(pending_errors_.front());
        pending_errors_.pop_front();
        options_.ShowError(error.message, error.detail);
    }
    showing_errors_ = false;
}

// --- Pages -----------------------------------------------------------------------

void TMainWindow::OptionTreeChanging(QTreeWidgetItem* node) {
    if (!node || node->data(0, kPageCodeRole).toInt() != SetupPage) return;
    try {
        form_->SaveSettings();
    } catch (const std::exception& e) {
        // The page change goes ahead all the same.
        ReportError(e);
    }
}

void TMainWindow::OptionTreeChange(QTreeWidgetItem* node) {
    if (!node) return;
    ShowPage(node->data(0, kPageCodeRole).toInt());
}

void TMainWindow::ShowPage(int pageCode) {
    if (pageCode < GamesPage || pageCode > SetupPage) pageCode = IntroPage;
    InfoPageControl->setCurrentIndex(pageCode);
}

int TMainWindow::ShownPage() const { return InfoPageControl->currentIndex(); }

QTreeWidgetItem* TMainWindow::NodeOfPage(int pageCode) const {
    QTreeWidgetItem* root = OptionTree->topLevelItem(0);
    if (!root) return nullptr;
    if (root->data(0, kPageCodeRole).toInt() == pageCode) return root;
    for (int i = 0; i < root->childCount(); ++i)
        if (root->child(i)->data(0, kPageCodeRole).toInt() == pageCode) return root->child(i);
    return nullptr;
}

void TMainWindow::OnLogChange(const TListChange& change) {
    if (change.Kind != TListChange::TKind::LineAppended || log_flush_pending_) return;
    // Lines written in one burst (a flood of connections) are drawn together
    // once the relay's handlers have returned: one append per burst instead
    // of a relayout of the view per line.
    log_flush_pending_ = true;
    QTimer::singleShot(0, this, &TMainWindow::FlushLogView);
}

void TMainWindow::FlushLogView() {
    log_flush_pending_ = false;
    if (!form_ || !ServerLogMemo) return;
    const TLogLines& log = form_->Console().Log();
    if (log_shown_ >= log.Count()) return;
    // Lines appended faster than the view drew them may be gone already.
    log_shown_ = std::max(log_shown_, log.First());
    QString text;
    for (; log_shown_ < log.Count(); ++log_shown_) {
        if (!text.isEmpty()) text += QLatin1Char('\n');
        text += FromLatin1(log.Line(log_shown_));
    }
    ServerLogMemo->appendPlainText(text);
}

// --- Commands ----------------------------------------------------------------------

template <typename Command>
void TMainWindow::RunCommand(Command&& command) {
    if (shut_down_) return;
    try {
        command();
    } catch (const std::exception& e) {
        ReportError(e);
    }
    // Closed connections have their disconnect notices queued on the loop.
    bridge_->Rearm();
}

void TMainWindow::HaltTransfer1Click() {
    RunCommand([this] { form_->HaltTransfer1Click(GamesListBox->SelectedRows()); });
}

void TMainWindow::DeleteGame1Click() {
    RunCommand([this] { form_->DeleteGame1Click(GamesListBox->SelectedRows()); });
}

void TMainWindow::KickUser1Click() {
    RunCommand([this] { form_->KickUser1Click(UserListListbox->SelectedRows()); });
}

// --- Tray and visibility -------------------------------------------------------------

void TMainWindow::TrayIconDblClick() { ShowFromTray(); }

void TMainWindow::ShowFromTray() {
    if (shut_down_) return;
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void TMainWindow::closeEvent(QCloseEvent* event) {
    if (shut_down_) {
        event->accept();
        return;
    }
    event->ignore();
    if (options_.TrayAvailable) {
        hide();  // the relay goes on; the tray icon brings the window back
        return;
    }
    if (options_.ConfirmShutdown()) QTimer::singleShot(0, this, &TMainWindow::Shutdown1Click);
}

void TMainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !options_.TrayAvailable) return;
    // Minimised first as usual, then hidden to the tray once that is done.
    if (windowState() & Qt::WindowMinimized) QTimer::singleShot(0, this, [this] {
            if (windowState() & Qt::WindowMinimized) hide();
        });
}

}  // namespace vistrel
