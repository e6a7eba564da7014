// TSenderAnswers: everything the relay sends to a sender, and the answers
// held until their packet's record is on the disk (fsync always). Whatever a
// sender is sent while answers are held waits behind them, so its answers
// keep their order; the recording side tells (Release) how far a game's
// file is on the disk.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vistrel {

class TConnectionInput;
class TDemoSender;
class TGameRecording;
class TRelayGames;
class TRelayLog;
struct TRelayMetrics;

class TSenderAnswers {
public:
    TSenderAnswers(TRelayLog& log, TRelayMetrics& metrics, TConnectionInput& input, const TGameRecording& recording,
                   TRelayGames& games)
        : log_(log), metrics_(metrics), input_(input), recording_(recording), games_(games) {}

    // Sends only to a connected sender; a refused Send raises to the caller.
    void SendToSender(TDemoSender& sender, std::string_view packet);
    // Sends an answer to a stored packet, held until durableAt of the game's
    // file is on the disk (0: at once, behind what is held).
    void AnswerWhenDurable(TDemoSender& sender, uint64_t durableAt, std::string packet);
    // The game's file is on the disk up to durableEnd: its sender's held
    // answers that waited for it go out.
    void Release(int32_t gameId, uint64_t durableEnd);

private:
    // SendToSender without the wait for held answers.
    void SendNow(TDemoSender& sender, std::string_view packet);

    TRelayLog& log_;
    TRelayMetrics& metrics_;
    TConnectionInput& input_;
    const TGameRecording& recording_;
    TRelayGames& games_;
};

}  // namespace vistrel
