// The HTTP side of a game under the broadcast delay: its document, the games
// list, its segments, its recording download and the metrics show nothing a
// viewer could not see yet, and all of it once the delay has passed.
#include <chrono>
#include <string>

#include "core/recording_format.h"
#include "disk/recorder.h"
#include "tests/e2e/recording_folder.h"
#include "tests/e2e/web_test_fixture.h"

namespace vistrel::testing {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

class WebDelay : public WebTest {
protected:
    WebDelay() { recording_.DataDir = folder_.Path(); }
    TRecordingFolder folder_;
};

uint64_t Metric(const std::string& text, const std::string& sample) {
    const size_t at = text.find("\n" + sample + " ");
    return at == std::string::npos ? ~uint64_t{0} : std::stoull(text.substr(at + sample.size() + 2));
}

TEST_F(WebDelay, NothingHeldBackLeaksThroughTheHttpSide) {
    Form().SetupForEditing().BroadcastDelaySpin.SetValue(30);
    TRelayClient* cam = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cam", 3);
    const std::string game = "/api/v1/games/" + std::to_string(id);
    const std::string file = ReadWholeFile(folder_.File(TRecorder::FileNameFor(id)));
    size_t packetRecords = 0;
    for (int i = 0; i < 3; ++i) packetRecords += kTimedPacketRecordHeadSize + Demo(i, "demo content 0").size();

    json document = Json(Get(game));
    EXPECT_EQ(document["locations"], 0);
    EXPECT_EQ(document["stored_packets"], 0);
    EXPECT_EQ(document["last_segment"], -1);
    json listed = Json(Get("/api/v1/games"))["games"][0];
    EXPECT_EQ(listed["stored_packets"], 3);
    EXPECT_EQ(listed["visible_packets"], 0);
    EXPECT_EQ(listed["delay_seconds"], 30);
    EXPECT_EQ(listed["last_segment"], -1);
    EXPECT_EQ(Get(game + "/segments/0").Status, 404);
    const THttpReply held = Get(game + "/recording");
    ASSERT_EQ(held.Status, 200);
    EXPECT_EQ(held.Body, file.substr(0, file.size() - packetRecords));
    std::string metrics = Get("/metrics").Body;
    EXPECT_EQ(Metric(metrics, "vistrel_broadcast_delay_seconds"), 30u);
    EXPECT_EQ(Metric(metrics, "vistrel_held_back_packets"), 3u);

    AdvanceClock(31s);
    document = Json(Get(game));
    EXPECT_EQ(document["locations"], 3);
    EXPECT_EQ(document["stored_packets"], 3);
    EXPECT_EQ(document["last_segment"], 0);
    EXPECT_EQ(document["final"], false);
    EXPECT_EQ(Json(Get("/api/v1/games"))["games"][0]["visible_packets"], 3);
    const THttpReply segment = Get(game + "/segments/0");
    ASSERT_EQ(segment.Status, 200);
    EXPECT_EQ(segment.Body.size(), 3 * (kPacketRecordHeadSize + Demo(0, "demo content 0").size()));
    EXPECT_EQ(Get(game + "/recording").Body, file);
    metrics = Get("/metrics").Body;
    EXPECT_EQ(Metric(metrics, "vistrel_held_back_packets"), 0u);
}

}  // namespace
}  // namespace vistrel::testing
