// The metrics page: it parses as the Prometheus text format (checked by a
// strict parser of our own), follows the naming rules, and its counters
// move as things happen on the relay.
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "web/metrics_text.h"
#include "edge/edge_metrics.h"
#include "edge/origin_mirror.h"
#include "tests/e2e/web_test_fixture.h"

namespace vistrel::testing {
namespace {

using TLabels = std::map<std::string, std::string>;

struct TSample {
    std::string Name;
    TLabels Labels;
    double Value = 0;
};

struct TPage {
    std::map<std::string, std::string> Types;  // family -> type
    std::vector<TSample> Samples;

    // The value of the one sample with this name and these labels (NaN if none).
    double Value(const std::string& name, const TLabels& labels = {}) const {
        for (const TSample& s : Samples)
            if (s.Name == name && s.Labels == labels) return s.Value;
        return std::nan("");
    }
};

bool IsNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == ':'; }
bool IsNameChar(char c) { return IsNameStart(c) || std::isdigit(static_cast<unsigned char>(c)); }

std::string FamilyOf(const std::string& name, const std::map<std::string, std::string>& types) {
    for (const char* suffix : {"_bucket", "_sum", "_count"}) {
        const std::string s(suffix);
        if (name.size() > s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0) {
            const std::string base = name.substr(0, name.size() - s.size());
            if (auto it = types.find(base); it != types.end() && it->second == "histogram") return base;
        }
    }
    return name;
}

// Parses the text format (0.0.4) strictly; an empty string, or what is wrong.
std::string ParsePage(const std::string& text, TPage& page) {
    if (text.empty() || text.back() != '\n') return "the page does not end with a line feed";
    std::set<std::string> helped, seenSeries, finished;
    std::string current;
    size_t at = 0;
    int lineNo = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        ++lineNo;
        const std::string where = "line " + std::to_string(lineNo) + ": ";
        if (line.empty()) return where + "empty line";
        if (line[0] == '#') {
            const bool help = line.rfind("# HELP ", 0) == 0, type = line.rfind("# TYPE ", 0) == 0;
            if (!help && !type) return where + "a comment that is neither HELP nor TYPE";
            const std::string rest = line.substr(7);
            const size_t space = rest.find(' ');
            if (space == std::string::npos) return where + "no text after the name";
            const std::string name = rest.substr(0, space);
            if (name.empty() || !IsNameStart(name[0])) return where + "bad name";
            for (char c : name)
                if (!IsNameChar(c)) return where + "bad name";
            if (finished.count(name)) return where + "family " + name + " appears twice";
            if (current != name) {
                if (!current.empty()) finished.insert(current);
                current = name;
            }
            if (help) {
                if (!helped.insert(name).second) return where + "second HELP";
            } else {
                const std::string kind = rest.substr(space + 1);
                if (kind != "counter" && kind != "gauge" && kind != "histogram" && kind != "summary" && kind != "untyped")
                    return where + "bad type " + kind;
                if (page.Types.count(name)) return where + "second TYPE";
                page.Types[name] = kind;
            }
            continue;
        }
        TSample sample;
        size_t i = 0;
        while (i < line.size() && IsNameChar(line[i])) ++i;
        sample.Name = line.substr(0, i);
        if (sample.Name.empty() || !IsNameStart(sample.Name[0])) return where + "bad sample name";
        if (i < line.size() && line[i] == '{') {
            ++i;
            while (i < line.size() && line[i] != '}') {
                const size_t keyStart = i;
                while (i < line.size() && IsNameChar(line[i]) && line[i] != ':') ++i;
                const std::string key = line.substr(keyStart, i - keyStart);
                if (key.empty() || std::isdigit(static_cast<unsigned char>(key[0]))) return where + "bad label name";
                if (line.compare(i, 2, "=\"") != 0) return where + "label without =\"";
                i += 2;
                std::string value;
                while (i < line.size() && line[i] != '"') {
                    if (line[i] == '\\') {
                        if (i + 1 >= line.size()) return where + "bad escape";
                        const char e = line[i + 1];
                        if (e == 'n') value += '\n';
                        else if (e == '\\' || e == '"') value += e;
                        else return where + "bad escape";
                        i += 2;
                    } else {
                        value += line[i++];
                    }
                }
                if (i >= line.size()) return where + "unterminated label value";
                ++i;
                if (sample.Labels.count(key)) return where + "label twice";
                sample.Labels[key] = value;
                if (i < line.size() && line[i] == ',') ++i;
            }
            if (i >= line.size()) return where + "unterminated labels";
            ++i;
        }
        if (i >= line.size() || line[i] != ' ') return where + "no value";
        const std::string valueText = line.substr(i + 1);
        if (valueText == "+Inf") sample.Value = INFINITY;
        else if (valueText == "-Inf") sample.Value = -INFINITY;
        else if (valueText == "NaN") sample.Value = NAN;
        else {
            char* endPtr = nullptr;
            sample.Value = std::strtod(valueText.c_str(), &endPtr);
            if (valueText.empty() || *endPtr != '\0') return where + "bad value " + valueText;
        }
        const std::string family = FamilyOf(sample.Name, page.Types);
        if (!page.Types.count(family)) return where + "sample " + sample.Name + " before its TYPE";
        if (family != current) return where + "sample " + sample.Name + " outside its family";
        std::string series = sample.Name;
        for (const auto& [k, v] : sample.Labels) series += "," + k + "=" + v;
        if (!seenSeries.insert(series).second) return where + "series twice: " + series;
        page.Samples.push_back(sample);
    }
    return {};
}

