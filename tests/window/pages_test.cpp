// The operator window's pages: the tree and what it shows, the settings saved
// only when the selection leaves Setup, the viewer-limit field's rules, the
// log view and the queued error reports.
#include <QAction>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QStackedWidget>
#include <QTest>
#include <QTreeWidget>

#include "window/list_view.h"
#include "window/setup_page.h"
#include "window/spin_field_box.h"
#include "window_harness.h"

using namespace vistrel;
using namespace vistrel::testing;

class TestWindowPages : public QObject {
    Q_OBJECT

    // Starts the window, brings it to the front and opens its setup page.
    static bool ShowSetupPage(TMainWindow& w) {
        if (!w.Start()) return false;
        w.show();
        w.activateWindow();
        if (!QTest::qWaitForWindowActive(&w)) return false;
        Select(w, TMainWindow::SetupPage);
        return true;
    }
    static void Select(TMainWindow& w, int page) {
        Find<QTreeWidget>(w, "OptionTree")->setCurrentItem(w.NodeOfPage(page));
    }

private slots:
    void initTestCase() { signal(SIGPIPE, SIG_IGN); }

    void windowIsBuiltWithItsTreeMenusAndFields() {
        TWindowHarness h;
        TMainWindow& w = h.W();
        QCOMPARE(w.windowTitle(), QStringLiteral("Vistrel Server version 1.3"));
        QCOMPARE(w.size(), QSize(804, 484));

        // Every part is found by its field name, and that name is its own.
        for (const char* name :
             {"Splitter", "OptionTree", "InfoPageControl", "IntroSheet", "GameListSheet", "UserListSheet",
              "ServerLogSheet", "SetupSheet", "GamesListBox", "UserListListbox", "ServerLogMemo", "GameListPopup",
              "HaltTransfer1", "DeleteGame1", "UserListPopup", "KickUser1", "TrayIconPopup", "Shutdown1", "TrayIcon",
              "RemoteAdminPasswordEdit", "FilmDemoPasswordEdit", "WatchDemoPasswordEdit", "MaxClientsSpin",
              "ForwardServerIPEdit", "BroadcastDelaySpin", "CatchUpSpin", "CrowdSpin"})
            QVERIFY2(w.findChildren<QObject*>(QString::fromLatin1(name)).size() == 1, name);

        QTreeWidget* tree = Find<QTreeWidget>(w, "OptionTree");
        QTreeWidgetItem* root = tree->topLevelItem(0);
        QCOMPARE(tree->topLevelItemCount(), 1);
        QCOMPARE(root->text(0), QStringLiteral("Vistrel"));
        const QStringList children = {"Games List", "User List", "Server Log", "Setup"};
        QCOMPARE(root->childCount(), 4);
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(root->child(i)->text(0), children.at(i));
            QCOMPARE(w.NodeOfPage(i + 1), root->child(i));
        }
        const auto* gameListPopup = Find<QMenu>(w, "GameListPopup");
        QCOMPARE(gameListPopup->actions().at(0), Find<QAction>(w, "HaltTransfer1"));
        QCOMPARE(gameListPopup->actions().at(0)->text(), QStringLiteral("&Halt Transfer"));
        QCOMPARE(gameListPopup->actions().at(1), Find<QAction>(w, "DeleteGame1"));
        QCOMPARE(gameListPopup->actions().at(1)->text(), QStringLiteral("&Delete Game"));
        QCOMPARE(Find<QMenu>(w, "UserListPopup")->actions().at(0), Find<QAction>(w, "KickUser1"));
        QCOMPARE(Find<QAction>(w, "KickUser1")->text(), QStringLiteral("Kick User(s)"));
        QCOMPARE(Find<QMenu>(w, "TrayIconPopup")->actions().at(0), Find<QAction>(w, "Shutdown1"));
        QCOMPARE(Find<QAction>(w, "Shutdown1")->text(), QStringLiteral("Shutdown Vistrel"));

