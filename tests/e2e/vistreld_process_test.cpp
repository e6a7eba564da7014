// The daemon as a process: greeting on both ports, a second copy on the same
// ports exits 1 naming the "Bind" step, SIGTERM ends it with status 0; a
// usage error ends it with status 2 before any port is opened. Under
// systemd: READY=1 once it listens and STOPPING=1 on SIGTERM on the notify
// socket, and log lines without their timestamps when stdout is the journal.
// The settings: problems named with file and line, --check, files that stop
// start-up, the reload on SIGHUP with a camera and a viewer connected; the
// listener and shutdown lines.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "relay/relay_limits.h"
#include "client/client_packets.h"
#include "client/relay_client.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/free_port.h"
#include "tests/e2e/tls_tools.h"

namespace {

using vistrel::testing::FreePort;
using namespace std::chrono_literals;

// What the service manager would hand the daemon: variables of its
// environment and a stdout of its own.
struct TServiceSurroundings {
    std::vector<std::string> Environment;  // "NAME=value"
    int Stdout = -1;                       // -1: the file Output() reads
};

// vistreld with its HTTP side on a port of its own, so tests run side by side.
class Daemon : public vistrel::testing::TChildProcess {
public:
    Daemon(int senderPort, int viewerPort, const std::string& registry)
        : Daemon({"--address", "127.0.0.1", "--sender-port", std::to_string(senderPort), "--viewer-port",
                  std::to_string(viewerPort), "--registry", registry}) {}
    explicit Daemon(const std::vector<std::string>& options, const TServiceSurroundings& surroundings = {})
        : TChildProcess(Arguments(options), {.Stdout = surroundings.Stdout, .Environment = surroundings.Environment}) {}

private:
    static std::vector<std::string> Arguments(const std::vector<std::string>& options) {
        std::vector<std::string> args = {VISTRELD_PATH, "--http", "127.0.0.1:0", "--no-recording"};
        args.insert(args.end(), options.begin(), options.end());
        return args;
    }
};

// Connects (retrying while the daemon starts) and reads the 19-byte greeting
// (or the 25-byte refusal); keepOpen, if given, receives the open socket.
std::string Greeting(int port, int* keepOpen = nullptr) {
    auto until = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < until) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            std::string got;
            char buf[64];
            while (got.size() < 19 || (got.rfind("Sorry", 0) == 0 && got.size() < 25)) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 2000) <= 0) break;
                ssize_t n = read(fd, buf, sizeof buf);
                if (n <= 0) break;
                got.append(buf, static_cast<size_t>(n));
            }
            if (keepOpen)
                *keepOpen = fd;
            else
                close(fd);
            // Packets may follow at once (a viewer is told of every game
            // another test connection opened and closed): the greeting is
            // what comes first.
            return got.substr(0, got.rfind("Sorry", 0) == 0 ? 25 : 19);
        }
        close(fd);
        std::this_thread::sleep_for(20ms);
    }
    return "no connection";
}

// What a viewer that writes its USERINFO once a line has arrived reads to its end ("" if the write fails).
std::string ReadToTheEnd(int port) {
    vistrel::client::TRelayClient viewer(static_cast<uint16_t>(port));
    viewer.WaitUntil([&] { return !viewer.Unread().empty(); }, 2s);
    if (!viewer.Send(vistrel::client::UserInfo("late", vistrel::PacketSize::USERINFO_CONSUMED))) return {};
    viewer.WaitUntil([&] { return viewer.Ended(); }, 5s);
    return std::string(viewer.Unread());
}

TEST(VistreldProcess, GreetsOnBothPortsRefusesASecondCopyAndStopsOnSigterm) {
    const std::string registry = ::testing::TempDir() + "/vistreld-process-test.reg";
    unlink(registry.c_str());
    int senderPort = FreePort();
    int viewerPort = FreePort();

    Daemon first(senderPort, viewerPort, registry);
    EXPECT_EQ(Greeting(senderPort), "Welcome to TcpSrv\r\n");
    EXPECT_EQ(Greeting(viewerPort), "Welcome to TcpSrv\r\n");

    Daemon second(senderPort, viewerPort, registry);
    EXPECT_EQ(second.Wait(10s), 1);
    EXPECT_NE(second.Output().find("vistreld: Cannot listen for senders on 127.0.0.1:" + std::to_string(senderPort) +
                                   ": Address already in use (Error 10048 in function Bind)\n"),
              std::string::npos)
        << second.Output();

    ASSERT_TRUE(first.Signal(SIGTERM));
    EXPECT_EQ(first.Wait(10s), 0);
}

