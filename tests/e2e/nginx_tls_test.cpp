// docs/deploy/nginx-tls.conf run for real: Debian's nginx with a certificate
// made here, on a loopback port, in front of a vistreld whose HTTP side is on
// loopback and whose reads need a password. Over HTTPS through it: the page,
// a read refused without the password and answered with it, a segment, the
// log stream, the metrics, a command, and a command from another site's page
// refused by nginx. Both processes are started and ended here, by their PID.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/client_packets.h"
#include "client/relay_client.h"
#include "client/server_packets.h"
#include "testing/http_client.h"
#include "tests/e2e/child_process.h"
#include "tests/e2e/free_port.h"
#include "tests/e2e/tls_client.h"

namespace vistrel::testing {
namespace {

using namespace std::chrono_literals;
using namespace vistrel::client;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool PortAnswers(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

class NginxTls : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(NGINX_PATH, X_OK) != 0) GTEST_SKIP() << "nginx is not installed (tools/install-deps.sh)";
        char pattern[] = "/tmp/vistrel-nginx-tls-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_TRUE(MakeCertificate(dir_, "site")) << "certtool (gnutls-bin) is needed";
        StartRelay();
        StartNginx();
    }
    void TearDown() override {
        if (nginx_) nginx_->Stop(SIGQUIT);
        if (relay_) relay_->Stop(SIGTERM);
        if (HasFailure())
            for (const char* name : {"relay.out", "nginx/error.log"})
                std::printf("----- %s\n%s\n", name, ReadFile(dir_ + "/" + name).c_str());
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    void StartRelay() {
        std::ofstream(dir_ + "/relay.reg") << "Windows Registry Editor Version 5.00\n\n"
                                              "[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\n"
                                              "\"RemoteAdminPasswordEdit\"=\"admin pw\"\n"
                                              "\"WatchDemoPasswordEdit\"=\"watch pw\"\n";
        relay_ = std::make_unique<TChildProcess>(std::vector<std::string>{VISTRELD_PATH, "--address", "127.0.0.1",
                                                                          "--sender-port", "0", "--viewer-port", "0",
                                                                          "--http", "127.0.0.1:0", "--http-closed-read",
                                                                          "--registry", dir_ + "/relay.reg",
                                                                          "--no-recording", "--max-memory", "64M"},
                                                 TChildOptions{.Output = dir_ + "/relay.out"});
        const std::regex ports("Listening for senders on 127\\.0\\.0\\.1:([0-9]+)\n(.|\n)*"
                               "Serving HTTP on http://127\\.0\\.0\\.1:([0-9]+)/\n");
        const auto until = std::chrono::steady_clock::now() + 10s;
        std::smatch m;
        std::string out;
        while (std::chrono::steady_clock::now() < until && !std::regex_search(out = relay_->Output(), m, ports))
            std::this_thread::sleep_for(20ms);
        ASSERT_EQ(m.size(), 4u) << out;
        sender_port_ = static_cast<uint16_t>(std::stoi(m[1]));
        http_port_ = std::stoi(m[3]);
    }

    void StartNginx() {
        const std::string prefix = dir_ + "/nginx";
        std::filesystem::create_directories(prefix + "/temp");
        for (int attempt = 0; attempt < 5; ++attempt) {
            nginx_port_ = static_cast<uint16_t>(FreePort());
            std::string site = ReadFile(std::string(SOURCE_DIR) + "/docs/deploy/nginx-tls.conf");
            for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
                     {"server 127.0.0.1:38964;", "server 127.0.0.1:" + std::to_string(http_port_) + ";"},
                     {"listen 443 ssl;", "listen 127.0.0.1:" + std::to_string(nginx_port_) + " ssl;"},
                     {"listen [::]:443 ssl;", ""},
                     {"/etc/letsencrypt/live/relay.example.net/fullchain.pem", dir_ + "/site-cert.pem"},
                     {"/etc/letsencrypt/live/relay.example.net/privkey.pem", dir_ + "/site-key.pem"}}) {
                const size_t at = site.find(from);
                ASSERT_NE(at, std::string::npos) << from;
                site.replace(at, from.size(), to);
            }
            std::ofstream(prefix + "/site.conf") << site;
            std::ofstream(prefix + "/nginx.conf")
                << (geteuid() == 0 ? "user root root;\n" : "") << "daemon off;\nworker_processes 1;\n"
                << "pid " << prefix << "/nginx.pid;\nerror_log " << prefix << "/error.log info;\n"
                << "events { worker_connections 64; }\nhttp {\n  access_log off;\n"
                << "  client_body_temp_path " << prefix << "/temp/body;\n  proxy_temp_path " << prefix
                << "/temp/proxy;\n  fastcgi_temp_path " << prefix << "/temp/fastcgi;\n  uwsgi_temp_path " << prefix
                << "/temp/uwsgi;\n  scgi_temp_path " << prefix << "/temp/scgi;\n  include " << prefix
                << "/site.conf;\n}\n";
            nginx_ = std::make_unique<TChildProcess>(std::vector<std::string>{NGINX_PATH, "-p", prefix, "-c",
                                                                              prefix + "/nginx.conf", "-e",
                                                                              prefix + "/error.log"},
                                                     TChildOptions{.Output = dir_ + "/nginx.out"});
            const auto until = std::chrono::steady_clock::now() + 5s;
            while (std::chrono::steady_clock::now() < until && nginx_->Running() && !PortAnswers(nginx_port_))
                std::this_thread::sleep_for(20ms);
            if (nginx_->Running() && PortAnswers(nginx_port_)) return;
            nginx_->Kill();
        }
        FAIL() << "nginx did not start: " << ReadFile(prefix + "/error.log");
    }

    TTlsReply Through(const std::string& target, const std::vector<std::string>& headers = {},
                      const std::string& method = "GET", const std::string& stopAfter = {}) {
        return TlsRequest(Base() + target, dir_ + "/site-cert.pem", method, headers, stopAfter);
    }
    std::string Base() const { return "https://127.0.0.1:" + std::to_string(nginx_port_); }
    static std::string Basic(const std::string& user, const std::string& password) {
        return "Authorization: " + BasicAuthorization(user, password);
    }

    std::string dir_;
    std::unique_ptr<TChildProcess> relay_, nginx_;
    uint16_t sender_port_ = 0, nginx_port_ = 0;
    int http_port_ = 0;
};

