// segment_load [readers] [fetches] [nginx]: many readers of one large
// segment. The relay (in this process, --max-memory 256M's budget) holds a
// game whose segment 0 is 64 MiB (64 packets of 1 MiB) and an honest game
// watched by one viewer at the real 500 ms pace. A forked child opens
// `readers` connections (16) and fetches the segment `fetches` times on each
// (2), reading and dropping everything; then the same bytes, written to a
// file, are fetched as often from nginx (`nginx`: its path, /usr/sbin/nginx),
// run as a child of ours with a configuration of its own on a loopback port.
// Reported: the relay's growth of resident memory beside its connection
// buffers budget, the honest viewer's packets per tick and their lateness,
// and each server's CPU per served byte (the relay's process, nginx's one
// process), with their ratio. Bounded: every wait has a deadline and an
// alarm ends a stuck run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/recording_format.h"
#include "relay/main_form.h"
#include "web/web_api.h"
#include "client/client_packets.h"
#include "client/relay_client.h"
#include "testing/main_form_probe.h"
#include "testing/recording_front_end.h"
#include "bench/load_common.h"

using namespace vistrel;
using namespace vistrel::client;
using namespace vistrel::testing;
using load::Clock;

namespace {

[[noreturn]] void Fail(const char* what) { load::FailRun("segment_load", what); }

double ProcessCpuSeconds(pid_t pid) {
    if (pid == 0) {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::vector<std::string> fields;
    size_t at = close + 2;
    while (at < stat.size()) {
        const size_t space = stat.find(' ', at);
        fields.push_back(stat.substr(at, space - at));
        if (space == std::string::npos) break;
        at = space + 1;
    }
    // utime and stime: the 14th and 15th fields, the 12th and 13th after the name.
    return fields.size() > 12
               ? (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(sysconf(_SC_CLK_TCK))
               : 0;
}

size_t ResidentBytes() {
    std::ifstream in("/proc/self/statm");
    size_t pages = 0, resident = 0;
    in >> pages >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// One reader: `fetches` GETs of target on one kept-alive connection; the body
// bytes read, or 0 when anything failed.
uint64_t Fetch(uint16_t port, const std::string& target, int fetches) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return 0;
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::vector<char> buf(size_t{256} << 10);
    uint64_t total = 0;
    std::string head;
    for (int i = 0; i < fetches; ++i) {
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return 0;
        uint64_t want = UINT64_MAX, got = 0;
        while (got < want) {
            const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
            if (n <= 0) return 0;
            if (want == UINT64_MAX) {
                head.append(buf.data(), static_cast<size_t>(n));
                const size_t end = head.find("\r\n\r\n");
                if (end == std::string::npos) continue;
                const size_t length = head.find("Content-Length: ");
                if (length == std::string::npos || head.compare(9, 3, "200") != 0) return 0;
                want = std::stoull(head.substr(length + 16));
                got = head.size() - end - 4;
                head.clear();
            } else {
                got += static_cast<uint64_t>(n);
            }
        }
        total += got;
    }
    close(fd);
    return total;
}

// A child running `readers` threads of Fetch; its pid, and the pipe its total
// comes back on.
pid_t StartReaders(uint16_t port, const std::string& target, int readers, int fetches, int& result) {
    int fds[2];
    if (pipe(fds) != 0) Fail("pipe");
    const pid_t pid = fork();
    if (pid < 0) Fail("fork");
    if (pid == 0) {
        close(fds[0]);
        std::vector<uint64_t> got(static_cast<size_t>(readers));
        std::vector<std::thread> threads;
        for (int r = 0; r < readers; ++r)
            threads.emplace_back([&, r] { got[static_cast<size_t>(r)] = Fetch(port, target, fetches); });
        uint64_t total = 0;
        for (int r = 0; r < readers; ++r) {
            threads[static_cast<size_t>(r)].join();
            total += got[static_cast<size_t>(r)];
        }
        (void)!write(fds[1], &total, sizeof total);
        _exit(0);
    }
    close(fds[1]);
    result = fds[0];
    return pid;
}

uint64_t ReaderTotal(pid_t pid, int result) {
    uint64_t total = 0;
    if (read(result, &total, sizeof total) != sizeof total) total = 0;
    close(result);
    waitpid(pid, nullptr, 0);
    return total;
}

bool Exited(pid_t pid) {
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

uint16_t FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof sa;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &size) != 0)
        Fail("free port");
    close(fd);
    return ntohs(sa.sin_port);
}

}  // namespace

