// paging_load [MiB] [viewers] [ticks] [groups]: a game far larger than the
// memory budget, served from its recording to many viewers. Writes one
// recording of MiB (default 300) of ~1.4 KB demo packets into a new folder
// under /tmp, starts a TMainForm on it with recording on and the budget of
// --max-memory 32M, so the restored game comes back paged out, and attaches
// viewers (default 1000) to it directly, as a WAITFORGAME leaves them but
// without the read a join starts (so each run's first tick finds its first
// packet still on the disk); they
// are real loopback connections, read in a forked child that counts every
// DEMOPACKET each viewer receives and checks their locations follow one
// another. Three runs, each after the page cache was dropped (sync, then "3"
// to /proc/sys/vm/drop_caches; the run says when that is refused), each
// starting at locations no earlier run read:
//   1. every viewer at one place, ticks (default 200) fired back to back: the
//      next tick as soon as the viewers have read the last one;
//   2. the same at the timer's real pace (500 ms), 20 ticks;
//   3. the viewers spread over groups (default 10) places kSpread locations
//      apart, back to back, so that many runs are read at once and, with
//      enough ticks, more is read back than the budget holds.
// Per run: the ticks in which some viewer waited at a packet still being
// read, the fewest viewers served by one tick, tick wall and CPU time, the
// reads the walks issued and the bytes read back (by the relay, and from the
// storage device as /proc/self/io counts them); at the end the registry's
// stored bytes (now and at most) against the budget, and the process's RSS.
// Bounded by an alarm; the folder is removed also when the alarm ends the run.
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/load_common.h"
#include "bench/viewer_child.h"
#include "client/client_packets.h"
#include "client/relay_client.h"
#include "core/protocol.h"
#include "core/recording_format.h"
#include "relay/demo_viewer.h"
#include "relay/main_form.h"
#include "relay/relay_limits.h"
#include "testing/main_form_probe.h"
#include "testing/recording_front_end.h"

using namespace vistrel;
using namespace vistrel::client;
using load::Clock;
using load::Ms;
using load::ThreadCpuMs;

namespace {

constexpr size_t kMaxMemory = size_t{32} << 20;
constexpr int kPacedTicks = 20;
// Locations between two groups of viewers in the spread run: more than the
// ticks of a run, so no group reads what another already read.
constexpr int32_t kSpread = 5000;

[[noreturn]] void Fail(const char* what) { load::FailRun("paging_load", what); }

// What the alarm's handler removes: plain paths, unlinked with system calls.
char g_file[512];
char g_dir[512];
char g_top[512];
pid_t g_child = -1;

void OnAlarm(int) {
    static const char kText[] = "paging_load: the run took too long; ended\n";
    (void)!write(2, kText, sizeof kText - 1);
    if (g_child > 0) kill(g_child, SIGKILL);
    unlink(g_file);
    rmdir(g_dir);
    rmdir(g_top);
    _exit(3);
}

// One game's recording of about total bytes, written a few MiB at a time.
int32_t WriteRecording(const std::string& path, size_t total) {
    std::mt19937 rng(1);
    std::ofstream out(path, std::ios::binary);
    std::string chunk = EncodeRecordingHeader(TRecordingHeader{1, 0});
    chunk += EncodeDescriptionRecord(TGameDescription{1, "paged game", "mod", "cam", "127.0.0.1"});
    size_t written = 0;
    int32_t location = 0;
    while (written + chunk.size() < total) {
        AppendPacketRecord(chunk, location, load::NoisePacket(location, rng));
        ++location;
        if (chunk.size() >= (size_t{4} << 20)) {
            out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            written += chunk.size();
            chunk.clear();
        }
    }
    out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    if (!out) Fail("writing the recording");
    return location;
}

// A field of /proc/self/io or /proc/self/status ("read_bytes:", "VmRSS:").
uint64_t ProcField(const char* file, const char* name) {
    std::ifstream in(file);
    std::string key;
    uint64_t value = 0;
    while (in >> key) {
        if (key == name) {
            in >> value;
            return value;
        }
        in.ignore(4096, '\n');
    }
    return 0;
}

// ------------------------------------------------------------ server side

struct TTickFigures {
    int32_t Served = 0;   // viewers whose place moved on
    int32_t Waiting = 0;  // viewers left at a packet still being read
    size_t Reads = 0;     // reads the walk issued
    double WallMs = 0;
    double CpuMs = 0;
};

class Bench {
public:
    Bench(std::string folder, int viewers, int ticks, int groups)
        : folder_(std::move(folder)), viewers_(viewers), ticks_(ticks), groups_(groups) {}

