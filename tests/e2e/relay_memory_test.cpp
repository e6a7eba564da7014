// The memory budget over loopback, with packets that do not compress: once
// the stored games fill it, demo and restart packets are answered ACKNAK 1
// and not stored (one log line per sender connection), a new sender is
// greeted and closed at once, and viewers go on receiving every stored
// packet, one per tick. Deleting a game makes room again.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/e2e/noise.h"
#include "tests/e2e/relay_fixture.h"

namespace vistrel::testing {
namespace {

using Packets = std::vector<std::string>;

class MemoryBudget : public RelayTest {
protected:
    static constexpr size_t kBudget = 96 * 1024;
    static constexpr size_t kContentSize = 8000;
    static constexpr const char* kRefusedLine =
        "127.0.0.1 sent packets while the stored games fill the memory budget of 98304 bytes; they are refused";
    static constexpr const char* kClosedLine =
        "127.0.0.1 connected while the stored games fill the memory budget of 98304 bytes; connection closed";

    MemoryBudget() { memory_budget_ = MemoryBudgetFor(kBudget); }

    size_t Stored() { return TMainFormProbe::Games(Form())->StoredBytes(); }
    size_t LinesSaying(std::string_view text) const {
        size_t n = 0;
        for (const std::string& line : form_->Console().Log().Lines())
            if (line.size() >= 20 && std::string_view(line).substr(20) == text) ++n;
        return n;
    }

    // Uploads incompressible packets from location `from` on, one at a
    // time, until one is refused; returns those stored. Each was accepted
    // exactly while the count was below the budget.
    Packets FillBudget(TRelayClient& cam, int32_t from = 0) {
        Packets stored;
        for (int32_t location = from; location < from + 100; ++location) {
            const size_t before = Stored();
            const std::string packet = Demo(location, Noise(kContentSize, static_cast<uint32_t>(location)));
            cam.Send(packet);
            const int32_t ack = AckValueOf(Next(cam));
            if (ack != 0) {
                EXPECT_EQ(ack, 1);
                EXPECT_GE(before, kBudget) << "refused below the budget";
                return stored;
            }
            EXPECT_LT(before, kBudget) << "stored although the budget was full";
            stored.push_back(packet);
        }
        ADD_FAILURE() << "the budget never filled";
        return stored;
    }
};

TEST_F(MemoryBudget, FullBudgetRefusesPacketsAndNewSendersWhileViewersWatchOn) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam, "Cam");
    TRelayClient* other = nullptr;
    const int32_t otherId = LoggedInSender(other, "Other");
    TRelayClient& early = NamedViewer("early");
    early.Send(WaitForGame(id));
    Settle();
    Drain(early);
    Drain(*cam);  // the notice of the viewer's join

    const Packets stored = FillBudget(*cam);
    ASSERT_GE(stored.size(), 8u);
    EXPECT_EQ(Game(id)->Count(), static_cast<int32_t>(stored.size()));
    // At most the last packet (with its entry) lies beyond the budget.
    EXPECT_GE(Stored(), kBudget);
    EXPECT_LT(Stored(), kBudget + stored.back().size() + kStoredEntryOverhead);
    EXPECT_EQ(LinesSaying(kRefusedLine), 1u);

    // Everything that would store is refused, the restart too, and nothing
    // is stored; the log has one line per sender connection.
    const int32_t next = static_cast<int32_t>(stored.size());
    const size_t full = Stored();
    cam->Send(Demo(next, Noise(kContentSize, 1000)) + Restart(next, "restart") + Demo(0, "a replacement") +
              Restart(next + 5, "far"));
    EXPECT_EQ(Drain(*cam), (Packets{"ACKNAK(1)", "ACKNAK(1)", "ACKNAK(1)", "ACKNAK(1)"}));
    other->Send(Demo(0, "small") + Restart(1, "restart"));
    EXPECT_EQ(Drain(*other), (Packets{"ACKNAK(1)", "ACKNAK(1)"}));
    EXPECT_EQ(Stored(), full);
    EXPECT_EQ(Game(id)->Count(), static_cast<int32_t>(stored.size()));
    EXPECT_EQ(Game(id)->Data(0), stored[0]);
    EXPECT_EQ(Game(otherId)->Count(), 0);
    EXPECT_EQ(LinesSaying(kRefusedLine), 2u);
    // Chat still flows.
    cam->Send(SendText("still here"));
    EXPECT_EQ(Drain(*cam), (Packets{"ACKNAK(0)", "SENDTEXT(Cam: still here)"}));

    // A new sender is greeted, logged and closed; no game is opened for it.
    TRelayClient& late = Connect(TMainFormProbe::DemoSenders(Form()).LocalPort());
    EXPECT_EQ(greeting_, "Welcome to TcpSrv\r\n");
    EXPECT_TRUE(WaitFor([&] { return late.Ended(); }));
    Settle();
    EXPECT_EQ(LinesSaying(kClosedLine), 1u);
    EXPECT_EQ(TMainFormProbe::Games(Form())->Count(), 2);
    EXPECT_EQ(Form().Console().Games().Count(), 2);
    EXPECT_EQ(TMainFormProbe::GameIdCounter(Form()), otherId);
    EXPECT_EQ(Stored(), full);

    // Viewers receive every stored packet at pace: one joined before, one
    // joins now; refused packets arrive in between.
    TRelayClient& joining = NamedViewer("joining");
    joining.Send(WaitForGame(id));
    Settle();
    Drain(early);
    Drain(joining);
    Drain(*cam);
    for (size_t i = 0; i < stored.size(); ++i) {
        cam->Send(Demo(static_cast<int32_t>(stored.size() + i), Noise(kContentSize, 2000)));
        Tick();
        for (TRelayClient* v : {&early, &joining}) {
            ASSERT_TRUE(v->HasPacket()) << "tick " << i;
            EXPECT_EQ(v->TakePacket(), stored[i]);
            EXPECT_TRUE(v->Unread().empty()) << "more than one packet in one tick";
        }
        EXPECT_EQ(Drain(*cam), Packets{"ACKNAK(1)"});
    }
    Tick();
    EXPECT_EQ(Drain(early), Packets{});
    EXPECT_EQ(LinesSaying(kRefusedLine), 2u);
    EXPECT_TRUE(front_.Errors.empty());
}

TEST_F(MemoryBudget, DeletingAGameMakesRoomAgain) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam, "Cam");
    TRelayClient* filler = nullptr;
    const int32_t fillerId = LoggedInSender(filler, "Filler");
    const Packets filled = FillBudget(*filler);
    ASSERT_GE(filled.size(), 8u);
    cam->Send(Demo(0, "refused"));
    EXPECT_EQ(Drain(*cam), Packets{"ACKNAK(1)"});

    // The filler's game goes (row 1): its bytes and its record are given back.
    Form().DeleteGame1Click({1});
    Settle();
    EXPECT_EQ(Game(fillerId), nullptr);
    EXPECT_EQ(Stored(), kGameRecordOverhead);

    cam->Send(Demo(0, "stored now") + Restart(1, "and this"));
    EXPECT_EQ(Drain(*cam), (Packets{"ACKNAK(0)", "ACKNAK(0)"}));
    EXPECT_EQ(Game(id)->Count(), 2);
    // And a new sender opens a game again.
    TRelayClient& fresh = ConnectSender();
    Settle();
    EXPECT_FALSE(fresh.Ended());
    EXPECT_EQ(TMainFormProbe::Games(Form())->Count(), 2);
    // It fills again from where it was.
    EXPECT_FALSE(FillBudget(*cam, 2).empty());
}

}  // namespace
}  // namespace vistrel::testing
