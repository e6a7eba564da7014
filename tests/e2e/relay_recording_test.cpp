// Recording to disk over loopback, with a TMainForm in this process on a
// temporary data folder: a packet is in its game's file before its ACKNAK 0
// arrives; a relay started again on the folder brings every game back (same
// identifiers, descriptions, packets, order) and its viewers receive them byte
// for byte; torn, damaged and foreign files; Delete Game; the folder's limit;
// a full disk; the three fsync policies.
#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/protocol.h"
#include "core/recording_format.h"
#include "disk/recorder.h"
#include "client/demo_payload.h"
#include "tests/e2e/noise.h"
#include "tests/e2e/recording_folder.h"
#include "tests/e2e/relay_fixture.h"

namespace vistrel::testing {
namespace {

using namespace vistrel::client;

using Packets = std::vector<std::string>;

class Recording : public RelayTest {
protected:
    Recording() { recording_.DataDir = folder_.Path(); }

    // Ends this relay as the programs end (the files are closed) and starts
    // a new one on the same folder.
    void StopRelay() {
        clients_.clear();
        form_.reset();
    }
    void Restart() {
        StopRelay();
        SetUp();
    }
    std::string FileOf(int32_t id) const { return folder_.File(TRecorder::FileNameFor(id)); }
    TRecorder& Recorder() { return *TMainFormProbe::Recorder(Form()); }

    // Uploads the packets one by one, each acknowledged before the next.
    void Upload(TRelayClient& cam, const Packets& packets) {
        for (const std::string& p : packets) {
            cam.Send(p);
            ASSERT_EQ(AckValueOf(Next(cam)), 0);
        }
    }
    // Joins game id as a new viewer and takes one packet per tick.
    Packets Watch(int32_t id, size_t count) {
        TRelayClient& v = NamedViewer("V" + std::to_string(clients_.size()));
        v.Send(WaitForGame(id));
        Drain(v);
        // Restored packets are read back from their files ahead of the
        // viewer; between two ticks the reads finish, as between real ones.
        Packets got;
        for (size_t tick = 0; tick < count + 2 && got.size() < count; ++tick) {
            Tick();
            EXPECT_TRUE(WaitFor([&] { return Recorder().ReadsInFlight() == 0; }));
            Settle();
            while (v.HasPacket()) {
                std::string packet = v.TakePacket();
                const int32_t type = TypeOf(packet);
                if (type == PacketType::DEMOPACKET || type == PacketType::DEMORESTART) got.push_back(std::move(packet));
            }
        }
        Tick();
        Settle();
        EXPECT_FALSE(v.HasPacket()) << "more packets than were stored";
        return got;
    }

    TRecordingFolder folder_;
};

Packets SomePackets(int32_t count, int32_t from = 0) {
    Packets packets;
    for (int32_t i = from; i < from + count; ++i)
        packets.push_back(i % 7 == 3 ? Restart(i, "restart " + std::to_string(i))
                                     : Demo(i, "frame " + std::to_string(i) + std::string(static_cast<size_t>(i) * 37, 'x')));
    return packets;
}

TEST_F(Recording, AnAcknowledgedPacketIsInItsFileAndEveryGameComesBackAfterARestart) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    const std::string file = FileOf(id);
    const int64_t openedMs = Game(id)->OpenedMs();
    const Packets sent = SomePackets(20);
    for (size_t i = 0; i < sent.size(); ++i) {
        cam->Send(sent[i]);
        ASSERT_EQ(AckValueOf(Next(*cam)), 0);
        // Acknowledged means written: the record is in the file already.
        EXPECT_FALSE(RecordIn(ReadWholeFile(file), static_cast<int32_t>(i), sent[i]).empty()) << i;
    }
    // A game that only connected comes back too.
    ConnectSender();
    Settle();
    const int32_t empty = TMainFormProbe::GameIdCounter(Form());
    EXPECT_EQ(empty, id + 1);

