// The worked example of docs/protocol.md, read out of the page and played
// against a relay: a camera that knows only the page's bytes logs in and
// uploads a packet, and a viewer receives that packet unchanged.
#include <fstream>
#include <iterator>
#include <sstream>

#include "core/demo_verify.h"
#include "client/demo_payload.h"
#include "tests/e2e/relay_fixture.h"

namespace vistrel::testing {
namespace {

// The bytes of the page's block "```hex NAME", in the layout of hexdump -C.
std::string Example(const std::string& name) {
    std::ifstream in(SOURCE_DIR "/docs/protocol.md");
    const std::string page{std::istreambuf_iterator<char>(in), {}};
    const size_t start = page.find("```hex " + name + "\n");
    EXPECT_NE(start, std::string::npos) << name;
    if (start == std::string::npos) return {};
    std::istringstream lines(page.substr(start, page.find("```\n", start + 3) - start));
    std::string bytes, line;
    for (std::getline(lines, line); std::getline(lines, line);) {
        std::istringstream words(line);
        std::string word;
        words >> word;  // the offset
        EXPECT_EQ(std::stoul(word, nullptr, 16), bytes.size()) << line;
        while (words >> word && word[0] != '|') bytes.push_back(static_cast<char>(std::stoul(word, nullptr, 16)));
    }
    return bytes;
}

class ProtocolDoc : public RelayTest {};

TEST_F(ProtocolDoc, TheWorkedExampleIsWhatARelayTakesAndSends) {
    const std::string gameInfo = Example("gameinfo"), ackNak = Example("acknak"), demo = Example("demopacket");
    EXPECT_EQ(gameInfo, GameInfo("cam", "secret", "Final", "ctf", 1));
    EXPECT_EQ(ackNak, BuildAckNak(0));
    EXPECT_EQ(Example("waitforgame"), WaitForGame(1));
    // Location 0, checked by the CRC-32 of the page's content, and a payload the relay's check takes.
    EXPECT_EQ(PacketLocationOf(demo), 0);
    EXPECT_EQ(PacketCheckOf(demo), Crc("Hello, viewers!"));
    EXPECT_EQ(VerifyDemoPayload(DemoPayloadOf(demo), PacketCheckOf(demo)), TVerifyOutcome::Verified);

    Form().SetupForEditing().FilmDemoPasswordEdit = "secret";
    TRelayClient& viewer = NamedViewer("V");
    TRelayClient& camera = ConnectSender();
    camera.Send(gameInfo);
    EXPECT_EQ(Next(camera), ackNak);
    camera.Send(demo);
    EXPECT_EQ(Next(camera), ackNak);
    viewer.Send(Example("waitforgame"));
    Settle();
    Tick();
    std::string received;
    while (viewer.HasPacket() && received.empty())
        if (const std::string packet = viewer.TakePacket(); TypeOf(packet) == PacketType::DEMOPACKET) received = packet;
    EXPECT_EQ(received, demo);
}

}  // namespace
}  // namespace vistrel::testing
