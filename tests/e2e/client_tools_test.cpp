// vistrel-film and vistrel-watch as processes against vistreld processes on
// loopback: a game recorded from one relay, filmed to another and recorded
// there again comes back byte for byte; refused packets are sent again and
// counted; a wrong filming password ends the upload with a failure; --list
// prints the games; damage in a recording is skipped with a message; --speed
// paces the upload and a terminal gets a bar. A relay played by the test
// sends what vistreld never sends a viewer: GAMEREMOVED for its own game,
// and bytes that are no packet.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/child_process.h"
#include "tests/e2e/free_port.h"
#include "testing/loopback_listener.h"
#include "client/client_packets.h"
#include "client/demo_payload.h"
#include "client/recording_reader.h"
#include "client/relay_client.h"
#include "client/server_packets.h"
#include "core/protocol.h"
#include "core/recording_format.h"

namespace vistrel::client {
namespace {

using vistrel::testing::FreePort;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A folder of its own for one test, removed with what it holds.
class TTempFolder {
public:
    TTempFolder() {
        std::string pattern = ::testing::TempDir() + "/vistrel-tools-XXXXXX";
        path_ = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~TTempFolder() {
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A program run with its stdout and stderr each going to a file of its own.
class TProcess : public vistrel::testing::TChildProcess {
public:
    TProcess(const std::vector<std::string>& args, const std::string& outPath, const std::string& errPath)
        : TChildProcess(args, {.Output = outPath, .ErrorOutput = errPath, .Truncate = true}) {}
};

// Whether the port greets within the time; the relay may still be starting.
bool Greets(uint16_t port, std::chrono::milliseconds limit) {
    const Clock::time_point until = Clock::now() + limit;
    while (Clock::now() < until) {
        TRelayClient client(port);
        std::string error;
        if (client.Connected() && AwaitGreeting(client, 2s, error)) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// Options this vistreld takes beyond the ones every version has: a relay
// that records its games to disk by default is told not to, so the tests
// leave nothing behind.
const std::vector<std::string>& QuietOptions() {
    static const std::vector<std::string> options = [] {
        TTempFolder folder;
        TProcess help({VISTRELD_PATH, "--help"}, folder / "out", folder / "err");
        help.Wait(10s);
        std::vector<std::string> found;
        if (help.Output().find("--no-recording") != std::string::npos) found.push_back("--no-recording");
        return found;
    }();
    return options;
}

// vistreld on loopback ports of its own, with its settings file.
struct TRelay {
    std::unique_ptr<TProcess> Process;
    uint16_t SenderPort = 0;
    uint16_t ViewerPort = 0;
    uint16_t HttpPort = 0;  // 0: no HTTP side
};

TRelay StartRelay(const TTempFolder& folder, const std::string& name, const std::string& settings = {},
                  bool http = false) {
    const std::string registry = folder / (name + ".reg");
    WriteFile(registry, "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\r\n" +
                            settings);
    TRelay relay;
    for (int attempt = 0; attempt < 5; ++attempt) {
        relay.SenderPort = FreePort();
        relay.ViewerPort = FreePort();
        if (http) relay.HttpPort = FreePort();
        std::vector<std::string> args = {VISTRELD_PATH,
                                         "--address",
                                         "127.0.0.1",
                                         "--sender-port",
                                         std::to_string(relay.SenderPort),
                                         "--viewer-port",
                                         std::to_string(relay.ViewerPort),
                                         "--registry",
                                         registry,
                                         "--http",
                                         http ? "127.0.0.1:" + std::to_string(relay.HttpPort) : "off"};
        args.insert(args.end(), QuietOptions().begin(), QuietOptions().end());
        relay.Process = std::make_unique<TProcess>(args, folder / (name + ".out"), folder / (name + ".err"));
        // Both ports listen before the relay's loop runs; a probe on the
        // sender port would open a game.
        if (Greets(relay.ViewerPort, 5s) && relay.Process->Running()) return relay;
    }
    ADD_FAILURE() << "vistreld " << name << " did not start: " << relay.Process->Output() << relay.Process->ErrorOutput();
    return relay;
}

std::string Server(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

// A camera of our own on the relay: logs in and uploads the packets, each
// acknowledged with ACKNAK 0.
void Film(const TRelay& relay, const std::string& name, const std::string& mod, int32_t gameType,
          const std::vector<std::string>& packets, TRelayClient& camera) {
    std::string error;
    ASSERT_TRUE(camera.Connected());
    ASSERT_TRUE(AwaitGreeting(camera, 5s, error)) << error;
    camera.Send(GameInfo("camera", "", name, mod, gameType));
    for (const std::string& packet : packets) camera.Send(packet);
    std::vector<int32_t> answers;
    ASSERT_TRUE(camera.WaitUntil(
        [&] {
            while (camera.HasPacket()) {
                const std::string p = camera.TakePacket();
                if (TypeOf(p) == PacketType::ACKNAK) answers.push_back(AckValueOf(p));
            }
            return answers.size() == packets.size() + 1;
        },
        10s));
    EXPECT_EQ(answers, std::vector<int32_t>(packets.size() + 1, 0));
    (void)relay;
}

struct TRecorded {
    std::vector<TGameDescription> Descriptions;
    std::vector<std::pair<int32_t, std::string>> Packets;
};

// What a recording holds (a torn last record, as while it is written, ignored).
TRecorded ReadRecording(const std::string& path) {
    TRecorded recorded;
    try {
        TRecordingReader reader(path);
        TRecordingEntry entry;
        while (reader.Next(entry, [](const std::string&) {})) {
            if (entry.Kind == static_cast<uint32_t>(TRecordKind::Description)) {
                TGameDescription d;
                if (ReadDescriptionPayload(entry.Payload, d)) recorded.Descriptions.push_back(d);
            } else if (entry.Kind == static_cast<uint32_t>(TRecordKind::Packet)) {
                int32_t location = 0;
                std::string_view packet;
                if (ReadPacketPayload(entry.Payload, location, packet))
                    recorded.Packets.emplace_back(location, std::string(packet));
            }
        }
    } catch (const ERecordingFileError&) {
        // Not there yet, or no header yet.
    }
    return recorded;
}

// vistrel-watch records the game until the file holds `packets` packets,
// then is stopped with SIGINT, as a user stops it with Ctrl-C.
void Watch(const TTempFolder& folder, const TRelay& relay, int32_t gameId, const std::string& file, size_t packets) {
    TProcess watch({VISTREL_WATCH_PATH, "--server", Server(relay.ViewerPort), "--game", std::to_string(gameId), "-o",
                    file},
                   folder / "watch.out", folder / "watch.err");
    // The relay sends one packet of a game every half second.
    const Clock::time_point until = Clock::now() + 5s + packets * 1s;
    while (ReadRecording(file).Packets.size() < packets && Clock::now() < until && watch.Running())
        std::this_thread::sleep_for(50ms);
    ASSERT_EQ(ReadRecording(file).Packets.size(), packets) << watch.ErrorOutput();
    watch.Signal(SIGINT);
    EXPECT_EQ(watch.Wait(10s), 0) << watch.ErrorOutput();
    EXPECT_NE(watch.Output().find(std::to_string(packets) + " packets"), std::string::npos) << watch.Output();
}

std::string Binary(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    return bytes;
}

TEST(ClientTools, ARecordingRoundTripsBetweenTwoRelaysByteForByte) {
    TTempFolder folder;
    TRelay a = StartRelay(folder, "a");
    TRelay b = StartRelay(folder, "b");

    std::string everyByte;
    for (int i = 0; i < 256; ++i) everyByte.push_back(static_cast<char>(i));
    const std::string first = Demo(0, everyByte);
    const std::string replaced = Demo(1, "the first take of location 1");
    const std::string restart = Restart(2, std::string("\0\x01\xff restart \0 body", 18));
    const std::string third = Demo(3, Binary(3000, 7));
    const std::string again = Demo(1, Binary(500, 8) + everyByte);
    const std::string last = Demo(4, "the end");
    TRelayClient camera(a.SenderPort);
    Film(a, "Final of the Cup", "ctf", 1, {first, replaced, restart, third, again, last}, camera);
    camera.Close();
    // Location 1 was sent twice: a relay keeps the later packet.
    const std::vector<std::pair<int32_t, std::string>> stored = {{0, first}, {1, again}, {2, restart}, {3, third},
                                                                 {4, last}};

    const std::string file1 = folder / "from-a.rec", file2 = folder / "from-b.rec";
    Watch(folder, a, 1, file1, stored.size());

    TProcess film({VISTREL_FILM_PATH, file1, "--server", Server(b.SenderPort), "--as-fast-as-possible"},
                  folder / "film.out", folder / "film.err");
    ASSERT_EQ(film.Wait(20s), 0) << film.Output() << film.ErrorOutput();
    EXPECT_NE(film.Output().find("5 of 5 packets sent (0 resends), 5 accepted, 0 refused"), std::string::npos)
        << film.Output();

    Watch(folder, b, 1, file2, stored.size());

    // The 40-byte headers differ in the time each recording was opened (and
    // would in the game's identifier, were it another on the second relay);
    // everything after them is the same, byte for byte.
    const std::string bytes1 = ReadFile(file1), bytes2 = ReadFile(file2);
    ASSERT_GT(bytes1.size(), kRecordingHeaderSize);
    EXPECT_EQ(bytes1.substr(kRecordingHeaderSize), bytes2.substr(kRecordingHeaderSize));

    const TRecorded recorded = ReadRecording(file2);
    EXPECT_EQ(recorded.Packets, stored);
    ASSERT_EQ(recorded.Descriptions.size(), 1u);
    EXPECT_EQ(recorded.Descriptions[0].Name, "Final of the Cup");
    EXPECT_EQ(recorded.Descriptions[0].Mod, "ctf");
    EXPECT_EQ(recorded.Descriptions[0].GameType, 1);
}

// A recording written by hand: the header, a description, the packets.
std::string MakeRecording(const std::vector<std::string>& packets) {
    std::string bytes = EncodeRecordingHeader({7, 1700000000000});
    bytes += EncodeDescriptionRecord({1, "Hand made", "dm", "maker", "127.0.0.1:1"});
    for (const std::string& packet : packets) bytes += EncodePacketRecord(PacketLocationOf(packet), packet);
    return bytes;
}

TEST(ClientTools, APacketTheRelayRefusesIsSentAgainThreeTimesThenCountedAsRefused) {
    TTempFolder folder;
    TRelay relay = StartRelay(folder, "relay");
    const std::string file = folder / "bad.rec";
    // The middle packet's check does not match its content: the relay
    // answers ACKNAK 1 every time and goes on.
    WriteFile(file, MakeRecording({Demo(0, "fine"), BadCheckDemo(1, "wrong check"), Demo(2, "fine too")}));

    TProcess film({VISTREL_FILM_PATH, file, "--server", Server(relay.SenderPort), "--as-fast-as-possible"},
                  folder / "film.out", folder / "film.err");
    EXPECT_EQ(film.Wait(20s), 1) << film.ErrorOutput();
    EXPECT_NE(film.Output().find("3 of 3 packets sent (3 resends), 2 accepted, 1 refused, 0 unanswered"),
              std::string::npos)
        << film.Output();
}

TEST(ClientTools, AnUploadLargerThanItsWindowIsAcceptedWhole) {
    TTempFolder folder;
    TRelay relay = StartRelay(folder, "relay");
    // 20 MiB of content that does not compress: more than the 8 MiB and the
    // 64 packets that may be on their way unanswered at once.
    std::vector<std::string> packets;
    for (int32_t location = 0; location < 320; ++location)
        packets.push_back(Demo(location, Binary(64 << 10, static_cast<unsigned>(location))));
    const std::string file = folder / "large.rec";
    WriteFile(file, MakeRecording(packets));

    TProcess film({VISTREL_FILM_PATH, file, "--server", Server(relay.SenderPort), "--as-fast-as-possible"},
                  folder / "film.out", folder / "film.err");
    EXPECT_EQ(film.Wait(60s), 0) << film.ErrorOutput();
    EXPECT_NE(film.Output().find("320 of 320 packets sent (0 resends), 320 accepted, 0 refused, 0 unanswered"),
              std::string::npos)
        << film.Output();
}

TEST(ClientTools, AWrongFilmingPasswordFailsTheUploadAndTheRightOneIsAccepted) {
    TTempFolder folder;
    TRelay relay = StartRelay(folder, "relay", "\"FilmDemoPasswordEdit\"=\"secret\"\r\n");
    const std::string file = folder / "game.rec";
    WriteFile(file, MakeRecording({Demo(0, "a"), Demo(1, "b"), Demo(2, "c")}));

    // The relay answers the login, then closes a camera whose password is
    // wrong; the packets that reach it before it closes are answered ACKNAK 1.
    TProcess wrong({VISTREL_FILM_PATH, file, "--server", Server(relay.SenderPort), "--password", "guess",
                    "--as-fast-as-possible"},
                   folder / "wrong.out", folder / "wrong.err");
    EXPECT_EQ(wrong.Wait(20s), 1);
    EXPECT_NE(wrong.Output().find(", 0 accepted, "), std::string::npos) << wrong.Output();
    EXPECT_NE(wrong.ErrorOutput().find("the relay refused the camera"), std::string::npos) << wrong.ErrorOutput();
    EXPECT_NE(wrong.ErrorOutput().find("filming password"), std::string::npos) << wrong.ErrorOutput();

    TProcess right({VISTREL_FILM_PATH, file, "--server", Server(relay.SenderPort), "--password", "secret",
                    "--as-fast-as-possible"},
                   folder / "right.out", folder / "right.err");
    EXPECT_EQ(right.Wait(20s), 0) << right.ErrorOutput();
    EXPECT_NE(right.Output().find("3 accepted, 0 refused"), std::string::npos) << right.Output();
}

TEST(ClientTools, WatchEndsWithACompleteFileWhenTheRelayClosesAndFailsForAGameNotThere) {
    TTempFolder folder;
    TRelay relay = StartRelay(folder, "relay");
    TRelayClient camera(relay.SenderPort);
    const std::vector<std::string> packets = {Demo(0, "zero"), Demo(1, "one")};
    Film(relay, "Short", "dm", 1, packets, camera);

    const std::string file = folder / "short.rec";
    // An HTTP side that does not answer costs the progress its number, once, and nothing else.
    TProcess watch({VISTREL_WATCH_PATH, "--server", Server(relay.ViewerPort), "--game", "1", "-o", file, "--api",
                    "http://" + Server(FreePort()) + "/"},
                   folder / "watch.out", folder / "watch.err");
    const Clock::time_point until = Clock::now() + 10s;
    while (ReadRecording(file).Packets.size() < packets.size() && Clock::now() < until)
        std::this_thread::sleep_for(50ms);
    // A relay that stops (or deletes the game) closes its viewers.
    relay.Process->Signal(SIGTERM);
    EXPECT_EQ(watch.Wait(10s), 0) << watch.ErrorOutput();
    EXPECT_NE(watch.Output().find("2 packets"), std::string::npos) << watch.Output();
    EXPECT_NE(watch.Output().find("the relay closed the connection"), std::string::npos) << watch.Output();
    const std::string said = watch.ErrorOutput();
    EXPECT_NE(said.find("--api: "), std::string::npos) << said;
    EXPECT_EQ(said.find("--api: "), said.rfind("--api: ")) << said;
    const std::string bytes = ReadFile(file);
    const THeaderRead header = ReadRecordingHeader(bytes);
    ASSERT_EQ(header.Status, THeaderStatus::Valid);
    EXPECT_EQ(header.Header.GameId, 1);
    const int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_LT(std::abs(nowMs - header.Header.OpenedMs), 60000) << "opened: now";
    EXPECT_EQ(bytes, EncodeRecordingHeader(ReadRecordingHeader(bytes).Header) +
                         EncodeDescriptionRecord({1, "Short", "dm", "", ""}) + EncodePacketRecord(0, packets[0]) +
                         EncodePacketRecord(1, packets[1]));

    TRelay other = StartRelay(folder, "other");
    const std::string none = folder / "none.rec";
    TProcess missing({VISTREL_WATCH_PATH, "--server", Server(other.ViewerPort), "--game", "9", "-o", none},
                     folder / "missing.out", folder / "missing.err");
    EXPECT_EQ(missing.Wait(15s), 1);
    EXPECT_NE(missing.ErrorOutput().find("the relay has no game 9"), std::string::npos) << missing.ErrorOutput();
    EXPECT_NE(access(none.c_str(), F_OK), 0) << "no file is made for a game that is not there";
}

TEST(ClientTools, ListPrintsTheRelaysGames) {
    TTempFolder folder;
    TRelay relay = StartRelay(folder, "relay");
    TRelayClient one(relay.SenderPort), two(relay.SenderPort);
    Film(relay, "Evening Match", "ctf", 1, {Demo(0, "x")}, one);
    Film(relay, "Second", "base", 0, {}, two);

    TProcess list({VISTREL_WATCH_PATH, "--server", Server(relay.ViewerPort), "--list"}, folder / "list.out",
                  folder / "list.err");
    EXPECT_EQ(list.Wait(10s), 0) << list.ErrorOutput();
    std::istringstream lines(list.Output());
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> columns;
        // Columns are two spaces apart or more; a name may hold single spaces.
        size_t at = 0;
        while (at < line.size()) {
            size_t end = line.find("  ", at);
            if (end == std::string::npos) end = line.size();
            columns.push_back(line.substr(at, end - at));
            at = line.find_first_not_of(' ', end);
            if (at == std::string::npos) break;
        }
        rows.push_back(columns);
    }
    ASSERT_EQ(rows.size(), 3u) << list.Output();
    EXPECT_EQ(rows[0], (std::vector<std::string>{"ID", "NAME", "GAME", "MOD", "VIEWERS"}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"1", "Evening Match", std::string(GameLabel(1)), "ctf", "0"}));
    EXPECT_EQ(rows[2], (std::vector<std::string>{"2", "Second", std::string(GameLabel(0)), "base", "0"}));
}

TEST(ClientTools, DamagedRecordsAreSkippedWithAMessageAndAForeignFileIsAnError) {
    TTempFolder folder;
    TRelay relay = StartRelay(folder, "relay");
    const std::vector<std::string> packets = {Demo(0, "zero"), Demo(1, "one, to be damaged"), Demo(2, "two"),
                                              Demo(3, "three, torn")};
    std::string bytes = MakeRecording(packets);
    // A byte of the second packet's content flipped, and the last record
    // cut short, as a writer that stopped in the middle leaves it.
    const size_t second = bytes.find(packets[1]);
    bytes[second + PacketSize::DemoHeader + 2] ^= 0x40;
    bytes.resize(bytes.size() - 5);
    const std::string file = folder / "damaged.rec";
    WriteFile(file, bytes);

    TProcess film({VISTREL_FILM_PATH, file, "--server", Server(relay.SenderPort), "--as-fast-as-possible"},
                  folder / "film.out", folder / "film.err");
    EXPECT_EQ(film.Wait(20s), 0) << film.ErrorOutput();
    EXPECT_NE(film.Output().find("2 of 2 packets sent (0 resends), 2 accepted"), std::string::npos) << film.Output();
    EXPECT_NE(film.ErrorOutput().find("is damaged (its CRC does not match)"), std::string::npos) << film.ErrorOutput();
    EXPECT_NE(film.ErrorOutput().find("is torn"), std::string::npos) << film.ErrorOutput();

    const std::string foreign = folder / "notes.txt";
    WriteFile(foreign, "Not a recording at all, just some text that is long enough.\n");
    TProcess refused({VISTREL_FILM_PATH, foreign, "--server", Server(relay.SenderPort)}, folder / "foreign.out",
                     folder / "foreign.err");
    EXPECT_EQ(refused.Wait(10s), 1);
    EXPECT_NE(refused.ErrorOutput().find("not a recording"), std::string::npos) << refused.ErrorOutput();
}

TEST(ClientTools, SpeedPacesTheUpload) {
    TTempFolder folder;
    TRelay relay = StartRelay(folder, "relay");
    const std::string file = folder / "paced.rec";
    WriteFile(file, MakeRecording({Demo(0, "a"), Demo(1, "b"), Demo(2, "c"), Demo(3, "d"), Demo(4, "e")}));

    // Five packets at four times the relay's pace of one per 500 ms: the
    // fifth goes 4 x 125 ms after the first. Only the lower bound is held to.
    const Clock::time_point start = Clock::now();
    TProcess film({VISTREL_FILM_PATH, file, "--server", Server(relay.SenderPort), "--speed", "4"},
                  folder / "film.out", folder / "film.err");
    EXPECT_EQ(film.Wait(20s), 0) << film.ErrorOutput();
    EXPECT_GE(Clock::now() - start, 500ms);
    EXPECT_NE(film.Output().find("5 accepted"), std::string::npos) << film.Output();
}


// A relay played by the test on a socket of its own, for what vistreld
// never sends a viewer: GAMEREMOVED for the game it watches, and bytes that
// are no packet at all.
class TFakeRelay {
public:
    TFakeRelay() { EXPECT_TRUE(listener_.Listening()); }
    ~TFakeRelay() {
        if (peer_ >= 0) close(peer_);
    }
    uint16_t Port() const { return listener_.Port(); }

    // Takes the viewer's connection, greets it and reads `bytes` from it.
    bool Accept(size_t bytes) {
        pollfd p{listener_.Handle(), POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return false;
        peer_ = accept4(listener_.Handle(), nullptr, nullptr, SOCK_CLOEXEC);
        if (peer_ < 0 || !Send(std::string(kBanner) + std::string(kLineEnd))) return false;
        while (received_.size() < bytes) {
            pollfd q{peer_, POLLIN, 0};
            if (poll(&q, 1, 5000) != 1) return false;
            char buf[4096];
            const ssize_t n = read(peer_, buf, sizeof buf);
            if (n <= 0) return false;
            received_.append(buf, static_cast<size_t>(n));
        }
        return true;
    }
    bool Send(std::string_view bytes) {
        return write(peer_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    const std::string& Received() const { return received_; }
    int Peer() const { return peer_; }

private:
    vistrel::testing::TLoopbackListener listener_{4};
    int peer_ = -1;
    std::string received_;
};

std::string Detailed(int32_t id, int32_t type, std::string_view name, std::string_view mod, int32_t viewers) {
    std::string p = BuildPacket(PacketType::GAMEINFODETAILED, PacketSize::GAMEINFODETAILED);
    WriteInt32(p, PacketOffset::GameId, id);
    WriteInt32(p, PacketOffset::DetailedType, type);
    WriteInt32(p, PacketOffset::DetailedViewers, viewers);
    WriteTextSlot(p, Slot::DetailedName, name);
    WriteTextSlot(p, Slot::DetailedMod, mod);
    return p;
}

TEST(ClientTools, WatchRecordsDescriptionChangesAndEndsWhenTheGameIsRemoved) {
    TTempFolder folder;
    TFakeRelay relay;
    const std::string file = folder / "fake.rec";
    TProcess watch({VISTREL_WATCH_PATH, "--server", Server(relay.Port()), "--game", "5", "-o", file, "--name", "rec"},
                   folder / "watch.out", folder / "watch.err");
    // A USERINFO in the whole form a viewer program sends, then WAITFORGAME.
    ASSERT_TRUE(relay.Accept(PacketSize::USERINFO_CONSUMED + PacketSize::WAITFORGAME));
    EXPECT_EQ(TypeOf(relay.Received()), PacketType::USERINFO);
    EXPECT_EQ(UserInfoNameOf(relay.Received()), "rec");
    const std::string_view wait = std::string_view(relay.Received()).substr(PacketSize::USERINFO_CONSUMED);
    EXPECT_EQ(TypeOf(wait), PacketType::WAITFORGAME);
    EXPECT_EQ(WaitForGameIdOf(wait), 5);

    const std::string zero = Demo(0, "zero"), one = Restart(1, "one");
    ASSERT_TRUE(relay.Send(AckNak(0) + Detailed(4, 0, "Other", "x", 3) + Detailed(5, 1, "One", "dm", 0) + AckNak(0) +
                           Detailed(5, 1, "One", "dm", 1) + zero + BuildNotice("rec entered") +
                           Detailed(5, 1, "Two", "dm", 1) + Detailed(5, 1, "Two", "dm", 2) + one +
                           BuildGameRemoved(4) + BuildGameRemoved(5)));
    EXPECT_EQ(watch.Wait(10s), 0) << watch.ErrorOutput();
    EXPECT_NE(watch.Output().find("the game was removed"), std::string::npos) << watch.Output();
    // A new description record when the name changes; none for the viewer
    // count alone, none for another game.
    const std::string bytes = ReadFile(file);
    EXPECT_EQ(bytes.substr(kRecordingHeaderSize),
              EncodeDescriptionRecord({1, "One", "dm", "", ""}) + EncodePacketRecord(0, zero) +
                  EncodeDescriptionRecord({1, "Two", "dm", "", ""}) + EncodePacketRecord(1, one));
    EXPECT_EQ(ReadRecordingHeader(bytes).Header.GameId, 5);
}

TEST(ClientTools, WatchStopsAtBytesThatAreNoPacket) {
    TTempFolder folder;
    TFakeRelay relay;
    TProcess watch({VISTREL_WATCH_PATH, "--server", Server(relay.Port()), "--game", "5", "-o", folder / "x.rec"},
                   folder / "watch.out", folder / "watch.err");
    ASSERT_TRUE(relay.Accept(PacketSize::USERINFO_CONSUMED + PacketSize::WAITFORGAME));
    std::string stranger = BuildPacket(99, PacketSize::Header);
    // A DEMOPACKET that claims far more than any relay sends is no packet either.
    std::string huge = BuildPacket(PacketType::DEMOPACKET, PacketSize::DemoHeader);
    WriteInt32(huge, PacketOffset::Length, int32_t{1} << 30);
    ASSERT_TRUE(relay.Send(Detailed(5, 1, "One", "dm", 1) + stranger));
    EXPECT_EQ(watch.Wait(10s), 1);
    EXPECT_NE(watch.ErrorOutput().find("no packet of its protocol"), std::string::npos) << watch.ErrorOutput();

    TFakeRelay second;
    TProcess list({VISTREL_WATCH_PATH, "--server", Server(second.Port()), "--list"}, folder / "list.out",
                  folder / "list.err");
    ASSERT_TRUE(second.Accept(PacketSize::USERINFO_CONSUMED));
    ASSERT_TRUE(second.Send(AckNak(0) + huge));
    EXPECT_EQ(list.Wait(10s), 1);
    EXPECT_NE(list.ErrorOutput().find("no packet of its protocol"), std::string::npos) << list.ErrorOutput();
}

// A pseudo-terminal for a program's stderr: what it draws there, read
// until the program ends (or the limit), then what is left.
class TTerminal {
public:
    TTerminal() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        EXPECT_GE(master_, 0);
        EXPECT_EQ(grantpt(master_), 0);
        EXPECT_EQ(unlockpt(master_), 0);
    }
    ~TTerminal() { close(master_); }
    std::string Path() const { return ptsname(master_); }
    std::string ReadWhile(TProcess& process, std::chrono::seconds limit) {
        const Clock::time_point start = Clock::now();
        while (process.Running() && Clock::now() - start < limit) ReadFor(50);
        while (ReadFor(100)) {
        }
        return drawn_;
    }

private:
    bool ReadFor(int ms) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, ms) != 1) return false;
        char buf[4096];
        const ssize_t n = read(master_, buf, sizeof buf);
        if (n > 0) drawn_.append(buf, static_cast<size_t>(n));
        return n > 0;
    }

    int master_;
    std::string drawn_;
};

// SIGINT ends the tool within a second although the relay never stops sending.
void ExpectSigintEndsItUnderAFlood(TProcess& tool, int peer, int status) {
    std::string burst;
    while (burst.size() < (size_t{1} << 20)) burst += BuildUserLeft("x");
    const auto pour = [&] {
        while (send(peer, burst.data(), burst.size(), MSG_NOSIGNAL) > 0) continue;
    };
    std::thread flood(pour);
    std::this_thread::sleep_for(300ms);
    tool.Signal(SIGINT);
    const int got = tool.Wait(1s);
    if (got < 0) tool.Kill();
    flood.join();
    EXPECT_EQ(got, status) << tool.ErrorOutput();
}

TEST(ClientTools, BothToolsKeepUpWithAFloodAndEndWithinASecondOfSigint) {
    TTempFolder folder;
    TFakeRelay relay;
    const std::string file = folder / "flood.rec";
    TProcess watch({VISTREL_WATCH_PATH, "--server", Server(relay.Port()), "--game", "5", "-o", file},
                   folder / "watch.out", folder / "watch.err");
    ASSERT_TRUE(relay.Accept(PacketSize::USERINFO_CONSUMED + PacketSize::WAITFORGAME));
    // A packet behind 6 MiB of small ones is written at once, not after a quadratic walk.
    std::string burst = Detailed(5, 1, "One", "dm", 1);
    while (burst.size() < (size_t{6} << 20)) burst += BuildUserLeft("x");
    std::thread send([&] { relay.Send(burst + Demo(0, "after the burst")); });
    for (int i = 0; i < 150 && ReadRecording(file).Packets.empty(); ++i) std::this_thread::sleep_for(20ms);
    send.join();
    EXPECT_EQ(ReadRecording(file).Packets.size(), 1u) << watch.ErrorOutput();
    ExpectSigintEndsItUnderAFlood(watch, relay.Peer(), 0);

    TFakeRelay camera;
    WriteFile(folder / "up.rec", MakeRecording({Demo(0, "a"), Demo(1, "b")}));
    TProcess film({VISTREL_FILM_PATH, folder / "up.rec", "--server", Server(camera.Port())}, folder / "film.out",
                  folder / "film.err");
    ASSERT_TRUE(camera.Accept(PacketSize::GAMEINFO));
    ExpectSigintEndsItUnderAFlood(film, camera.Peer(), 1);
}

TEST(ClientTools, FilmDrawsABarOnATerminal) {
    TTempFolder folder;
    TRelay relay = StartRelay(folder, "relay");
    const std::string file = folder / "paced.rec";
    WriteFile(file, MakeRecording({Demo(0, "a"), Demo(1, "b"), Demo(2, "c"), Demo(3, "d"), Demo(4, "e")}));

    TTerminal terminal;
    const Clock::time_point start = Clock::now();
    TProcess film({VISTREL_FILM_PATH, file, "--server", Server(relay.SenderPort), "--speed", "4"}, folder / "film.out",
                  terminal.Path());
    const std::string drawn = terminal.ReadWhile(film, 20s);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(film.Wait(1s), 0);
    // Redrawn in place, at most about ten times a second, the last state
    // whole, then the line ended.
    const auto redraws = std::count(drawn.begin(), drawn.end(), '\r');
    EXPECT_GE(redraws, 2) << drawn;
    EXPECT_LE(redraws, static_cast<long>(seconds * 10) + 3) << drawn;
    EXPECT_NE(drawn.find("100%  5/5 packets"), std::string::npos) << drawn;
    EXPECT_EQ(drawn.back(), '\n') << drawn;
}

// On a terminal vistrel-watch shows how far it has come, says when it has
// everything the relay holds, and with --until-caught-up ends there itself;
// with --api (the watch password given) how far the game goes, too.
TEST(ClientTools, WatchShowsProgressOnATerminalAndStopsOnceCaughtUp) {
    TTempFolder folder;
    TRelay relay = StartRelay(folder, "relay", "\"WatchDemoPasswordEdit\"=\"seen\"\r\n", true);
    WriteFile(folder / "watch.pw", "seen\n");
    TRelayClient camera(relay.SenderPort);
    Film(relay, "Final", "ctf", 1, {Demo(0, "a"), Demo(1, "b"), Demo(2, "c"), Demo(3, "d")}, camera);
    camera.Close();

    TTerminal terminal;
    const std::string file = folder / "caught-up.rec";
    TProcess watch({VISTREL_WATCH_PATH, "--server", Server(relay.ViewerPort), "--game", "1", "-o", file,
                    "--until-caught-up", "--api", "http://" + Server(relay.HttpPort) + "/", "--api-password-file",
                    folder / "watch.pw"},
                   folder / "watch.out", terminal.Path());
    const std::string drawn = terminal.ReadWhile(watch, 20s);
    EXPECT_EQ(watch.Wait(1s), 0) << drawn;
    EXPECT_NE(drawn.find("\r2 packets"), std::string::npos) << drawn;
    EXPECT_NE(drawn.find("next location 4 of 4  caught up"), std::string::npos) << drawn;
    EXPECT_EQ(drawn.find("--api"), std::string::npos) << drawn;
    EXPECT_EQ(drawn.back(), '\n') << drawn;
    EXPECT_NE(watch.Output().find("; caught up"), std::string::npos) << watch.Output();
    EXPECT_EQ(ReadRecording(file).Packets.size(), 4u);
}

}  // namespace
}  // namespace vistrel::client