        // Which fields show, and which are masked.
        QVERIFY(!Find<QLineEdit>(w, "RemoteAdminPasswordEdit")->isHidden());
        QCOMPARE(Find<QLineEdit>(w, "RemoteAdminPasswordEdit")->echoMode(), QLineEdit::Password);
        QVERIFY(!Find<QLineEdit>(w, "WatchDemoPasswordEdit")->isHidden());
        QCOMPARE(Find<QLineEdit>(w, "WatchDemoPasswordEdit")->echoMode(), QLineEdit::Password);
        QVERIFY(!Find<QLineEdit>(w, "ForwardServerIPEdit")->isHidden());
        QCOMPARE(Find<QLineEdit>(w, "ForwardServerIPEdit")->echoMode(), QLineEdit::Normal);
        QVERIFY(!Find<QLineEdit>(w, "FilmDemoPasswordEdit")->isHidden());
        QCOMPARE(Find<QLineEdit>(w, "FilmDemoPasswordEdit")->echoMode(), QLineEdit::Password);

        // Nothing runs before Start(): the tree is collapsed and nothing listens.
        QVERIFY(!root->isExpanded());
        QVERIFY(w.isHidden());
        QVERIFY(w.Start());
        QVERIFY(root->isExpanded());
        QCOMPARE(w.ShownPage(), int(TMainWindow::IntroPage));
        QVERIFY(h.SenderPort() > 0 && h.ViewerPort() > 0);
        QVERIFY(w.isHidden());  // only the tray icon
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(tree->width(), 153);
    }

    void treeSelectionShowsItsPage() {
        TWindowHarness h;
        TMainWindow& w = h.W();
        QVERIFY(w.Start());
        const QWidget* pages[] = {Find<QWidget>(w, "IntroSheet"), Find<QWidget>(w, "GameListSheet"),
                                  Find<QWidget>(w, "UserListSheet"), Find<QWidget>(w, "ServerLogSheet"),
                                  Find<QWidget>(w, "SetupSheet")};
        const auto* stack = Find<QStackedWidget>(w, "InfoPageControl");
        for (int page : {3, 1, 4, 2, 0, 4}) {
            Select(w, page);
            QCOMPARE(stack->currentWidget(), pages[page]);
        }
    }

    void settingsAreSavedOnlyWhenLeavingSetup() {
        TWindowHarness h(true, RegistryFile("[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\r\n"
                                            "\"FilmDemoPasswordEdit\"=\"old\"\r\n"));
        TMainWindow& w = h.W();
        QVERIFY(w.Start());
        QLineEdit* edit = Find<QLineEdit>(w, "FilmDemoPasswordEdit");
        QCOMPARE(edit->text(), QStringLiteral("old"));

        Select(w, TMainWindow::GamesPage);
        Select(w, TMainWindow::SetupPage);
        edit->clear();
        QTest::keyClicks(edit, "secret");
        QCOMPARE(h.Form().SetupForEditing().FilmDemoPasswordEdit, std::string("secret"));  // the relay sees it at once
        QCOMPARE(h.StoredText("Vistrel Server\\Setup", "FilmDemoPasswordEdit"), std::string("old"));

        Select(w, TMainWindow::LogPage);  // leaving Setup saves
        QCOMPARE(h.StoredText("Vistrel Server\\Setup", "FilmDemoPasswordEdit"), std::string("secret"));
        QCOMPARE(h.Stored("Vistrel Server\\Setup", "MaxClientsSpin")->AsDword(), std::optional<uint32_t>(0));

        // Leaving any other node writes nothing.
        h.Form().SetupForEditing().FilmDemoPasswordEdit = "unsaved";
        Select(w, TMainWindow::GamesPage);
        Select(w, TMainWindow::IntroPage);
        QCOMPARE(h.StoredText("Vistrel Server\\Setup", "FilmDemoPasswordEdit"), std::string("secret"));

        // Edits while Setup is still selected are not kept by a shutdown.
        Select(w, TMainWindow::SetupPage);
        QCOMPARE(h.StoredText("Vistrel Server\\Setup", "FilmDemoPasswordEdit"), std::string("secret"));
        Find<TSetupPage>(w, "SetupSheet")->Refresh();
        QTest::keyClicks(edit, "2");
        Select(w, TMainWindow::SetupPage);  // selecting the same node changes nothing
        w.Shutdown1Click();
        QCOMPARE(h.StoredText("Vistrel Server\\Setup", "FilmDemoPasswordEdit"), std::string("secret"));
        QVERIFY(h.errors.isEmpty());
    }

    void remoteAdminPasswordIsEditedAndSaved() {
        TWindowHarness h(true, RegistryFile("[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\r\n"
                                            "\"RemoteAdminPasswordEdit\"=\"stored\"\r\n"));
        TMainWindow& w = h.W();
        QVERIFY(w.Start());
        QCOMPARE(h.Form().Setup().RemoteAdminPasswordEdit, std::string("stored"));  // loaded at start-up
        QLineEdit* edit = Find<QLineEdit>(w, "RemoteAdminPasswordEdit");
        QCOMPARE(edit->text(), QStringLiteral("stored"));
        QVERIFY(edit->isEnabled());
        Select(w, TMainWindow::SetupPage);
        edit->clear();
        QTest::keyClicks(edit, "remote");
        QCOMPARE(h.Form().Setup().RemoteAdminPasswordEdit, std::string("remote"));  // the HTTP side sees it at once
        Select(w, TMainWindow::LogPage);
        QCOMPARE(h.StoredText("Vistrel Server\\Setup", "RemoteAdminPasswordEdit"), std::string("remote"));
        QVERIFY(h.errors.isEmpty());
    }

    void filmingPasswordTakesAtMost16Characters() {
        TWindowHarness h;
        TMainWindow& w = h.W();
        QVERIFY(w.Start());
        Select(w, TMainWindow::SetupPage);
        QLineEdit* edit = Find<QLineEdit>(w, "FilmDemoPasswordEdit");
        QCOMPARE(edit->maxLength(), 16);
        QTest::keyClicks(edit, "0123456789abcdefXYZ");
        QCOMPARE(h.Form().Setup().FilmDemoPasswordEdit, std::string("0123456789abcdef"));
        // A sender offering those 16 characters logs in.
        TTestClient cam(h.SenderPort());
        QVERIFY(cam.WaitBytes(kGreetingSize));
        cam.Send(GameInfo("Cam", "0123456789abcdef"));
        QVERIFY(cam.WaitPacket(PacketType::ACKNAK));
        QTRY_COMPARE(h.Form().Console().Games().Column(0, 6), std::string_view("Cam"));
        QVERIFY(!cam.Closed());
        QVERIFY(h.errors.isEmpty());
    }

    void aStoredFilmingPasswordTooLongForAnySenderIsReportedAtStartUp() {
        TWindowHarness h(true, RegistryFile("[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\r\n"
                                            "\"FilmDemoPasswordEdit\"=\"0123456789abcdefg\"\r\n"));
        QVERIFY(h.W().Start());
        QTRY_COMPARE(h.errors.size(), 1);
        QCOMPARE(h.errors.at(0), QStringLiteral("The filming password in the settings has 17 characters; senders "
                                                "send at most 16, so no sender can log in."));
        // The relay keeps the stored value; nothing is cut behind the operator's back.
        QCOMPARE(h.Form().Setup().FilmDemoPasswordEdit, std::string("0123456789abcdefg"));

        // Sixteen characters are fine.
        TWindowHarness fits(true, RegistryFile("[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\r\n"
                                               "\"FilmDemoPasswordEdit\"=\"0123456789abcdef\"\r\n"));
        QVERIFY(fits.W().Start());
        QTest::qWait(50);
        QVERIFY(fits.errors.isEmpty());
    }

    void maxClientsSpinFollowsItsRules() {
        TWindowHarness h;
        TMainWindow& w = h.W();
        QVERIFY(ShowSetupPage(w));
        TSpinFieldBox* spin = Find<TSpinFieldBox>(w, "MaxClientsSpin");
        int32_t& limit = TMainFormProbe::DemoViewers(h.Form()).MaxClients;
        spin->setFocus();
        QCOMPARE(spin->Text(), QStringLiteral("0"));

        // Letters and blanks are refused; digits go in and set the limit.
        QTest::keyClicks(spin, "1a2 ");
        QCOMPARE(spin->Text(), QStringLiteral("012"));
        QCOMPARE(limit, 12);

        // Typed beyond the range: applies as typed, clamped on focus loss.
        QTest::keyClicks(spin, "3456");
        QCOMPARE(spin->Text(), QStringLiteral("0123456"));
        QCOMPARE(limit, 123456);
        Find<QLineEdit>(w, "FilmDemoPasswordEdit")->setFocus();
        QTRY_COMPARE(spin->Text(), QStringLiteral("99999"));
        QCOMPARE(limit, 99999);

        // Clearing leaves "0" and removes the limit.
        spin->setFocus();
        QTest::keyClick(spin, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(spin, Qt::Key_Backspace);
        QCOMPARE(spin->Text(), QStringLiteral("0"));
        QCOMPARE(limit, 0);

        // Arrows step by 1, Page Up/Down by 10, never below 0.
        QTest::keyClick(spin, Qt::Key_Up);
        QCOMPARE(limit, 1);
        QTest::keyClick(spin, Qt::Key_PageUp);
        QCOMPARE(limit, 11);
        QTest::keyClick(spin, Qt::Key_Down);
        QCOMPARE(spin->Text(), QStringLiteral("10"));
        QCOMPARE(limit, 10);
        QTest::keyClick(spin, Qt::Key_PageDown);
        QTest::keyClick(spin, Qt::Key_PageDown);
        QCOMPARE(spin->Text(), QStringLiteral("0"));
        QCOMPARE(limit, 0);

        // A minus sign typed in front makes a negative number, which is
        // brought to 0 when the field is left.
        QTest::keyClick(spin, Qt::Key_Home);
        QTest::keyClicks(spin, "-5");
        QCOMPARE(limit, -50);
        Find<QTreeWidget>(w, "OptionTree")->setFocus();
        QTRY_COMPARE(spin->Text(), QStringLiteral("0"));
        QCOMPARE(limit, 0);
    }

    void storedViewerLimitIsBroughtIntoRange() {
        TWindowHarness h(true, RegistryFile("[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\r\n"
                                            "\"MaxClientsSpin\"=dword:00030d40\r\n"));  // 200000
        QVERIFY(h.W().Start());
        QCOMPARE(Find<TSpinFieldBox>(h.W(), "MaxClientsSpin")->Text(), QStringLiteral("99999"));
        QCOMPARE(TMainFormProbe::DemoViewers(h.Form()).MaxClients, 99999);
    }

    void liveFinalSpinFieldsKeepTheirOwnRangesAndAreSaved() {
        TWindowHarness h;
        TMainWindow& w = h.W();
        QVERIFY(ShowSetupPage(w));
        auto* catchUp = Find<TSpinFieldBox>(w, "CatchUpSpin");
        QCOMPARE(Find<QLabel>(w, "BroadcastDelaySpinLabel")->text(), QStringLiteral("Broadcast Delay :"));
        // Edits keep to the field's own range, 1..16.
        catchUp->setFocus();
        QTest::keyClicks(catchUp, "0");  // "10"
        QTest::keyClick(catchUp, Qt::Key_PageUp);
        QCOMPARE(catchUp->Text(), QStringLiteral("16"));
        QCOMPARE(h.Form().Setup().CatchUpSpin.Value(), 16);
        // A change made elsewhere (the remote admin) shows at once, and is saved with the page.
        h.Form().SetupForEditing().BroadcastDelaySpin.SetValue(90);
        QCOMPARE(Find<TSpinFieldBox>(w, "BroadcastDelaySpin")->Text(), QStringLiteral("90"));
        Select(w, TMainWindow::LogPage);
        QCOMPARE(h.Stored("Vistrel Server\\Setup", "BroadcastDelaySpin")->AsDword(), std::optional<uint32_t>(90));
    }

    void viewerLimitRefusesTheViewerBeyondIt() {
        TWindowHarness h;
        TMainWindow& w = h.W();
        QVERIFY(ShowSetupPage(w));
        TSpinFieldBox* spin = Find<TSpinFieldBox>(w, "MaxClientsSpin");
        spin->setFocus();
        QTest::keyClick(spin, Qt::Key_Up);  // a limit of 1

        TTestClient first(h.ViewerPort());
        QVERIFY(first.WaitBytes(19));
        QCOMPARE(first.Greeting(), std::string("Welcome to TcpSrv\r\n"));
        TTestClient second(h.ViewerPort());
        QVERIFY(second.WaitClosed());
        QCOMPARE(std::string(second.Unread()), std::string("Sorry, too many clients\r\n"));
        QVERIFY(!first.Closed());
    }

    void logViewShowsEveryLineAsLatin1() {
        TWindowHarness h;
        QVERIFY(h.W().Start());
        QPlainTextEdit* memo = Find<QPlainTextEdit>(h.W(), "ServerLogMemo");
        h.Form().ServerLog(false, "first");
        QTRY_VERIFY(memo->toPlainText().endsWith(QStringLiteral("first")));
        // The operator may clear the view; later lines are still appended.
        memo->clear();
        h.Form().ServerLog(false, "caf\xE9 line");
        h.Form().ServerLog(true, "debug line, never kept");
        h.Form().ServerLog(false, "last");
        QTRY_VERIFY(memo->toPlainText().endsWith(QStringLiteral("last")));
        const QStringList lines = memo->toPlainText().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines.at(0).endsWith(QString::fromUtf8("caf\u00e9 line")));
        QCOMPARE(lines.at(0).left(20).size(), 20);  // "yyyy/mm/dd hh:mm:ss "
        QVERIFY(!memo->isReadOnly());
    }

    void errorsAreShownAfterTheHandlerReturns() {
        // A settings file that cannot be read is never written: saving fails.
        TWindowHarness h(true, "this is not a settings file\n");
        TMainWindow& w = h.W();
        QVERIFY(w.Start());
        Select(w, TMainWindow::SetupPage);
        Select(w, TMainWindow::GamesPage);
        QVERIFY(h.errors.isEmpty());  // queued, not shown inside the handler
        QCOMPARE(w.ShownPage(), int(TMainWindow::GamesPage));  // the change went ahead
        QTRY_COMPARE(h.errors.size(), 1);
    }

    void listViewsKeepRowsAsTheRelayAddsThem() {
        TWindowHarness h;
        TMainWindow& w = h.W();
        QVERIFY(w.Start());
        TConsoleLists& lists = TMainFormProbe::Console(h.Form());
        lists.AddViewerRow(nullptr, "10.0.0.9");
        lists.AddViewerRow(nullptr, "10.0.0.8");
        lists.Users().SetColumn(1, 0, "semi;colon\xE9");
        TListView* list = Find<TListView>(w, "UserListListbox");
        QAbstractItemModel* model = list->model();
        QCOMPARE(model->rowCount(), 2);
        QCOMPARE(model->columnCount(), 3);
        QCOMPARE(model->index(0, 0).data().toString(), QStringLiteral("unknown"));
        // A ";" in a name is a column break; the piece beyond the last
        // section is not drawn.
        QCOMPARE(model->index(1, 0).data().toString(), QStringLiteral("semi"));
        QCOMPARE(model->index(1, 1).data().toString(), QString::fromUtf8("colon\u00e9"));
        QCOMPARE(model->index(1, 2).data().toString(), QStringLiteral("10.0.0.8"));
        QVERIFY(!list->header()->sectionsClickable());
        QCOMPARE(list->selectionMode(), QAbstractItemView::ExtendedSelection);

        list->SelectRows({1});
        lists.Users().Delete(0);
        QCOMPARE(model->rowCount(), 1);
        QCOMPARE(list->SelectedRows(), std::vector<int32_t>{0});
    }

    void rightClickKeepsTheSelection() {
        TWindowHarness h;
        TMainWindow& w = h.W();
        QVERIFY(w.Start());
        w.show();
        Select(w, TMainWindow::UsersPage);
        for (const char* ip : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) TMainFormProbe::Console(h.Form()).AddViewerRow(nullptr, ip);
        TListView* list = Find<TListView>(w, "UserListListbox");
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        list->SelectRows({0, 2});
        const QPoint onRow1 = list->visualRect(list->model()->index(1, 0)).center();
        QTest::mouseClick(list->viewport(), Qt::RightButton, {}, onRow1);
        QCOMPARE(list->SelectedRows(), (std::vector<int32_t>{0, 2}));
        QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, onRow1, list->viewport()->mapToGlobal(onRow1));
        QCoreApplication::sendEvent(list->viewport(), &menuEvent);
        QMenu* popup = Find<QMenu>(w, "UserListPopup");
        QTRY_VERIFY(popup->isVisible());
        popup->close();
        QCOMPARE(list->SelectedRows(), (std::vector<int32_t>{0, 2}));

        // A plain click selects one row, Ctrl-click adds one.
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, onRow1);
        QCOMPARE(list->SelectedRows(), std::vector<int32_t>{1});
        const QPoint onRow2 = list->visualRect(list->model()->index(2, 0)).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::ControlModifier, onRow2);
        QCOMPARE(list->SelectedRows(), (std::vector<int32_t>{1, 2}));
    }
};

QTEST_MAIN(TestWindowPages)
#include "pages_test.moc"
