// The operator's commands on selected rows, driven through the real window
// with real sender and viewer connections on 127.0.0.1: what each client
// receives, and what becomes of the rows once the disconnects have run.
#include <QAction>
#include <QTest>

#include "window/list_view.h"
#include "window_harness.h"

using namespace vistrel;
using namespace vistrel::testing;

class TestWindowCommands : public QObject {
    Q_OBJECT

    // A sender that logs in with the (empty) filming password and names its
    // game; check with Ready().
    static std::unique_ptr<TTestClient> Sender(TWindowHarness& h, const std::string& name) {
        auto sender = std::make_unique<TTestClient>(h.SenderPort());
        sender->Send(GameInfo("cam-" + name, "", name));
        return sender;
    }

    // A named viewer, watching `game` unless it is 0; check with Ready().
    static std::unique_ptr<TTestClient> Viewer(TWindowHarness& h, const std::string& name, int32_t game) {
        auto viewer = std::make_unique<TTestClient>(h.ViewerPort());
        std::string bytes = UserInfo(name, PacketSize::USERINFO_CONSUMED);
        if (game) bytes += WaitForGame(game);
        viewer->Send(bytes);
        return viewer;
    }

    // Every packet it sent has been acknowledged.
    static bool Ready(TTestClient& client, size_t acks) {
        return QTest::qWaitFor([&] {
            client.Pump();
            size_t seen = 0;
            for (const auto& p : client.Packets()) seen += p.Type == PacketType::ACKNAK;
            return seen >= acks;
        }, kWaitMs);
    }

    static int RowOfGame(TWindowHarness& h, int32_t id) { return h.Form().Console().IndexOfGameRow(id); }

private slots:
    void initTestCase() { signal(SIGPIPE, SIG_IGN); }

    void kickClosesTheSelectedViewers() {
        TWindowHarness h;
        TMainWindow& w = h.W();
        QVERIFY(w.Start());
        auto a = Viewer(h, "alice", 0);
        QVERIFY(Ready(*a, 1));
        auto b = Viewer(h, "bruno", 0);
        QVERIFY(Ready(*b, 1));
        auto c = Viewer(h, "chiara", 0);
        QVERIFY(Ready(*c, 1));
        TListView* users = Find<TListView>(w, "UserListListbox");
        QAction* kick = Find<QAction>(w, "KickUser1");
        QTRY_COMPARE(users->model()->rowCount(), 3);
        QCOMPARE(users->model()->index(1, 0).data().toString(), QStringLiteral("bruno"));

        users->SelectRows({0, 2});
        const size_t bHad = b->Received();
        kick->trigger();
        QVERIFY(a->WaitClosed());
        QVERIFY(c->WaitClosed());
        QTRY_COMPARE(users->model()->rowCount(), 1);
        QCOMPARE(users->model()->index(0, 0).data().toString(), QStringLiteral("bruno"));
        QVERIFY(!b->Closed());
        b->Pump();
        QCOMPARE(b->Received(), bHad);  // viewers watching no game hear nothing of it

        // No selection: nothing happens.
        users->SelectRows({});
        kick->trigger();
        QTest::qWait(50);
        QVERIFY(!b->Closed());
        QVERIFY(h.errors.isEmpty());
    }

    void haltClosesTheSenderAndKeepsTheGame() {
        TWindowHarness h;
        TMainWindow& w = h.W();
        QVERIFY(w.Start());
        auto s1 = Sender(h, "one");
        QVERIFY(Ready(*s1, 1));
        auto s2 = Sender(h, "two");
        QVERIFY(Ready(*s2, 1));
        auto viewer = Viewer(h, "alice", 2);
        QVERIFY(Ready(*viewer, 2));
        TListView* games = Find<TListView>(w, "GamesListBox");
        QAction* halt = Find<QAction>(w, "HaltTransfer1");
        QTRY_COMPARE(games->model()->rowCount(), 2);
        const int row2 = RowOfGame(h, 2);
        QVERIFY(h.Form().Console().Games().Link(row2) != nullptr);

        games->SelectRows({row2});
        halt->trigger();
        QVERIFY(s2->WaitClosed());
        QTRY_VERIFY(h.Form().Console().Games().Link(row2) == nullptr);  // unlinked by the disconnect
        QCOMPARE(games->model()->rowCount(), 2);  // the game and its row stay
        QVERIFY(TMainFormProbe::Games(h.Form())->Count() == 2);
        QVERIFY(!s1->Closed());
        QVERIFY(!viewer->Closed());

        // Halting a row whose sender has gone does nothing.
        halt->trigger();
        QTest::qWait(50);
        QVERIFY(!s1->Closed());
        QCOMPARE(games->model()->rowCount(), 2);
    }

    void deleteRemovesGamesAndTellsTheViewers() {
        TWindowHarness h;
        TMainWindow& w = h.W();
        QVERIFY(w.Start());
        auto sB = Sender(h, "bee");  // game 1, upper row
        QVERIFY(Ready(*sB, 1));
        auto sA = Sender(h, "ay");   // game 2, lower row
        QVERIFY(Ready(*sA, 1));
        auto sC = Sender(h, "sea");  // game 3, not selected
        QVERIFY(Ready(*sC, 1));
        auto vA = Viewer(h, "watches-a", 2);
        QVERIFY(Ready(*vA, 2));
        auto vB = Viewer(h, "watches-b", 1);
        QVERIFY(Ready(*vB, 2));
        auto idle = Viewer(h, "idle", 0);
        QVERIFY(Ready(*idle, 1));
        TListView* games = Find<TListView>(w, "GamesListBox");
        TListView* users = Find<TListView>(w, "UserListListbox");
        QTRY_COMPARE(games->model()->rowCount(), 3);

        games->SelectRows({RowOfGame(h, 1), RowOfGame(h, 2)});
        Find<QAction>(w, "DeleteGame1")->trigger();

        // The lower row first: A's viewer and sender are closed, every other
        // viewer hears of A; then B's, and whoever is left hears of B.
        QVERIFY(vA->WaitClosed());
        QVERIFY(vB->WaitClosed());
        QVERIFY(sA->WaitClosed());
        QVERIFY(sB->WaitClosed());
        QVERIFY(idle->WaitPacket(PacketType::GAMEREMOVED));
        QTRY_COMPARE(idle->RemovedGames().size(), size_t(2));
        QCOMPARE(idle->RemovedGames(), (std::vector<int32_t>{2, 1}));
        QCOMPARE(vB->RemovedGames(), std::vector<int32_t>{2});
        QVERIFY(vA->RemovedGames().empty());
        QVERIFY(!sC->Closed());

        QCOMPARE(games->model()->rowCount(), 1);
        QCOMPARE(games->model()->index(0, 0).data().toString(), QStringLiteral("3"));
        QCOMPARE(TMainFormProbe::Games(h.Form())->Count(), 1);
        // The disconnects that follow change no row.
        QTRY_COMPARE(users->model()->rowCount(), 1);
        QCOMPARE(games->model()->rowCount(), 1);
        QVERIFY(h.errors.isEmpty());
    }
};

QTEST_MAIN(TestWindowCommands)
#include "commands_test.moc"
