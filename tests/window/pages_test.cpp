// The operator window's pages: the tree and what it shows, the settings saved
// only when the selection leaves Setup, the viewer-limit field's rules, the
// log view and the queued error reports.
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QStackedWidget>
#include <QTest>
#include <QTreeWidget>

#include "window/list_view.h"
#include "window/max_clients_spin.h"
#include "window/setup_page.h"
#include "window_harness.h"

using namespace vistrel;
using namespace vistrel::testing;

class TestWindowPages : public QObject {
    Q_OBJECT

    static void Select(TMainWindow& w, int page) { w.OptionTree->setCurrentItem(w.NodeOfPage(page)); }

private slots:
    void initTestCase() { signal(SIGPIPE, SIG_IGN); }

    void windowIsBuiltAsDefined() {
        TWindowHarness h;
        TMainWindow& w = h.W();
        QCOMPARE(w.windowTitle(), QStringLiteral("Vistrel Server version 1.3"));
        QCOMPARE(w.size(), QSize(804, 484));

        QTreeWidgetItem* root = w.OptionTree->topLevelItem(0);
        QCOMPARE(w.OptionTree->topLevelItemCount(), 1);
        QCOMPARE(root->text(0), QStringLiteral("Vistrel"));
        const QStringList children = {"Games List", "User List", "Server Log", "Setup"};
        QCOMPARE(root->childCount(), 4);
        for (int i = 0; i < 4; ++i) {
            QCOMPARE(root->child(i)->text(0), children.at(i));
            QCOMPARE(w.NodeOfPage(i + 1), root->child(i));
        }
        QCOMPARE(w.GameListPopup->actions().at(0)->text(), QStringLiteral("&Halt Transfer"));
        QCOMPARE(w.GameListPopup->actions().at(1)->text(), QStringLiteral("&Delete Game"));
        QCOMPARE(w.UserListPopup->actions().at(0)->text(), QStringLiteral("Kick User(s)"));
        QCOMPARE(w.TrayIconPopup->actions().at(0)->text(), QStringLiteral("Shutdown Vistrel"));

        // Hidden fields exist for loading and saving but are never shown.
        QVERIFY(w.SetupSheet->RemoteAdminPasswordEdit->isHidden());
        QVERIFY(w.SetupSheet->WatchDemoPasswordEdit->isHidden());
        QVERIFY(w.SetupSheet->ForwardServerIPEdit->isHidden());
        QVERIFY(!w.SetupSheet->FilmDemoPasswordEdit->isHidden());
        QCOMPARE(w.SetupSheet->FilmDemoPasswordEdit->echoMode(), QLineEdit::Password);

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
        QCOMPARE(w.OptionTree->width(), 153);
    }

    void treeSelectionShowsItsPage() {
        TWindowHarness h;
        TMainWindow& w = h.W();
        QVERIFY(w.Start());
        const QWidget* pages[] = {w.IntroSheet, w.GameListSheet, w.UserListSheet, w.ServerLogSheet, w.SetupSheet};
        for (int page : {3, 1, 4, 2, 0, 4}) {
            Select(w, page);
            QCOMPARE(w.InfoPageControl->currentWidget(), pages[page]);
        }
    }

    void settingsAreSavedOnlyWhenLeavingSetup() {
        TWindowHarness h(true, RegistryFile("[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\r\n"
                                            "\"FilmDemoPasswordEdit\"=\"old\"\r\n"));
        TMainWindow& w = h.W();
        QVERIFY(w.Start());
        QCOMPARE(w.SetupSheet->FilmDemoPasswordEdit->text(), QStringLiteral("old"));

        Select(w, TMainWindow::GamesPage);
        Select(w, TMainWindow::SetupPage);
        QLineEdit* edit = w.SetupSheet->FilmDemoPasswordEdit;
        edit->clear();
        QTest::keyClicks(edit, "secret");
        QCOMPARE(h.Form().Setup.FilmDemoPasswordEdit, std::string("secret"));  // the relay sees it at once
        QCOMPARE(h.StoredText("Vistrel Server\\Setup", "FilmDemoPasswordEdit"), std::string("old"));

        Select(w, TMainWindow::LogPage);  // leaving Setup saves
        QCOMPARE(h.StoredText("Vistrel Server\\Setup", "FilmDemoPasswordEdit"), std::string("secret"));
        QCOMPARE(h.Stored("Vistrel Server\\Setup", "MaxClientsSpin")->AsDword(), std::optional<uint32_t>(0));

        // Leaving any other node writes nothing.
        h.Form().Setup.FilmDemoPasswordEdit = "unsaved";
        Select(w, TMainWindow::GamesPage);
        Select(w, TMainWindow::IntroPage);
        QCOMPARE(h.StoredText("Vistrel Server\\Setup", "FilmDemoPasswordEdit"), std::string("secret"));

        // Edits while Setup is still selected are not kept by a shutdown.
        Select(w, TMainWindow::SetupPage);
        QCOMPARE(h.StoredText("Vistrel Server\\Setup", "FilmDemoPasswordEdit"), std::string("secret"));
        w.SetupSheet->Refresh();
        QTest::keyClicks(edit, "2");
        Select(w, TMainWindow::SetupPage);  // selecting the same node changes nothing
        w.Shutdown1Click();
        QCOMPARE(h.StoredText("Vistrel Server\\Setup", "FilmDemoPasswordEdit"), std::string("secret"));
        QVERIFY(h.errors.isEmpty());
    }