TEST(VistreldProcess, StartsWithTheViewerLimitOfItsSettingsFile) {
    const std::string registry = ::testing::TempDir() + "/vistreld-limit-test.reg";
    {
        FILE* f = fopen(registry.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs("Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\r\n"
              "\"MaxClientsSpin\"=\"1\"\r\n",
              f);
        fclose(f);
    }
    int senderPort = FreePort();
    int viewerPort = FreePort();
    Daemon daemon(senderPort, viewerPort, registry);

    int firstViewer = -1;
    EXPECT_EQ(Greeting(viewerPort, &firstViewer), "Welcome to TcpSrv\r\n");
    EXPECT_EQ(Greeting(viewerPort), "Sorry, too many clients\r\n");
    int heard = 0;  // refused in a row, each can still write and reads its refusal
    for (int i = 0; i < 200; ++i) heard += ReadToTheEnd(viewerPort) == "Sorry, too many clients\r\n";
    EXPECT_EQ(heard, 200);
    if (firstViewer >= 0) close(firstViewer);

    ASSERT_TRUE(daemon.Signal(SIGTERM));
    EXPECT_EQ(daemon.Wait(10s), 0);
}

TEST(VistreldProcess, ReportsAValueOfTheWrongTypeAndServesAllTheSame) {
    const std::string registry = ::testing::TempDir() + "/vistreld-type-test.reg";
    {
        FILE* f = fopen(registry.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs("Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\r\n"
              "\"FilmDemoPasswordEdit\"=dword:00000001\r\n",
              f);
        fclose(f);
    }
    int senderPort = FreePort();
    int viewerPort = FreePort();
    Daemon daemon(senderPort, viewerPort, registry);
    EXPECT_EQ(Greeting(senderPort), "Welcome to TcpSrv\r\n");
    ASSERT_TRUE(daemon.Signal(SIGTERM));
    EXPECT_EQ(daemon.Wait(10s), 0);
    EXPECT_NE(daemon.Output().find("Invalid data type for 'FilmDemoPasswordEdit'"), std::string::npos);
}

TEST(VistreldProcess, ReportsAFilmingPasswordNoSenderCanSend) {
    const std::string registry = ::testing::TempDir() + "/vistreld-password-test.reg";
    {
        FILE* f = fopen(registry.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs("Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\r\n"
              "\"FilmDemoPasswordEdit\"=\"a password of 23 chars.\"\r\n",
              f);
        fclose(f);
    }
    int senderPort = FreePort();
    int viewerPort = FreePort();
    Daemon daemon(senderPort, viewerPort, registry);
    EXPECT_EQ(Greeting(senderPort), "Welcome to TcpSrv\r\n");
    ASSERT_TRUE(daemon.Signal(SIGTERM));
    EXPECT_EQ(daemon.Wait(10s), 0);
    EXPECT_NE(daemon.Output().find("vistreld: The filming password in the settings has 23 characters; senders send "
                                   "at most 16, so no sender can log in.\n"),
              std::string::npos);
}

TEST(VistreldProcess, AUsageErrorEndsWithStatus2AndNamesTheOption) {
    const std::string registry = ::testing::TempDir() + "/vistreld-usage-test.reg";
    // Where the case without a --registry value would keep its settings.
    setenv("VISTREL_REGISTRY", registry.c_str(), 1);
    // Valid ports among the bad ones: were the error missed, the daemon would
    // serve on these and not on the default ports.
    const std::string senderPort = std::to_string(FreePort());
    const std::string viewerPort = std::to_string(FreePort());
    struct TCase {
        std::vector<std::string> options;
        std::string message;
    };
    const TCase cases[] = {
        {{"--sender-port", "70000", "--viewer-port", viewerPort, "--registry", registry},
         "vistreld: --sender-port: 70000 is not a port number"},
        {{"--sender-port", senderPort, "--viewer-port", "port", "--registry", registry},
         "vistreld: --viewer-port: port is not a port number"},
        {{"--sender-port", senderPort, "--viewer-port", viewerPort, "--registry", registry, "--backlog", "0"},
         "vistreld: --backlog: 0 is not a number from 1 to 65535"},
        {{"--sender-port", senderPort, "--viewer-port", viewerPort, "--registry", registry, "--backlog", "65536"},
         "vistreld: --backlog: 65536 is not a number from 1 to 65535"},
        {{"--sender-port", senderPort, "--viewer-port", viewerPort, "--registry", registry, "--no-such-option"},
         "vistreld: unknown option --no-such-option"},
        {{"--sender-port", senderPort, "--viewer-port", viewerPort, "--registry", registry, "stray"},
         "vistreld: unknown option stray"},
        {{"--sender-port", senderPort, "--viewer-port", viewerPort, "--registry"},
         "vistreld: --registry needs a value"},
        {{"--sender-port", senderPort, "--viewer-port", viewerPort, "--registry", registry, "--max-memory", "12X"},
         "vistreld: --max-memory: 12X is not a size (bytes, or a number with K, M or G)"},
        {{"--sender-port", senderPort, "--viewer-port", viewerPort, "--registry", registry, "--max-memory", "1.5G"},
         "vistreld: --max-memory: 1.5G is not a size (bytes, or a number with K, M or G)"},
        {{"--sender-port", senderPort, "--viewer-port", viewerPort, "--registry", registry, "--max-memory",
          "99999999999G"},
         "vistreld: --max-memory: 99999999999G is not a size (bytes, or a number with K, M or G)"},
        {{"--sender-port", senderPort, "--viewer-port", viewerPort, "--registry", registry, "--max-memory", "M"},
         "vistreld: --max-memory: M is not a size (bytes, or a number with K, M or G)"},
        {{"--sender-port", senderPort, "--viewer-port", viewerPort, "--registry", registry, "--http", "localhost:80"},
         "vistreld: --http: localhost:80 is not ADDR:PORT or off"},
        {{"--sender-port", senderPort, "--viewer-port", viewerPort, "--registry", registry, "--fsync", "sometimes"},
         "vistreld: --fsync: sometimes is not always, everysec or no"},
        {{"--sender-port", senderPort, "--viewer-port", viewerPort, "--registry", registry, "--max-disk", "lots"},
         "vistreld: --max-disk: lots is not a size (bytes, or a number with K, M or G)"},
        {{"--sender-port", senderPort, "--viewer-port", viewerPort, "--registry", registry, "--data-dir"},
         "vistreld: --data-dir needs a value"},
        {{"--sender-port", senderPort, "--viewer-port", viewerPort, "--registry", registry, "--forward-from",
          "ftp://origin"},
         "vistreld: --forward-from: ftp://origin is not an http:// or https:// URL"},
        {{"--sender-port", senderPort, "--viewer-port", viewerPort, "--registry", registry, "--forward-from",
          "http://"},
         "vistreld: --forward-from: http:// is not an http:// or https:// URL"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.message);
        Daemon daemon(c.options);
        EXPECT_EQ(daemon.Wait(10s), 2);
        EXPECT_NE(daemon.Output().find(c.message + "\n"), std::string::npos);
    }
}

// One HTTP request on a connection of its own (retrying while the daemon
// starts); everything the daemon answered, up to its close.
std::string HttpGet(int port, const std::string& target, std::chrono::milliseconds limit = 5s) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
            EXPECT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
            std::string got;
            char buf[4096];
            for (;;) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 2000) <= 0) break;
                ssize_t n = read(fd, buf, sizeof buf);
                if (n <= 0) break;
                got.append(buf, static_cast<size_t>(n));
            }
            close(fd);
            return got;
        }
        close(fd);
        std::this_thread::sleep_for(20ms);
    }
    return "no connection";
}

