// TMainWindow: the operator window of vistrel-server, and the relay frame's
// front end. It owns the relay frame (TMainForm) and the bridge that runs the
// relay's event loop from Qt's, and draws what the frame keeps: the games
// list, the user list, the log lines and the setup fields.
//
// Built hidden. The constructor builds the widgets and loads the two list
// layouts; main() then makes the single-instance check and, for the first
// copy only, calls Start() (tray icon, then the frame's start-up). Closing or
// minimising hides the window to the tray; "Shutdown Vistrel" ends the run:
// FormDestroy, then the list layouts are saved, then ShutDown is emitted for
// main() to leave its loop. Where the desktop has no notification area the
// window is shown at start-up and closing it asks whether to shut down,
// since a hidden window could not be reached again.
//
// Error reports (start-up, timer ticks, commands, saving settings) are queued
// and shown after the handler that raised them has returned: a message box
// runs a nested event loop and must never open inside a socket or timer
// handler. One thread: everything runs on the GUI thread.
#pragma once

#include <QMainWindow>
#include <QString>

#include <deque>
#include <exception>
#include <functional>
#include <memory>

#include "relay/main_form.h"

class QAction;
class QMenu;
class QPlainTextEdit;
class QStackedWidget;
class QSystemTrayIcon;
class QTreeWidget;
class QTreeWidgetItem;
class QSplitter;

namespace vistrel {

class TListView;
class TLoopBridge;
class TRegistryStore;
class TSetupPage;

struct TWindowOptions {
    TListenSettings Listen;
    // The settings store (not owned); null keeps no settings and no layouts.
    TRegistryStore* Store = nullptr;
    // What the relay may hold in memory (relay/relay_limits.h); the default
    // is no limit.
    TMemoryBudget MemoryBudget;
    // Recording to disk; the default records nothing.
    TRecorderOptions Recording;
    // Whether the desktop has a notification area to hide in.
    bool TrayAvailable = true;
    // How an error reaches the operator; the default is a message box.
    std::function<void(const QString& message, const QString& detail)> ShowError;
    // Asked when the window is closed while there is no tray; the default is
    // a question box. True shuts the relay down.
    std::function<bool()> ConfirmShutdown;
};

class TMainWindow : public QMainWindow, public TFrontEnd {
    Q_OBJECT
public:
    // Page codes carried by the navigation tree's nodes.
    enum TPageCode { IntroPage = 0, GamesPage = 1, UsersPage = 2, LogPage = 3, SetupPage = 4 };

    TMainWindow(TEventLoop& loop, TWindowOptions options, QWidget* parent = nullptr);
    ~TMainWindow() override;

    // The first copy's start-up: the tray icon, then the frame's FormCreate.
    // False when start-up stopped early (the error has been reported).
    bool Start();
    bool IsShutDown() const noexcept { return shut_down_; }
    bool TrayAvailable() const noexcept { return options_.TrayAvailable; }

    TMainForm& Form() const noexcept { return *form_; }
    TLoopBridge& Bridge() const noexcept { return *bridge_; }

    // --- The frame's front end -------------------------------------------------
    void ShowIntroPage() override;
    void ExpandOptionTree() override;
    void ReportError(const std::exception& e) override;

    // --- Handlers ---------------------------------------------------------------
    // Before the tree's selection moves away from `node`: leaving the Setup
    // node saves the settings.
    void OptionTreeChanging(QTreeWidgetItem* node);
    // After it moved: shows the new node's page.
    void OptionTreeChange(QTreeWidgetItem* node);
    void HaltTransfer1Click();
    void DeleteGame1Click();
    void KickUser1Click();
    void Shutdown1Click();
    void TrayIconDblClick();

    // The page shown (a page code), and the tree node carrying a code.
    int ShownPage() const;
    QTreeWidgetItem* NodeOfPage(int pageCode) const;
    // Shows the window from the tray (also asked by a second copy).
    void ShowFromTray();

    // The list layouts: loaded while the window is built, saved at shutdown.
    void LoadLayouts();
    void SaveLayouts();

signals:
    // Shutdown has run (FormDestroy and the layout save); the program ends.
    void ShutDown();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void BuildTree();
    void BuildPages();
    QWidget* BuildIntroSheet();
    QWidget* BuildListSheet(const char* name, TListView* list);
    QWidget* BuildLogSheet();
    void BuildMenus();
    void BuildTray();
    void ShowPage(int pageCode);
    void OnLogChange(const TListChange& change);
    void FlushLogView();
    template <typename Command>
    void RunCommand(Command&& command);
    void ShowPendingErrors();

    // --- Parts ---------------------------------------------------------------------
    // Named after the parts, not in the snake_case of other private members:
    // each part's Qt object name is its field name (the setup page's fields
    // too: "FilmDemoPasswordEdit", "MaxClientsSpin", ...), and tests and the
    // screenshot writer find the parts by those names with findChild().
    QSplitter* Splitter = nullptr;
    QTreeWidget* OptionTree = nullptr;
    QStackedWidget* InfoPageControl = nullptr;
    QWidget* IntroSheet = nullptr;
    QWidget* GameListSheet = nullptr;
    QWidget* UserListSheet = nullptr;
    QWidget* ServerLogSheet = nullptr;
    TSetupPage* SetupSheet = nullptr;
    TListView* GamesListBox = nullptr;
    TListView* UserListListbox = nullptr;
    QPlainTextEdit* ServerLogMemo = nullptr;
    QMenu* GameListPopup = nullptr;
    QAction* HaltTransfer1 = nullptr;
    QAction* DeleteGame1 = nullptr;
    QMenu* UserListPopup = nullptr;
    QAction* KickUser1 = nullptr;
    QMenu* TrayIconPopup = nullptr;
    QAction* Shutdown1 = nullptr;
    QSystemTrayIcon* TrayIcon = nullptr;

    TWindowOptions options_;
    std::unique_ptr<TMainForm> form_;
    TLoopBridge* bridge_ = nullptr;
    int log_subscription_ = 0;
    int64_t log_shown_ = 0;  // number of the next log line to draw
    bool log_flush_pending_ = false;
    bool started_ = false;
    bool shut_down_ = false;

    struct PendingError {
        QString message;
        QString detail;
    };
    std::deque<PendingError> pending_errors_;
    bool showing_errors_ = false;
};

}  // namespace vistrel
