// Sender connections over loopback: login, upload and its verification,
// chat, the bounds on malformed input and the refusal before login.
#include <string>

#include "relay/relay_limits.h"
#include "tests/e2e/relay_fixture.h"

namespace vistrel::testing {
namespace {

using Sender = RelayTest;

TEST_F(Sender, ConnectOpensAGameAndGameInfoInPiecesLogsIn) {
    TRelayClient& viewer = NamedViewer("V");
    TRelayClient& s = ConnectSender();
    EXPECT_TRUE(Logged("Cammer connecting: 127.0.0.1"));
    ASSERT_EQ(TMainFormProbe::Games(Form())->Count(), 1);
    EXPECT_EQ(Form().Console().Games().Line(0), "1;;;;0;0;127.0.0.1;;0;0;");
    EXPECT_NE(Form().Console().Games().Link(0), nullptr);

    const std::string info = GameInfo("Cam", "", "Final", "ctf", 1);
    s.Send(info.substr(0, 40));
    Settle();
    s.Send(info.substr(40, 40));
    Settle();
    EXPECT_TRUE(s.Unread().empty()) << "answered before the GAMEINFO was complete";
    s.Send(info.substr(80));
    EXPECT_EQ(Describe(Next(s)), "ACKNAK(0)");
    EXPECT_EQ(Drain(s), std::vector<std::string>{});

    EXPECT_EQ(Form().Console().Games().Line(0), "1;Final;Quake 3;ctf;0;0;Cam;;0;0;");
    EXPECT_TRUE(Logged("127.0.0.1 camming a demo for Quake 3 ctf"));
    const TActiveGameList* game = Game(1);
    EXPECT_EQ(game->Name(), "Final");
    EXPECT_EQ(game->Mod(), "ctf");
    EXPECT_EQ(game->GameType(), 1);
    // Every viewer hears of the described game, watching or not.
    EXPECT_EQ(Drain(viewer), std::vector<std::string>{"GAMEINFODETAILED(1, 0 viewers)"});
}

TEST_F(Sender, UploadIsVerifiedAcknowledgedAndStoredWhole) {
    TRelayClient* s = nullptr;
    const int32_t id = LoggedInSender(s);
    const std::string good = Demo(0, "frame zero frame zero frame zero");
    std::string trailing = Demo(1, "second");
    // Bytes after the end of the zlib stream: the run stops before the
    // whole payload is read.
    trailing += "xx";
    WriteInt32(trailing, PacketOffset::Length, static_cast<int32_t>(trailing.size()));
    // Two packets in one write are both handled, in order.
    s->Send(good + BadCheckDemo(1, "second") + trailing + Demo(1, "second"));
    EXPECT_EQ(Drain(*s), (std::vector<std::string>{"ACKNAK(0)", "ACKNAK(1)", "ACKNAK(1)", "ACKNAK(0)"}));
    ASSERT_EQ(Game(id)->Count(), 2);
    EXPECT_EQ(Game(id)->Data(0), good);
    EXPECT_EQ(Game(id)->Tag(0), kTagDemoPacket);
    EXPECT_EQ(Game(id)->Data(1), Demo(1, "second"));

    // A restart is stored unread; a location past the end leaves gaps.
    s->Send(Restart(5, "any body at all"));
    EXPECT_EQ(Drain(*s), std::vector<std::string>{"ACKNAK(0)"});
    ASSERT_EQ(Game(id)->Count(), 6);
    EXPECT_TRUE(Game(id)->Data(3).empty());
    EXPECT_EQ(Game(id)->Tag(3), kTagDemoRestart);
    EXPECT_EQ(Game(id)->Data(5), Restart(5, "any body at all"));
}

TEST_F(Sender, UndecompressablePayloadIsRefusedOnceAndTheConnectionGoesOn) {
    TRelayClient* s = nullptr;
    const int32_t id = LoggedInSender(s);
    const uint64_t checks = TMainFormProbe::PayloadChecks(Form());
    // Not a zlib stream, and an empty payload: answered like a wrong check,
    // consumed, and what follows is handled.
    s->Send(RawDemo(0, "this is not a zlib stream", 0) + Demo(1, "reached"));
    EXPECT_EQ(Drain(*s), (std::vector<std::string>{"ACKNAK(1)", "ACKNAK(0)"}));
    s->Send(RawDemo(0, "", 0) + AckNak(0) + SendText("hello"));
    EXPECT_EQ(Drain(*s), (std::vector<std::string>{"ACKNAK(1)", "ACKNAK(0)", "SENDTEXT(Cam: hello)"}));
    ASSERT_EQ(Game(id)->Count(), 2);
    EXPECT_TRUE(Game(id)->Data(0).empty());
    EXPECT_EQ(Game(id)->Data(1), Demo(1, "reached"));
    EXPECT_FALSE(s->Ended());
    // Each payload was checked once; later bytes check nothing again.
    EXPECT_EQ(TMainFormProbe::PayloadChecks(Form()), checks + 3);
    s->Send(AckNak(0));
    Settle();
    EXPECT_EQ(TMainFormProbe::PayloadChecks(Form()), checks + 3);

    // A negative location is refused before anything is stored or checked:
    // the sender is closed without an answer.
    TRelayClient* t = nullptr;
    const int32_t other = LoggedInSender(t);
    t->Send(Demo(-1, "x"));
    t->Send(Demo(0, "y"));
    EXPECT_TRUE(WaitFor([&] { return t->Ended(); }));
    EXPECT_EQ(Drain(*t), std::vector<std::string>{});
    EXPECT_EQ(Game(other)->Count(), 0);
    EXPECT_EQ(TMainFormProbe::PayloadChecks(Form()), checks + 3);
}

TEST_F(Sender, ChatGoesToTheGamesViewersAndBack) {
    TRelayClient* s = nullptr;
    const int32_t id = LoggedInSender(s, "Cam");
    TRelayClient& watching = NamedViewer("W");
    watching.Send(WaitForGame(id));
    TRelayClient& idle = NamedViewer("I");
    Settle();
    Drain(watching);
    Drain(idle);
    Drain(*s);

    s->Send(SendText("hello all", "spoofed"));
    EXPECT_EQ(Drain(*s), (std::vector<std::string>{"ACKNAK(0)", "SENDTEXT(Cam: hello all)"}));
    EXPECT_EQ(Drain(watching), std::vector<std::string>{"SENDTEXT(Cam: hello all)"});
    EXPECT_EQ(Drain(idle), std::vector<std::string>{});

    // Before any GAMEINFO (no filming password) the name slot is empty.
    TRelayClient& anonymous = ConnectSender();
    anonymous.Send(SendText("who am I", "spoofed"));
    EXPECT_EQ(Drain(anonymous), (std::vector<std::string>{"ACKNAK(0)", "SENDTEXT(: who am I)"}));
}

TEST_F(Sender, WrongPasswordClosesAndLaterPacketsOfTheReadDependOnThePassword) {
    // No filming password: a sender offering one fails the login, and a
    // DEMOPACKET behind it in the same read is still stored (storing never
    // waited for a login).
    TRelayClient& first = ConnectSender();
    first.Send(GameInfo("Cam", "guess") + Demo(0, "kept"));
    EXPECT_TRUE(WaitFor([&] { return first.Ended(); }));
    Settle();
    EXPECT_TRUE(Logged("127.0.0.1 using Cam as name had invalid password for filming"));
    EXPECT_EQ(Game(1)->Count(), 1);

    // With a filming password, nothing from a sender that has not logged in
    // reaches its game.
    Form().SetupForEditing().FilmDemoPasswordEdit = "secret";
    TRelayClient& second = ConnectSender();
    second.Send(GameInfo("Cam", "Secret") + Demo(0, "refused"));
    EXPECT_TRUE(WaitFor([&] { return second.Ended(); }));
    Settle();
    EXPECT_TRUE(Logged("127.0.0.1 sent packets without logging in for filming; they are refused"));
    // The disconnect takes the stranger's empty game with it; the first
    // game, with its packet, stays.
    EXPECT_TRUE(Logged("Cammer disconnecting: 127.0.0.1"));
    EXPECT_TRUE(Logged("127.0.0.1 left without logging in for filming; its empty game 2 is removed"));
    EXPECT_EQ(Game(2), nullptr);
    ASSERT_EQ(Form().Console().Games().Count(), 1);
    EXPECT_EQ(Form().Console().Games().Line(0), "1;;;;0;0;127.0.0.1;;0;0;");
    EXPECT_EQ(Game(1)->Count(), 1);
}

TEST_F(Sender, BeforeLoginWithAFilmingPasswordEverythingIsRefused) {
    Form().SetupForEditing().FilmDemoPasswordEdit = "secret";
    TRelayClient& viewer = NamedViewer("V");
    TRelayClient& s = ConnectSender();
    viewer.Send(WaitForGame(1));
    Settle();
    Drain(viewer);
    Drain(s);
    const size_t linesBefore = Form().Console().Log().Lines().size();

    s.Send(SendText("spam") + Demo(0, "a") + Restart(1, "b"));
    EXPECT_EQ(Drain(s), (std::vector<std::string>{"ACKNAK(1)", "ACKNAK(1)", "ACKNAK(1)"}));
    EXPECT_EQ(Game(1)->Count(), 0);
    EXPECT_EQ(Drain(viewer), std::vector<std::string>{});
    EXPECT_EQ(Form().Console().Log().Lines().size(), linesBefore + 1) << "one line per connection, not per packet";

    s.Send(GameInfo("Cam", "secret") + Demo(0, "a") + SendText("hi"));
    EXPECT_EQ(Drain(s), (std::vector<std::string>{"ACKNAK(0)", "ACKNAK(0)", "ACKNAK(0)", "SENDTEXT(Cam: hi)"}));
    EXPECT_EQ(Game(1)->Count(), 1);
    EXPECT_EQ(Drain(viewer), (std::vector<std::string>{"GAMEINFODETAILED(1, 1 viewers)", "SENDTEXT(Cam: hi)"}));

    // The length bounds come before the refusal.
    TRelayClient& t = ConnectSender();
    std::string shortPacket = Header(PacketType::DEMOPACKET, 16);
    WriteInt32(shortPacket, PacketOffset::Length, 8);
    t.Send(shortPacket);
    EXPECT_TRUE(WaitFor([&] { return t.Ended(); }));
    EXPECT_TRUE(Logged("127.0.0.1 sent a DEMOPACKET with an invalid length of 8 bytes; connection closed"));
}

TEST_F(Sender, LengthFieldsOutsideTheBoundsClose) {
    struct Case {
        int32_t type;
        int32_t length;
        const char* line;
    } cases[] = {
        {PacketType::DEMOPACKET, 0, "127.0.0.1 sent a DEMOPACKET with an invalid length of 0 bytes; connection closed"},
        {PacketType::DEMORESTART, 15,
         "127.0.0.1 sent a DEMORESTART with an invalid length of 15 bytes; connection closed"},
        {PacketType::DEMOPACKET, -5, "127.0.0.1 sent a DEMOPACKET with an invalid length of -5 bytes; connection closed"},
        {PacketType::DEMORESTART, kMaxDemoPacketLength + 1,
         "127.0.0.1 sent a DEMORESTART with an invalid length of 16777217 bytes; connection closed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        TRelayClient& s = ConnectSender();
        std::string p = Header(c.type, 16);
        WriteInt32(p, PacketOffset::Length, c.length);
        s.Send(p);
        EXPECT_TRUE(WaitFor([&] { return s.Ended(); }));
        EXPECT_TRUE(Logged(c.line));
    }
}

TEST_F(Sender, LargestPacketIsAcceptedAndLocationsTooFarClose) {
    TRelayClient* s = nullptr;
    const int32_t id = LoggedInSender(s);
    const std::string largest = Restart(0, std::string(kMaxDemoPacketLength - 16, 'r'));
    s->Send(largest);
    ASSERT_TRUE(WaitFor([&] { return s->HasPacket(); }));
    EXPECT_EQ(Describe(s->TakePacket()), "ACKNAK(0)");
    EXPECT_EQ(Game(id)->Data(0).size(), largest.size());

    // From a count of 1, location 65537 opens 65536 gaps: allowed.
    s->Send(Demo(1 + kMaxGapsPerStore, "far"));
    EXPECT_EQ(Drain(*s), std::vector<std::string>{"ACKNAK(0)"});
    EXPECT_EQ(Game(id)->Count(), 2 + kMaxGapsPerStore);

    // One more would open 65537: closed, nothing stored, no acknowledgement.
    const int32_t count = Game(id)->Count();
    s->Send(Restart(count + kMaxGapsPerStore + 1, "too far"));
    EXPECT_TRUE(WaitFor([&] { return s->Ended(); }));
    EXPECT_EQ(Drain(*s), std::vector<std::string>{});
    EXPECT_EQ(Game(id)->Count(), count);
    EXPECT_TRUE(Logged("127.0.0.1 sent a packet for location " + std::to_string(count + kMaxGapsPerStore + 1) +
                       ", too far beyond the end of its demo; connection closed"));

    TRelayClient* t = nullptr;
    const int32_t other = LoggedInSender(t);
    t->Send(Demo(kMaxGapsPerStore + 1, "too far"));
    EXPECT_TRUE(WaitFor([&] { return t->Ended(); }));
    EXPECT_EQ(Game(other)->Count(), 0);
}

TEST_F(Sender, StalledInputIsBoundedAndClosed) {
    ASSERT_EQ(TMainFormProbe::MaxUnhandledInput(Form()), kMaxUnhandledInput);
    TRelayClient& s = ConnectSender();
    // An unknown type code stalls the parsing for good; what follows piles up.
    s.Send(Header(1, 12));
    const std::string chunk(1 << 20, 'z');
    for (int i = 0; i < 16; ++i) s.Send(chunk);
    Settle();
    EXPECT_FALSE(s.Ended()) << "16 MiB + 12 bytes stays within the bound";
    s.Send(std::string(64 << 10, 'z'));
    EXPECT_TRUE(WaitFor([&] { return s.Ended(); }));
    EXPECT_TRUE(LoggedContaining("Cammer 127.0.0.1 left 1"));
    EXPECT_TRUE(LoggedContaining(" bytes it sent unhandled; connection closed"));
}

TEST_F(Sender, NetworkTextNeverBreaksALogLine) {
    TRelayClient& s = ConnectSender();
    s.Send(GameInfo("Cam\nFake line", "wrong"));
    EXPECT_TRUE(WaitFor([&] { return s.Ended(); }));
    EXPECT_TRUE(Logged("127.0.0.1 using Cam\\x0AFake line as name had invalid password for filming"));
    for (const std::string& line : Form().Console().Log().Lines()) EXPECT_EQ(line.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace vistrel::testing