TEST(VistreldProcess, ServesTheHttpApiAndEndsWhenItsPortIsTaken) {
    const std::string registry = ::testing::TempDir() + "/vistreld-http-test.reg";
    unlink(registry.c_str());
    const int senderPort = FreePort(), viewerPort = FreePort(), httpPort = FreePort();
    const std::string http = "127.0.0.1:" + std::to_string(httpPort);
    Daemon daemon({"--address", "127.0.0.1", "--sender-port", std::to_string(senderPort), "--viewer-port",
                   std::to_string(viewerPort), "--registry", registry, "--http", http});
    EXPECT_EQ(Greeting(viewerPort), "Welcome to TcpSrv\r\n");
    const std::string status = HttpGet(httpPort, "/api/v1/status");
    EXPECT_EQ(status.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << status;
    EXPECT_NE(status.find("\"version\":\"1.3\""), std::string::npos) << status;
    EXPECT_NE(status.find("\"viewers\":"), std::string::npos) << status;
    EXPECT_NE(HttpGet(httpPort, "/metrics").find("vistrel_connections_accepted_total{port=\"viewer\"} 1\n"),
              std::string::npos);

    // Another relay on other relay ports but the same HTTP port ends as for
    // any port it cannot use.
    Daemon second({"--address", "127.0.0.1", "--sender-port", std::to_string(FreePort()), "--viewer-port",
                   std::to_string(FreePort()), "--registry", registry, "--http", http});
    EXPECT_EQ(second.Wait(10s), 1);
    EXPECT_NE(second.Output().find("vistreld: Cannot listen for HTTP on " + http), std::string::npos);

    // --http off: nothing listens there.
    Daemon quiet({"--address", "127.0.0.1", "--sender-port", std::to_string(FreePort()), "--viewer-port",
                  std::to_string(FreePort()), "--registry", registry, "--http", "off"});
    ASSERT_TRUE(daemon.Signal(SIGTERM));
    EXPECT_EQ(daemon.Wait(10s), 0);
    EXPECT_EQ(quiet.Wait(300ms), -1);  // still running
    EXPECT_EQ(HttpGet(httpPort, "/api/v1/status", 300ms), "no connection");
    ASSERT_TRUE(quiet.Signal(SIGTERM));
    EXPECT_EQ(quiet.Wait(10s), 0);
}

TEST(VistreldProcess, LogsItsMemoryBudgetAtStartUp) {
    const std::string registry = ::testing::TempDir() + "/vistreld-memory-test.reg";
    const size_t physical = static_cast<size_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
    struct TCase {
        std::vector<std::string> options;
        std::string line;
    };
    const TCase cases[] = {
        {{"--max-memory", "512M"}, "Memory budget: 512.0 MiB for stored games, 128.0 MiB for connection buffers"},
        {{"--max-memory", "3g"}, "Memory budget: 3.0 GiB for stored games, 768.0 MiB for connection buffers"},
        {{"--max-memory", "1048576"}, "Memory budget: 1.0 MiB for stored games, 64.0 MiB for connection buffers"},
        {{"--max-memory", "0"}, "Memory budget: no limit"},
        // The default: half the physical memory.
        {{}, vistrel::DescribeMemoryBudget(vistrel::MemoryBudgetFor(physical / 2))},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.line);
        const int senderPort = FreePort();
        std::vector<std::string> options = {"--address", "127.0.0.1", "--sender-port", std::to_string(senderPort),
                                            "--viewer-port", std::to_string(FreePort()), "--registry", registry};
        options.insert(options.end(), c.options.begin(), c.options.end());
        Daemon daemon(options);
        EXPECT_EQ(Greeting(senderPort), "Welcome to TcpSrv\r\n");
        ASSERT_TRUE(daemon.Signal(SIGTERM));
        EXPECT_EQ(daemon.Wait(10s), 0);
        const std::string output = daemon.Output();
        // After the line's "yyyy/mm/dd hh:mm:ss ".
        EXPECT_NE(output.find(" " + c.line + "\n"), std::string::npos) << output;
    }
}

