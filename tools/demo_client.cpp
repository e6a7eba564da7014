// vistrel-demo-client: a few live games and viewers for a relay on this
// machine, so that the operator window has something to show (used by
// tools/screenshots.sh). Senders log in, announce their games and upload a
// handful of demo packets; viewers name themselves, most join a game, two
// say something. Everything then stays connected, reading and discarding
// what the relay sends, until --seconds have passed or SIGTERM/SIGINT; with
// --film-every the cameras go on filming, a packet each that often, so the
// games stay live (and the viewers, sent one packet a tick from the start,
// stay as far behind as the first handful put them).
//
// Talks only to the address it is given (127.0.0.1 by default). The
// connections never block (client/relay_client.h); one poll(2) waits for
// all of them.
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/whole_number.h"
#include "core/protocol.h"
#include "client/client_packets.h"
#include "client/relay_client.h"

namespace {

using namespace vistrel;
using namespace vistrel::client;

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
    int filmEveryMs = 0;
};

// Retries a refused connection for up to 20 s: the relay may still be
// starting. Null when it cannot connect.
std::unique_ptr<TRelayClient> Connect(const Options& options, int port) {
    for (int attempt = 0; attempt < 200 && !g_stop; ++attempt) {
        auto client = std::make_unique<TRelayClient>(static_cast<uint16_t>(port), 0, options.address);
        if (client->Connected()) {
            // Nothing it is sent is looked at.
            client->DiscardInput(true);
            return client;
        }
        if (client->ConnectError() != ECONNREFUSED) {
            errno = client->ConnectError();
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    errno = ECONNREFUSED;
    return nullptr;
}

bool ParseInt(const char* text, int max, int& out) { return ParseWholeNumber(text, out, 0, max); }

// A frame of about a game's size once compressed: noise does not deflate.
std::string Frame(int32_t location) {
    std::string frame = "frame " + std::to_string(location) + " ";
    uint32_t state = 2166136261u ^ static_cast<uint32_t>(location);
    for (int i = 0; i < 600; ++i) {
        state = state * 1664525u + 1013904223u;
        frame += static_cast<char>('!' + (state >> 24) % 90);
    }
    return frame;
}

// On stdout for --help, on stderr for a usage error.
void Usage(std::FILE* out) {
    std::fprintf(out, "Usage: vistrel-demo-client [--address A] [--sender-port N] [--viewer-port N]\n"
                      "                           [--password P] [--games N] [--viewers N] [--seconds N]\n"
                      "                           [--film-every MS]\n"
                      "       vistrel-demo-client --help | --version\n");
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help") {
            Usage(stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("vistrel-demo-client %s\n", VISTREL_VERSION);
            return 0;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "vistrel-demo-client: %.*s needs a value, or is no option\n",
                         static_cast<int>(arg.size()), arg.data());
            Usage(stderr);
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
        else if (arg == "--film-every") ok = ParseInt(v, 60000, options.filmEveryMs);
        else ok = false;
        if (!ok) {
            std::fprintf(stderr, "vistrel-demo-client: %.*s %s: no such option, or a value out of its range\n",
                         static_cast<int>(arg.size()), arg.data(), v);
            Usage(stderr);
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

    std::vector<std::unique_ptr<TRelayClient>> clients;
    for (int g = 0; g < options.games; ++g) {
        auto sender = Connect(options, options.senderPort);
        if (!sender) {
            std::perror("vistrel-demo-client: sender connect");
            return 1;
        }
        bool ok = sender->Send(GameInfo(kCams[g % 5], options.password, kNames[g % 5], kMods[g % 5], g % 2));
        for (int32_t location = 0; ok && location < 8 + 4 * g; ++location)
            ok = sender->Send(Demo(location, Frame(location)));
        if (!ok) std::fprintf(stderr, "vistrel-demo-client: sender %d: send failed\n", g + 1);
        clients.push_back(std::move(sender));
        // Games are numbered in the order their senders are accepted.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    for (int v = 0; v < options.viewers; ++v) {
        auto viewer = Connect(options, options.viewerPort);
        if (!viewer) {
            std::perror("vistrel-demo-client: viewer connect");
            break;
        }
        // The last viewer stays anonymous and watches nothing.
        if (v + 1 < options.viewers || options.viewers <= 2) {
            // The 288-byte form, arriving in one piece.
            std::string bytes = UserInfo(kViewers[v % 10], PacketSize::USERINFO_CONSUMED);
            if (options.games > 0 && v % 4 != 3) bytes += WaitForGame(1 + v % options.games);
            if (v == 1) bytes += SendText("glhf everyone");
            if (v == 2) bytes += SendText("what a comeback");
            viewer->Send(bytes);
        }
        clients.push_back(std::move(viewer));
    }

    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::seconds(options.seconds);
    const std::chrono::milliseconds filmEvery(options.filmEveryMs);
    auto nextFrame = start + filmEvery;
    std::vector<int32_t> filmed;
    for (int g = 0; g < options.games; ++g) filmed.push_back(8 + 4 * g);
    std::vector<pollfd> polls;
    while (!g_stop && std::chrono::steady_clock::now() < end) {
        // From the start on, so that the pace does not drift with the polls.
        for (; options.filmEveryMs > 0 && std::chrono::steady_clock::now() >= nextFrame; nextFrame += filmEvery)
            for (int g = 0; g < options.games; ++g) {
                if (clients[g]->Handle() < 0) continue;  // halted or gone
                clients[g]->Send(Demo(filmed[g], Frame(filmed[g])));
                ++filmed[g];
            }
        polls.clear();
        for (auto& c : clients) {
            c->Pump();
            if (c->Ended()) c->Close();
            if (c->Handle() >= 0)
                polls.push_back({c->Handle(), static_cast<short>(POLLIN | (c->OutboxEmpty() ? 0 : POLLOUT)), 0});
        }
        int wait = 200;
        if (options.filmEveryMs > 0) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(nextFrame - std::chrono::steady_clock::now());
            wait = static_cast<int>(std::clamp<int64_t>(left.count(), 0, 200));
        }
        if (poll(polls.data(), polls.size(), wait) < 0 && errno != EINTR) break;
    }
    return 0;
}
