// The origin routes: one game's document and its segments (the packet records
// of 64 locations), their caching headers and entity tags, the 404 answers,
// the count of segments served, and a mirrored game's live upstream as the
// distribution and the lists see it.
#include <filesystem>
#include <string>
#include <vector>

#include "core/recording_format.h"
#include "disk/recorder.h"
#include "web/origin_routes.h"
#include "tests/e2e/recording_folder.h"
#include "tests/e2e/web_test_fixture.h"

namespace vistrel::testing {
namespace {

using nlohmann::json;
using WebOrigin = WebTest;

constexpr const char* kImmutable = "public, max-age=31536000, immutable";

// The records of a segment body as (location, packet) pairs; a record that
// is not a sound packet record fails the test.
std::vector<std::pair<int32_t, std::string>> Records(std::string_view body) {
    std::vector<std::pair<int32_t, std::string>> out;
    while (!body.empty()) {
        const TRecordRead read = ReadRecord(body);
        EXPECT_EQ(read.Status, TRecordStatus::Complete);
        if (read.Status != TRecordStatus::Complete) break;
        EXPECT_EQ(read.Kind, static_cast<uint32_t>(TRecordKind::Packet));
        int32_t location = -1;
        std::string_view packet;
        EXPECT_TRUE(ReadPacketPayload(read.Payload, location, packet));
        out.emplace_back(location, std::string(packet));
        body.remove_prefix(read.Size);
    }
    return out;
}

uint64_t MetricValue(const std::string& text, const std::string& sample) {
    const size_t at = text.find("\n" + sample + " ");
    if (at == std::string::npos) return ~uint64_t{0};
    return std::stoull(text.substr(at + sample.size() + 2));
}

TEST_F(WebOrigin, SegmentsHoldTheStoredPacketsAndSayWhetherTheyCanChange) {
    TRelayClient* cam = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cam", 70);  // locations 0..69

    const json list = Json(Get("/api/v1/games"));
    EXPECT_EQ(list["games"][0]["last_segment"], 1);
    EXPECT_EQ(list["games"][0]["opened_ms"], Game(id)->OpenedMs());

    const THttpReply doc = Get("/api/v1/games/" + std::to_string(id));
    ASSERT_EQ(doc.Status, 200) << doc.Body;
    ASSERT_NE(doc.Header("Cache-Control"), nullptr);
    EXPECT_EQ(*doc.Header("Cache-Control"), "max-age=1");
    const json game = Json(doc);
    EXPECT_EQ(game["id"], id);
    EXPECT_EQ(game["name"], "Final");
    EXPECT_EQ(game["mod"], "ctf");
    EXPECT_EQ(game["game_type"], 1);
    EXPECT_EQ(game["sender"]["connected"], true);
    EXPECT_EQ(game["sender"]["name"], "Cam");
    EXPECT_EQ(game["locations"], 70);
    EXPECT_EQ(game["stored_packets"], 70);
    EXPECT_EQ(game["last_segment"], 1);
    EXPECT_EQ(game["complete_segments"], json::parse("[[0,0]]"));
    EXPECT_EQ(game["final"], false);

    // Segment 0: all 64 stored, so it never changes.
    const THttpReply s0 = Get("/api/v1/games/" + std::to_string(id) + "/segments/0");
    ASSERT_EQ(s0.Status, 200);
    EXPECT_EQ(*s0.Header("Cache-Control"), kImmutable);
    EXPECT_EQ(*s0.Header("Content-Type"), "application/octet-stream");
    ASSERT_NE(s0.Header("ETag"), nullptr);
    const std::string tag = *s0.Header("ETag");
    EXPECT_EQ(tag.front(), '"');
    EXPECT_NE(tag.rfind("W/", 0), 0u);  // strong
    auto records = Records(s0.Body);
    ASSERT_EQ(records.size(), 64u);
    for (int32_t l = 0; l < 64; ++l) {
        EXPECT_EQ(records[static_cast<size_t>(l)].first, l);
        EXPECT_EQ(records[static_cast<size_t>(l)].second, Demo(l, "demo content " + std::to_string(l)));
    }
    // The same content, the same tag; a cache holding it is told so.
    EXPECT_EQ(*Get("/api/v1/games/" + std::to_string(id) + "/segments/0").Header("ETag"), tag);
    const THttpReply again = Get("/api/v1/games/" + std::to_string(id) + "/segments/0", {{"If-None-Match", tag}});
    EXPECT_EQ(again.Status, 304);
    EXPECT_TRUE(again.Body.empty());

    // Segment 1: six of 64 while the sender films.
    const THttpReply s1 = Get("/api/v1/games/" + std::to_string(id) + "/segments/1");
    ASSERT_EQ(s1.Status, 200);
    EXPECT_EQ(*s1.Header("Cache-Control"), "public, max-age=1");
    // For nginx, which would keep a one-second copy for up to two: to the
    // end of this second only.
    ASSERT_NE(s1.Header("X-Accel-Expires"), nullptr);
    EXPECT_EQ(s1.Header("X-Accel-Expires")->front(), '@');
    EXPECT_EQ(s0.Header("X-Accel-Expires"), nullptr);
    records = Records(s1.Body);
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(records.front().first, 64);
    EXPECT_EQ(records.back().first, 69);

    // Beyond the stored end, an unknown game, another incarnation: 404.
    EXPECT_EQ(Get("/api/v1/games/" + std::to_string(id) + "/segments/2").Status, 404);
    EXPECT_EQ(Get("/api/v1/games/99/segments/0").Status, 404);
    EXPECT_EQ(Get("/api/v1/games/99").Status, 404);
    EXPECT_EQ(Get("/api/v1/games/x/segments/0").Status, 404);
    EXPECT_EQ(Get("/api/v1/games/" + std::to_string(id) + "/segments/-1").Status, 404);
    EXPECT_EQ(Get("/api/v1/games/" + std::to_string(id) + "/segments/0?opened=1").Status, 404);
    EXPECT_EQ(Get("/api/v1/games/" + std::to_string(id) + "/segments/0?opened=" +
                  std::to_string(Game(id)->OpenedMs())).Status, 200);
    EXPECT_EQ(Request("POST", "/api/v1/games/" + std::to_string(id) + "/segments/0").Status, 405);

    const std::string metrics = Get("/metrics").Body;
    EXPECT_EQ(MetricValue(metrics, "vistrel_http_segment_requests_total{state=\"final\"}"), 3u);
    EXPECT_EQ(MetricValue(metrics, "vistrel_http_segment_requests_total{state=\"changing\"}"), 1u);
    EXPECT_EQ(MetricValue(metrics, "vistrel_http_segment_not_modified_total"), 1u);
}

TEST_F(WebOrigin, AGapKeepsASegmentChangingUntilTheSenderHasGone) {
    TRelayClient* cam = nullptr;
    const int32_t id = LoggedInSender(cam, "Cam");
    for (int32_t l = 0; l < 64; ++l) {
        if (l == 10) continue;
        cam->Send(Demo(l, "p" + std::to_string(l)));
        EXPECT_EQ(AckValueOf(Next(*cam)), 0);
    }
    Settle();
    const std::string path = "/api/v1/games/" + std::to_string(id) + "/segments/0";
    THttpReply s0 = Get(path);
    EXPECT_EQ(*s0.Header("Cache-Control"), "public, max-age=1");
    EXPECT_EQ(Records(s0.Body).size(), 63u);
    const std::string before = *s0.Header("ETag");

    // The camera fills the gap and sends location 5 again: both show.
    cam->Send(Demo(10, "p10"));
    EXPECT_EQ(AckValueOf(Next(*cam)), 0);
    cam->Send(Demo(5, "replaced"));
    EXPECT_EQ(AckValueOf(Next(*cam)), 0);
    Settle();
    s0 = Get(path);
    EXPECT_EQ(*s0.Header("Cache-Control"), kImmutable);
    EXPECT_NE(*s0.Header("ETag"), before);
    const auto records = Records(s0.Body);
    ASSERT_EQ(records.size(), 64u);
    EXPECT_EQ(records[5].second, Demo(5, "replaced"));
    EXPECT_EQ(records[10].second, Demo(10, "p10"));

    // A gap in the next segment; once the sender has gone nothing can fill it.
    cam->Send(Demo(70, "p70"));
    EXPECT_EQ(AckValueOf(Next(*cam)), 0);
    Settle();
    const std::string tail = "/api/v1/games/" + std::to_string(id) + "/segments/1";
    EXPECT_EQ(*Get(tail).Header("Cache-Control"), "public, max-age=1");
    cam->Close();
    ASSERT_TRUE(WaitFor([&] { return Game(id)->Sender() == nullptr; }));
    const THttpReply s1 = Get(tail);
    EXPECT_EQ(*s1.Header("Cache-Control"), kImmutable);
    ASSERT_EQ(Records(s1.Body).size(), 1u);
    EXPECT_EQ(Json(Get("/api/v1/games/" + std::to_string(id)))["final"], true);
    EXPECT_EQ(Json(Get("/api/v1/games/" + std::to_string(id)))["sender"]["connected"], false);
}

TEST_F(WebOrigin, AGameWithALiveUpstreamMakesItsViewersWaitAtGaps) {
    TGameDescription description;
    description.GameType = 2;
    description.Name = "Mirror";
    description.Mod = "arena";
    TActiveGameList* game = Form().Host().OpenDetachedGame(0, description);
    ASSERT_NE(game, nullptr);
    const int32_t id = game->Identifier();
    game->SetLiveUpstream(true);
    ASSERT_TRUE(Form().Host().StoreDetachedPacket(*game, 0, Demo(0, "zero")));
    ASSERT_TRUE(Form().Host().StoreDetachedPacket(*game, 2, Demo(2, "two")));

    EXPECT_EQ(Json(Get("/api/v1/games"))["games"][0]["sender"]["connected"], true);
    const std::string path = "/api/v1/games/" + std::to_string(id) + "/segments/0";
    EXPECT_EQ(*Get(path).Header("Cache-Control"), "public, max-age=1");

    // A packet replaced by one of the same size: another tag, so a cache's
    // copy is not taken for the new content.
    ASSERT_TRUE(Form().Host().StoreDetachedPacket(*game, 1, Restart(1, "aaaa")));
    const THttpReply before = Get(path);
    ASSERT_TRUE(Form().Host().StoreDetachedPacket(*game, 1, Restart(1, "bbbb")));
    const THttpReply after = Get(path);
    EXPECT_EQ(before.Body.size(), after.Body.size());
    EXPECT_NE(before.Body, after.Body);
    EXPECT_NE(*before.Header("ETag"), *after.Header("ETag"));
    EXPECT_EQ(Get(path, {{"If-None-Match", *before.Header("ETag")}}).Status, 200);
    EXPECT_EQ(Get(path, {{"If-None-Match", "\"x\", " + *after.Header("ETag")}}).Status, 304);
    ASSERT_TRUE(Form().Host().StoreDetachedPacket(*game, 1, Demo(1, "one")));

    TRelayClient& viewer = NamedViewer("v");
    viewer.Send(WaitForGame(id));
    Settle();
    Drain(viewer);
    for (int i = 0; i < 3; ++i) Tick();
    std::vector<std::string> got;
    Settle();
    while (viewer.HasPacket()) got.push_back(viewer.TakePacket());
    ASSERT_EQ(got.size(), 3u);  // locations 0 to 2
    EXPECT_EQ(got[0], Demo(0, "zero"));
    EXPECT_EQ(got[1], Demo(1, "one"));
    EXPECT_EQ(got[2], Demo(2, "two"));

    // A gap at location 3 while the upstream films: the viewer waits there.
    ASSERT_TRUE(Form().Host().StoreDetachedPacket(*game, 4, Demo(4, "four")));
    for (int i = 0; i < 3; ++i) Tick();
    EXPECT_FALSE(viewer.HasPacket());

    // The upstream's camera has gone: the gap is passed over.
    game->SetLiveUpstream(false);
    Tick();
    ASSERT_TRUE(viewer.HasPacket());
    EXPECT_EQ(viewer.TakePacket(), Demo(4, "four"));
    EXPECT_EQ(Json(Get("/api/v1/games"))["games"][0]["sender"]["connected"], false);
    EXPECT_EQ(*Get("/api/v1/games/" + std::to_string(id) + "/segments/0").Header("Cache-Control"), kImmutable);
}

// A game restored from its recording, every packet paged out, one record
// damaged: its segment is never served short of it.
class WebOriginPaged : public WebTest {
protected:
    WebOriginPaged() {
        recording_.DataDir = folder_.Path();
        std::filesystem::create_directories(folder_.Path());
        file_ = EncodeRecordingHeader(TRecordingHeader{1, 0});
        file_ += EncodeDescriptionRecord(TGameDescription{1, "paged", "ctf", "cam", "127.0.0.1"});
        for (int32_t i = 0; i < 64; ++i) AppendPacketRecord(file_, i, Demo(i, "packet " + std::to_string(i)));
        WriteWholeFile(folder_.File(TRecorder::FileNameFor(1)), file_);
    }
    TRecordingFolder folder_;
    std::string file_;
};

TEST_F(WebOriginPaged, ASegmentWithAPacketThatCannotBeReadIsNoStoreUntilItIsReadWhole) {
    // Damaged after the restore, which checked it.
    std::string damaged = file_;
    damaged[damaged.find(EncodePacketRecord(10, Demo(10, "packet 10"))) + kPacketRecordHeadSize + 8] ^= 1;
    WriteWholeFile(folder_.File(TRecorder::FileNameFor(1)), damaged);
    const std::string path = "/api/v1/games/1/segments/0";
    // Answers until one is not "reading"; with `until`, until one is that.
    const auto settled = [&](int until = 0) {
        THttpReply reply = Get(path);
        for (int i = 0; i < 100 && (reply.Status == 503 || (until != 0 && reply.Status != until)); ++i) {
            Settle();
            reply = Get(path);
        }
        return reply;
    };
    const THttpReply broken = settled();
    EXPECT_EQ(broken.Status, 500);
    ASSERT_NE(broken.Header("Cache-Control"), nullptr);
    EXPECT_EQ(*broken.Header("Cache-Control"), "no-store");
    EXPECT_TRUE(Game(1)->PagedOut(10));
    EXPECT_EQ(Json(Get("/api/v1/games/1"))["stored_packets"], 64);
    // Asked again: read again, still an error, said once in the log.
    EXPECT_EQ(settled().Status, 500);
    int lines = 0;
    for (const std::string& line : Form().Console().Log().Lines())
        lines += line.find("Cannot read location 10") != std::string::npos;
    EXPECT_EQ(lines, 1);

    WriteWholeFile(folder_.File(TRecorder::FileNameFor(1)), file_);
    const THttpReply whole = settled(200);
    ASSERT_EQ(whole.Status, 200);
    EXPECT_EQ(*whole.Header("Cache-Control"), kImmutable);
    EXPECT_EQ(Records(whole.Body).size(), 64u);
    EXPECT_EQ(Records(whole.Body)[10].second, Demo(10, "packet 10"));
}

}  // namespace
}  // namespace vistrel::testing