int main(int argc, char** argv) {
    const int readers = argc > 1 ? std::atoi(argv[1]) : 16;
    const int fetches = argc > 2 ? std::atoi(argv[2]) : 2;
    const std::string nginx = argc > 3 ? argv[3] : "/usr/sbin/nginx";
    alarm(600);
    load::RaiseDescriptorLimit();

    TEventLoop loop;
    TRecordingFrontEnd front;
    TMainForm form(loop, front, nullptr, TListenSettings{"127.0.0.1", "0", "0"});
    form.SetMemoryBudget(MemoryBudgetFor(size_t{256} << 20));
    if (!form.FormCreate()) Fail("start-up");
    TWebOptions options;
    options.Listen = THttpListen{"127.0.0.1", 0};
    options.Version = "load";
    TWebApi web(form, options);
    web.Start();

    // The large segment, and its bytes as a file for nginx.
    std::mt19937 rng(7);
    TActiveGameList* big = form.Host().OpenDetachedGame(0, TGameDescription{1, "big", "ctf", "cam", "127.0.0.1"});
    const std::string folder = "/tmp/segment_load." + std::to_string(getpid());
    std::filesystem::create_directories(folder);
    {
        std::ofstream file(folder + "/segment", std::ios::binary);
        for (int32_t l = 0; l < 64; ++l) {
            std::string content(size_t{1} << 20, '\0');
            for (char& c : content) c = static_cast<char>(rng());
            const std::string packet = Demo(l, content);
            if (!form.Host().StoreDetachedPacket(*big, l, packet)) Fail("store");
            const std::string record = EncodePacketRecord(l, packet);
            file.write(record.data(), static_cast<std::streamsize>(record.size()));
        }
    }
    // The honest game: 2,000 small packets, one viewer.
    TActiveGameList* honest = form.Host().OpenDetachedGame(0, TGameDescription{1, "honest", "ctf", "cam", "127.0.0.1"});
    for (int32_t l = 0; l < 2000; ++l) form.Host().StoreDetachedPacket(*honest, l, load::NoisePacket(l, rng));
    TRelayClient viewer(TMainFormProbe::DemoViewers(form).LocalPort());
    loop.RunUntil(
        [&] {
            viewer.Pump();
            return viewer.Unread().size() >= 19;
        },
        std::chrono::seconds(5));
    viewer.Take(19);
    viewer.Send(UserInfo("honest"));
    loop.RunUntil(
        [&] {
            viewer.Pump();
            return viewer.HasPacket();
        },
        std::chrono::seconds(5));
    viewer.Send(WaitForGame(honest->Identifier()));
    loop.RunUntil(
        [&] {
            viewer.Pump();
            return false;
        },
        std::chrono::milliseconds(1200));
    int joined = 0;
    while (viewer.HasPacket()) joined += PacketTypeOf(viewer.TakePacket()) == PacketType::DEMOPACKET;
    std::printf("honest game: %d packets stored, %d sent before the readers start\n", honest->Count(), joined);

    const std::string target = "/api/v1/games/" + std::to_string(big->Identifier()) + "/segments/0";
    // Once, so that the CRCs are known and the first reader pays nothing.
    {
        int first = -1;
        const pid_t once = StartReaders(web.LocalPort(), target, 1, 1, first);
        while (!Exited(once)) loop.RunOnce(5);
        close(first);
    }

    const size_t rssBefore = ResidentBytes();
    size_t rssMost = rssBefore;
    std::vector<int> perTick;
    std::vector<double> late;
    int result = -1;
    const double cpu0 = ProcessCpuSeconds(0);
    const auto t0 = Clock::now();
    const pid_t child = StartReaders(web.LocalPort(), target, readers, fetches, result);
    TTimer& timer = TMainFormProbe::DistrubuteDemo(form);
    int sinceTick = 0;
    auto tickAt = Clock::now();
    timer.OnTimer = [&] {
        perTick.push_back(sinceTick);
        sinceTick = 0;
        tickAt = Clock::now();
        form.DistrubuteDemoTimer();
    };
    while (!Exited(child)) {
        loop.RunOnce(5);
        viewer.Pump();
        while (viewer.HasPacket()) {
            if (PacketTypeOf(viewer.TakePacket()) != PacketType::DEMOPACKET) continue;
            ++sinceTick;
            late.push_back(load::Ms(Clock::now() - tickAt));
        }
        rssMost = std::max(rssMost, ResidentBytes());
        if (Clock::now() - t0 > std::chrono::seconds(300)) Fail("the readers took too long");
    }
    const double relayCpu = ProcessCpuSeconds(0) - cpu0;
    const double relayWall = load::Ms(Clock::now() - t0) / 1000;
    uint64_t relayBytes = 0;
    if (read(result, &relayBytes, sizeof relayBytes) != sizeof relayBytes) relayBytes = 0;
    close(result);
    web.Stop();

    // nginx on the same bytes.
    const uint16_t port = FreePort();
    {
        std::ofstream conf(folder + "/nginx.conf");
        conf << "daemon off;\nmaster_process off;\nworker_processes 1;\npid " << folder << "/nginx.pid;\n"
             << "error_log " << folder << "/error.log;\nevents { worker_connections 256; }\n"
             << "http {\n  access_log off;\n  sendfile on;\n  tcp_nopush on;\n  keepalive_requests 1000;\n"
             << "  client_body_temp_path " << folder << ";\n  proxy_temp_path " << folder << ";\n"
             << "  fastcgi_temp_path " << folder << ";\n  uwsgi_temp_path " << folder << ";\n"
             << "  scgi_temp_path " << folder << ";\n"
             << "  server {\n    listen 127.0.0.1:" << port << ";\n    root " << folder << ";\n  }\n}\n";
    }
    const pid_t server = fork();
    if (server == 0) {
        execl(nginx.c_str(), nginx.c_str(), "-p", folder.c_str(), "-c", (folder + "/nginx.conf").c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 100 && Fetch(port, "/segment", 1) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double nginx0 = ProcessCpuSeconds(server);
    const auto n0 = Clock::now();
    const pid_t nginxReaders = StartReaders(port, "/segment", readers, fetches, result);
    const uint64_t nginxBytes = ReaderTotal(nginxReaders, result);
    const double nginxCpu = ProcessCpuSeconds(server) - nginx0;
    const double nginxWall = load::Ms(Clock::now() - n0) / 1000;
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    std::filesystem::remove_all(folder);

    const size_t budget = form.MemoryBudget().ConnectionBuffers;
    int offPace = 0;
    for (size_t i = 1; i < perTick.size(); ++i) offPace += perTick[i] != 1;
    std::sort(late.begin(), late.end());
    std::printf("%d readers x %d fetches of a %.0f MiB segment\n", readers, fetches,
                static_cast<double>(big->StoredBytes()) / (1 << 20));
    std::printf("relay: resident memory +%.1f MiB at most (connection buffers budget %.0f MiB)\n",
                static_cast<double>(rssMost - rssBefore) / (1 << 20), static_cast<double>(budget) / (1 << 20));
    std::printf("honest viewer: %zu ticks, %d of them without exactly one packet; packet after its tick: median "
                "%.1f ms, max %.1f ms\n",
                perTick.size(), offPace, late.empty() ? 0 : late[late.size() / 2], late.empty() ? 0 : late.back());
    const double relayNs = relayCpu * 1e9 / static_cast<double>(std::max<uint64_t>(relayBytes, 1));
    const double nginxNs = nginxCpu * 1e9 / static_cast<double>(std::max<uint64_t>(nginxBytes, 1));
    std::printf("relay: %.2f GiB in %.2f s, cpu %.2f s, %.3f ns per byte\n",
                static_cast<double>(relayBytes) / (1 << 30), relayWall, relayCpu, relayNs);
    std::printf("nginx: %.2f GiB in %.2f s, cpu %.2f s, %.3f ns per byte\n",
                static_cast<double>(nginxBytes) / (1 << 30), nginxWall, nginxCpu, nginxNs);
    std::printf("cpu per byte, relay / nginx: %.2f\n", relayNs / nginxNs);
    return relayBytes == nginxBytes && relayBytes > 0 ? 0 : 1;
}
