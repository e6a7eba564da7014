// vistrel-film: a camera that uploads a recording to a relay. It logs in
// with the game's description from the recording, then sends every packet
// record in the file's order (a later record for a location replaces an
// earlier one on the relay, as it did where the recording was made), one
// packet every half second scaled by --speed, or as fast as the relay
// answers. Each packet waits for its ACKNAK; one answered ACKNAK 1 is sent
// again up to three times. Damaged records are skipped with a message.
//
// Exit status: 0 when every packet was accepted; 1 when one was refused,
// the connection ended early, or the file cannot be read; 2 for a usage
// error.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "core/protocol.h"
#include "core/recording_format.h"
#include "client/film_upload.h"
#include "client/progress_bar.h"
#include "client/recording_reader.h"
#include "client/server_address.h"
#include "client/stop_signals.h"

using namespace vistrel;
using namespace vistrel::client;

namespace {

constexpr const char* kProgram = "vistrel-film";

struct TRecordingContents {
    std::optional<TGameDescription> Description;
    std::vector<TFilmPacket> Packets;
};

// The packets of the recording in file order, and the description to log in
// with: the last one before the first packet (else the first one at all).
TRecordingContents ReadContents(TRecordingReader& reader, const std::string& file) {
    const auto tell = [&](const std::string& line) { std::fprintf(stderr, "%s: %s: %s\n", kProgram, file.c_str(), line.c_str()); };
    if (reader.HeaderDamaged()) tell("the header is damaged (its CRC does not match); the records are read all the same");
    TRecordingContents contents;
    TRecordingEntry entry;
    while (reader.Next(entry, tell)) {
        switch (static_cast<TRecordKind>(entry.Kind)) {
            case TRecordKind::Description: {
                TGameDescription description;
                if (!ReadDescriptionPayload(entry.Payload, description)) {
                    tell("the description at offset " + std::to_string(entry.Offset) + " cannot be read; skipped");
                    break;
                }
                if (contents.Packets.empty() || !contents.Description) contents.Description = description;
                break;
            }
            case TRecordKind::Packet:
            case TRecordKind::TimedPacket: {
                // The time a relay acknowledged it is of no use to an upload.
                int32_t location = 0;
                int64_t ackMs = 0;
                std::string_view packet;
                const TRecordRead record{TRecordStatus::Complete, 0, entry.Kind, entry.Payload};
                if (!ReadAnyPacketRecord(record, location, ackMs, packet)) {
                    tell("the packet record at offset " + std::to_string(entry.Offset) +
                         " holds no DEMOPACKET or DEMORESTART; skipped");
                    break;
                }
                // The relay stores a packet at the location its own field names.
                if (PacketLocationOf(packet) != location) {
                    tell("the packet record at offset " + std::to_string(entry.Offset) + " is for location " +
                         std::to_string(location) + " but its packet names location " +
                         std::to_string(PacketLocationOf(packet)) + "; skipped");
                    break;
                }
                contents.Packets.push_back({location, packet});
                break;
            }
            default: break;  // a kind of a later version: not ours to send
        }
    }
    return contents;
}

// CLI11's own PositiveNumber names its bound with all 309 digits of the
// largest double.
CLI::Validator PositiveSpeed() {
    return CLI::Validator(
        [](std::string& text) {
            double value = 0;
            const bool number = CLI::detail::lexical_cast(text, value);
            return number && value > 0 && std::isfinite(value) ? std::string() : text + " is not a number above 0";
        },
        std::string());
}

}  // namespace

int main(int argc, char** argv) {
    std::string file, server, password, name;
    std::optional<double> speed;
    bool asFast = false;

    CLI::App app("Uploads a recording to a relay, as a camera does.", kProgram);
    app.set_help_flag("--help", "show this text");
    app.set_version_flag("--version", std::string(kProgram) + " " + VISTREL_VERSION, "show the version");
    app.add_option("FILE", file, "the recording to upload")->type_name("")->required();
    app.add_option("--server", server, "the relay's camera port, HOST[:PORT] (port default 38963)")
        ->type_name("HOST[:PORT]")->required();
    app.add_option("--password", password, "the relay's filming password")->type_name("P");
    app.add_option("--name", name, "the camera's user name (default: the one the recording\nnames, else vistrel-film)")->type_name("USER");
    CLI::Option* speedOption =
        app.add_option("--speed", speed, "pace: X times the relay's own, one packet per 500 ms / X (default 1)")
            ->type_name("X")
            ->check(PositiveSpeed());
    app.add_flag("--as-fast-as-possible", asFast, "send as fast as the relay answers")->excludes(speedOption);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }

    TServerAddress address;
    if (!ParseServerAddress(server, kSenderPort, address)) {
        std::fprintf(stderr, "%s: --server: %s is not HOST[:PORT]\n", kProgram, server.c_str());
        return 2;
    }
    std::string error;
    const std::string ip = ResolveIpv4(address.Host, error);
    if (ip.empty()) {
        std::fprintf(stderr, "%s: %s: %s\n", kProgram, address.Host.c_str(), error.c_str());
        return 1;
    }

    std::optional<TRecordingReader> reader;
    TRecordingContents contents;
    try {
        reader.emplace(file);
        contents = ReadContents(*reader, file);
    } catch (const ERecordingFileError& e) {
        std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
        return 1;
    }
    if (!contents.Description)
        std::fprintf(stderr, "%s: %s: no description of the game; it is sent without a name\n", kProgram,
                     file.c_str());

    TFilmSettings settings;
    settings.Address = ip;
    settings.Port = address.Port;
    settings.Password = password;
    settings.Description = contents.Description.value_or(TGameDescription{});
    settings.UserName = !name.empty() ? name : !settings.Description.SenderName.empty() ? settings.Description.SenderName
                                                                                        : std::string(kProgram);
    settings.Speed = speed.value_or(1.0);
    settings.AsFastAsPossible = asFast;

    CatchStopSignals();
    TProgressBar bar(stderr, isatty(STDERR_FILENO) == 1);
    const size_t total = contents.Packets.size();
    const TFilmResult result = UploadRecording(
        settings, contents.Packets,
        [&](const TFilmResult& r) { bar.Update(r.Accepted + r.Refused, total, r.Bytes); }, [] { return StopRequested(); });
    bar.Finish(result.Accepted + result.Refused, total, result.Bytes);

    const double seconds = std::chrono::duration<double>(result.Elapsed).count();
    std::printf("%s: %zu of %zu packets sent (%zu resends), %zu accepted, %zu refused, %zu unanswered, %s in %.1f s\n",
                kProgram, result.Sent, result.Packets, result.Resent, result.Accepted, result.Refused,
                result.Unanswered, FormatBytes(result.Bytes).c_str(), seconds);
    std::fflush(stdout);
    if (!result.Error.empty()) {
        std::fprintf(stderr, "%s: %s:%u: %s\n", kProgram, address.Host.c_str(), address.Port, result.Error.c_str());
        return 1;
    }
    return result.Accepted == result.Packets ? 0 : 1;
}