    Restart();
    EXPECT_TRUE(LoggedContaining("Restored 2 games with 20 packets in "));
    const TActiveGameList* game = Game(id);
    ASSERT_NE(game, nullptr);
    EXPECT_EQ(game->Sender(), nullptr);
    EXPECT_EQ(game->Name(), "Final");
    EXPECT_EQ(game->Mod(), "ctf");
    EXPECT_EQ(game->GameType(), 1);
    EXPECT_EQ(game->SenderAddr(), "127.0.0.1");
    EXPECT_EQ(game->Count(), 20);
    // The same game, not a new one under an old number: caches key on it.
    EXPECT_EQ(game->OpenedMs(), openedMs);
    ASSERT_NE(Game(empty), nullptr);
    EXPECT_EQ(Game(empty)->Count(), 0);
    // The games list shows them under their identifiers, the sender's name kept.
    const int32_t row = Form().Console().IndexOfGameRow(id);
    ASSERT_GE(row, 0);
    EXPECT_EQ(Form().Console().Games().Column(row, 6), "Cam");

    // The identifier counter goes on after the highest.
    ConnectSender();
    Settle();
    EXPECT_EQ(TMainFormProbe::GameIdCounter(Form()), empty + 1);

    EXPECT_EQ(Watch(id, sent.size()), sent);
    EXPECT_TRUE(front_.Errors.empty());
}

TEST_F(Recording, ATornLastRecordIsCutOffAndTheRestIsServed) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    const Packets sent = SomePackets(5);
    Upload(*cam, sent);
    StopRelay();
    const std::string file = FileOf(id);
    const std::string whole = ReadWholeFile(file);
    WriteWholeFile(file, whole + EncodePacketRecord(5, Demo(5, "never acknowledged")).substr(0, 30));

    SetUp();
    EXPECT_TRUE(LoggedContaining("Recording " + file + ": a torn last record of 30 bytes at byte " +
                                 std::to_string(whole.size()) + " was cut off"));
    EXPECT_EQ(ReadWholeFile(file), whole);
    EXPECT_EQ(Watch(id, sent.size()), sent);
}

TEST_F(Recording, ADamagedRecordIsSkippedAndEveryOtherIsKept) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    const Packets sent = SomePackets(8);
    Upload(*cam, sent);
    StopRelay();
    const std::string file = FileOf(id);
    std::string bytes = ReadWholeFile(file);
    // A flipped byte inside the payload of location 4, and one in the length
    // field of location 6.
    const std::string fourth = RecordIn(bytes, 4, sent[4]);
    ASSERT_FALSE(fourth.empty());
    ASSERT_FALSE(RecordIn(bytes, 6, sent[6]).empty());
    const size_t four = bytes.find(fourth);
    const size_t six = bytes.find(RecordIn(bytes, 6, sent[6]));
    bytes[four + kTimedPacketRecordHeadSize + 20] ^= 0x40;
    bytes[six + 2] ^= 0x10;
    WriteWholeFile(file, bytes);

    SetUp();
    EXPECT_TRUE(LoggedContaining("Recording " + file + ": " + std::to_string(fourth.size()) +
                                 " damaged bytes at byte " + std::to_string(four) + " were skipped"));
    EXPECT_TRUE(LoggedContaining("damaged bytes at byte " + std::to_string(six) + " were skipped"));
    EXPECT_EQ(ReadWholeFile(file), bytes) << "damage in the middle is never cut";
    const TActiveGameList* game = Game(id);
    ASSERT_NE(game, nullptr);
    ASSERT_EQ(game->Count(), 8);
    // The sound records come back (in their file until a viewer needs
    // them), the damaged ones as gaps.
    for (int32_t i = 0; i < 8; ++i) EXPECT_EQ(game->PagedOut(i), i != 4 && i != 6) << i;
    EXPECT_EQ(game->Gaps(), 2);
    // Once the sender has gone, viewers pass over the damaged locations.
    Packets kept = sent;
    kept.erase(kept.begin() + 6);
    kept.erase(kept.begin() + 4);
    EXPECT_EQ(Watch(id, kept.size()), kept);
}

