// GET /api/v1/games/{id}/recording: the game's file with its length and a
// file name built from the game's identifier and a safe form of its name;
// 404 for an unknown game and while recording is off; reads need the
// password off loopback as every read does.
#include <string>

#include "core/recording_format.h"
#include "disk/recorder.h"
#include "tests/e2e/recording_folder.h"
#include "tests/e2e/web_test_fixture.h"

namespace vistrel::testing {
namespace {

class WebRecording : public WebTest {
protected:
    WebRecording() { recording_.DataDir = folder_.Path(); }
    TRecordingFolder folder_;
};

TEST_F(WebRecording, TheRecordingDownloadsWithItsLengthAndASafeName) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    cam->Send(GameInfo("Cam", "", "Grand \"final\"/../x\r\n"));
    EXPECT_EQ(AckValueOf(Next(*cam)), 0);
    const std::string first = Demo(0, "first frame");
    const std::string second = Restart(1, "restart");
    cam->Send(first + second);
    EXPECT_EQ(AckValueOf(Next(*cam)), 0);
    EXPECT_EQ(AckValueOf(Next(*cam)), 0);

    const THttpReply reply = Get("/api/v1/games/" + std::to_string(id) + "/recording");
    ASSERT_EQ(reply.Status, 200);
    const std::string file = ReadWholeFile(folder_.File(TRecorder::FileNameFor(id)));
    EXPECT_EQ(reply.Body, file);
    ASSERT_NE(reply.Header("Content-Length"), nullptr);
    EXPECT_EQ(*reply.Header("Content-Length"), std::to_string(file.size()));
    ASSERT_NE(reply.Header("Content-Disposition"), nullptr);
    EXPECT_EQ(*reply.Header("Content-Disposition"),
              "attachment; filename=\"game-" + std::to_string(id) + "-Grand__final__.._x__.vrec\"");
    EXPECT_EQ(*reply.Header("Content-Type"), "application/octet-stream");
    EXPECT_NE(reply.Body.find(EncodePacketRecord(0, first)), std::string::npos);
    EXPECT_NE(reply.Body.find(EncodePacketRecord(1, second)), std::string::npos);

    EXPECT_EQ(Get("/api/v1/games/999/recording").Status, 404);
    EXPECT_EQ(Get("/api/v1/games/x/recording").Status, 404);
    EXPECT_EQ(Request("POST", "/api/v1/games/" + std::to_string(id) + "/recording").Status, 405);
    // Deleted with its game.
    Form().DeleteGame1Click({Form().Console().IndexOfGameRow(id)});
    EXPECT_EQ(Get("/api/v1/games/" + std::to_string(id) + "/recording").Status, 404);
}

TEST_F(WebRecording, ReadsOffLoopbackNeedThePassword) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    StartWeb({}, false, "0.0.0.0");
    SetPassword("secret");
    EXPECT_EQ(Get("/api/v1/games/" + std::to_string(id) + "/recording").Status, 401);
    EXPECT_EQ(Get("/api/v1/games/" + std::to_string(id) + "/recording", Auth("secret")).Status, 200);
}

using WebNoRecording = WebTest;

TEST_F(WebNoRecording, WithoutRecordingThereIsNothingToDownload) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    cam->Send(Demo(0, "frame"));
    EXPECT_EQ(AckValueOf(Next(*cam)), 0);
    const THttpReply reply = Get("/api/v1/games/" + std::to_string(id) + "/recording");
    EXPECT_EQ(reply.Status, 404);
    EXPECT_EQ(Json(reply)["error"], "recording is off");
}

}  // namespace
}  // namespace vistrel::testing
