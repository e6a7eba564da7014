// A run of the window from start to end: hiding to the tray and coming back,
// the no-tray fallback, the column widths kept across a restart (with the
// stored text's quirks), the single-instance rule with real processes, and
// the program's command line (without a display, and next to Qt's options).
#include <sys/types.h>

#include <signal.h>

#include <QAction>
#include <QHeaderView>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include "window/list_view.h"
#include "window/single_instance.h"
#include "window_harness.h"

using namespace vistrel;
using namespace vistrel::testing;

namespace {

QProcessEnvironment ServerEnvironment(const QString& runtimeDir) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
    return env;
}

QStringList ServerArguments(const std::string& registry) {
    return {QStringLiteral("--registry"), QString::fromStdString(registry), QStringLiteral("--address"),
            QStringLiteral("127.0.0.1"),  QStringLiteral("--sender-port"),   QStringLiteral("0"),
            QStringLiteral("--viewer-port"), QStringLiteral("0"), QStringLiteral("--http"),
            QStringLiteral("127.0.0.1:0"), QStringLiteral("--no-recording")};
}

}  // namespace

class TestWindowLifecycle : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { signal(SIGPIPE, SIG_IGN); }

    void trayHidesAndShowsTheWindow() {
        TWindowHarness h(true);
        TMainWindow& w = h.W();
        QSignalSpy shutDown(&w, &TMainWindow::ShutDown);
        QVERIFY(w.Start());
        QVERIFY(w.isHidden());

        w.TrayIconDblClick();
        QVERIFY(w.isVisible());
        QVERIFY(!w.close());  // closing only hides
        QVERIFY(w.isHidden());
        QVERIFY(h.Form().Serving());

        w.TrayIconDblClick();
        w.showMinimized();
        QTRY_VERIFY(w.isHidden());
        w.TrayIconDblClick();
        QVERIFY(w.isVisible());
        QVERIFY(!(w.windowState() & Qt::WindowMinimized));
        QCOMPARE(shutDown.count(), 0);

        Find<QAction>(w, "Shutdown1")->trigger();
        QCOMPARE(shutDown.count(), 1);
        QVERIFY(w.isHidden());
        QVERIFY(!h.Form().Serving());
        QVERIFY(!TMainFormProbe::Games(h.Form()));  // FormDestroy has run
    }

    void withoutTrayTheWindowShowsAndCloseAsks() {
        TWindowHarness h(false);
        TMainWindow& w = h.W();
        QSignalSpy shutDown(&w, &TMainWindow::ShutDown);
        QVERIFY(w.Start());
        QVERIFY(w.isVisible());

        h.confirmAnswer = false;
        w.close();
        QCOMPARE(h.confirmations, 1);
        QVERIFY(w.isVisible());
        w.showMinimized();
        QTest::qWait(20);
        QVERIFY(w.isVisible());  // nowhere to hide: stays minimised
        QVERIFY(h.Form().Serving());

        h.confirmAnswer = true;
        w.close();
        QTRY_COMPARE(shutDown.count(), 1);
        QVERIFY(w.isHidden());
        QVERIFY(!h.Form().Serving());
    }

    void columnWidthsSurviveARestart() {
        TWindowHarness h;
        TListView* games = Find<TListView>(h.W(), "GamesListBox");
        TListView* users = Find<TListView>(h.W(), "UserListListbox");
        THeaderSections defaults = games->Sections();
        QCOMPARE(JoinListLayout(defaults), std::string("50,200,70,70,95,50,115,50,60,60"));
        QCOMPARE(JoinListLayout(users->Sections()), std::string("111,64,90"));
        QVERIFY(h.W().Start());
        games->header()->resizeSection(1, 260);  // Name
        games->header()->resizeSection(9, 300);  // Visible, the last one
        users->header()->resizeSection(0, 150);
        h.W().Shutdown1Click();
        QCOMPARE(h.StoredText("Vistrel\\Common", "GamesListBox"), std::string("50,260,70,70,95,50,115,50,60,300"));
        QCOMPARE(h.StoredText("Vistrel\\Common", "UserListBox"), std::string("150,64,90"));

        h.Close();
        h.Open(true);
        // The last entry is never applied: Visible keeps its built-in width.
        QCOMPARE(JoinListLayout(Find<TListView>(h.W(), "GamesListBox")->Sections()),
                 std::string("50,260,70,70,95,50,115,50,60,60"));
        QCOMPARE(JoinListLayout(Find<TListView>(h.W(), "UserListListbox")->Sections()), std::string("150,64,90"));
    }

    void storedLayoutWithMoreEntriesAddsColumns() {
        TWindowHarness h(true, RegistryFile("[HKEY_CURRENT_USER\\Vistrel\\Common]\r\n"
                                            "\"GamesListBox\"=\"1,2,3,4,5,6,7,8,9,10,110,99\"\r\n"
                                            "\"UserListBox\"=\"12,x,3\"\r\n"));
        TListView* list = Find<TListView>(h.W(), "GamesListBox");
        THeaderSections games = list->Sections();
        QCOMPARE(games.size(), size_t(11));
        QCOMPARE(games[6], (THeaderSection{"Sender", 7}));
        QCOMPARE(games[10], (THeaderSection{"S. 11", 110}));
        QCOMPARE(list->model()->columnCount(), 11);
        QCOMPARE(list->model()->headerData(10, Qt::Horizontal).toString(), QStringLiteral("S. 11"));
        // A text that is not a list of widths is ignored.
        QCOMPARE(JoinListLayout(Find<TListView>(h.W(), "UserListListbox")->Sections()), std::string("111,64,90"));
    }

    void layoutsAreNotSavedWithoutShutdown() {
        TWindowHarness h;
        Find<TListView>(h.W(), "GamesListBox")->header()->resizeSection(0, 77);
        h.Close();  // as a second instance ends
        QVERIFY(!h.Stored("Vistrel\\Common", "GamesListBox"));
        // The layout load created the key; no setting was read or written.
        TRegistryStore fresh(h.RegistryPath());
        QVERIFY(fresh.KeyExists("Vistrel"));
        QVERIFY(!fresh.KeyExists("Vistrel Server"));
    }

    void secondCopyShowsTheFirstAndEnds() {
        QTemporaryDir runtime;
        TWindowHarness h(true);
        TMainWindow& w = h.W();
        TSingleInstance first(runtime.path(), QStringLiteral("vistrel-server"));
        QVERIFY(first.TryBecomeFirst());
        connect(&first, &TSingleInstance::ShowRequested, &w, &TMainWindow::ShowFromTray);
        QVERIFY(w.Start());
        QVERIFY(w.isHidden());

        TSingleInstance again(runtime.path(), QStringLiteral("vistrel-server"));
        QVERIFY(!again.TryBecomeFirst());

        // The real program, as a second copy.
        const std::string registry = runtime.filePath(QStringLiteral("second.reg")).toStdString();
        QProcess second;
        second.setProcessEnvironment(ServerEnvironment(runtime.path()));
        second.start(QStringLiteral(VISTREL_SERVER_BIN), ServerArguments(registry));
        QVERIFY(second.waitForStarted(kWaitMs));
        QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 20000);
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QTRY_VERIFY(w.isVisible());
        // It built its window (the layouts were read) and then ended before
        // its start-up: no setting was read, no port opened.
        TRegistryStore written(registry);
        QVERIFY(written.KeyExists("Vistrel"));
        QVERIFY(!written.KeyExists("Vistrel Server"));
    }

    void programRunsOnceAndShutsDownOnSigterm() {
        QTemporaryDir runtime;
        const std::string registry = runtime.filePath(QStringLiteral("settings.reg")).toStdString();
        QProcess first;
        first.setProcessEnvironment(ServerEnvironment(runtime.path()));
        first.start(QStringLiteral(VISTREL_SERVER_BIN), ServerArguments(registry));
        QVERIFY(first.waitForStarted(kWaitMs));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(runtime.filePath(QStringLiteral("vistrel-server.socket"))), 20000);

        QProcess second;
        second.setProcessEnvironment(ServerEnvironment(runtime.path()));
        second.start(QStringLiteral(VISTREL_SERVER_BIN), ServerArguments(registry));
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(first.state(), QProcess::Running);

        // SIGTERM takes the shutdown path: the column widths are written.
        ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
        QVERIFY(first.waitForFinished(20000));
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.exitCode(), 0);
        TRegistryStore written(registry);
        auto widths = written.ReadValue("Vistrel\\Common", "GamesListBox");
        QVERIFY(widths);
        QCOMPARE(widths->Data, std::string("50,200,70,70,95,50,115,50,60,60"));
        QVERIFY(written.KeyExists("Vistrel Server"));
    }

    void commandLineWorksWithoutADisplayAndLeavesQtItsOptions() {
        QTemporaryDir runtime;
        QProcessEnvironment noDisplay = ServerEnvironment(runtime.path());
        noDisplay.remove(QStringLiteral("QT_QPA_PLATFORM"));
        noDisplay.remove(QStringLiteral("DISPLAY"));
        noDisplay.remove(QStringLiteral("WAYLAND_DISPLAY"));
        auto run = [&noDisplay](const QStringList& arguments, QString& out, QString& err) {
            QProcess program;
            program.setProcessEnvironment(noDisplay);
            program.start(QStringLiteral(VISTREL_SERVER_BIN), arguments);
            if (!program.waitForFinished(20000)) return -1;
            out = QString::fromLocal8Bit(program.readAllStandardOutput());
            err = QString::fromLocal8Bit(program.readAllStandardError());
            return program.exitStatus() == QProcess::NormalExit ? program.exitCode() : -1;
        };
        QString out, err;

        // Answered before Qt would need a display.
        QCOMPARE(run({QStringLiteral("--help")}, out, err), 0);
        QVERIFY2(out.startsWith(QStringLiteral("Usage: vistrel-server [options]\n")), qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("\n  --registry FILE    settings file")), qPrintable(out));
        QVERIFY2(!out.contains(QStringLiteral("--screenshot")), qPrintable(out));
        QCOMPARE(run({QStringLiteral("--version")}, out, err), 0);
        QCOMPARE(out, QStringLiteral("vistrel-server 1.3\n"));
        QCOMPARE(run({QStringLiteral("--sender-port"), QStringLiteral("70000")}, out, err), 2);
        QVERIFY2(err.contains(QStringLiteral("vistrel-server: --sender-port: 70000 is not a port number\n")),
                 qPrintable(err));
        QCOMPARE(run({QStringLiteral("--max-memory"), QStringLiteral("lots")}, out, err), 2);
        QVERIFY2(err.contains(QStringLiteral(
                     "vistrel-server: --max-memory: lots is not a size (bytes, or a number with K, M or G)\n")),
                 qPrintable(err));
        QCOMPARE(run({QStringLiteral("--screenshot-delay"), QStringLiteral("soon")}, out, err), 2);
        QVERIFY2(err.contains(QStringLiteral("--screenshot-delay: soon is not a delay in milliseconds\n")),
                 qPrintable(err));

        // Qt takes "-platform offscreen" (without it there is no display to
        // start on); the option left over is the program's to refuse.
        const std::string registry = runtime.filePath(QStringLiteral("usage.reg")).toStdString();
        QCOMPARE(run(QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen")} + ServerArguments(registry) +
                         QStringList{QStringLiteral("--no-such-option")},
                     out, err),
                 2);
        QVERIFY2(err.startsWith(QStringLiteral("vistrel-server: unknown option --no-such-option\n")), qPrintable(err));
    }
};

QTEST_MAIN(TestWindowLifecycle)
#include "lifecycle_test.moc"
