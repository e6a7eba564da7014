// Paging over loopback, with recording on and a small memory budget: games
// larger than the budget come back from their recordings paged out, and
// viewers of all of them still receive one packet per tick, byte for byte,
// while the stored games stay within the budget plus the read-ahead of the
// watched games; an upload is refused only when paging cannot make room.
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/recording_format.h"
#include "disk/recorder.h"
#include "relay/demo_viewer.h"
#include "tests/e2e/noise.h"
#include "tests/e2e/recording_folder.h"
#include "tests/e2e/relay_fixture.h"

namespace vistrel::testing {
namespace {

using Packets = std::vector<std::string>;

class Paging : public RelayTest {
protected:
    static constexpr size_t kBudget = 256 * 1024;
    static constexpr size_t kContent = 1000;

    Paging() {
        recording_.DataDir = folder_.Path();
        memory_budget_.Stored = kBudget;
    }
    size_t Stored() { return TMainFormProbe::Games(Form())->StoredBytes(); }
    TRecorder& Recorder() { return *TMainFormProbe::Recorder(Form()); }
    // Steps the loop until no read is in flight (the time between two real
    // ticks).
    void ReadsDone() { ASSERT_TRUE(WaitFor([&] { return Recorder().ReadsInFlight() == 0; })); }

    // A recording of game id with `count` packets, written before the relay
    // starts.
    Packets WriteGame(int32_t id, int32_t count) {
        std::filesystem::create_directories(folder_.Path());
        std::string file = EncodeRecordingHeader(TRecordingHeader{id, 0});
        file += EncodeDescriptionRecord(TGameDescription{1, "game " + std::to_string(id), "ctf", "cam", "127.0.0.1"});
        Packets packets;
        for (int32_t i = 0; i < count; ++i) {
            packets.push_back(Demo(i, Noise(kContent, static_cast<uint32_t>(id * 100000 + i))));
            AppendPacketRecord(file, i, packets.back());
        }
        WriteWholeFile(folder_.File(TRecorder::FileNameFor(id)), file);
        return packets;
    }