TEST_F(Recording, FilesThatAreNotRecordingsAreLeftAloneAndReported) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    Upload(*cam, SomePackets(2));
    StopRelay();
    const std::string notes = folder_.File("notes.txt");
    const std::string damaged = folder_.File("game-50.vrec");
    const std::string torn = folder_.File("game-51.vrec");
    WriteWholeFile(notes, "not a recording at all\n");
    std::string header = EncodeRecordingHeader(TRecordingHeader{50, 1});
    header[21] ^= 1;
    WriteWholeFile(damaged, header);
    WriteWholeFile(torn, EncodeRecordingHeader(TRecordingHeader{51, 1}).substr(0, 30));

    SetUp();
    EXPECT_TRUE(Logged(notes + " is not a recording; left alone"));
    EXPECT_TRUE(Logged(damaged + " is a recording with a damaged header; left alone"));
    EXPECT_TRUE(Logged(torn + " is too short to be a recording; left alone"));
    EXPECT_EQ(ReadWholeFile(notes), "not a recording at all\n");
    EXPECT_EQ(ReadWholeFile(damaged), header);
    EXPECT_EQ(ReadWholeFile(torn).size(), 30u);
    EXPECT_EQ(TMainFormProbe::Games(Form())->Count(), 1);
    ASSERT_NE(Game(id), nullptr);
    EXPECT_EQ(Game(id)->Count(), 2);
}

TEST_F(Recording, DeleteGameDeletesItsFileForALiveAndARestoredGame) {
    TRelayClient* cam = nullptr;
    const int32_t first = LoggedInSender(cam);
    Upload(*cam, SomePackets(3));
    TRelayClient* other = nullptr;
    const int32_t second = LoggedInSender(other, "Other");
    Upload(*other, SomePackets(2));
    ASSERT_TRUE(FileExists(FileOf(first)));
    ASSERT_TRUE(FileExists(FileOf(second)));

    Form().DeleteGame1Click({Form().Console().IndexOfGameRow(first)});
    Settle();
    EXPECT_FALSE(FileExists(FileOf(first)));
    EXPECT_TRUE(FileExists(FileOf(second)));

    Restart();
    ASSERT_NE(Game(second), nullptr);
    EXPECT_EQ(Game(first), nullptr);
    Form().DeleteGame1Click({Form().Console().IndexOfGameRow(second)});
    EXPECT_FALSE(FileExists(FileOf(second)));
    EXPECT_EQ(Recorder().TotalBytes(), 0u);
    Restart();
    EXPECT_EQ(TMainFormProbe::Games(Form())->Count(), 0);
}

// Damage made to cost the most: from a head no writer makes on, a head a
// writer would make every 40 bytes, each declaring 1 MiB. Searching costs no
// CRC and each CRC covers an extent that is then stepped over, so restoring
// 8 MiB costs about 8 times 1 MiB (printed; the figures are not asserted).
// The honest records after the damage come back.
TEST_F(Recording, CraftedDamageIsRestoredInTimeLinearInItsSize) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    const Packets sent = SomePackets(6);
    Upload(*cam, Packets(sent.begin(), sent.begin() + 4));
    StopRelay();
    const std::string file = FileOf(id);
    const std::string base = ReadWholeFile(file);
    std::string unit(40, '\0');
    WriteInt32(unit, 0, 1 << 20);
    WriteInt32(unit, 4, static_cast<int32_t>(TRecordKind::TimedPacket));
    WriteInt32(unit, 24, PacketType::DEMOPACKET);
    WriteInt32(unit, 28, (1 << 20) - static_cast<int32_t>(kTimedPacketRecordPrefix));
    double took[2] = {};
    for (const int mib : {1, 8}) {
        std::string bytes = base + std::string(kRecordHeadSize, '\xFF');
        for (size_t i = 0; i < (size_t{1} << 20) * static_cast<size_t>(mib) / unit.size(); ++i) bytes += unit;
        // Zeros past the last declared extent, then the honest records.
        bytes += std::string(size_t{2} << 20, '\0');
        const size_t damaged = bytes.size() - base.size();
        bytes += EncodeTimedPacketRecord(4, 1, sent[4]) + EncodeTimedPacketRecord(5, 1, sent[5]);
        WriteWholeFile(file, bytes);
        const auto start = std::chrono::steady_clock::now();
        SetUp();
        took[mib == 8] = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        std::printf("%d MiB of crafted damage restored in %.0f ms\n", mib, took[mib == 8]);
        EXPECT_TRUE(Logged("Recording " + file + ": " + std::to_string(damaged) + " damaged bytes at byte " +
                           std::to_string(base.size()) + " were skipped"));
        EXPECT_EQ(Watch(id, sent.size()), sent) << mib;
        StopRelay();
    }
    std::printf("8 MiB took %.1f times as long as 1 MiB\n", took[1] / took[0]);
    SetUp();
}

