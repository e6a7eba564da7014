// Every metric docs/monitoring/dashboard.json and alerts.yml query is one a
// relay serves: a misspelt or renamed family would leave a panel empty or an
// alert silent for good. The names are those /metrics of a live origin and a
// live edge (the edge_* families exist only there) declare, with a camera
// filming and a viewer watching on each.
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/e2e/live_relay.h"

namespace vistrel::testing {
namespace {

bool IsNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':'; }

// The metric names a PromQL expression reads: what is left once label
// matchers, ranges and strings are cut, functions and the label lists of
// by/without/on/ignoring/group_left/group_right skipped, and keywords and
// numbers dropped.
std::set<std::string> MetricNames(std::string_view expr) {
    std::string text;
    for (size_t i = 0; i < expr.size(); ++i) {
        const char c = expr[i];
        if (c == '"' || c == '\'') {
            for (++i; i < expr.size() && expr[i] != c; ++i)
                if (expr[i] == '\\') ++i;
        } else if (c == '{' || c == '[') {
            const char end = c == '{' ? '}' : ']';
            for (++i; i < expr.size() && expr[i] != end; ++i)
                if (expr[i] == '"')
                    for (++i; i < expr.size() && expr[i] != '"'; ++i)
                        if (expr[i] == '\\') ++i;
            text += ' ';
        } else {
            text += c;
        }
    }
    static const std::set<std::string, std::less<>> kLabelLists{"by",       "without",    "on",
                                                                "ignoring", "group_left", "group_right"};
    static const std::set<std::string, std::less<>> kKeywords{"and",    "or",  "unless", "bool",
                                                              "offset", "inf", "nan",    "le"};
    std::set<std::string> names;
    const auto skipSpace = [&](size_t at) {
        while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
        return at;
    };
    for (size_t i = 0; i < text.size();) {
        if (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.') {
            while (i < text.size() && (IsNameChar(text[i]) || text[i] == '.')) ++i;
            continue;
        }
        if (!IsNameChar(text[i])) {
            ++i;
            continue;
        }
        const size_t start = i;
        while (i < text.size() && IsNameChar(text[i])) ++i;
        const std::string word = text.substr(start, i - start);
        const size_t next = skipSpace(i);
        if (kLabelLists.contains(word)) {
            if (next < text.size() && text[next] == '(') i = std::min(text.find(')', next), text.size() - 1) + 1;
            continue;
        }
        if (kKeywords.contains(word) || (next < text.size() && text[next] == '(')) continue;
        // An aggregation with its clause first: sum by (le) (...).
        if (text.compare(next, 3, "by ") == 0 || text.compare(next, 3, "by(") == 0 ||
            text.compare(next, 7, "without") == 0)
            continue;
        names.insert(word);
    }
    return names;
}

// The families a /metrics page declares, with a histogram's series names.
void AddFamilies(std::set<std::string>& families, const std::string& page) {
    std::istringstream lines(page);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string hash, type, name, kind;
        if (!(words >> hash >> type >> name >> kind) || hash != "#" || type != "TYPE") continue;
        families.insert(name);
        if (kind == "histogram")
            for (const char* suffix : {"_bucket", "_sum", "_count"}) families.insert(name + suffix);
    }
}

// Each panel's queries, rows' panels included.
void AddPanelExprs(std::vector<std::string>& exprs, const nlohmann::json& panels) {
    for (const auto& panel : panels) {
        for (const auto& target : panel.value("targets", nlohmann::json::array()))
            if (target.contains("expr"))
                exprs.push_back(panel.value("title", "") + ": " + target["expr"].get<std::string>());
        if (panel.contains("panels")) AddPanelExprs(exprs, panel["panels"]);
    }
}

// Each rule's expr: on its line, or on the lines below it that are indented
// deeper (a block scalar).
std::vector<std::string> RuleExprs(const std::string& rules) {
    std::vector<std::string> exprs;
    std::istringstream lines(rules);
    std::string line;
    size_t indent = std::string::npos;
    while (std::getline(lines, line)) {
        const size_t at = line.find_first_not_of(' ');
        if (indent != std::string::npos && at != std::string::npos && at > indent) {
            exprs.back() += " " + line.substr(at);
            continue;
        }
        indent = std::string::npos;
        if (at == std::string::npos || line.compare(at, 5, "expr:") != 0) continue;
        std::string value = line.substr(at + 5);
        if (value.find_first_of(">|") != std::string::npos && value.find_first_not_of(" >|-+") == std::string::npos)
            value.clear();
        exprs.push_back(value);
        indent = at;
    }
    return exprs;
}

TEST(MonitoringFiles, QueryOnlyMetricsALiveOriginAndEdgeServe) {
    TRecordingFolder folder;
    const std::string& dir = folder.Path();
    std::filesystem::create_directories(dir);
    std::set<std::string> families;
    {
        TLogsOnFailure logs{dir, {"origin.out", "edge.out"}};
        TLiveRelay origin, edge;
        origin.Start(dir, "origin", {});
        ASSERT_TRUE(origin.Process);
        origin.Film(3);
        const int32_t game = origin.WaitForFirstGame();
        ASSERT_NE(game, 0);
        origin.Watch(game);
        edge.Start(dir, "edge", {"--forward-from", "http://127.0.0.1:" + std::to_string(origin.HttpPort) + "/"});
        ASSERT_TRUE(edge.Process);
        const int32_t mirrored = edge.WaitForFirstGame();
        ASSERT_NE(mirrored, 0);
        edge.Watch(mirrored);
        for (TLiveRelay* relay : {&origin, &edge}) {
            relay->Pump();
            const THttpReply page = HttpGet(relay->HttpPort, "/metrics");
            ASSERT_EQ(page.Status, 200);
            AddFamilies(families, page.Body);
        }
        EXPECT_TRUE(edge.Process->Stop(SIGTERM));
        EXPECT_TRUE(origin.Process->Stop(SIGTERM));
    }
    // Made by Prometheus itself for every target, never on a page.
    families.insert("up");

    const std::string files = std::string(SOURCE_DIR) + "/docs/monitoring/";
    const auto dashboard = nlohmann::json::parse(ReadWholeFile(files + "dashboard.json"));
    std::vector<std::string> exprs;
    AddPanelExprs(exprs, dashboard.at("panels"));
    const std::vector<std::string> rules = RuleExprs(ReadWholeFile(files + "alerts.yml"));
    EXPECT_EQ(rules.size(), 7u);
    for (const std::string& rule : rules) exprs.push_back("alerts.yml: " + rule);
    EXPECT_GE(exprs.size(), 30u);
    for (const std::string& expr : exprs) {
        const std::set<std::string> names = MetricNames(expr.substr(expr.find(": ") + 2));
        EXPECT_FALSE(names.empty()) << expr;
        for (const std::string& name : names) EXPECT_TRUE(families.contains(name)) << name << " in " << expr;
    }
}

}  // namespace
}  // namespace vistrel::testing