// Our naming rules and the histogram's shape.
std::string CheckRules(const TPage& page) {
    for (const auto& [name, type] : page.Types) {
        // process_* is the standard family set every exporter shares.
        if (name.rfind("vistrel_", 0) != 0 && name.rfind("process_", 0) != 0)
            return name + " lacks the vistrel_ prefix";
        const bool total = name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0;
        if ((type == "counter") != total) return name + ": _total is for counters, and every counter has it";
    }
    for (const auto& [name, type] : page.Types) {
        if (type != "histogram") continue;
        double previous = 0, last = -1;
        std::set<std::string> bounds;
        for (const TSample& s : page.Samples) {
            if (s.Name != name + "_bucket") continue;
            if (!s.Labels.count("le")) return name + ": a bucket without le";
            if (s.Value < previous) return name + ": buckets are not cumulative";
            previous = last = s.Value;
            bounds.insert(s.Labels.at("le"));
        }
        if (!bounds.count("+Inf")) return name + ": no +Inf bucket";
        if (last != page.Value(name + "_count")) return name + ": the +Inf bucket differs from _count";
        if (std::isnan(page.Value(name + "_sum"))) return name + ": no _sum";
    }
    return {};
}

class WebMetrics : public WebTest {
protected:
    TPage Scrape() {
        const THttpReply reply = Get("/metrics");
        EXPECT_EQ(reply.Status, 200);
        EXPECT_NE(reply.Header("Content-Type"), nullptr);
        if (reply.Header("Content-Type")) {
            EXPECT_EQ(*reply.Header("Content-Type"), kMetricsContentType);
        }
        TPage page;
        const std::string error = ParsePage(reply.Body, page);
        EXPECT_EQ(error, "") << reply.Body;
        EXPECT_EQ(CheckRules(page), "") << reply.Body;
        return page;
    }
};

TEST_F(WebMetrics, ThePageParsesAndFollowsTheRules) {
    const TPage page = Scrape();
    for (const char* family :
         {"vistrel_games", "vistrel_senders", "vistrel_viewers", "vistrel_stored_packets", "vistrel_stored_bytes",
          "vistrel_memory_budget_bytes", "vistrel_memory_budget_used_bytes", "vistrel_connection_buffer_bytes",
          "vistrel_packets_received_total", "vistrel_demo_packet_checks_total", "vistrel_packets_sent_total",
          "vistrel_sent_bytes_total", "vistrel_connections_accepted_total", "vistrel_connections_closed_total",
          "vistrel_log_lines_total", "vistrel_distribution_tick_duration_seconds", "vistrel_handler_errors_total",
          "vistrel_loop_unhandled_errors_total"})
        EXPECT_TRUE(page.Types.count(family)) << family;
    EXPECT_EQ(page.Types.at("vistrel_distribution_tick_duration_seconds"), "histogram");
    // The process's own figures, as the kernel has them now.
    EXPECT_GT(page.Value("process_resident_memory_bytes"), 1 << 20);
    EXPECT_GT(page.Value("process_open_fds"), 2);
    EXPECT_LE(page.Value("process_open_fds"), page.Value("process_max_fds"));
    EXPECT_GE(page.Value("process_cpu_seconds_total"), 0);
    EXPECT_GT(page.Value("process_start_time_seconds"), 1.6e9);
    EXPECT_EQ(page.Types.at("vistrel_build_info"), "gauge");
}