    int Run() {
        g_child = viewers_child_.Pid();
        form_ = std::make_unique<TMainForm>(loop_, front_, nullptr, TListenSettings{"127.0.0.1", "0", "0"});
        form_->SetRecording(TRecorderOptions{folder_, TFsyncMode::EverySec, 0});
        form_->SetMemoryBudget(MemoryBudgetFor(kMaxMemory));
        const auto start = Clock::now();
        if (!form_->FormCreate()) Fail("FormCreate");
        TMainFormProbe::DistrubuteDemo(*form_).SetEnabled(false);
        game_ = &TMainFormProbe::Games(*form_)->At(0);
        std::printf("restored in %.0f ms: %d packets, %d paged out, registry %.1f MiB of a %.1f MiB budget "
                    "(disk I/O through %s)\n",
                    Ms(Clock::now() - start), game_->Count(), game_->PagedOutCount(), MiB(Stored()),
                    MiB(form_->MemoryBudget().Stored), form_->Recording().Recorder()->IoKind());
        Ask('P', TMainFormProbe::DemoViewers(*form_).LocalPort());
        if (Ask('C', viewers_) != viewers_) Fail("viewers");
        Until([&] { return form_->Console().Users().Count() == viewers_; }, std::chrono::seconds(60));
        Attach();
        SettleBytes();
        std::printf("%d viewers connected over loopback and attached to the game directly\n", viewers_);

        const int32_t quarter = game_->Count() / 4;
        RunTicks("one place, back to back", {0}, ticks_, false);
        RunTicks("one place, 500 ms pace", {quarter}, kPacedTicks, true);
        std::vector<int32_t> spread;
        for (int g = 0; g < groups_; ++g) spread.push_back(std::min(2 * quarter + g * kSpread, game_->Count() - 1));
        RunTicks(std::to_string(groups_) + " places " + std::to_string(kSpread) + " apart, back to back", spread, ticks_,
                 false);

        std::printf("end: registry %.1f MiB now, at most %.1f MiB after a tick, budget %.1f MiB; "
                    "%d of %d packets paged out\n",
                    MiB(Stored()), MiB(peak_stored_), MiB(form_->MemoryBudget().Stored), game_->PagedOutCount(),
                    game_->Count());
        std::printf("end: process RSS %.1f MiB, peak RSS %.1f MiB\n",
                    static_cast<double>(ProcField("/proc/self/status", "VmRSS:")) / 1024,
                    static_cast<double>(ProcField("/proc/self/status", "VmHWM:")) / 1024);
        Stop();
        return 0;
    }

private:
    static double MiB(size_t bytes) { return static_cast<double>(bytes) / (1 << 20); }
    size_t Stored() const { return TMainFormProbe::Games(*form_)->StoredBytes(); }

    bool Until(const std::function<bool()>& pred, std::chrono::seconds limit) {
        const auto deadline = Clock::now() + limit;
        while (!pred()) {
            if (Clock::now() > deadline) return false;
            loop_.RunOnce(1);
        }
        return true;
    }

    int64_t Ask(char op, int32_t arg = 0) {
        viewers_child_.Send(op, arg);
        int64_t value = 0;
        const bool got = Until([&] { return viewers_child_.TryReply(value); }, std::chrono::seconds(300));
        if (!got) Fail("no reply from the viewer process");
        return value;
    }

    bool QueuesEmpty() {
        TWSocketServer& viewers = TMainFormProbe::DemoViewers(*form_);
        for (int32_t i = 0; i < viewers.ClientCount(); ++i)
            if (!viewers.Client(i)->AllSent()) return false;
        return true;
    }

    // Until the relay has nothing queued and the viewers have read it all.
    int64_t SettleBytes() {
        int64_t last = -1;
        for (;;) {
            Until([&] { return QueuesEmpty(); }, std::chrono::seconds(300));
            const int64_t now = Ask('B');
            if (now == last) return now;
            last = now;
            loop_.RunOnce(0);
        }
    }