// A recording copied from elsewhere may hold any identifier: one at the top
// of the range is kept, a copy of it and one no game can have come back
// under the lowest free ones (their headers rewritten, so a restart keeps
// them), an identifier a file of a newer version holds is never given out,
// and no packet is lost to numbering.
TEST_F(Recording, IdentifiersStayPositiveAndUniqueAtTheTopOfTheirRange) {
    const int32_t top = std::numeric_limits<int32_t>::max();
    const auto recording = [](int32_t id, int32_t packets) {
        std::string bytes = EncodeRecordingHeader(TRecordingHeader{id, 1}) + EncodeDescriptionRecord({});
        for (const std::string& p : SomePackets(packets)) bytes += EncodeTimedPacketRecord(PacketLocationOf(p), 1, p);
        return bytes;
    };
    StopRelay();
    WriteWholeFile(folder_.File("game-top.vrec"), recording(top, 3));
    WriteWholeFile(folder_.File("game-top-copy.vrec"), recording(top, 1));
    WriteWholeFile(folder_.File("game-zero.vrec"), recording(0, 2));
    WriteWholeFile(folder_.File("game-newer.vrec"), EncodeRecordingHeader(TRecordingHeader{3, 1}, 3));
    SetUp();
    EXPECT_TRUE(Logged("Recording " + folder_.File("game-top.vrec") +
                       " holds game 2147483647, an identifier an earlier recording holds; it is restored as game 1"));
    EXPECT_TRUE(Logged("Recording " + folder_.File("game-zero.vrec") +
                       " holds game 0, an identifier no game can have; it is restored as game 2"));
    TRelayClient* cam = nullptr;
    LoggedInSender(cam);
    ASSERT_NE(Game(4), nullptr);
    EXPECT_NE(Game(4)->Sender(), nullptr);
    Upload(*cam, SomePackets(2));
    for (int restart = 0; restart < 2; ++restart) {
        SCOPED_TRACE(restart);
        for (const auto& [gameId, count] : {std::pair{top, 1}, {1, 3}, {2, 2}, {4, 2}}) {
            ASSERT_NE(Game(gameId), nullptr) << gameId;
            EXPECT_EQ(Game(gameId)->Count(), count) << gameId;
        }
        EXPECT_EQ(Game(3), nullptr);
        Restart();
        EXPECT_FALSE(LoggedContaining("it is restored as game"));
    }
}

class RecordingDiskLimit : public Recording {
protected:
    RecordingDiskLimit() { recording_.MaxDisk = 30000; }
};

