// vistrel-demo-client: a few live games and viewers for a relay on this
// machine, so that the operator window has something to show (used by
// tools/screenshots.sh). Senders log in, announce their games and upload a
// handful of demo packets; viewers name themselves, most join a game, one
// says something. Everything then stays connected, reading and discarding
// what the relay sends, until --seconds have passed or SIGTERM/SIGINT.
//
// Talks only to the address it is given (127.0.0.1 by default). Blocking
// writes of a few hundred bytes are fine for a tool; the reading is polled.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/protocol.h"

namespace {

using namespace vistrel;

volatile sig_atomic_t g_stop = 0;
void OnStop(int) { g_stop = 1; }

struct Options {
    std::string address = "127.0.0.1";
    int senderPort = kSenderPort;
    int viewerPort = kViewerPort;
    std::string password;
    int games = 3;
    int viewers = 5;
    int seconds = 30;
};

// Retries a refused connection for a few seconds: the relay may still be
// starting.
int Connect(const Options& options, int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, options.address.c_str(), &sa.sin_addr) != 1) return -1;
    for (int attempt = 0; attempt < 50 && !g_stop; ++attempt) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return fd;
        const int err = errno;
        close(fd);
        if (err != ECONNREFUSED) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
}

bool SendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string Packet(int32_t type, size_t size) {
    std::string packet(size, '\0');
    WriteInt32(packet, PacketOffset::Type, type);
    WriteInt32(packet, PacketOffset::Length, static_cast<int32_t>(size));
    return packet;
}

std::string GameInfo(int32_t gameType, std::string_view mod, std::string_view user, std::string_view password,
                     std::string_view name) {
    std::string packet = Packet(PacketType::GAMEINFO, PacketSize::GAMEINFO);
    WriteInt32(packet, PacketOffset::GameType, gameType);
    WriteTextSlot(packet, Slot::GameInfoMod, mod);
    WriteTextSlot(packet, Slot::GameInfoUserName, user);
    WriteTextSlot(packet, Slot::GameInfoPassword, password);
    WriteTextSlot(packet, Slot::GameInfoGameName, name);
    return packet;
}

// A demo packet whose payload is a zlib stream of `frame`, checked by the
// CRC-32 of the uncompressed bytes.
std::string DemoPacket(int32_t location, const std::string& frame) {
    uLongf packedSize = compressBound(frame.size());
    std::string packed(packedSize, '\0');
    compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize, reinterpret_cast<const Bytef*>(frame.data()),
              frame.size(), Z_BEST_SPEED);
    packed.resize(packedSize);
    std::string packet = Packet(PacketType::DEMOPACKET, PacketSize::DemoHeader + packed.size());
    const uint32_t check = crc32(0L, reinterpret_cast<const Bytef*>(frame.data()), static_cast<uInt>(frame.size()));
    WriteInt32(packet, PacketOffset::Check, static_cast<int32_t>(check));
    WriteInt32(packet, PacketOffset::Location, location);
    packet.replace(PacketOffset::Payload, packed.size(), packed);
    return packet;
}

std::string UserInfo(std::string_view name) {
    // The 288-byte form, arriving in one piece.
    std::string packet = Packet(PacketType::USERINFO, PacketSize::USERINFO_CONSUMED);
    WriteTextSlot(packet, Slot::UserInfoName, name);
    return packet;
}

std::string WaitForGame(int32_t id) {
    std::string packet = Packet(PacketType::WAITFORGAME, PacketSize::WAITFORGAME);
    WriteInt32(packet, PacketOffset::GameId, id);
    return packet;
}

std::string SendText(std::string_view line) {
    std::string packet = Packet(PacketType::SENDTEXT, PacketSize::SENDTEXT);
    WriteTextSlot(packet, Slot::SendTextLine, line);
    return packet;
}

bool ParseInt(const char* text, int max, int& out) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (!*text || *end || value < 0 || value > max) return false;
    out = static_cast<int>(value);
    return true;
}

void Usage() {
    std::fprintf(stderr,
                 "Usage: vistrel-demo-client [--address A] [--sender-port N] [--viewer-port N]\n"
                 "                           [--password P] [--games N] [--viewers N] [--seconds N]\n");
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (i + 1 >= argc) {
            Usage();
            return 2;
        }
        const char* v = argv[++i];
        bool ok = true;
        if (arg == "--address") options.address = v;
        else if (arg == "--password") options.password = v;
        else if (arg == "--sender-port") ok = ParseInt(v, 65535, options.senderPort);
        else if (arg == "--viewer-port") ok = ParseInt(v, 65535, options.viewerPort);
        else if (arg == "--games") ok = ParseInt(v, 50, options.games);
        else if (arg == "--viewers") ok = ParseInt(v, 200, options.viewers);
        else if (arg == "--seconds") ok = ParseInt(v, 3600, options.seconds);
        else ok = false;
        if (!ok) {
            Usage();
            return 2;
        }
    }
    signal(SIGTERM, OnStop);
    signal(SIGINT, OnStop);
    signal(SIGPIPE, SIG_IGN);

    static const char* const kNames[] = {"Friday Night Finals", "Harbour Cup", "Evening Practice",
                                         "Ladder Match 42", "Late Night Capture"};
    static const char* const kMods[] = {"base", "arena", "ctf", "duel", "teamplay"};
    static const char* const kCams[] = {"CamOne", "Lens", "Relay7", "Skyview", "Tripod"};
    static const char* const kViewers[] = {"alice", "bruno", "chiara", "dmitri", "emeka",
                                           "fatima", "goran", "hana", "ines", "jonas"};

    std::vector<int> fds;
    for (int g = 0; g < options.games; ++g) {
        int fd = Connect(options, options.senderPort);
        if (fd < 0) {
            std::perror("vistrel-demo-client: sender connect");
            return 1;
        }
        fds.push_back(fd);
        bool ok = SendAll(fd, GameInfo(g % 2, kMods[g % 5], kCams[g % 5], options.password, kNames[g % 5]));
        for (int32_t location = 0; ok && location < 8 + 4 * g; ++location)
            ok = SendAll(fd, DemoPacket(location, "frame " + std::to_string(location) + std::string(200, 'x')));
        if (!ok) std::fprintf(stderr, "vistrel-demo-client: sender %d: send failed\n", g + 1);
        // Games are numbered in the order their senders are accepted.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (int v = 0; v < options.viewers; ++v) {
        int fd = Connect(options, options.viewerPort);
        if (fd < 0) {
            std::perror("vistrel-demo-client: viewer connect");
            break;
        }
        fds.push_back(fd);
        // The last viewer stays anonymous and watches nothing.
        if (v + 1 == options.viewers && options.viewers > 2) continue;
        std::string bytes = UserInfo(kViewers[v % 10]);
        if (options.games > 0 && v % 4 != 3) bytes += WaitForGame(1 + v % options.games);
        if (v == 1) bytes += SendText("glhf everyone");
        SendAll(fd, bytes);
    }

    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(options.seconds);
    std::vector<pollfd> polls;
    for (int fd : fds) polls.push_back({fd, POLLIN, 0});
    char sink[65536];
    while (!g_stop && std::chrono::steady_clock::now() < end) {
        if (poll(polls.data(), polls.size(), 200) < 0 && errno != EINTR) break;
        for (auto& p : polls) {
            if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            if (read(p.fd, sink, sizeof sink) <= 0) {
                close(p.fd);
                p.fd = -1;
            }
        }
    }
    for (auto& p : polls)
        if (p.fd >= 0) close(p.fd);
    return 0;
}