    // The state a WAITFORGAME leaves, without its broadcasts.
    void Attach() {
        TWSocketServer& viewers = TMainFormProbe::DemoViewers(*form_);
        for (int32_t i = 0; i < viewers.ClientCount(); ++i) {
            auto* viewer = static_cast<TDemoViewer*>(viewers.Client(i));
            viewer->GameId = game_->Identifier();
            viewer->Position = 0;
            TMainFormProbe::GameViewers(*form_).Add(game_->Identifier(), *viewer);
        }
        game_->SetViewers(viewers.ClientCount());
    }

    std::vector<TDemoViewer*> Watching() {
        const auto& list = TMainFormProbe::GameViewers(*form_).Of(game_->Identifier());
        return {list.begin(), list.end()};
    }

    // One walk, as the timer runs it, measured.
    // flush: write what the walk queued before the clock stops (outside a
    // loop step; at the timer's pace the step that ran the walk writes it).
    TTickFigures Tick(const std::function<void()>& walk, bool flush) {
        const std::vector<TDemoViewer*> watching = Watching();
        int64_t before = 0;
        for (const TDemoViewer* v : watching) before += v->Position;
        const size_t readsBefore = form_->Recording().Recorder()->ReadsInFlight();
        TTickFigures f;
        const auto t0 = Clock::now();
        const double c0 = ThreadCpuMs();
        walk();
        if (flush) loop_.FlushOutputs();
        f.CpuMs = ThreadCpuMs() - c0;
        f.WallMs = Ms(Clock::now() - t0);
        // Reads complete in later loop steps, never inside the walk.
        f.Reads = form_->Recording().Recorder()->ReadsInFlight() - readsBefore;
        int64_t after = 0;
        for (const TDemoViewer* v : watching) {
            after += v->Position;
            if (v->Position < game_->Count() && game_->PagedOut(v->Position)) ++f.Waiting;
        }
        f.Served = static_cast<int32_t>(after - before);
        peak_stored_ = std::max(peak_stored_, Stored());
        return f;
    }

    void RunTicks(const std::string& name, const std::vector<int32_t>& places, int count, bool paced) {
        const std::vector<TDemoViewer*> watching = Watching();
        for (size_t i = 0; i < watching.size(); ++i)
            watching[i]->Position = places[i * places.size() / watching.size()];
        SettleBytes();
        Ask('R');
        const bool dropped = load::DropCaches();
        const uint64_t bytesRead = form_->Metrics().Disk.BytesRead;
        const uint64_t deviceRead = ProcField("/proc/self/io", "read_bytes:");
        std::vector<TTickFigures> ticks;
        const auto start = Clock::now();
        TTimer& timer = TMainFormProbe::DistrubuteDemo(*form_);
        if (paced) {
            const std::function<void()> walk = timer.OnTimer;
            timer.OnTimer = [&] { ticks.push_back(Tick(walk, false)); };
            timer.SetInterval(TMainForm::kDistributeIntervalMs);
            timer.SetEnabled(true);
            Until([&] { return ticks.size() >= static_cast<size_t>(count); }, std::chrono::seconds(count + 30));
            timer.SetEnabled(false);
            timer.OnTimer = walk;
            SettleBytes();
        } else {
            for (int t = 0; t < count; ++t) {
                ticks.push_back(Tick(timer.OnTimer, true));
                SettleBytes();
            }
        }
        const double took = Ms(Clock::now() - start);
        const int64_t least = Ask('K');
        const int64_t most = Ask('M');
        const int64_t disorder = Ask('E');

        int waitTicks = 0;
        int32_t fewest = viewers_;
        size_t reads = 0;
        std::vector<double> wall, cpu;
        std::string waitList;
        for (size_t t = 0; t < ticks.size(); ++t) {
            const TTickFigures& f = ticks[t];
            if (f.Waiting > 0) {
                ++waitTicks;
                if (waitList.size() < 200)
                    waitList += " " + std::to_string(t + 1) + "(" + std::to_string(f.Waiting) + " waited)";
            }
            fewest = std::min(fewest, f.Served);
            reads += f.Reads;
            wall.push_back(f.WallMs);
            cpu.push_back(f.CpuMs);
        }
        std::sort(wall.begin(), wall.end());
        std::sort(cpu.begin(), cpu.end());
        auto at = [](const std::vector<double>& v, double q) {
            return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
        };
        std::printf("\n%s: %zu ticks in %.1f s, viewers at %zu place(s), page cache %s\n", name.c_str(),
                    ticks.size(), took / 1e3, places.size(),
                    dropped ? "dropped first" : "NOT dropped (drop_caches refused)");
        if (paced)
            for (size_t t = 0; t < ticks.size(); ++t)
                std::printf("  tick %2zu: %4d served, %4d waited, %zu reads issued, wall %.2f ms, cpu %.2f ms\n", t + 1,
                            ticks[t].Served, ticks[t].Waiting, ticks[t].Reads, ticks[t].WallMs, ticks[t].CpuMs);
        std::printf("  fewest viewers served by one tick: %d of %d; ticks where some viewer waited for a read: %d%s\n",
                    fewest, viewers_, waitTicks, waitList.empty() ? "" : (" [tick:" + waitList + "]").c_str());
        std::printf("  received per viewer (viewer side): %lld to %lld DEMOPACKETs, %lld out of order\n",
                    static_cast<long long>(least), static_cast<long long>(most), static_cast<long long>(disorder));
        std::printf("  tick wall: median %.2f ms, p99 %.2f ms, max %.2f ms; cpu: median %.2f ms, p99 %.2f ms, "
                    "max %.2f ms\n",
                    at(wall, 0.5), at(wall, 0.99), wall.back(), at(cpu, 0.5), at(cpu, 0.99), cpu.back());
        std::printf("  reads issued: %zu; read back %.1f MiB by the relay, %.1f MiB from the device; "
                    "registry %.1f MiB (at most %.1f MiB so far)\n",
                    reads, MiB(form_->Metrics().Disk.BytesRead - bytesRead),
                    MiB(ProcField("/proc/self/io", "read_bytes:") - deviceRead), MiB(Stored()), MiB(peak_stored_));
    }