TEST_F(WebMetrics, TheParserCatchesWhatIsWrong) {
    TPage page;
    EXPECT_NE(ParsePage("vistrel_x 1\n", page), "");                                    // no TYPE
    EXPECT_NE(ParsePage("# TYPE vistrel_x gauge\nvistrel_x 1", page), "");             // no final line feed
    EXPECT_NE(ParsePage("# TYPE vistrel_x gauge\nvistrel_x{a=\"1} 1\n", page), "");    // unterminated
    EXPECT_NE(ParsePage("# TYPE vistrel_x gauge\nvistrel_x one\n", page), "");         // bad value
    EXPECT_NE(ParsePage("# TYPE vistrel_x gauge\nvistrel_x 1\nvistrel_x 2\n", page), "");  // series twice
    TPage ok;
    ASSERT_EQ(ParsePage("# TYPE vistrel_x counter\nvistrel_x 1\n", ok), "");
    EXPECT_NE(CheckRules(ok), "");  // a counter without _total
}

TEST_F(WebMetrics, GaugesAndCountersFollowTheRelay) {
    SetPassword("pw");
    const TPage before = Scrape();
    const TLabels sender = {{"port", "sender"}}, viewer = {{"port", "viewer"}};
    EXPECT_EQ(before.Value("vistrel_games"), 0);
    EXPECT_EQ(before.Value("vistrel_connections_accepted_total", sender), 0);

    TRelayClient* cam = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cam", 3);
    cam->Send(BadCheckDemo(3, "broken"));
    EXPECT_EQ(AckValueOf(Next(*cam)), 1);
    TRelayClient& watcher = NamedViewer("w");
    TRelayClient& leaver = NamedViewer("leaver");
    watcher.Send(WaitForGame(id));
    Settle();
    Tick();
    Tick();

    TPage page = Scrape();
    EXPECT_EQ(page.Value("vistrel_games"), 1);
    EXPECT_EQ(page.Value("vistrel_senders"), 1);
    EXPECT_EQ(page.Value("vistrel_viewers"), 2);
    EXPECT_EQ(page.Value("vistrel_stored_packets"), 3);
    size_t bytes = 0;
    for (int i = 0; i < 3; ++i) bytes += Demo(i, "demo content " + std::to_string(i)).size();
    EXPECT_EQ(page.Value("vistrel_stored_bytes"), static_cast<double>(bytes));
    EXPECT_EQ(page.Value("vistrel_memory_budget_used_bytes", {{"part", "stored"}}),
              static_cast<double>(TMainFormProbe::Games(Form())->StoredBytes()));
    EXPECT_EQ(page.Value("vistrel_connections_accepted_total", sender), 1);
    EXPECT_EQ(page.Value("vistrel_connections_accepted_total", viewer), 2);
    EXPECT_EQ(page.Value("vistrel_packets_received_total", {{"port", "sender"}, {"type", "GAMEINFO"}}), 1);
    EXPECT_EQ(page.Value("vistrel_packets_received_total", {{"port", "sender"}, {"type", "DEMOPACKET"}}), 4);
    EXPECT_EQ(page.Value("vistrel_packets_received_total", {{"port", "viewer"}, {"type", "USERINFO"}}), 2);
    EXPECT_EQ(page.Value("vistrel_packets_received_total", {{"port", "viewer"}, {"type", "WAITFORGAME"}}), 1);
    EXPECT_EQ(page.Value("vistrel_demo_packet_checks_total", {{"outcome", "verified"}}), 3);
    EXPECT_EQ(page.Value("vistrel_demo_packet_checks_total", {{"outcome", "checksum_mismatch"}}), 1);
    EXPECT_GE(page.Value("vistrel_distribution_tick_duration_seconds_count"), 2);
    EXPECT_EQ(page.Value("vistrel_log_lines_total"), Form().Console().Log().Count());
    // The watcher was sent the two stored packets the ticks gave it, among others.
    const double sentBefore = page.Value("vistrel_packets_sent_total", viewer);
    const double bytesBefore = page.Value("vistrel_sent_bytes_total", viewer);
    EXPECT_GE(sentBefore, 2);
    Tick();
    page = Scrape();
    EXPECT_EQ(page.Value("vistrel_packets_sent_total", viewer), sentBefore + 1);
    EXPECT_EQ(page.Value("vistrel_sent_bytes_total", viewer), bytesBefore + Game(id)->Data(2).size());

    // Closes by reason: a viewer leaves, one is kicked, the sender is halted,
    // a sender with the wrong filming password is refused.
    leaver.Close();
    Settle();
    const int64_t watcherId = Json(Get("/api/v1/viewers"))["viewers"][0]["id"];
    EXPECT_EQ(Request("POST", "/api/v1/viewers/" + std::to_string(watcherId) + "/kick", Auth("pw")).Status, 200);
    EXPECT_EQ(Request("POST", "/api/v1/games/" + std::to_string(id) + "/halt", Auth("pw")).Status, 200);
    Form().SetupForEditing().FilmDemoPasswordEdit = "film";
    TRelayClient& intruder = ConnectSender();
    intruder.Send(GameInfo("x", "not film"));
    EXPECT_TRUE(WaitFor([&] { return intruder.Ended() && cam->Ended() && watcher.Ended(); }));
    Settle();
    page = Scrape();
    EXPECT_EQ(page.Value("vistrel_connections_closed_total", {{"port", "viewer"}, {"reason", "normal"}}), 1);
    EXPECT_EQ(page.Value("vistrel_connections_closed_total", {{"port", "viewer"}, {"reason", "kicked"}}), 1);
    EXPECT_EQ(page.Value("vistrel_connections_closed_total", {{"port", "sender"}, {"reason", "kicked"}}), 1);
    EXPECT_EQ(page.Value("vistrel_connections_closed_total", {{"port", "sender"}, {"reason", "refused"}}), 1);
    EXPECT_EQ(page.Value("vistrel_viewers"), 0);
    EXPECT_EQ(page.Value("vistrel_log_lines_total"), Form().Console().Log().Count());
}