TEST_F(RecordingDiskLimit, OnceTheRecordingsFillItPacketsAreRefusedAndNothingAcknowledgedIsLost) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    Packets acknowledged;
    int32_t refused = 0;
    for (int32_t i = 0; i < 10; ++i) {
        const std::string packet = Demo(i, Noise(8000, static_cast<uint32_t>(i)));
        cam->Send(packet);
        if (AckValueOf(Next(*cam)) == 0) {
            EXPECT_EQ(refused, 0) << "acknowledged after a refusal";
            acknowledged.push_back(packet);
        } else {
            ++refused;
        }
    }
    EXPECT_EQ(acknowledged.size(), 4u);
    EXPECT_EQ(refused, 6);
    EXPECT_TRUE(Logged("127.0.0.1 sent packets while the recordings fill the disk limit of 30000 bytes; they are refused"));
    EXPECT_EQ(Form().Metrics().DemoChecks[static_cast<size_t>(TDemoCheck::OverDiskLimit)], 6u);
    EXPECT_GE(Recorder().TotalBytes(), 30000u);
    // A new sender is greeted and closed, as under a full memory budget.
    TRelayClient& late = ConnectSender();
    EXPECT_TRUE(WaitFor([&] { return late.Ended(); }));
    EXPECT_TRUE(Logged("127.0.0.1 connected while the recordings fill the disk limit of 30000 bytes; connection closed"));
    // Nothing is deleted to make room.
    Restart();
    EXPECT_EQ(Watch(id, acknowledged.size()), acknowledged);
}

// The process's file size limit stands in for a full disk: a write past it
// fails with EFBIG (SIGXFSZ ignored), having written part of the record.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        previous_ = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, previous_);
    }

private:
    rlimit old_{};
    sighandler_t previous_ = SIG_DFL;
};

TEST_F(Recording, AFullDiskAnswersAckNak1KeepsNothingHalfWrittenAndLosesNothingAcknowledged) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    Packets acknowledged;
    size_t refused = 0;
    {
        const FileSizeLimit limit(50000);
        for (int32_t i = 0; i < 10; ++i) {
            const std::string packet = Demo(i, Noise(8000, static_cast<uint32_t>(i)));
            cam->Send(packet);
            if (AckValueOf(Next(*cam)) == 0) {
                EXPECT_EQ(refused, 0u) << "acknowledged after a refusal";
                acknowledged.push_back(packet);
            } else {
                ++refused;
            }
        }
    }
    ASSERT_EQ(acknowledged.size(), 6u);
    EXPECT_EQ(refused, 4u);
    // Nothing of the refused packets is stored, in memory or on disk: the
    // file ends with the last acknowledged record.
    EXPECT_EQ(Game(id)->Count(), 6);
    const std::string file = ReadWholeFile(FileOf(id));
    const std::string last = RecordIn(file, 5, acknowledged.back());
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(file.substr(file.size() - last.size()), last);
    EXPECT_EQ(Recorder().TotalBytes(), file.size());
    EXPECT_TRUE(Logged("Cannot record the packets of 127.0.0.1 for game " + std::to_string(id) +
                       ": File too large; they are refused"));
    size_t lines = 0;
    for (const std::string& line : Form().Console().Log().Lines())
        if (line.find("Cannot record the packets") != std::string::npos) ++lines;
    EXPECT_EQ(lines, 1u) << "one line per sender connection";
    EXPECT_EQ(Form().Metrics().Disk.WriteErrors, 4u);
    EXPECT_EQ(Form().Metrics().DemoChecks[static_cast<size_t>(TDemoCheck::NotWritten)], 4u);

    // With room again, the same connection's packets are stored.
    const std::string later = Demo(6, "room again");
    cam->Send(later);
    EXPECT_EQ(AckValueOf(Next(*cam)), 0);
    acknowledged.push_back(later);
    Restart();
    EXPECT_EQ(Watch(id, acknowledged.size()), acknowledged);
}

class RecordingFsyncAlways : public Recording {
protected:
    RecordingFsyncAlways() { recording_.Fsync = TFsyncMode::Always; }
};

