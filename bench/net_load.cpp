// net_load [connections] [rounds]: opens many loopback connections to one
// TWSocketServer, reads every greeting, then times data events. Each figure
// is reported next to a bare epoll loop doing the same work on the same
// sockets in the same run, as a ratio. Stops by itself (alarm as a backstop).
#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "net/event_loop.h"
#include "net/wsocket_server.h"
#include "testing/loopback_listener.h"

using namespace vistrel;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kConnectBatch = 5;  // the listener's backlog
constexpr size_t kBurst = 100;
constexpr char kGreeting[] = "Welcome to TcpSrv\r\n";
constexpr size_t kGreetingSize = sizeof kGreeting - 1;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "net_load: %s (%s)\n", what, std::strerror(errno));
    std::_Exit(1);
}

void CloseReset(int fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

void RaiseDescriptorLimit() {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
}

// ---- the client side, in a forked child so each side has its own
// descriptor limit. Commands arrive on a pipe; each is answered with an int.
struct Command {
    char op;  // 'C' connect n to port, 'B' burst on all, 'X' reset all, 'Q' quit
    uint16_t port;
    int n;
};

int ConnectNonBlocking(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) Fail("socket");
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && errno != EINPROGRESS) Fail("connect");
    return fd;
}

// Connects in backlog-sized batches; a batch is done when every member has
// read its greeting, so the accept queue never overflows.
int ConnectAndGreet(uint16_t port, int n, std::vector<int>& fds, Clock::time_point deadline) {
    int greeted = 0;
    for (int i = 0; i < n;) {
        int batch = std::min(kConnectBatch, n - i);
        std::vector<std::string> got(static_cast<size_t>(batch));
        size_t first = fds.size();
        for (int k = 0; k < batch; ++k) fds.push_back(ConnectNonBlocking(port));
        i += batch;
        for (int k = 0; k < batch; ++k) {
            std::string& g = got[static_cast<size_t>(k)];
            while (g.size() < kGreetingSize) {
                if (Clock::now() > deadline) return greeted;
                char tmp[64];
                ssize_t r = recv(fds[first + static_cast<size_t>(k)], tmp, sizeof tmp, 0);
                if (r > 0) g.append(tmp, static_cast<size_t>(r));
                if (r == 0) break;
            }
            if (g == kGreeting) ++greeted;
        }
    }
    return greeted;
}