TEST_F(WebMetrics, BoundsAndRefusalsAreCountedAsSuch) {
    // One viewer too many is refused.
    TMainFormProbe::DemoViewers(Form()).MaxClients = 1;
    ConnectViewer();
    clients_.push_back(std::make_unique<TRelayClient>(TMainFormProbe::DemoViewers(Form()).LocalPort()));
    TRelayClient& extra = *clients_.back();
    EXPECT_TRUE(WaitFor([&] { return extra.Ended(); }));
    // A sender past the input bound.
    TMainFormProbe::SetMaxUnhandledInput(Form(), 64);
    TRelayClient& flood = ConnectSender();
    flood.Send(std::string(PacketSize::Header, '\x63') + std::string(200, 'x'));  // an unknown type, stuck
    EXPECT_TRUE(WaitFor([&] { return flood.Ended(); }));
    Settle();
    const TPage page = Scrape();
    EXPECT_EQ(page.Value("vistrel_connections_closed_total", {{"port", "viewer"}, {"reason", "refused"}}), 1);
    EXPECT_EQ(page.Value("vistrel_connections_closed_total", {{"port", "sender"}, {"reason", "bound_exceeded"}}), 1);
}

TEST_F(WebMetrics, GamesBytesLagAndJoinsAreCounted) {
    TRelayClient *cam = nullptr, *done = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cam", 3);
    const int32_t finished = SenderWithDemo(done, "Done", 2);
    done->Close();
    const std::string upload = Demo(3, "one more");
    const double received = Scrape().Value("vistrel_received_bytes_total", {{"port", "sender"}});
    cam->Send(upload);
    EXPECT_EQ(AckValueOf(Next(*cam)), 0);
    TRelayClient& viewer = NamedViewer("w");
    viewer.Send(WaitForGame(id));
    Settle();
    AdvanceClock(std::chrono::milliseconds(300));
    Tick();
    TPage page = Scrape();
    EXPECT_EQ(page.Value("vistrel_received_bytes_total", {{"port", "sender"}}), received + upload.size());
    EXPECT_GT(page.Value("vistrel_received_bytes_total", {{"port", "viewer"}}), 0);
    const TLabels game = {{"game", std::to_string(id)}};
    EXPECT_EQ(page.Value("vistrel_game_viewers", game), 1);
    EXPECT_EQ(page.Value("vistrel_game_camera_filming", game), 1);
    EXPECT_TRUE(std::isnan(page.Value("vistrel_game_stored_packets", {{"game", std::to_string(finished)}})));
    // Waited 0.3 s on the stepped clock for its first packet; three more to go.
    EXPECT_EQ(page.Value("vistrel_join_latency_seconds_bucket", {{"le", "0.25"}}), 0);
    EXPECT_EQ(page.Value("vistrel_join_latency_seconds_bucket", {{"le", "0.5"}}), 1);
    EXPECT_EQ(page.Value("vistrel_viewer_lag_packets_bucket", {{"le", "2"}}), 0);
    EXPECT_EQ(page.Value("vistrel_viewer_lag_packets_bucket", {{"le", "4"}}), 1);
    const double sent = page.Value("vistrel_game_sent_bytes_total", game);
    Tick();
    page = Scrape();
    EXPECT_EQ(page.Value("vistrel_game_sent_bytes_total", game), sent + Game(id)->Data(1).size());
    EXPECT_EQ(page.Value("vistrel_join_latency_seconds_count"), 1);
    EXPECT_EQ(page.Value("vistrel_viewer_lag_packets_count"), 2);
    EXPECT_EQ(page.Value("vistrel_viewer_lag_packets_bucket", {{"le", "2"}}), 1);
}