TEST_F(RecordingFsyncAlways, AnAnswerWaitsForTheDiskAndNothingOvertakesIt) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    for (int32_t i = 0; i < 5; ++i) {
        cam->Send(Demo(i, "frame " + std::to_string(i)) + SendText("line " + std::to_string(i)));
        const std::string ack = Next(*cam);
        // By the time the packet's answer arrives its record is on the disk.
        EXPECT_GE(Recorder().DurableEnd(id), ReadWholeFile(FileOf(id)).size() - 0) << i;
        EXPECT_EQ(Describe(ack), "ACKNAK(0)");
        EXPECT_EQ(Describe(Next(*cam)), "ACKNAK(0)") << "the text's answer comes after the packet's";
        EXPECT_EQ(TypeOf(Next(*cam)), PacketType::SENDTEXT);
    }
    EXPECT_GE(Form().Metrics().Disk.Fsyncs, 5u);
    EXPECT_EQ(Form().Metrics().Disk.FsyncErrors, 0u);
}

TEST_F(Recording, EverySecondTheFilesWrittenSinceAreForcedToTheDisk) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    Upload(*cam, SomePackets(4));
    EXPECT_TRUE(Recorder().FsyncTimer().Enabled());
    EXPECT_EQ(Recorder().FsyncTimer().Interval(), 1000u);
    Recorder().FsyncTimer().Fire();
    const uint64_t size = ReadWholeFile(FileOf(id)).size();
    ASSERT_TRUE(WaitFor([&] { return Recorder().DurableEnd(id) == size; }));
    const uint64_t forced = Form().Metrics().Disk.Fsyncs;
    EXPECT_GE(forced, 1u);
    // Nothing written since: nothing to force.
    Recorder().FsyncTimer().Fire();
    Settle();
    EXPECT_EQ(Recorder().FsyncsInFlight(), 0u);
    EXPECT_EQ(Form().Metrics().Disk.Fsyncs, forced);
}

class RecordingFsyncNo : public Recording {
protected:
    RecordingFsyncNo() { recording_.Fsync = TFsyncMode::No; }
};

TEST_F(RecordingFsyncNo, NothingIsForcedButEverythingIsWritten) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    const Packets sent = SomePackets(4);
    Upload(*cam, sent);
    EXPECT_FALSE(Recorder().FsyncTimer().Enabled());
    Recorder().FsyncTimer().Fire();
    Settle();
    EXPECT_EQ(Form().Metrics().Disk.Fsyncs, 0u);
    EXPECT_GT(Form().Metrics().Disk.BytesWritten, 0u);
    Restart();
    EXPECT_EQ(Watch(id, sent.size()), sent);
}

// Where io_uring is refused, one I/O thread forces and reads instead; the
// answers keep the same order and wait for the same disk.
class RecordingThroughAThread : public RecordingFsyncAlways {
protected:
    RecordingThroughAThread() { setenv("VISTREL_DISK_IO", "thread", 1); }
    ~RecordingThroughAThread() override { unsetenv("VISTREL_DISK_IO"); }
};

TEST_F(RecordingThroughAThread, AnAnswerWaitsForTheDiskAndEveryPacketComesBack) {
    EXPECT_TRUE(LoggedContaining("(fsync always, through an I/O thread)"));
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    Packets sent;
    for (int32_t i = 0; i < 5; ++i) {
        sent.push_back(Demo(i, "frame " + std::to_string(i)));
        cam->Send(sent.back() + SendText("line " + std::to_string(i)));
        EXPECT_EQ(Describe(Next(*cam)), "ACKNAK(0)");
        EXPECT_GE(Recorder().DurableEnd(id), ReadWholeFile(FileOf(id)).size()) << i;
        EXPECT_EQ(Describe(Next(*cam)), "ACKNAK(0)");
        EXPECT_EQ(TypeOf(Next(*cam)), PacketType::SENDTEXT);
    }
    EXPECT_GE(Form().Metrics().Disk.Fsyncs, 5u);
    Restart();
    EXPECT_EQ(Watch(id, sent.size()), sent);
}

}  // namespace
}  // namespace vistrel::testing