[[noreturn]] void ClientMain(int cmdFd, int replyFd) {
    RaiseDescriptorLimit();
    std::vector<int> fds;
    const std::string burst(kBurst, 'd');
    Command c{};
    while (read(cmdFd, &c, sizeof c) == sizeof c) {
        int reply = 0;
        auto deadline = Clock::now() + std::chrono::seconds(60);
        if (c.op == 'C') {
            reply = ConnectAndGreet(c.port, c.n, fds, deadline);
        } else if (c.op == 'B') {
            for (int fd : fds)
                if (send(fd, burst.data(), burst.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(burst.size())) ++reply;
        } else if (c.op == 'X') {
            for (int fd : fds) CloseReset(fd);
            fds.clear();
        } else {
            break;
        }
        if (write(replyFd, &reply, sizeof reply) != sizeof reply) break;
    }
    std::_Exit(0);
}

class ClientProcess {
public:
    ClientProcess() {
        int cmd[2], rep[2];
        if (pipe(cmd) != 0 || pipe(rep) != 0) Fail("pipe");
        pid_ = fork();
        if (pid_ < 0) Fail("fork");
        if (pid_ == 0) {
            close(cmd[1]);
            close(rep[0]);
            ClientMain(cmd[0], rep[1]);
        }
        close(cmd[0]);
        close(rep[1]);
        cmd_ = cmd[1];
        reply_ = rep[0];
        fcntl(reply_, F_SETFL, O_NONBLOCK);
    }
    ~ClientProcess() {
        Command q{'Q', 0, 0};
        (void)!write(cmd_, &q, sizeof q);
        close(cmd_);
        close(reply_);
        waitpid(pid_, nullptr, 0);
    }
    void Start(char op, uint16_t port = 0, int n = 0) {
        Command c{op, port, n};
        if (write(cmd_, &c, sizeof c) != sizeof c) Fail("command");
    }
    // Non-blocking: whether the answer has come, and what it was.
    bool Poll(int& reply) { return read(reply_, &reply, sizeof reply) == sizeof reply; }
    // Steps `step` until the answer comes or the deadline passes.
    int Wait(const std::function<void()>& step, Clock::time_point deadline) {
        int reply = -1;
        while (!Poll(reply)) {
            if (Clock::now() > deadline) Fail("the client process did not answer");
            step();
        }
        return reply;
    }

private:
    pid_t pid_ = -1;
    int cmd_ = -1;
    int reply_ = -1;
};

size_t ReadExactlyReadable(int fd, std::string& buf) {
    int count = 0;
    if (ioctl(fd, FIONREAD, &count) != 0 || count < 1) return 0;
    buf.resize(static_cast<size_t>(count));
    ssize_t r = recv(fd, buf.data(), buf.size(), 0);
    return r > 0 ? static_cast<size_t>(r) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    int n = argc > 1 ? std::atoi(argv[1]) : 10000;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 20;
    alarm(150);  // a backstop; every wait below has its own deadline
    ClientProcess clients;
    RaiseDescriptorLimit();
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    auto noStep = [] { usleep(100); };

    // ---- baseline accepts: a bare listener, accept4 + epoll registration + greeting.
    double bareAcceptsPerSec = 0;
    {
        const vistrel::testing::TLoopbackListener listener(5, SOCK_NONBLOCK);
        if (!listener.Listening()) Fail("listen");
        const int lfd = listener.Handle();
        int ep = epoll_create1(EPOLL_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = lfd;
        epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev);
        std::vector<int> accepted;
        auto step = [&] {
            epoll_event evs[64];
            int k = epoll_wait(ep, evs, 64, 1);
            for (int e = 0; e < k; ++e) {
                for (int a = 0; a < 64; ++a) {
                    int fd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (fd < 0) break;
                    epoll_event cev{};
                    cev.events = EPOLLIN | EPOLLRDHUP;
                    cev.data.fd = fd;
                    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &cev);
                    send(fd, kGreeting, kGreetingSize, MSG_NOSIGNAL);
                    accepted.push_back(fd);
                }
            }
        };
        auto t0 = Clock::now();
        clients.Start('C', listener.Port(), n);
        int greeted = clients.Wait(step, deadline);
        bareAcceptsPerSec = greeted / Seconds(Clock::now() - t0);
        clients.Start('X');
        clients.Wait(noStep, deadline);
        for (int fd : accepted) CloseReset(fd);
        close(ep);
    }

    // ---- the layer: one TWSocketServer.
    TEventLoop loop;
    TWSocketServer server(loop);
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    size_t received = 0;
    server.OnClientConnect = [&](TWSocketServer&, TWSocketClient& c, uint16_t) {
        c.OnDataAvailable = [&](TWSocketClient& s, uint16_t) { received += s.ReceiveAll().size(); };
    };
    server.Listen();

    malloc_trim(0);
    size_t heapBefore = mallinfo2().uordblks;
    auto t0 = Clock::now();
    clients.Start('C', server.LocalPort(), n);
    int greeted = clients.Wait([&] { loop.RunOnce(1); }, deadline);
    double acceptsPerSec = greeted / Seconds(Clock::now() - t0);
    size_t heapAfter = mallinfo2().uordblks;

    // ---- data events: the layer against a bare epoll loop on the same sockets.
    int bare = epoll_create1(EPOLL_CLOEXEC);
    for (int i = 0; i < server.ClientCount(); ++i) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.fd = server.Client(i)->Handle();
        epoll_ctl(bare, EPOLL_CTL_ADD, ev.data.fd, &ev);
    }
    std::string buf;
    Clock::duration layerTime{}, bareTime{};
    size_t layerEvents = 0, bareEvents = 0;
    for (int r = 0; r < rounds && Clock::now() < deadline; ++r) {
        clients.Start('B');
        size_t perRound = kBurst * static_cast<size_t>(clients.Wait(noStep, deadline));
        auto a = Clock::now();
        size_t target = received + perRound;
        while (received < target && Clock::now() < deadline) loop.RunOnce(0);
        layerTime += Clock::now() - a;
        layerEvents += perRound / kBurst;

        clients.Start('B');
        perRound = kBurst * static_cast<size_t>(clients.Wait(noStep, deadline));
        a = Clock::now();
        size_t got = 0;
        epoll_event evs[256];
        while (got < perRound && Clock::now() < deadline) {
            int k = epoll_wait(bare, evs, 256, 0);
            for (int e = 0; e < k; ++e) got += ReadExactlyReadable(evs[e].data.fd, buf);
        }
        bareTime += Clock::now() - a;
        bareEvents += perRound / kBurst;
    }
    close(bare);
    const double layerNs = Seconds(layerTime) * 1e9 / static_cast<double>(std::max<size_t>(1, layerEvents));
    const double bareNs = Seconds(bareTime) * 1e9 / static_cast<double>(std::max<size_t>(1, bareEvents));

    std::printf("connections:              %d requested, %d greeted, %d listed\n", n, greeted, server.ClientCount());
    std::printf("accepts per second:       %.0f (bare epoll accept loop %.0f, ratio %.2f)\n", acceptsPerSec,
                bareAcceptsPerSec, acceptsPerSec / bareAcceptsPerSec);
    std::printf("data event cost:          %.0f ns (bare epoll read %.0f ns, ratio %.2f) over %d rounds\n", layerNs,
                bareNs, layerNs / bareNs, rounds);
    std::printf("heap per idle connection: %.0f bytes\n",
                static_cast<double>(heapAfter - heapBefore) / std::max(1, server.ClientCount()));
    clients.Start('X');
    clients.Wait(noStep, deadline);
    return greeted == n ? 0 : 1;
}