    void Stop() {
        form_.reset();
    }

    std::string folder_;
    int viewers_;
    int ticks_;
    int groups_;
    TEventLoop loop_;
    testing::TRecordingFrontEnd front_{
        [](const std::string& error) { std::fprintf(stderr, "paging_load: reported: %s\n", error.c_str()); }};
    std::unique_ptr<TMainForm> form_;
    TActiveGameList* game_ = nullptr;
    size_t peak_stored_ = 0;
    load::TViewerChild viewers_child_{"paging_load", true};
};

}  // namespace

int main(int argc, char** argv) {
    const size_t mib = argc > 1 ? static_cast<size_t>(std::atol(argv[1])) : 300;
    const int viewers = argc > 2 ? std::atoi(argv[2]) : 1000;
    const int ticks = argc > 3 ? std::atoi(argv[3]) : 200;
    const int groups = argc > 4 ? std::atoi(argv[4]) : 10;
    if (mib < 64 || viewers < 1 || ticks < 1 || groups < 1 || groups > viewers) {
        std::fprintf(stderr, "usage: paging_load [MiB >= 64] [viewers] [ticks] [groups]\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    load::RaiseDescriptorLimit();
    char pattern[] = "/tmp/paging-load-XXXXXX";
    if (!mkdtemp(pattern)) Fail("mkdtemp");
    const std::string top = pattern;
    const std::string folder = top + "/data";
    const std::string file = folder + "/" + TRecorder::FileNameFor(1);
    std::snprintf(g_top, sizeof g_top, "%s", top.c_str());
    std::snprintf(g_dir, sizeof g_dir, "%s", folder.c_str());
    std::snprintf(g_file, sizeof g_file, "%s", file.c_str());
    signal(SIGALRM, OnAlarm);
    alarm(1800);
    std::filesystem::create_directories(folder);
    const int32_t packets = WriteRecording(file, mib << 20);
    std::printf("one recording, %zu MiB, %d packets of ~1.4 KB, in %s; --max-memory %zu MiB\n", mib, packets,
                folder.c_str(), kMaxMemory >> 20);
    const int rc = Bench(folder, viewers, ticks, groups).Run();
    std::filesystem::remove_all(top);
    return rc;
}
