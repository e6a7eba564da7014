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
    EXPECT_FALSE(RecordIn(reply.Body, 0, first).empty());
    EXPECT_FALSE(RecordIn(reply.Body, 1, second).empty());

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

TEST_F(WebRecording, ARestoredGamesSegmentIsServedOnlyOnceItsPacketsAreReadBack) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam);
    std::string expected;
    for (int32_t location = 0; location < 3; ++location) {
        const std::string packet = Demo(location, "frame " + std::to_string(location));
        cam->Send(packet);
        EXPECT_EQ(AckValueOf(Next(*cam)), 0);
        AppendPacketRecord(expected, location, packet);
    }
    // A restart brings the game back with its packets still on disk.
    web_.reset();
    clients_.clear();
    form_.reset();
    SetUp();
    const int32_t index = Form().Games()->IndexOfId(id);
    ASSERT_GE(index, 0);
    const TActiveGameList* game = &Form().Games()->At(index);
    ASSERT_GT(game->PagedOutCount(), 0);

    // Never an empty copy that a cache would keep as final: first "come
    // back", then the whole segment once it is read back.
    const std::string segment = "/api/v1/games/" + std::to_string(id) + "/segments/0";
    THttpReply reply = Get(segment);
    ASSERT_EQ(reply.Status, 503);
    EXPECT_EQ(*reply.Header("Cache-Control"), "no-store");
    EXPECT_NE(reply.Header("Retry-After"), nullptr);
    ASSERT_TRUE(WaitFor([&] { return game->PagedOutCount() == 0; }));
    reply = Get(segment);
    ASSERT_EQ(reply.Status, 200);
    EXPECT_EQ(reply.Body, expected);
    EXPECT_EQ(*reply.Header("Cache-Control"), "public, max-age=31536000, immutable");
    EXPECT_EQ(Json(Get("/api/v1/games/" + std::to_string(id)))["stored_packets"], 3);
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