TEST(VistreldProcess, AnswersHelpAndVersionWithStatus0) {
    Daemon help({"--help"});
    EXPECT_EQ(help.Wait(10s), 0);
    const std::string text = help.Output();
    EXPECT_EQ(text.rfind("Usage: vistreld [options]\n", 0), 0u) << text;
    EXPECT_NE(text.find("\nListening:\n  --address A        listen on this IPv4 or IPv6 address"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\n  --debug            also print the debug lines\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nHTTP:\n  --http ADDR:PORT"), std::string::npos) << text;

    Daemon version({"--version"});
    EXPECT_EQ(version.Wait(10s), 0);
    EXPECT_EQ(version.Output(), "vistreld 1.3\n");
}

// An AF_UNIX datagram socket in a folder of its own, standing in for the
// socket systemd names in NOTIFY_SOCKET.
class TNotifySocket {
public:
    TNotifySocket() {
        std::string folder = ::testing::TempDir() + "/vistreld-notify-XXXXXX";
        if (mkdtemp(folder.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp: " << strerror(errno);
            return;
        }
        folder_ = folder;
        path_ = folder_ + "/notify";
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path_.size() >= sizeof addr.sun_path) {
            ADD_FAILURE() << path_ << " is too long for a socket's name";
            return;
        }
        std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << strerror(errno);
    }
    ~TNotifySocket() {
        if (fd_ >= 0) close(fd_);
        if (!path_.empty()) unlink(path_.c_str());
        if (!folder_.empty()) rmdir(folder_.c_str());
    }
    std::string Variable() const { return "NOTIFY_SOCKET=" + path_; }
    // The next message, or "" when none arrives within limit.
    std::string Next(std::chrono::milliseconds limit) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) return "";
        char buf[4096];
        ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }

private:
    std::string folder_, path_;
    int fd_ = -1;
};

// One connect to 127.0.0.1:port, without retrying.
bool AcceptsAConnection(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool connected = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return connected;
}

TEST(VistreldService, NotifiesReadyOnceEveryPortListensAndStoppingOnSigterm) {
    const std::string registry = ::testing::TempDir() + "/vistreld-notify-test.reg";
    const int senderPort = FreePort(), viewerPort = FreePort(), httpPort = FreePort();
    TNotifySocket notify;
    Daemon daemon({"--address", "127.0.0.1", "--sender-port", std::to_string(senderPort), "--viewer-port",
                   std::to_string(viewerPort), "--registry", registry, "--http",
                   "127.0.0.1:" + std::to_string(httpPort)},
                  {{notify.Variable()}});

    EXPECT_EQ(notify.Next(10s), "READY=1\nSTATUS=Relaying on 127.0.0.1: senders on port " +
                                    std::to_string(senderPort) + ", viewers on port " + std::to_string(viewerPort) +
                                    "; HTTP on port " + std::to_string(httpPort));
    // Ready means listening: the first attempt on each port is taken.
    EXPECT_TRUE(AcceptsAConnection(senderPort));
    EXPECT_TRUE(AcceptsAConnection(viewerPort));
    EXPECT_TRUE(AcceptsAConnection(httpPort));
    EXPECT_EQ(notify.Next(0ms), "");

    ASSERT_TRUE(daemon.Signal(SIGTERM));
    EXPECT_EQ(notify.Next(10s), "STOPPING=1");
    EXPECT_EQ(daemon.Wait(10s), 0);
    EXPECT_EQ(notify.Next(0ms), "");
}

TEST(VistreldService, NeverNotifiesReadyWhenAPortCannotBeUsed) {
    const std::string registry = ::testing::TempDir() + "/vistreld-notify-fail-test.reg";
    const int senderPort = FreePort(), viewerPort = FreePort(), httpPort = FreePort();
    TNotifySocket notify;
    Daemon first({"--address", "127.0.0.1", "--sender-port", std::to_string(senderPort), "--viewer-port",
                  std::to_string(viewerPort), "--registry", registry, "--http",
                  "127.0.0.1:" + std::to_string(httpPort)},
                 {{notify.Variable()}});
    ASSERT_EQ(notify.Next(10s).rfind("READY=1\n", 0), 0u);

    // Its relay ports taken, and then only its HTTP port: neither second
    // copy says it is ready.
    Daemon relayPortsTaken({"--address", "127.0.0.1", "--sender-port", std::to_string(senderPort), "--viewer-port",
                            std::to_string(viewerPort), "--registry", registry},
                           {{notify.Variable()}});
    EXPECT_EQ(relayPortsTaken.Wait(10s), 1);
    Daemon httpPortTaken({"--address", "127.0.0.1", "--sender-port", std::to_string(FreePort()), "--viewer-port",
                          std::to_string(FreePort()), "--registry", registry, "--http",
                          "127.0.0.1:" + std::to_string(httpPort)},
                         {{notify.Variable()}});
    EXPECT_EQ(httpPortTaken.Wait(10s), 1);
    // Both have ended: whatever they sent is queued already.
    EXPECT_EQ(notify.Next(0ms), "");

    ASSERT_TRUE(first.Signal(SIGTERM));
    EXPECT_EQ(first.Wait(10s), 0);
}

