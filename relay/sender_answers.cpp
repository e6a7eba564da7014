#include "relay/sender_answers.h"

#include <utility>

#include "core/protocol.h"
#include "relay/connection_input.h"
#include "relay/demo_sender.h"
#include "relay/game_recording.h"
#include "relay/relay_games.h"
#include "relay/relay_log.h"
#include "relay/relay_metrics.h"

namespace vistrel {

void TSenderAnswers::SendToSender(TDemoSender& sender, std::string_view packet) {
    if (sender.State() != wsConnected) return;
    if (!sender.HeldAnswers.empty()) {
        // Behind an answer that waits for the disk.
        sender.HeldAnswers.emplace_back(0, std::string(packet));
        return;
    }
    SendNow(sender, packet);
}

void TSenderAnswers::AnswerWhenDurable(TDemoSender& sender, uint64_t durableAt, std::string packet) {
    if (sender.State() != wsConnected) return;
    if (durableAt == 0 || recording_.DurableEnd(sender.GameId) >= durableAt) {
        SendToSender(sender, packet);
        return;
    }
    sender.HeldAnswers.emplace_back(durableAt, std::move(packet));
}

void TSenderAnswers::Release(int32_t gameId, uint64_t durableEnd) {
    TActiveGameList* game = games_.Find(gameId);
    if (!game || !game->Sender()) return;
    auto& sender = static_cast<TDemoSender&>(*game->Sender());
    while (!sender.HeldAnswers.empty() && sender.HeldAnswers.front().first <= durableEnd) {
        const std::string packet = std::move(sender.HeldAnswers.front().second);
        sender.HeldAnswers.pop_front();
        SendNow(sender, packet);
    }
}

void TSenderAnswers::SendNow(TDemoSender& sender, std::string_view packet) {
    if (sender.State() != wsConnected) return;
    log_.Debug([&] {
        return "Sent Sender [" + sender.UserName + "] " + std::string(PacketLabel(PacketTypeOf(packet))) + " Packet";
    });
    sender.Send(packet);
    metrics_.Sent(TConnectionKind::Sender, packet.size());
    input_.EnforceBudget();
}

}  // namespace vistrel
