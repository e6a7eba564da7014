// Uploading a recording's packets to a relay as a camera does: the login
// with the game's description (GAMEINFO), then every packet in the
// recording's order, each answered by the relay with an ACKNAK, the answers
// coming back in the order of the packets. A packet answered ACKNAK 1 is
// sent again, a few times, before it counts as refused.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/recording_format.h"

namespace vistrel::client {

// A relay plays a game at one packet per half second.
inline constexpr std::chrono::milliseconds kRelayPacketInterval{500};

// One packet of the recording: its location and the DEMOPACKET or
// DEMORESTART exactly as it is to be sent.
struct TFilmPacket {
    int32_t Location = 0;
    std::string_view Bytes;
};

struct TFilmSettings {
    std::string Address;  // dotted IPv4
    uint16_t Port = 0;
    std::string UserName;
    std::string Password;
    // Game type, name and mod go into the login.
    TGameDescription Description;
    // One packet every kRelayPacketInterval / Speed ...
    double Speed = 1.0;
    // ... or as fast as the answers come back.
    bool AsFastAsPossible = false;
    // Packets sent and not yet answered, at most ...
    size_t Window = 64;
    // ... and their bytes, at most (one packet goes whatever its size).
    size_t WindowBytes = size_t{8} << 20;
    // How often a refused packet is sent again.
    int Resends = 3;
    // The relay's silence that ends the upload while answers are due.
    std::chrono::milliseconds AnswerTimeout{30000};
};

struct TFilmResult {
    size_t Packets = 0;     // packets in the recording
    size_t Sent = 0;        // packets sent at least once
    size_t Resent = 0;      // sends again after an ACKNAK 1
    size_t Accepted = 0;    // answered ACKNAK 0
    size_t Refused = 0;     // refused each time, or refused and then the connection ended
    size_t Unanswered = 0;  // sent, and the connection ended before their answer
    uint64_t Bytes = 0;     // every byte sent to the relay
    std::chrono::steady_clock::duration Elapsed{};
    // Why the upload ended before its end (the connection, the relay's
    // silence); empty when every packet was answered.
    std::string Error;
};

// Connects, logs in and sends the packets. progress is called as answers
// come in and at least every 100 ms; stop, when it returns true, ends the
// upload early (with Error saying so).
TFilmResult UploadRecording(const TFilmSettings& settings, const std::vector<TFilmPacket>& packets,
                            const std::function<void(const TFilmResult&)>& progress,
                            const std::function<bool()>& stop);

}  // namespace vistrel::client
