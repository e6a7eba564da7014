// A real Prometheus (Debian's) scraping a relay as docs/monitoring/README.md
// says: job "vistrel", the watch password as Basic authentication, the
// rules of alerts.yml loaded. The relay reads with a password on loopback
// too (--http-closed-read), so the target is up only if the password works.
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/e2e/live_relay.h"

namespace vistrel::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

std::string QueryTarget(const std::string& query) {
    std::string target = "/api/v1/query?query=";
    for (const unsigned char c : query) {
        char escaped[4];
        std::snprintf(escaped, sizeof escaped, "%%%02X", c);
        target += std::isalnum(c) || c == '_' ? std::string(1, static_cast<char>(c)) : std::string(escaped);
    }
    return target;
}

// The instant vector Prometheus answers for the query, empty on any failure.
json Query(uint16_t port, const std::string& query) {
    const json answer = json::parse(HttpGet(port, QueryTarget(query)).Body, nullptr, false);
    if (!answer.is_object() || answer.value("status", "") != "success") return json::array();
    return answer["data"]["result"];
}

TEST(PrometheusScrape, SeesTheWatchedGameThroughTheWatchPassword) {
    ASSERT_EQ(access(PROMETHEUS_PATH, X_OK), 0)
        << PROMETHEUS_PATH << " is missing: tools/install-deps.sh installs prometheus";
    TRecordingFolder folder;
    const std::string& dir = folder.Path();
    std::filesystem::create_directories(dir);
    TLogsOnFailure logs{dir, {"prometheus.out", "relay.out"}};
    TLiveRelay relay;
    relay.Start(dir, "relay", {"--http-closed-read"}, "\"WatchDemoPasswordEdit\"=\"watch secret\"\n");
    ASSERT_TRUE(relay.Process);
    ASSERT_EQ(HttpGet(relay.HttpPort, "/metrics").Status, 401);
    relay.Credentials = {{"Authorization", BasicAuthorization("monitor", "watch secret")}};
    relay.Film(3);
    const int32_t game = relay.WaitForFirstGame();
    ASSERT_NE(game, 0);
    relay.Watch(game);

    std::ofstream(dir + "/prometheus.yml")
        << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
        << "rule_files:\n  - " << SOURCE_DIR << "/docs/monitoring/alerts.yml\n"
        << "scrape_configs:\n  - job_name: vistrel\n"
        << "    basic_auth:\n      username: prometheus\n      password: 'watch secret'\n"
        << "    static_configs:\n      - targets: ['127.0.0.1:" << relay.HttpPort << "']\n";
    uint16_t port = 0;
    auto prometheus = StartListening(
        port,
        [&] {
            return std::vector<std::string>{PROMETHEUS_PATH, "--config.file=" + dir + "/prometheus.yml",
                                            "--storage.tsdb.path=" + dir + "/data",
                                            "--web.listen-address=127.0.0.1:" + std::to_string(port)};
        },
        dir + "/prometheus.out");
    ASSERT_TRUE(prometheus);

    bool seen = false;
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (!seen && std::chrono::steady_clock::now() < until) {
        relay.Pump();
        for (const json& series : Query(port, "vistrel_game_viewers"))
            seen |= series["metric"].value("game", "") == std::to_string(game) &&
                    std::stod(series["value"][1].get<std::string>()) >= 1;
        if (!seen) std::this_thread::sleep_for(250ms);
    }
    EXPECT_TRUE(seen) << "no vistrel_game_viewers{game=\"" << game << "\"} >= 1 within 60 s";
    const json up = Query(port, "up{job=\"vistrel\"}");
    ASSERT_EQ(up.size(), 1u) << up.dump();
    EXPECT_EQ(up[0]["value"][1].get<std::string>(), "1");
    // The rules loaded into the real server, as they were tested.
    const json rules = json::parse(HttpGet(port, "/api/v1/rules").Body, nullptr, false);
    ASSERT_TRUE(rules.is_object()) << "no answer to /api/v1/rules";
    EXPECT_EQ(rules["data"]["groups"][0]["name"], "vistrel");
    EXPECT_EQ(rules["data"]["groups"][0]["rules"].size(), 7u);
    EXPECT_TRUE(prometheus->Stop(SIGTERM));
    EXPECT_TRUE(relay.Process->Stop(SIGTERM));
}

}  // namespace
}  // namespace vistrel::testing
