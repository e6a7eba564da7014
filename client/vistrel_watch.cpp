// vistrel-watch: a viewer that joins one game on a relay and writes what it
// receives as a recording: the header (the game's identifier, the time the
// recording was opened), a description record when the game's description
// first arrives and whenever its type, name or mod change, and a packet
// record for every DEMOPACKET and DEMORESTART, each record written whole.
// It ends when the game is removed, the relay closes the connection, or on
// SIGINT/SIGTERM, the file complete in every case; with --until-caught-up
// also once it has caught up (TWatchProgress), which it shows on stderr as
// it goes. With --list it prints the relay's games instead.
//
// A relay closes the connections of a game's viewers when the game is
// deleted, so the connection's end is the usual end of a recording, as is
// GAMEREMOVED from a relay that sends it.
//
// Exit status: 0 once the file is complete (the game removed, the
// connection failure, a signal, caught up), and after --list; 1 when the relay cannot be
// reached, the game is not there, the relay sends what is no packet, or the
// file cannot be written; 2 for a usage error.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/latin1.h"
#include "core/protocol.h"
#include "core/recording_format.h"
#include "client/client_packets.h"
#include "client/game_api.h"
#include "client/game_recorder.h"
#include "client/progress_bar.h"
#include "client/relay_client.h"
#include "client/server_address.h"
#include "client/server_packets.h"
#include "client/stop_signals.h"
#include "client/watch_progress.h"

using namespace vistrel;
using namespace vistrel::client;

namespace {

constexpr const char* kProgram = "vistrel-watch";
using TClock = std::chrono::steady_clock;
constexpr auto kGreetingWait = std::chrono::seconds(10);
// How long the game's description may take to arrive after the join.
constexpr auto kJoinWait = std::chrono::seconds(5);
// --list: the games list is complete once nothing has come for this long
// after the answer to our USERINFO, and in any case after kListLimit.
constexpr auto kListQuiet = std::chrono::milliseconds(300);
constexpr auto kListLimit = std::chrono::seconds(5);
// More games than any relay holds: a stranger's endless list stops here.
constexpr size_t kMaxListedGames = 100000;
// --api: how often the relay's HTTP API is asked how far the game goes.
constexpr auto kApiInterval = std::chrono::seconds(2);

int Fail(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    return 1;
}

// A stranger's text for the terminal: Latin-1 as UTF-8, control characters
// (C0, DEL, C1) as '?', so no name can steer the terminal.
std::string Printable(const std::string& text) {
    std::string safe = text;
    for (char& c : safe) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || (byte >= 0x80 && byte <= 0x9F)) c = '?';
    }
    return Latin1ToUtf8(safe);
}

TGameDescription DescriptionOf(std::string_view detailed) {
    TGameDescription description;
    description.GameType = DetailedTypeOf(detailed);
    description.Name = DetailedNameOf(detailed);
    description.Mod = DetailedModOf(detailed);
    return description;
}

// Whether what the relay has sent so far can still be read as its packets.
bool Framed(const TRelayClient& client) { return ServerPacketFrameable(client.Unread()); }

int ListGames(TRelayClient& client) {
    // Each game's latest description, by identifier.
    std::map<int32_t, std::string> rows;
    bool answered = false;
    const TClock::time_point limit = TClock::now() + kListLimit;
    TClock::time_point quietFrom = TClock::now();
    while (TClock::now() < limit && !StopRequested()) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
            answered ? std::min(limit, quietFrom + kListQuiet) - TClock::now() : limit - TClock::now());
        client.WaitUntil([&] { return client.HasPacket() || StopRequested(); }, std::max(wait, std::chrono::milliseconds(0)));
        bool got = false;
        while (client.HasPacket() && !StopRequested()) {
            const std::string packet = client.TakePacket();
            got = true;
            switch (TypeOf(packet)) {
                case PacketType::ACKNAK: answered = true; break;
                case PacketType::GAMEINFODETAILED: {
                    const int32_t id = GameIdOf(packet);
                    if (rows.size() < kMaxListedGames || rows.count(id)) rows[id] = packet;
                    break;
                }
                case PacketType::GAMEREMOVED: {
                    rows.erase(GameIdOf(packet));
                    break;
                }
                default: break;
            }
        }
        if (!Framed(client)) return Fail("the relay sent something that is no packet of its protocol");
        if (got) quietFrom = TClock::now();
        else if (answered && TClock::now() - quietFrom >= kListQuiet) break;
        if (client.Ended()) {
            if (!answered) return Fail("the relay closed the connection");
            break;
        }
    }
    if (!answered && !StopRequested()) return Fail("no answer from the relay");

    std::vector<std::vector<std::string>> table = {{"ID", "NAME", "GAME", "MOD", "VIEWERS"}};
    for (const auto& [id, packet] : rows) {
        const int32_t type = DetailedTypeOf(packet);
        std::string game(GameLabel(type));
        if (game.empty()) game = "type " + std::to_string(type);
        table.push_back({std::to_string(id), Printable(DetailedNameOf(packet)), game, Printable(DetailedModOf(packet)),
                         std::to_string(ViewersOf(packet))});
    }
    std::vector<size_t> widths(5, 0);
    for (const auto& line : table)
        for (size_t i = 0; i < line.size(); ++i) widths[i] = std::max(widths[i], line[i].size());
    for (const auto& line : table) {
        std::string text;
        for (size_t i = 0; i < line.size(); ++i) {
            text += line[i];
            if (i + 1 < line.size()) text += std::string(widths[i] - line[i].size() + 2, ' ');
        }
        std::printf("%s\n", text.c_str());
    }
    return 0;
}