    void maxClientsSpinFollowsItsRules() {
        TWindowHarness h;
        TMainWindow& w = h.W();
        QVERIFY(w.Start());
        w.show();
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        Select(w, TMainWindow::SetupPage);
        TMaxClientsSpin* spin = w.SetupSheet->MaxClientsSpin;
        int32_t& limit = h.Form().DemoViewers.MaxClients;
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
        w.SetupSheet->FilmDemoPasswordEdit->setFocus();
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
        w.OptionTree->setFocus();
        QTRY_COMPARE(spin->Text(), QStringLiteral("0"));
        QCOMPARE(limit, 0);
    }

    void storedViewerLimitIsBroughtIntoRange() {
        TWindowHarness h(true, RegistryFile("[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\r\n"
                                            "\"MaxClientsSpin\"=dword:00030d40\r\n"));  // 200000
        QVERIFY(h.W().Start());
        QCOMPARE(h.W().SetupSheet->MaxClientsSpin->Text(), QStringLiteral("99999"));
        QCOMPARE(h.Form().DemoViewers.MaxClients, 99999);
    }

    void viewerLimitRefusesTheViewerBeyondIt() {
        TWindowHarness h;
        TMainWindow& w = h.W();
        QVERIFY(w.Start());
        w.show();
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        Select(w, TMainWindow::SetupPage);
        w.SetupSheet->MaxClientsSpin->setFocus();
        QTest::keyClick(w.SetupSheet->MaxClientsSpin, Qt::Key_Up);  // a limit of 1

        TTestClient first(h.ViewerPort());
        QVERIFY(first.WaitBytes(19));
        QCOMPARE(first.Greeting(), std::string("Welcome to TcpSrv\r\n"));
        TTestClient second(h.ViewerPort());
        QVERIFY(second.WaitClosed());
        QCOMPARE(second.Unread(), std::string("Sorry, too many clients\r\n"));
        QVERIFY(!first.Closed());
    }

    void logViewShowsEveryLineAsLatin1() {
        TWindowHarness h;
        QVERIFY(h.W().Start());
        QPlainTextEdit* memo = h.W().ServerLogMemo;
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
        QVERIFY(!h.W().ServerLogMemo->isReadOnly());
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
        TConsoleLists& lists = h.Form().Console;
        lists.AddViewerRow(nullptr, "10.0.0.9");
        lists.AddViewerRow(nullptr, "10.0.0.8");
        lists.Users().SetColumn(1, 0, "semi;colon\xE9");
        QAbstractItemModel* model = w.UserListListbox->model();
        QCOMPARE(model->rowCount(), 2);
        QCOMPARE(model->columnCount(), 3);
        QCOMPARE(model->index(0, 0).data().toString(), QStringLiteral("unknown"));
        // A ";" in a name is a column break; the piece beyond the last
        // section is not drawn.
        QCOMPARE(model->index(1, 0).data().toString(), QStringLiteral("semi"));
        QCOMPARE(model->index(1, 1).data().toString(), QString::fromUtf8("colon\u00e9"));
        QCOMPARE(model->index(1, 2).data().toString(), QStringLiteral("10.0.0.8"));
        QVERIFY(!w.UserListListbox->header()->sectionsClickable());
        QCOMPARE(w.UserListListbox->selectionMode(), QAbstractItemView::ExtendedSelection);

        w.UserListListbox->SelectRows({1});
        lists.Users().Delete(0);
        QCOMPARE(model->rowCount(), 1);
        QCOMPARE(w.UserListListbox->SelectedRows(), std::vector<int32_t>{0});
    }

    void rightClickKeepsTheSelection() {
        TWindowHarness h;
        TMainWindow& w = h.W();
        QVERIFY(w.Start());
        w.show();
        Select(w, TMainWindow::UsersPage);
        for (const char* ip : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) h.Form().Console.AddViewerRow(nullptr, ip);
        TListView* list = w.UserListListbox;
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        list->SelectRows({0, 2});
        const QPoint onRow1 = list->visualRect(list->model()->index(1, 0)).center();
        QTest::mouseClick(list->viewport(), Qt::RightButton, {}, onRow1);
        QCOMPARE(list->SelectedRows(), (std::vector<int32_t>{0, 2}));
        QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, onRow1, list->viewport()->mapToGlobal(onRow1));
        QCoreApplication::sendEvent(list->viewport(), &menuEvent);
        QTRY_VERIFY(w.UserListPopup->isVisible());
        w.UserListPopup->close();
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
