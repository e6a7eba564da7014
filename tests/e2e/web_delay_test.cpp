// A game under the broadcast delay shows nothing held back over HTTP: its
// document, the games list, segments, the recording download, the metrics.
#include "disk/recorder.h"
#include "tests/e2e/recording_folder.h"
#include "tests/e2e/web_test_fixture.h"

namespace vistrel::testing {
namespace {

class WebDelay : public WebTest {
protected:
    WebDelay() { recording_.DataDir = folder_.Path(); }
    TRecordingFolder folder_;
};

TEST_F(WebDelay, NothingHeldBackLeaksThroughTheHttpSide) {
    Form().SetupForEditing().BroadcastDelaySpin.SetValue(30);
    TRelayClient* cam = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cam", 3);
    const std::string game = "/api/v1/games/" + std::to_string(id);
    const std::string file = ReadWholeFile(folder_.File(TRecorder::FileNameFor(id)));
    const size_t record = kTimedPacketRecordHeadSize + Demo(0, "demo content 0").size();
    const auto expect = [&](int visible, const std::string& recording) {
        const nlohmann::json document = Json(Get(game)), listed = Json(Get("/api/v1/games"))["games"][0];
        EXPECT_EQ(document["locations"], visible);
        EXPECT_EQ(document["stored_packets"], visible);
        EXPECT_EQ(document["last_segment"], visible ? 0 : -1);
        EXPECT_EQ(listed["last_segment"], visible ? 0 : -1);
        EXPECT_EQ(listed["visible_packets"], visible);
        EXPECT_EQ(listed["stored_packets"], 3);
        EXPECT_EQ(listed["delay_seconds"], 30);
        const THttpReply segment = Get(game + "/segments/0");
        EXPECT_EQ(segment.Status, visible ? 200 : 404);
        if (visible) {
            EXPECT_EQ(segment.Body.size(), 3 * (record - 8));  // records without times
        }
        EXPECT_EQ(Get(game + "/recording").Body, recording);
        const std::string metrics = Get("/metrics").Body;
        EXPECT_NE(metrics.find("\nvistrel_broadcast_delay_seconds 30\n"), std::string::npos);
        EXPECT_NE(metrics.find("\nvistrel_held_back_packets " + std::to_string(3 - visible) + "\n"), std::string::npos);
    };
    expect(0, file.substr(0, file.size() - 3 * record));
    AdvanceClock(std::chrono::seconds(31));
    expect(3, file);
}

}  // namespace
}  // namespace vistrel::testing