    TRecordingFolder folder_;
};

class PagingRestored : public Paging {
protected:
    static constexpr int32_t kGames = 3;
    static constexpr int32_t kPackets = 400;  // about 400 KB a game
    PagingRestored() {
        for (int32_t id = 1; id <= kGames; ++id) games_.push_back(WriteGame(id, kPackets));
    }
    std::vector<Packets> games_;
};

TEST_F(PagingRestored, GamesLargerThanTheBudgetAreAllWatchedOnePacketPerTick) {
    EXPECT_TRUE(LoggedContaining("Restored 3 games with 1200 packets in "));
    EXPECT_LT(Stored(), kBudget) << "restored paged out";
    for (int32_t id = 1; id <= kGames; ++id) {
        ASSERT_NE(Game(id), nullptr);
        EXPECT_EQ(Game(id)->Count(), kPackets);
        EXPECT_EQ(Game(id)->Gaps(), 0) << "paged out is not a gap";
    }
    EXPECT_GT(Game(1)->PagedOutCount(), 0);

    std::vector<TRelayClient*> viewers;
    for (int32_t id = 1; id <= kGames; ++id) {
        TRelayClient& v = NamedViewer("V" + std::to_string(id));
        v.Send(WaitForGame(id));
        Settle();
        viewers.push_back(&v);
    }
    for (TRelayClient* v : viewers) Drain(*v);
    // What paging may add to the budget: each watched game's kept packets
    // and one run read ahead (each packet its bytes and the shared
    // buffer's header).
    const size_t packetSize = games_[0][0].size() + 32;
    const size_t bound = static_cast<size_t>(kGames) * (kPageKeep + kPageRun) * packetSize;
    std::vector<Packets> watched(kGames);
    size_t highest = 0;
    for (int32_t tick = 0; tick < kPackets + 2; ++tick) {
        Tick();
        ReadsDone();
        highest = std::max(highest, Stored());
        ASSERT_LE(Stored(), kBudget + bound) << "tick " << tick;
        for (int32_t g = 0; g < kGames; ++g) {
            Settle();
            const size_t before = watched[static_cast<size_t>(g)].size();
            size_t got = 0;
            while (viewers[static_cast<size_t>(g)]->HasPacket()) {
                std::string packet = viewers[static_cast<size_t>(g)]->TakePacket();
                if (TypeOf(packet) != PacketType::DEMOPACKET) continue;
                watched[static_cast<size_t>(g)].push_back(std::move(packet));
                ++got;
            }
            // The first tick may find the first packet still on the disk;
            // from the second on, one packet per tick until the last.
            if ((tick >= 1 || before > 0) && before < static_cast<size_t>(kPackets)) {
                EXPECT_EQ(got, 1u) << "game " << g + 1 << ", tick " << tick;
            }
        }
    }
    for (int32_t g = 0; g < kGames; ++g)
        EXPECT_TRUE(watched[static_cast<size_t>(g)] == games_[static_cast<size_t>(g)])
            << "game " << g + 1 << ": " << watched[static_cast<size_t>(g)].size() << " packets";
    EXPECT_GT(Form().Metrics().Disk.BytesRead, 0u);
    std::printf("stored games: budget %zu, highest %zu, bound %zu\n", kBudget, highest, kBudget + bound);
}

TEST_F(PagingRestored, APacketThatCannotBeReadBackIsPassedOverWithALogLine) {
    ASSERT_TRUE(Game(1)->PagedOut(10));
    const std::string path = folder_.File(TRecorder::FileNameFor(1));
    std::string file = ReadWholeFile(path);
    const size_t at = file.find(EncodePacketRecord(10, games_[0][10]));
    ASSERT_NE(at, std::string::npos);
    file[at + kPacketRecordHeadSize + 100] ^= 1;
    WriteWholeFile(path, file);

    TRelayClient& v = NamedViewer("V");
    v.Send(WaitForGame(1));
    Settle();
    Drain(v);
    Packets watched;
    for (int32_t tick = 0; tick < 30; ++tick) {
        Tick();
        ReadsDone();
        Settle();
        while (v.HasPacket()) {
            std::string packet = v.TakePacket();
            if (TypeOf(packet) == PacketType::DEMOPACKET) watched.push_back(std::move(packet));
        }
    }
    Packets expected = games_[0];
    expected.erase(expected.begin() + 10);
    ASSERT_GE(watched.size(), 25u);
    expected.resize(watched.size());
    EXPECT_TRUE(watched == expected) << watched.size();
    EXPECT_TRUE(Logged("Cannot read location 10 of game 1 back from " + path +
                       ": its record is damaged; it is passed over"));
    // Still stored: a repaired file brings it back.
    EXPECT_TRUE(Game(1)->PagedOut(10));
    EXPECT_TRUE(Game(1)->Unreadable(10));
}

TEST_F(PagingRestored, AViewerJoiningAPagedOutGameGetsItsFirstPacketOnTheFirstTick) {
    ASSERT_TRUE(Game(2)->PagedOut(0));
    TRelayClient& v = NamedViewer("V");
    v.Send(WaitForGame(2));
    Settle();
    Drain(v);
    // The time between the join and the next tick is enough for the read.
    ReadsDone();
    EXPECT_FALSE(Game(2)->PagedOut(0));
    Tick();
    Settle();
    Packets watched;
    while (v.HasPacket()) {
        std::string packet = v.TakePacket();
        if (TypeOf(packet) == PacketType::DEMOPACKET) watched.push_back(std::move(packet));
    }
    EXPECT_TRUE(watched == Packets{games_[1][0]}) << watched.size() << " packets on the first tick";
}

// The same through the I/O thread that stands in where io_uring is refused.
class PagingThroughAThread : public PagingRestored {
protected:
    PagingThroughAThread() { setenv("VISTREL_DISK_IO", "thread", 1); }
    ~PagingThroughAThread() override { unsetenv("VISTREL_DISK_IO"); }
};

TEST_F(PagingThroughAThread, APagedGameIsReadBackAheadOfItsViewer) {
    EXPECT_TRUE(LoggedContaining(", through an I/O thread)"));
    TRelayClient& v = NamedViewer("V");
    v.Send(WaitForGame(1));
    Settle();
    Drain(v);
    Packets watched;
    for (int32_t tick = 0; tick < kPackets + 2; ++tick) {
        Tick();
        ReadsDone();
        Settle();
        while (v.HasPacket()) {
            std::string packet = v.TakePacket();
            if (TypeOf(packet) == PacketType::DEMOPACKET) watched.push_back(std::move(packet));
        }
    }
    EXPECT_TRUE(watched == games_[0]) << watched.size();
}

// So many restored packets that their entries alone, which paging cannot release, pass the budget.
class PagingIndexOnly : public Paging {
protected:
    PagingIndexOnly() { WriteGame(1, 8000); }
};

TEST_F(PagingIndexOnly, RestoredEntriesAloneDoNotKeepACameraOut) {
    const TGameList& games = *TMainFormProbe::Games(Form());
    ASSERT_GT(games.StoredBytes(), kBudget);
    EXPECT_LT(games.BudgetedBytes(), kBudget);
    TRelayClient* camera = nullptr;
    LoggedInSender(camera);
    camera->Send(Demo(0, "live"));
    EXPECT_EQ(AckValueOf(Next(*camera)), 0);
}

TEST_F(Paging, AnUploadIsRefusedOnlyWhenPagingCannotMakeRoom) {
    TRelayClient* first = nullptr;
    const int32_t id = LoggedInSender(first);
    Packets acknowledged;
    int32_t location = 0;
    for (; location < 1000; ++location) {
        const std::string packet = Demo(location, Noise(kContent, static_cast<uint32_t>(location)));
        first->Send(packet);
        if (AckValueOf(Next(*first)) != 0) break;
        acknowledged.push_back(packet);
    }
    // Its own game cannot be paged while it uploads.
    EXPECT_LT(location, 1000);
    EXPECT_TRUE(LoggedContaining("sent packets while the stored games fill the memory budget"));
    first->Close();
    Settle();
    ASSERT_EQ(Game(id)->Sender(), nullptr);

    // Once its sender has gone, its packets make room for another upload.
    TRelayClient* second = nullptr;
    const int32_t other = LoggedInSender(second, "Other");
    for (int32_t i = 0; i < 100; ++i) {
        second->Send(Demo(i, Noise(kContent, static_cast<uint32_t>(50000 + i))));
        ASSERT_EQ(AckValueOf(Next(*second)), 0) << i;
    }
    EXPECT_GT(Game(id)->PagedOutCount(), 0);
    EXPECT_EQ(Game(other)->PagedOutCount(), 0);
    EXPECT_LT(TMainFormProbe::Games(Form())->BudgetedBytes(), kBudget + kContent * 2);

    // The paged game is still watched whole.
    TRelayClient& v = NamedViewer("V");
    v.Send(WaitForGame(id));
    Settle();
    Drain(v);
    Packets watched;
    for (size_t tick = 0; tick < acknowledged.size() + 2; ++tick) {
        Tick();
        ReadsDone();
        Settle();
        while (v.HasPacket()) watched.push_back(v.TakePacket());
    }
    EXPECT_TRUE(watched == acknowledged) << watched.size() << " of " << acknowledged.size();
}

}  // namespace
}  // namespace vistrel::testing
