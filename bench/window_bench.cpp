// What the operator window costs the relay, each against a baseline measured
// in the same run:
//   - a step of the relay's loop run from Qt's event loop (through the
//     bridge) against the loop stepping itself;
//   - bursts of log lines written while the log view shows every line
//     against the same lines with no view attached;
//   - a games-list row change drawn into the list's model against the row
//     change alone.
// Runs on Qt's offscreen platform; nothing is shown.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEventLoop>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "window/list_view.h"
#include "window/loop_bridge.h"
#include "window/main_window.h"
#include "net/event_loop.h"

namespace {

using namespace vistrel;

constexpr int kChain = 1000;

// A chain of notices, each posting the next: one loop step per link.
void PostChain(TEventLoop& loop, int& left) {
    if (--left > 0) loop.Post([&loop, &left] { PostChain(loop, left); });
}

void BM_LoopStepsDirect(benchmark::State& state) {
    TEventLoop loop;
    for (auto _ : state) {
        int left = kChain;
        loop.Post([&] { PostChain(loop, left); });
        while (left > 0) loop.RunOnce(0);
    }
    state.SetItemsProcessed(state.iterations() * kChain);
}
BENCHMARK(BM_LoopStepsDirect);

void BM_LoopStepsThroughQt(benchmark::State& state) {
    TEventLoop loop;
    TLoopBridge bridge(loop);
    QEventLoop qtLoop;
    for (auto _ : state) {
        int left = kChain;
        loop.Post([&] { PostChain(loop, left); });
        bridge.Rearm();
        while (left > 0) qtLoop.processEvents(QEventLoop::AllEvents);
    }
    state.SetItemsProcessed(state.iterations() * kChain);
}
BENCHMARK(BM_LoopStepsThroughQt);

struct Quiet : TFrontEnd {
    void ReportError(const std::exception&) override {}
};

// Bursts of 100 lines, as a flood of connections writes them; the window
// draws each burst once the handlers have returned.
constexpr int kBurst = 100;

void BM_LogBurstNoView(benchmark::State& state) {
    TEventLoop loop;
    Quiet front;
    TMainForm form(loop, front, nullptr);
    for (auto _ : state)
        for (int i = 0; i < kBurst; ++i) form.ServerLog(false, "127.0.0.1 joined game 42");
    state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_LogBurstNoView)->Iterations(400);

void BM_LogBurstShownInWindow(benchmark::State& state) {
    TEventLoop loop;
    TWindowOptions options;
    options.TrayAvailable = false;
    TMainWindow window(loop, options);
    for (auto _ : state) {
        for (int i = 0; i < kBurst; ++i) window.Form().ServerLog(false, "127.0.0.1 joined game 42");
        QCoreApplication::processEvents();
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_LogBurstShownInWindow)->Iterations(400);

void FillGames(TConsoleLists& lists) {
    for (int id = 1; id <= 200; ++id) lists.AddGameRow(id, nullptr, "10.0.0." + std::to_string(id % 250));
}

void BM_GameRowChangeNoView(benchmark::State& state) {
    TConsoleLists lists;
    FillGames(lists);
    int users = 0;
    for (auto _ : state) {
        ++users;
        lists.SetGameColumns(1 + users % 200, {.Users = std::to_string(users % 50)});
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GameRowChangeNoView);

void BM_GameRowChangeInListView(benchmark::State& state) {
    TConsoleLists lists;
    FillGames(lists);
    TListView view(lists.Games(), InitialGamesListSections());
    int users = 0;
    for (auto _ : state) {
        ++users;
        lists.SetGameColumns(1 + users % 200, {.Users = std::to_string(users % 50)});
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GameRowChangeInListView);

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
