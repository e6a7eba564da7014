// A live relay for the tests of what watches one from outside (the
// monitoring files, a real Prometheus): vistreld as a process on loopback
// ports of its own, a camera filming a game on it, a viewer watching.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "client/client_packets.h"
#include "client/relay_client.h"
#include "client/server_packets.h"
#include "testing/http_client.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/free_port.h"
#include "tests/e2e/recording_folder.h"

namespace vistrel::testing {

inline bool PortAnswers(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

// One GET answered within 5 s; Status 0 when no answer came.
inline THttpReply HttpGet(uint16_t port, const std::string& target, THeaderList headers = {}) {
    using namespace std::chrono_literals;
    headers.emplace_back("Connection", "close");
    THttpClient client(port);
    client.Send(HttpRequestText("GET", target, headers));
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < until) {
        client.Pump();
        if (client.HasReply()) return client.TakeReply();
        if (client.Ended()) break;
        std::this_thread::sleep_for(5ms);
    }
    return {};
}

// A program that listens on a loopback port the test picks: started again
// on another port while the one it was given turns out taken.
inline std::unique_ptr<TChildProcess> StartListening(uint16_t& port,
                                                     const std::function<std::vector<std::string>()>& args,
                                                     const std::string& output) {
    using namespace std::chrono_literals;
    for (int attempt = 0; attempt < 5; ++attempt) {
        port = static_cast<uint16_t>(FreePort());
        auto child = std::make_unique<TChildProcess>(args(), TChildOptions{.Output = output});
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < until && child->Running() && !PortAnswers(port))
            std::this_thread::sleep_for(20ms);
        if (child->Running() && PortAnswers(port)) return child;
    }
    ADD_FAILURE() << args()[0] << " did not start: see " << output;
    return nullptr;
}

// The programs' output files, shown when the test has failed by the time it
// goes.
struct TLogsOnFailure {
    std::string Dir;
    std::vector<std::string> Names;
    ~TLogsOnFailure() {
        if (!::testing::Test::HasFailure()) return;
        for (const std::string& name : Names) {
            const std::string text = ReadWholeFile(Dir + "/" + name);
            std::printf("----- %s (last 4000 bytes)\n%s\n", name.c_str(),
                        text.substr(text.size() > 4000 ? text.size() - 4000 : 0).c_str());
        }
    }
};

struct TLiveRelay {
    uint16_t SenderPort = 0;
    uint16_t ViewerPort = 0;
    uint16_t HttpPort = 0;
    // Basic credentials for its reads, when it needs them.
    THeaderList Credentials;
    std::unique_ptr<TChildProcess> Process;
    std::unique_ptr<client::TRelayClient> Camera;
    std::unique_ptr<client::TRelayClient> Viewer;

    // vistreld on ports of its own, its output in dir/name.out, with a
    // settings file dir/name.reg when settings are given (the Setup key's
    // lines).
    void Start(const std::string& dir, const std::string& name, const std::vector<std::string>& extra,
               const std::string& settings = {}) {
        const std::string registry = dir + "/" + name + ".reg";
        if (!settings.empty())
            std::ofstream(registry) << "Windows Registry Editor Version 5.00\n\n"
                                    << "[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\n"
                                    << settings;
        Process = StartListening(
            HttpPort,
            [&] {
                SenderPort = static_cast<uint16_t>(FreePort());
                ViewerPort = static_cast<uint16_t>(FreePort());
                std::vector<std::string> args{VISTRELD_PATH,
                                              "--address",
                                              "127.0.0.1",
                                              "--sender-port",
                                              std::to_string(SenderPort),
                                              "--viewer-port",
                                              std::to_string(ViewerPort),
                                              "--http",
                                              "127.0.0.1:" + std::to_string(HttpPort),
                                              "--registry",
                                              registry,
                                              "--max-memory",
                                              "256M",
                                              "--no-recording"};
                args.insert(args.end(), extra.begin(), extra.end());
                return args;
            },
            dir + "/" + name + ".out");
    }
    // A camera logged in with a game opened, its packets acknowledged; it
    // stays connected, so the game is being filmed.
    void Film(int packets) {
        using namespace std::chrono_literals;
        using namespace client;
        Camera = std::make_unique<TRelayClient>(SenderPort);
        ASSERT_TRUE(Camera->WaitUntil([&] { return Camera->Unread().size() >= kGreetingSize; }, 5s));
        Camera->Take(kGreetingSize);
        Camera->Send(GameInfo("Cam", "", "Final", "ctf", 1));
        for (int32_t location = 0; location < packets; ++location)
            Camera->Send(Demo(location, "packet " + std::to_string(location)));
        int acknowledged = 0;
        ASSERT_TRUE(Camera->WaitUntil(
            [&] {
                while (Camera->HasPacket())
                    if (const std::string p = Camera->TakePacket(); TypeOf(p) == PacketType::ACKNAK) {
                        EXPECT_EQ(AckValueOf(p), 0);
                        ++acknowledged;
                    }
                return acknowledged == packets + 1;
            },
            5s));
    }
    // The first game it lists, 0 until there is one (within 10 s).
    int32_t WaitForFirstGame() const {
        using namespace std::chrono_literals;
        const auto until = std::chrono::steady_clock::now() + 10s;
        do {
            const auto list =
                nlohmann::json::parse(HttpGet(HttpPort, "/api/v1/games", Credentials).Body, nullptr, false);
            if (list.is_object() && list.contains("games") && !list["games"].empty())
                return list["games"][0]["id"].get<int32_t>();
            std::this_thread::sleep_for(50ms);
        } while (std::chrono::steady_clock::now() < until);
        return 0;
    }
    // A viewer watching the game.
    void Watch(int32_t game) {
        using namespace std::chrono_literals;
        using namespace client;
        Viewer = std::make_unique<TRelayClient>(ViewerPort);
        ASSERT_TRUE(Viewer->WaitUntil([&] { return Viewer->Unread().size() >= kGreetingSize; }, 5s));
        Viewer->Take(kGreetingSize);
        Viewer->Send(UserInfo("viewer"));
        ASSERT_TRUE(Viewer->WaitUntil([&] { return Viewer->HasPacket(); }, 5s));
        EXPECT_EQ(AckValueOf(Viewer->TakePacket()), 0);
        Viewer->Send(WaitForGame(game));
    }
    // Reads what the viewer and the camera were sent, so neither is closed
    // as a slow reader while a test waits.
    void Pump() {
        for (auto* c : {Camera.get(), Viewer.get()})
            if (c) {
                c->Pump();
                while (c->HasPacket()) c->TakePacket();
            }
    }
};

}  // namespace vistrel::testing