// JOURNAL_STREAM's value for the daemon's stdout, given what that is.
using TJournalStreamFor = std::function<std::string(const struct stat& out)>;

// The lines the daemon wrote to stdout, with JOURNAL_STREAM set to
// journalStream(its stdout), after a viewer came and went.
std::vector<std::string> LinesWithJournalStream(const TJournalStreamFor& journalStream) {
    const std::string registry = ::testing::TempDir() + "/vistreld-journal-test.reg";
    const std::string outPath = ::testing::TempDir() + "/vistreld-journal-test.out";
    int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(outFd, 0) << strerror(errno);
    struct stat outStat {};
    EXPECT_EQ(fstat(outFd, &outStat), 0);
    const int senderPort = FreePort(), viewerPort = FreePort();
    {
        TNotifySocket notify;
        Daemon daemon({"--address", "127.0.0.1", "--sender-port", std::to_string(senderPort), "--viewer-port",
                       std::to_string(viewerPort), "--registry", registry, "--max-memory", "0"},
                      {{notify.Variable(), "JOURNAL_STREAM=" + journalStream(outStat)}, outFd});
        EXPECT_EQ(notify.Next(10s).rfind("READY=1\n", 0), 0u);
        EXPECT_EQ(Greeting(viewerPort), "Welcome to TcpSrv\r\n");
        EXPECT_TRUE(daemon.Signal(SIGTERM));
        EXPECT_EQ(notify.Next(10s), "STOPPING=1");
        EXPECT_EQ(daemon.Wait(10s), 0);
    }
    close(outFd);
    std::vector<std::string> lines;
    if (FILE* out = fopen(outPath.c_str(), "r")) {
        char buf[4096];
        while (fgets(buf, sizeof buf, out)) lines.emplace_back(buf);
        fclose(out);
    }
    unlink(outPath.c_str());
    return lines;
}

TEST(VistreldService, WritesLogLinesWithoutTimestampsWhenStdoutIsTheJournal) {
    const std::regex timestamped(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d .*\n)");

    const auto journal = LinesWithJournalStream(
        [](const struct stat& out) { return std::to_string(out.st_dev) + ":" + std::to_string(out.st_ino); });
    // The budget line, then at least the viewer's arrival and departure.
    ASSERT_GE(journal.size(), 3u);
    EXPECT_EQ(journal[0], "Memory budget: no limit\n");
    for (const std::string& line : journal) EXPECT_FALSE(std::regex_match(line, timestamped)) << line;

    // JOURNAL_STREAM naming another stream (stdout redirected after systemd
    // set it): the lines keep their timestamps.
    const TJournalStreamFor otherStreams[] = {
        [](const struct stat& out) { return std::to_string(out.st_dev) + ":" + std::to_string(out.st_ino + 1); },
        [](const struct stat& out) { return std::to_string(out.st_dev + 1) + ":" + std::to_string(out.st_ino); },
        // Not a number pair.
        [](const struct stat& out) { return std::to_string(out.st_dev) + ":" + std::to_string(out.st_ino) + "x"; },
    };
    const std::regex budgetLine(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d Memory budget: no limit\n)");
    for (const TJournalStreamFor& journalStream : otherStreams) {
        const auto elsewhere = LinesWithJournalStream(journalStream);
        ASSERT_GE(elsewhere.size(), 3u);
        EXPECT_TRUE(std::regex_match(elsewhere[0], budgetLine)) << elsewhere[0];
        for (const std::string& line : elsewhere) EXPECT_TRUE(std::regex_match(line, timestamped)) << line;
    }
}

}  // namespace