TEST_F(WebMetrics, HttpAnswersAreCountedByRouteAndStatus) {
    SetPassword("pw");
    EXPECT_EQ(Get("/api/v1/status").Status, 200);
    EXPECT_EQ(Get("/no/such/path").Status, 404);
    EXPECT_EQ(Request("POST", "/api/v1/games/1/halt").Status, 401);
    const TPage page = Scrape();
    EXPECT_EQ(page.Value("vistrel_http_requests_total", {{"route", "/api/v1/status"}, {"status", "200"}}), 1);
    EXPECT_EQ(page.Value("vistrel_http_requests_total", {{"route", "other"}, {"status", "404"}}), 1);
    EXPECT_EQ(page.Value("vistrel_http_requests_total", {{"route", "/api/v1/games/{id}/halt"}, {"status", "401"}}), 1);
}

TEST_F(WebMetrics, AnEdgeShowsItsOriginsHealth) {
    TRelayClient* cam = nullptr;
    const int32_t id = SenderWithDemo(cam, "Cam", 5);
    TMainForm edge(loop_, front_, nullptr, TListenSettings{"127.0.0.1", "0", "0"});
    ASSERT_TRUE(edge.FormCreate());
    TMirrorOptions options;
    options.OriginUrl = "http://127.0.0.1:" + std::to_string(Port());
    options.PollInterval = options.RetryFirst = options.RetryMax = std::chrono::milliseconds(100);
    TOriginMirror mirror(edge.Host(), loop_, options);
    mirror.Start();
    TWebApi edgeWeb(edge, TWebOptions{});
    edgeWeb.SetMoreMetrics([&mirror](TMetricsText& out) { AppendEdgeMetrics(out, mirror); });
    edgeWeb.Start();
    request_port_ = edgeWeb.LocalPort();
    ASSERT_TRUE(WaitFor([&] { return mirror.LocalIdOf(id) != 0 && mirror.PacketsStored() == 5; }));
    TPage page = Scrape();
    EXPECT_EQ(page.Value("vistrel_edge_origin_up"), 1);
    EXPECT_EQ(page.Value("vistrel_edge_behind_origin_packets"), 0);
    EXPECT_LT(page.Value("vistrel_edge_last_good_fetch_age_seconds"), 5);
    for (const char* reason : {"connect", "timeout", "http_status", "bad_body", "too_large", "other"})
        EXPECT_EQ(page.Value("vistrel_edge_fetch_errors_total", {{"reason", reason}}), 0) << reason;
    web_->Stop();
    ASSERT_TRUE(WaitFor([&] { return !mirror.OriginReachable(); }));
    page = Scrape();
    EXPECT_EQ(page.Value("vistrel_edge_origin_up"), 0);
    EXPECT_GE(page.Value("vistrel_edge_fetch_errors_total", {{"reason", "connect"}}), 1);
    request_port_ = 0;
}

TEST(MetricsText, WritesFamiliesAndEscapesLabels) {
    TMetricsText out;
    out.Family("vistrel_x_total", "counter", "Help with \\ and\nline.");
    out.Sample("vistrel_x_total", {{"a", "q\"b\\c\nd"}}, uint64_t{7});
    out.Family("vistrel_y", "gauge", "A gauge.");
    out.Sample("vistrel_y", 0.25);
    EXPECT_EQ(out.Text(),
              "# HELP vistrel_x_total Help with \\\\ and\\nline.\n# TYPE vistrel_x_total counter\n"
              "vistrel_x_total{a=\"q\\\"b\\\\c\\nd\"} 7\n# HELP vistrel_y A gauge.\n# TYPE vistrel_y gauge\n"
              "vistrel_y 0.25\n");
    TPage page;
    EXPECT_EQ(ParsePage(out.Text(), page), "");
    EXPECT_EQ(page.Samples[0].Labels.at("a"), "q\"b\\c\nd");
    EXPECT_EQ(FormatMetricValue(INFINITY), "+Inf");
    EXPECT_EQ(FormatMetricValue(3), "3");
}

}  // namespace
}  // namespace vistrel::testing