int64_t UnixMillisecondsNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Asks the relay's HTTP API how far the game goes, every kApiInterval; the
// first failure is told once, and the watch goes on without the number.
class TVisiblePoll {
public:
    explicit TVisiblePoll(TGameApi* api) : api_(api) {}
    void Poll(int32_t gameId, TWatchProgress& progress) {
        if (!api_ || TClock::now() < next_) return;
        std::string error;
        if (const std::optional<int32_t> locations = api_->VisibleLocations(gameId, error)) {
            progress.Visible(*locations);
        } else if (!told_) {
            told_ = true;
            std::fprintf(stderr, "%s: --api: %s\n", kProgram, error.c_str());
        }
        // Counted from the answer: a slow relay is asked less often.
        next_ = TClock::now() + kApiInterval;
    }

private:
    TGameApi* api_;
    TClock::time_point next_{};
    bool told_ = false;
};

int WatchGame(TRelayClient& client, int32_t gameId, const std::string& path, bool untilCaughtUp, TGameApi* api) {
    TVisiblePoll visible(api);
    client.Send(WaitForGame(gameId));
    std::unique_ptr<TGameRecorder> recorder;
    std::unique_ptr<TWatchProgress> progress;
    const auto open = [&] {
        if (recorder) return;
        recorder = std::make_unique<TGameRecorder>(path, TRecordingHeader{gameId, UnixMillisecondsNow()});
        progress = std::make_unique<TWatchProgress>(stderr, isatty(STDERR_FILENO) == 1, TClock::now());
    };
    bool caughtUp = false;
    const TClock::time_point joinLimit = TClock::now() + kJoinWait;
    std::string failure;  // why the watch failed, if it did
    bool removed = false;
    bool closed = false;
    try {
        while (!StopRequested()) {
            // Short enough for the progress line's redraws.
            const auto wait = recorder ? std::chrono::milliseconds(100)
                                       : std::chrono::ceil<std::chrono::milliseconds>(joinLimit - TClock::now());
            client.WaitUntil([&] { return client.HasPacket() || StopRequested(); }, std::max(wait, std::chrono::milliseconds(0)));
            // A signal is heard between two packets: a flood never outlasts it.
            while (client.HasPacket() && !removed && !StopRequested()) {
                const std::string packet = client.TakePacket();
                switch (TypeOf(packet)) {
                    case PacketType::GAMEINFODETAILED:
                        if (GameIdOf(packet) != gameId) break;
                        open();
                        recorder->Describe(DescriptionOf(packet));
                        break;
                    case PacketType::DEMOPACKET:
                    case PacketType::DEMORESTART:
                        open();
                        if (!recorder->Packet(packet)) {
                            std::fprintf(stderr, "%s: a packet for location %d is unsound; not written\n", kProgram,
                                         PacketLocationOf(packet));
                            break;
                        }
                        progress->Packet(PacketLocationOf(packet), recorder->Packets(), recorder->Bytes(),
                                         TClock::now());
                        break;
                    case PacketType::SENDTEXT:
                        // The relay's own notices have no name.
                        if (progress && NameOf(packet).empty()) progress->Notice(TextOf(packet), TClock::now());
                        break;
                    case PacketType::GAMEREMOVED:
                        if (GameIdOf(packet) == gameId) removed = true;
                        break;
                    default: break;  // chat, notices, answers, other games
                }
            }
            if (removed) break;
            if (progress) {
                visible.Poll(gameId, *progress);
                progress->Tick(TClock::now());
                if (untilCaughtUp && progress->CaughtUp()) {
                    caughtUp = true;
                    break;
                }
            }
            if (!Framed(client)) {
                failure = "the relay sent something that is no packet of its protocol";
                break;
            }
            if (client.Ended()) {
                closed = true;
                break;
            }
            if (!recorder && TClock::now() >= joinLimit) {
                failure = "the relay has no game " + std::to_string(gameId);
                break;
            }
        }
        if (!recorder) {
            if (closed) return Fail("the relay closed the connection before the game's description arrived");
            return Fail(failure.empty() ? "stopped before the game's description arrived" : failure);
        }
        progress->Finish(TClock::now());
        recorder->Close();
    } catch (const ERecordingFileError& e) {
        if (progress) progress->Finish(TClock::now());
        return Fail(e.what());
    }
    std::printf("%s: game %d: %zu packets, %s written to %s%s\n", kProgram, gameId, recorder->Packets(),
                FormatBytes(recorder->Bytes()).c_str(), path.c_str(),
                removed    ? "; the game was removed"
                : closed   ? "; the relay closed the connection"
                : caughtUp ? "; caught up"
                           : "");
    if (!failure.empty()) return Fail(failure);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string server, output, name = kProgram, apiUrl, apiPasswordFile;
    std::optional<int32_t> game;
    bool list = false;
    bool untilCaughtUp = false;

    CLI::App app("Joins a game on a relay as a viewer and writes it as a recording.", kProgram);
    app.set_help_flag("--help", "show this text");
    app.set_version_flag("--version", std::string(kProgram) + " " + VISTREL_VERSION, "show the version");
    app.add_option("--server", server, "the relay's viewer port, HOST[:PORT] (port default 38962)")
        ->type_name("HOST[:PORT]")->required();
    CLI::Option* gameOption = app.add_option("--game", game, "the game's identifier on the relay")
                                  ->type_name("ID")
                                  ->check(CLI::Range(1, INT32_MAX));
    CLI::Option* outputOption = app.add_option("-o,--output", output, "the recording to write")->type_name("FILE");
    app.add_option("--name", name, "the viewer's user name (default vistrel-watch)")->type_name("USER");
    CLI::Option* untilOption = app.add_flag(
        "--until-caught-up", untilCaughtUp,
        "stop once the relay has sent all it has of the game (no packet\nfor 1.5 s, or its notice of the live game)");
    CLI::Option* apiOption = app.add_option("--api", apiUrl,
                                            "the relay's HTTP side (http://HOST:PORT/): the progress\nshows the next "
                                            "location of the game's visible end")
                                 ->type_name("URL");
    app.add_option("--api-password-file", apiPasswordFile,
                   "the first line of FILE is the relay's watch password\nfor --api")
        ->type_name("FILE")
        ->needs(apiOption);
    app.add_flag("--list", list, "print the relay's games (id, name, game, mod, viewers) and exit")
        ->excludes(gameOption)
        ->excludes(outputOption)
        ->excludes(untilOption)
        ->excludes(apiOption);
    try {
        app.parse(argc, argv);
        if (!list && (!game || output.empty()))
            throw CLI::ValidationError("--game and -o are needed, or --list");
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }

    TServerAddress address;
    if (!ParseServerAddress(server, kViewerPort, address)) {
        std::fprintf(stderr, "%s: --server: %s is not HOST[:PORT]\n", kProgram, server.c_str());
        return 2;
    }
    std::string error;
    const std::string ip = ResolveIpv4(address.Host, error);
    if (ip.empty()) return Fail(address.Host + ": " + error);

    CatchStopSignals();
    const std::string where = address.Host + ":" + std::to_string(address.Port);
    TRelayClient client(address.Port, 0, ip);
    if (!client.Connected()) return Fail("cannot connect to " + where + ": " + std::strerror(client.ConnectError()));
    if (!AwaitGreeting(client, kGreetingWait, error)) return Fail(where + ": " + error);
    // The whole form a viewer program sends: the relay takes up to 288 bytes
    // for a USERINFO, so nothing sent after it is taken with it.
    client.Send(UserInfo(name, PacketSize::USERINFO_CONSUMED));
    std::unique_ptr<TGameApi> api;
    if (!apiUrl.empty()) {
        std::string password;
        if (!apiPasswordFile.empty()) {
            std::ifstream file(apiPasswordFile);
            if (!file) return Fail("--api-password-file: cannot read " + apiPasswordFile);
            std::getline(file, password);
            if (!password.empty() && password.back() == '\r') password.pop_back();
        }
        api = std::make_unique<TGameApi>(apiUrl, password);
    }
    return list ? ListGames(client) : WatchGame(client, *game, output, untilCaughtUp, api.get());
}