namespace {

void WriteSettings(const std::string& path, const std::string& forwardServer) {
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fprintf(f,
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\r\n"
            "\"ForwardServerIPEdit\"=\"%s\"\r\n",
            forwardServer.c_str());
    fclose(f);
}

// Reads the daemon's output until it holds text (bounded).
bool OutputShows(Daemon& daemon, std::string& seen, const std::string& text) {
    const auto until = std::chrono::steady_clock::now() + 10s;
    while ((seen = daemon.Output()).find(text) == std::string::npos && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(20ms);
    return seen.find(text) != std::string::npos;
}

}  // namespace

TEST(VistreldProcess, TheForwardServerSettingStartsEdgeModeAndTheCommandLineWins) {
    const std::string registry = ::testing::TempDir() + "/vistreld-forward-test.reg";
    // Nothing listens on port 1: the origin cannot be read, and the relay serves all the same.
    WriteSettings(registry, "http://127.0.0.1:1");
    {
        const int senderPort = FreePort(), viewerPort = FreePort();
        Daemon daemon(senderPort, viewerPort, registry);
        std::string seen;
        EXPECT_TRUE(OutputShows(daemon, seen, "Forward Server: mirroring the games of http://127.0.0.1:1\n")) << seen;
        EXPECT_TRUE(OutputShows(daemon, seen, "Forward Server: the origin http://127.0.0.1:1 cannot be read")) << seen;
        EXPECT_EQ(Greeting(viewerPort), "Welcome to TcpSrv\r\n");
        ASSERT_TRUE(daemon.Signal(SIGTERM));
        EXPECT_EQ(daemon.Wait(10s), 0);
    }
    {
        const int senderPort = FreePort(), viewerPort = FreePort();
        Daemon daemon({"--address", "127.0.0.1", "--sender-port", std::to_string(senderPort), "--viewer-port",
                       std::to_string(viewerPort), "--registry", registry, "--forward-from", "http://127.0.0.1:2/"});
        std::string seen;
        EXPECT_TRUE(OutputShows(daemon, seen, "Forward Server: mirroring the games of http://127.0.0.1:2\n")) << seen;
        // (The listener lines name ports that may start with a 1.)
        EXPECT_EQ(seen.find("http://127.0.0.1:1\n"), std::string::npos) << seen;
        EXPECT_EQ(seen.find("http://127.0.0.1:1 "), std::string::npos) << seen;
        ASSERT_TRUE(daemon.Signal(SIGTERM));
        EXPECT_EQ(daemon.Wait(10s), 0);
    }
    // A setting that is no URL is reported; the relay runs on its own.
    WriteSettings(registry, "origin.example.net");
    {
        const int senderPort = FreePort(), viewerPort = FreePort();
        Daemon daemon(senderPort, viewerPort, registry);
        std::string seen;
        EXPECT_TRUE(OutputShows(daemon, seen,
                                "vistreld: The Forward Server is not an http:// or https:// URL: origin.example.net\n"))
            << seen;
        EXPECT_EQ(Greeting(viewerPort), "Welcome to TcpSrv\r\n");
        ASSERT_TRUE(daemon.Signal(SIGTERM));
        EXPECT_EQ(daemon.Wait(10s), 0);
    }
}

namespace {

const std::string kSetupHead =
    "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\n";  // lines 1 to 3

void WriteText(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    fputs(text.c_str(), f);
    fclose(f);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// vistreld with exactly these arguments.
vistrel::testing::TChildProcess Vistreld(std::vector<std::string> args) {
    args.insert(args.begin(), VISTRELD_PATH);
    return vistrel::testing::TChildProcess(std::move(args));
}

}  // namespace

TEST(VistreldSettings, EveryProblemIsReportedWithItsLineAndTheLaterValuesAreKept) {
    const std::string registry = ::testing::TempDir() + "/vistreld-problems.reg";
    WriteText(registry, kSetupHead + "\"FilmDemoPasswordEdit\"=dword:5\n"
                                     "\"RemoteAdminPasswordEdit\"=\"ok\"\n"
                                     "\"MaxClientSpin\"=dword:3\n"
                                     "\"MaxClientsSpin\"=dword:1\n"
                                     "\"CrowdSpin\"=dword:186a0\n");
    const int senderPort = FreePort(), viewerPort = FreePort();
    Daemon daemon(senderPort, viewerPort, registry);
    int firstViewer = -1;
    EXPECT_EQ(Greeting(viewerPort, &firstViewer), "Welcome to TcpSrv\r\n");
    EXPECT_EQ(Greeting(viewerPort), "Sorry, too many clients\r\n");  // the limit after the wrong type
    if (firstViewer >= 0) close(firstViewer);
    ASSERT_TRUE(daemon.Stop(SIGTERM));
    const std::string out = daemon.Output();
    for (const char* line :
         {":4: Invalid data type for 'FilmDemoPasswordEdit'\n", ":6: Unknown value 'MaxClientSpin' ignored\n",
          ":8: 'CrowdSpin' is 100000, outside 0 to 99999; 99999 is used\n"})
        EXPECT_NE(out.find("vistreld: " + registry + line), std::string::npos) << line << out;
}

// --check and start-up refuse the same files; --check and a bad address create nothing.
TEST(VistreldSettings, CheckAndStartUpRefuseAFileThatCannotBeUsedAndBadAddressesEndWithStatus2) {
    const std::string dir = ::testing::TempDir() + "/vistreld-check", data = dir + "/data";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir + "/folder.reg");
    WriteText(dir + "/good.reg", kSetupHead + "\"Typo\"=\"x\"\n");
    WriteText(dir + "/bad.reg", kSetupHead + "\"MaxClientsSpin\"=\"lots\"\n\"CrowdSpin\"=hex:01\n");
    WriteText(dir + "/garbage.reg", "garbage\n");
    const std::pair<std::vector<std::string>, std::pair<int, std::string>> cases[] = {
        {{"--check", "--registry", dir + "/good.reg"}, {0, dir + "/good.reg:4: Unknown value 'Typo' ignored\n"}},
        {{"--check", "--registry", dir + "/none/r.reg"}, {0, "usable (0 warnings)"}},  // no file: the defaults
        {{"--check", "--registry", dir + "/bad.reg"},
         {1, "bad.reg:4: Invalid value for 'MaxClientsSpin': not a whole number\nvistreld: " + dir +
                 "/bad.reg:5: Invalid data type for 'CrowdSpin'\n"}},
        {{"--check", "--registry", dir + "/garbage.reg"},
         {1, "garbage.reg:1: expected \"Windows Registry Editor Version 5.00\"\n"}},
        {{"--registry", dir + "/garbage.reg"},
         {1, "garbage.reg:1: expected \"Windows Registry Editor Version 5.00\"; not starting\n"}},
        {{"--registry", dir + "/folder.reg"}, {1, "folder.reg: not a regular file; not starting\n"}},
        {{"--address", "999.1.1.1"}, {2, "vistreld: --address: 999.1.1.1 is not an IPv4 or IPv6 address\n"}},
        {{"--address", "localhost"}, {2, "vistreld: --address: localhost is not an IPv4 or IPv6 address\n"}},
        {{"--address", "::1", "--address", "::1::"},
         {2, "vistreld: --address: ::1:: is not an IPv4 or IPv6 address\n"}},
        {{"--http", "::1:80"}, {2, "vistreld: --http: ::1:80 is not ADDR:PORT or off\n"}},
        {{"--http", "999.1.1.1:80"}, {2, "vistreld: --http: 999.1.1.1:80 is not ADDR:PORT or off\n"}},
    };
    for (const auto& [options, expected] : cases) {
        std::vector<std::string> args = {"--data-dir", data, "--sender-port", "0", "--viewer-port", "0"};
        args.insert(args.end(), options.begin(), options.end());
        auto daemon = Vistreld(args);
        EXPECT_EQ(daemon.Wait(10s), expected.first) << options[1];
        EXPECT_NE(daemon.Output().find(expected.second), std::string::npos) << daemon.Output();
    }
    EXPECT_FALSE(Exists(data));
    EXPECT_FALSE(Exists(dir + "/none"));
}

TEST(VistreldSettings, NamesEveryListenerWithItsPortAndLogsTheShutdown) {
    const std::string registry = ::testing::TempDir() + "/vistreld-listeners.reg";
    unlink(registry.c_str());
    Daemon daemon({"--address", "127.0.0.1", "--sender-port", "0", "--viewer-port", "0", "--registry", registry});
    std::string seen;
    ASSERT_TRUE(OutputShows(daemon, seen, "Serving HTTP on http://127.0.0.1:")) << seen;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(seen, m,
                                  std::regex("Listening for senders on 127\\.0\\.0\\.1:([1-9][0-9]*)\n.*"
                                             "Listening for viewers on 127\\.0\\.0\\.1:([1-9][0-9]*)\n.*"
                                             "Serving HTTP on http://127\\.0\\.0\\.1:([1-9][0-9]*)/\n")))
        << seen;
    EXPECT_EQ(Greeting(std::stoi(m[1])), "Welcome to TcpSrv\r\n");
    int viewer = -1;
    EXPECT_EQ(Greeting(std::stoi(m[2]), &viewer), "Welcome to TcpSrv\r\n");
    EXPECT_EQ(HttpGet(std::stoi(m[3]), "/api/v1/status").rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    ASSERT_TRUE(daemon.Stop(SIGTERM));
    EXPECT_NE(daemon.Output().find("Shutting down: 0 senders and 1 viewer disconnected\n"), std::string::npos)
        << daemon.Output();
    if (viewer >= 0) close(viewer);
}

// ::1 and 127.0.0.1 at one port, HTTPS on [::1]; a bad certificate: status 1.
TEST(VistreldSettings, ListensOnIpv6AndIpv4ServesHttpsAndRefusesABadCertificate) {
    if (!vistrel::testing::HasIpv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1)";
    const std::string dir = ::testing::TempDir() + "/vistreld-tls", cert = dir + "/a-cert.pem",
                      key = dir + "/a-key.pem";
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(vistrel::testing::MakeCertificate(dir, "a") && vistrel::testing::MakeCertificate(dir, "b"));
    Daemon daemon({"--address", "::1", "--address", "127.0.0.1", "--sender-port", "0", "--viewer-port", "0", "--http",
                   "[::1]:0", "--http-cert", cert, "--http-key", key, "--registry", dir + "/r.reg"});
    std::string seen;
    ASSERT_TRUE(OutputShows(daemon, seen, "Serving HTTPS on https://[::1]:")) << seen;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(seen, m,
                                  std::regex("senders on \\[::1\\]:([0-9]+)\n.*senders on 127\\.0\\.0\\.1:\\1\n"
                                             ".*viewers on \\[::1\\]:([0-9]+)\n.*viewers on 127\\.0\\.0\\.1:\\2\n"
                                             ".*Serving HTTPS on (https://\\[::1\\]:[0-9]+/)\n")))
        << seen;
    for (const std::string& port : {m.str(1), m.str(2)}) {
        vistrel::client::TRelayClient six(static_cast<uint16_t>(std::stoi(port)), 0, "::1");
        EXPECT_TRUE(vistrel::client::AwaitGreeting(six, 5s, seen)) << seen;
        EXPECT_EQ(Greeting(std::stoi(port)), "Welcome to TcpSrv\r\n");
    }
    const std::string status = vistrel::testing::Curl(m.str(3) + "api/v1/status", cert);
    EXPECT_TRUE(status.ends_with("\n200") && status.find("\"version\"") != std::string::npos) << status;
    const std::pair<std::string, std::string> bad[] = {
        {dir + "/none.pem", "Cannot read the HTTPS key " + dir + "/none.pem: No such file or directory\n"},
        {dir + "/a.tmpl", "The HTTPS key " + dir + "/a.tmpl holds no PEM block"},
        {dir + "/b-key.pem", "Cannot serve HTTPS on 127.0.0.1:0 with that certificate and key: "}};
    for (const auto& [badKey, message] : bad) {
        auto refused =
            Vistreld({"--address", "127.0.0.1", "--sender-port", "0", "--viewer-port", "0", "--http", "127.0.0.1:0",
                      "--no-recording", "--registry", dir + "/r.reg", "--http-cert", cert, "--http-key", badKey});
        EXPECT_EQ(refused.Wait(10s), 1);
        EXPECT_NE(refused.Output().find("vistreld: " + message), std::string::npos) << refused.Output();
    }
}

