#include "client/film_upload.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <unordered_map>

#include "client/client_packets.h"
#include "client/relay_client.h"
#include "client/server_packets.h"
#include "core/protocol.h"

namespace vistrel::client {

namespace {

using TClock = std::chrono::steady_clock;

constexpr size_t kLogin = static_cast<size_t>(-1);
constexpr auto kGreetingWait = std::chrono::seconds(10);
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

// A packet waiting for its answer (or for its next send): its index in the
// recording and how often it has been sent.
struct TPending {
    size_t Index = 0;
    int Sends = 0;
};

}  // namespace

TFilmResult UploadRecording(const TFilmSettings& settings, const std::vector<TFilmPacket>& packets,
                            const std::function<void(const TFilmResult&)>& progress,
                            const std::function<bool()>& stop) {
    const TClock::time_point start = TClock::now();
    TFilmResult result;
    result.Packets = packets.size();
    const auto finish = [&](std::string error) {
        result.Error = std::move(error);
        result.Elapsed = TClock::now() - start;
        return result;
    };

    const std::string where = settings.Address + ":" + std::to_string(settings.Port);
    TRelayClient client(settings.Port, 0, settings.Address);
    if (!client.Connected()) return finish("cannot connect to " + where + ": " + std::strerror(client.ConnectError()));
    std::string error;
    if (!AwaitGreeting(client, kGreetingWait, error)) return finish(where + ": " + error);

    std::deque<TPending> answersDue;  // in the order sent, as the answers come
    std::deque<TPending> resends;     // refused, to be sent again before anything new
    // Locations with a packet not yet settled: a later packet for the same
    // location waits, so the relay stores the recording's packets for a
    // location in the recording's order, resends included.
    std::unordered_map<int32_t, int> unsettled;
    size_t unansweredBytes = 0;
    const auto send = [&](std::string_view bytes) {
        client.Send(bytes);
        result.Bytes += bytes.size();
    };
    const auto sizeOf = [&](const TPending& pending) {
        return pending.Index == kLogin ? PacketSize::GAMEINFO : packets[pending.Index].Bytes.size();
    };
    // Room for one more packet of this size on its way.
    const auto roomFor = [&](size_t bytes) {
        return answersDue.empty() ||
               (answersDue.size() < settings.Window && unansweredBytes + bytes <= settings.WindowBytes);
    };
    const auto settle = [&](size_t index) {
        auto it = unsettled.find(packets[index].Location);
        if (it != unsettled.end() && --it->second == 0) unsettled.erase(it);
    };

    const TGameDescription& d = settings.Description;
    send(GameInfo(settings.UserName, settings.Password, d.Name, d.Mod, d.GameType));
    answersDue.push_back({kLogin, 1});
    unansweredBytes += PacketSize::GAMEINFO;

    using TInterval = std::chrono::duration<double, std::milli>;
    const TInterval interval =
        settings.AsFastAsPossible ? TInterval(0) : TInterval(kRelayPacketInterval) / std::max(settings.Speed, 1e-6);
    const TClock::time_point paceStart = TClock::now();
    const auto dueAt = [&](size_t index) {
        return paceStart + std::chrono::duration_cast<TClock::duration>(interval * static_cast<double>(index));
    };
    TClock::time_point lastAnswer = TClock::now();
    size_t next = 0;

    for (;;) {
        const TClock::time_point now = TClock::now();
        for (;;) {
            if (!resends.empty()) {
                if (!roomFor(sizeOf(resends.front()))) break;
                TPending again = resends.front();
                resends.pop_front();
                ++again.Sends;
                ++result.Resent;
                send(packets[again.Index].Bytes);
                unansweredBytes += sizeOf(again);
                answersDue.push_back(again);
                continue;
            }
            if (next >= packets.size() || unsettled.count(packets[next].Location) || dueAt(next) > now ||
                !roomFor(packets[next].Bytes.size()))
                break;
            send(packets[next].Bytes);
            ++unsettled[packets[next].Location];
            unansweredBytes += packets[next].Bytes.size();
            answersDue.push_back({next, 1});
            ++result.Sent;
            ++next;
        }
        if (answersDue.empty() && resends.empty() && next >= packets.size()) break;

        // Wait for an answer, the next packet's time, or the next progress report.
        TClock::time_point wake = now + kProgressInterval;
        if (next < packets.size() && resends.empty() && roomFor(packets[next].Bytes.size()) &&
            !unsettled.count(packets[next].Location))
            wake = std::min(wake, dueAt(next));
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now);
        client.WaitUntil([&] { return client.HasPacket() || stop(); },
                         std::max(wait, std::chrono::milliseconds(0)));

        while (client.HasPacket() && !stop()) {
            const std::string packet = client.TakePacket();
            // The relay also passes its game's chat and notices to the camera.
            if (TypeOf(packet) != PacketType::ACKNAK) continue;
            if (answersDue.empty()) return finish("the relay answered a packet that was never sent");
            const TPending answered = answersDue.front();
            answersDue.pop_front();
            unansweredBytes -= sizeOf(answered);
            lastAnswer = TClock::now();
            const bool accepted = AckValueOf(packet) == 0;
            if (answered.Index == kLogin) {
                if (!accepted) return finish("the relay refused the login");
                continue;
            }
            if (accepted) {
                ++result.Accepted;
                settle(answered.Index);
            } else if (answered.Sends <= settings.Resends) {
                resends.push_back(answered);
            } else {
                ++result.Refused;
                settle(answered.Index);
            }
        }
        progress(result);
        if (answersDue.empty() && resends.empty() && next >= packets.size()) break;

        std::string stopped;
        if (!ServerPacketFrameable(client.Unread())) {
            stopped = "the relay sent something that is no packet of its protocol";
        } else if (client.Ended()) {
            // A relay answers a camera's login and then closes it when the
            // filming password is wrong.
            stopped = result.Accepted == 0 ? "the relay refused the camera: it closed the connection before it accepted "
                                             "a packet (is the filming password right?)"
                                           : "the relay closed the connection";
        } else if (stop()) {
            stopped = "stopped";
        } else if (!answersDue.empty() && TClock::now() - lastAnswer > settings.AnswerTimeout) {
            stopped = "no answer from the relay for " +
                      std::to_string(std::chrono::duration_cast<std::chrono::seconds>(settings.AnswerTimeout).count()) +
                      " s";
        }
        if (!stopped.empty()) {
            for (const TPending& pending : answersDue)
                if (pending.Index != kLogin) ++(pending.Sends > 1 ? result.Refused : result.Unanswered);
            result.Refused += resends.size();
            return finish(stopped);
        }
    }
    return finish({});
}

}  // namespace vistrel::client