TEST_F(NginxTls, ServesThePageTheApiTheLogStreamAndTheSegmentsOverHttps) {
    // A game with three packets, the camera still connected.
    TRelayClient camera(sender_port_);
    std::string error;
    ASSERT_TRUE(AwaitGreeting(camera, 5s, error)) << error;
    camera.Send(GameInfo("Cam", "", "Final", "ctf", 1));
    for (int32_t l = 0; l < 3; ++l) camera.Send(Demo(l, "frame " + std::to_string(l)));
    int acks = 0;
    ASSERT_TRUE(camera.WaitUntil(
        [&] {
            while (camera.HasPacket())
                if (TypeOf(camera.TakePacket()) == PacketType::ACKNAK) ++acks;
            return acks == 4;
        },
        5s));

    const std::string watch = Basic("cache", "watch pw"), admin = Basic("admin", "admin pw");
    const TTlsReply page = Through("/");
    EXPECT_EQ(page.Status, 200) << page.Error;
    EXPECT_NE(page.Body.find("<html"), std::string::npos);
    EXPECT_EQ(Through("/api/v1/status").Status, 401);  // loopback behind the proxy: reads need the password
    EXPECT_EQ(Through("/api/v1/status", {watch}).Status, 200);
    EXPECT_EQ(Through("/metrics", {watch}).Status, 200);
    const TTlsReply segment = Through("/api/v1/games/1/segments/0", {watch});
    EXPECT_EQ(segment.Status, 200);
    const std::string direct = "http://127.0.0.1:" + std::to_string(http_port_) + "/api/v1/games/1/segments/0";
    EXPECT_EQ(segment.Body, TlsRequest(direct, "", "GET", {watch}).Body);  // byte for byte
    EXPECT_GT(segment.Body.size(), 3 * std::string("frame 0").size());
    const TTlsReply stream = Through("/api/v1/log/stream?after=0", {watch}, "GET", "camming a demo");
    EXPECT_NE(stream.Body.find("data: "), std::string::npos) << stream.Body;

    // A command from the page, and one from another site's page.
    EXPECT_EQ(Through("/api/v1/games/1/halt", {admin, "Origin: " + Base()}, "POST").Status, 200);
    const TTlsReply foreign = Through("/api/v1/games/1/halt", {admin, "Origin: https://elsewhere.example"}, "POST");
    EXPECT_EQ(foreign.Status, 403);
    EXPECT_EQ(foreign.Body.find("vistrel"), std::string::npos);  // refused by nginx, not by the relay
}

}  // namespace
}  // namespace vistrel::testing