namespace {

using vistrel::client::TRelayClient;

// A camera that logged in with password; false if the relay did not greet it.
bool Film(TRelayClient& camera, const std::string& password) {
    std::string error;
    if (!vistrel::client::AwaitGreeting(camera, 5s, error)) return false;
    return camera.Send(vistrel::client::GameInfo("cam", password));
}

// The relay answered one more packet: the ACKNAK 0 of a stored one.
bool Answered(TRelayClient& camera, int32_t location) {
    if (!camera.Send(vistrel::client::Demo(location, "frame " + std::to_string(location)))) return false;
    std::string packet;
    const std::string ack = vistrel::client::AckNak(0);
    return camera.WaitUntil([&] { return !(packet = camera.TakePacket()).empty() && packet == ack; }, 5s);
}

}  // namespace

TEST(VistreldSettings, SighupReloadsThePasswordAndTheLimitWithoutDroppingAnyone) {
    const std::string registry = ::testing::TempDir() + "/vistreld-reload.reg";
    WriteText(registry, kSetupHead + "\"FilmDemoPasswordEdit\"=\"old\"\n");
    const int senderPort = FreePort(), viewerPort = FreePort();
    Daemon daemon(senderPort, viewerPort, registry);
    std::string seen, error;
    ASSERT_TRUE(OutputShows(daemon, seen, "Listening for viewers"));

    TRelayClient camera(static_cast<uint16_t>(senderPort));
    ASSERT_TRUE(Film(camera, "old"));
    EXPECT_TRUE(camera.WaitUntil([&] { return camera.TakePacket() == vistrel::client::AckNak(0); }, 5s));
    EXPECT_TRUE(Answered(camera, 0));
    TRelayClient viewer(static_cast<uint16_t>(viewerPort));
    ASSERT_TRUE(vistrel::client::AwaitGreeting(viewer, 5s, error)) << error;
    viewer.DiscardInput(true);

    WriteText(registry, kSetupHead + "\"FilmDemoPasswordEdit\"=\"new\"\n\"MaxClientsSpin\"=dword:1\n");
    ASSERT_TRUE(daemon.Signal(SIGHUP));
    EXPECT_TRUE(OutputShows(daemon, seen,
                            "Settings reloaded from " + registry + ": FilmDemoPasswordEdit, MaxClientsSpin changed\n"))
        << seen;
    EXPECT_EQ(seen.find("\"new\""), std::string::npos);

    // The old password is refused now; the viewer limit turns the next viewer away.
    TRelayClient late(static_cast<uint16_t>(senderPort));
    ASSERT_TRUE(Film(late, "old"));
    EXPECT_TRUE(late.WaitUntil([&] { return late.Ended(); }, 5s));
    EXPECT_EQ(Greeting(viewerPort), "Sorry, too many clients\r\n");
    // Neither the camera nor the viewer was dropped.
    EXPECT_TRUE(Answered(camera, 1));
    viewer.Pump();
    EXPECT_FALSE(viewer.Ended());

    // A file that fails its checks keeps the running settings.
    WriteText(registry, kSetupHead + "\"FilmDemoPasswordEdit\"=dword:0\n");
    ASSERT_TRUE(daemon.Signal(SIGHUP));
    EXPECT_TRUE(OutputShows(daemon, seen,
                            "Settings not reloaded, the running settings are kept: " + registry +
                                ":4: Invalid data type for 'FilmDemoPasswordEdit'\n"))
        << seen;
    TRelayClient second(static_cast<uint16_t>(senderPort));
    ASSERT_TRUE(Film(second, "new"));
    EXPECT_TRUE(second.WaitUntil([&] { return second.TakePacket() == vistrel::client::AckNak(0); }, 5s));
    EXPECT_TRUE(Answered(second, 0));
    EXPECT_EQ(Greeting(viewerPort), "Sorry, too many clients\r\n");

    ASSERT_TRUE(daemon.Stop(SIGTERM));
    EXPECT_NE(daemon.Output().find("Shutting down: 2 senders and 1 viewer disconnected\n"), std::string::npos)
        << daemon.Output();
}
