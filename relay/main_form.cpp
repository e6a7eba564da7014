#include "relay/main_form.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "net/socket_address.h"
#include "net/socket_exception.h"
#include "settings/registry_data.h"
#include "settings/registry_store.h"
#include "settings/settings.h"
#include "relay/demo_sender.h"
#include "relay/demo_viewer.h"

namespace vistrel {

namespace {

// A port that cannot be opened is named with its side, its address and its
// port, and the system's reason in words; the socket layer's own message
// ("Error N in function STEP" CR LF reason) follows in brackets.
ESocketException ListenError(const TWSocketServer& server, std::string_view side, const std::string& addr,
                             const ESocketException& e) {
    std::string why = e.what();
    if (const auto crlf = why.find("\r\n"); crlf != std::string::npos)
        why = why.substr(crlf + 2) + " (" + why.substr(0, crlf) + ")";
    return ESocketException("Cannot listen for " + std::string(side) + " on " + HostPort(addr, server.Port()) + ": " +
                                why,
                            e.ErrorCode());
}

template <typename TOpen>
void ListenOrSay(TWSocketServer& server, std::string_view side, const std::string& addr, TOpen open) {
    try {
        open();
    } catch (const ESocketException& e) {
        throw ListenError(server, side, addr, e);
    }
}

// What a system without IPv6 answers to an IPv6 socket or bind.
bool MeansNoIpv6(int error) {
    constexpr int kAddressFamilyNotSupported = 10047, kAddressNotAvailable = 10049, kProtocolNotSupported = 10043;
    return error == kAddressFamilyNotSupported || error == kAddressNotAvailable || error == kProtocolNotSupported;
}

}  // namespace

std::vector<std::string> TListenSettings::Addrs() const {
    std::vector<std::string> all{Addr};
    all.insert(all.end(), MoreAddrs.begin(), MoreAddrs.end());
    return all;
}

void TMainForm::ListenEverywhere(TWSocketServer& server, std::string_view side, std::string& ipv6Missing) {
    const std::vector<std::string> addrs = listen_.Addrs();
    if (addrs.size() == 1 && addrs.front() == TListenSettings::kEveryInterface) {
        if (ipv6Missing.empty()) {
            server.SetAddr("::");
            server.DualStack = true;
            try {
                server.Listen();
                return;
            } catch (const ESocketException& e) {
                if (!MeansNoIpv6(e.ErrorCode())) throw ListenError(server, side, "::", e);
                ipv6Missing = e.what();
                if (const auto crlf = ipv6Missing.find("\r\n"); crlf != std::string::npos)
                    ipv6Missing = ipv6Missing.substr(crlf + 2);
            }
        }
        server.SetAddr("0.0.0.0");
        server.DualStack = false;
        ListenOrSay(server, side, "0.0.0.0", [&] { server.Listen(); });
        return;
    }
    const bool anyIpv4 = std::find(addrs.begin(), addrs.end(), "0.0.0.0") != addrs.end();
    server.DualStack = !anyIpv4;
    server.SetAddr(std::string(WithoutBrackets(addrs.front())));
    ListenOrSay(server, side, addrs.front(), [&] { server.Listen(); });
    for (size_t i = 1; i < addrs.size(); ++i)
        ListenOrSay(server, side, addrs[i], [&] { server.ListenAlso(std::string(WithoutBrackets(addrs[i]))); });
}

TMainForm::TMainForm(TEventLoop& loop, TFrontEnd& frontEnd, TRegistryStore* store, TListenSettings listen)
    : loop_(loop),
      front_end_(frontEnd),
      store_(store),
      listen_(std::move(listen)),
      demo_senders_(loop),
      demo_viewers_(loop),
      distrubute_demo_(loop, kDistributeIntervalMs),
      log_(console_.Log(), metrics_.LogLines),
      input_(log_, metrics_, demo_senders_, demo_viewers_, memory_budget_),
      recording_(loop, log_, frontEnd, metrics_.Disk),
      answers_(log_, metrics_, input_, recording_, games_),
      output_(log_, metrics_, input_, games_, answers_),
      descriptions_(loop, games_, demo_viewers_, output_),
      pager_(log_, games_, recording_, memory_budget_),
      delay_(loop, log_, games_, output_),
      chat_([this] { return delay_.NowMs(); }),
      crowd_(loop, games_, log_, output_, setup_.CrowdSpin.Clamped()),
      catch_up_(setup_.CatchUpSpin.Clamped(), output_),
      distribution_(loop, metrics_, games_, pager_, delay_, catch_up_, output_),
      numbers_(games_, delay_, console_),
      membership_(games_, console_, log_, output_, pager_, descriptions_, crowd_),
      detached_(games_, console_, log_, descriptions_, pager_, delay_, [this](int32_t id) { return DeleteGame(id); }) {
    // A sender's answers held for the disk go out once its file is there.
    recording_.OnDurable = [this](int32_t id, uint64_t end) { answers_.Release(id, end); };
    // The viewer limit follows the spin field whenever its text changes.
    setup_.MaxClientsSpin.OnChange = [this](int value) { demo_viewers_.MaxClients = value; };
    setup_.CrowdSpin.OnChange = [this](int) { crowd_.SetLimit(setup_.CrowdSpin.Clamped()); };
    setup_.CatchUpSpin.OnChange = [this](int) { catch_up_.SetPacketsPerTick(setup_.CatchUpSpin.Clamped()); };
    setup_.BroadcastDelaySpin.OnChange = [this](int) { delay_.SetDelaySeconds(setup_.BroadcastDelaySpin.Clamped()); };
    delay_.OnChatSent = [this](int32_t id, const TSharedBytes& line) {
        chat_.Add(TChatOrigin::Camera, 0, id, line.View());
    };
    membership_.OnJoined = [this](TDemoViewer& viewer, const TActiveGameList& game) {
        delay_.NoticeOnJoin(viewer, game);
        catch_up_.NoticeOnJoin(viewer, delay_.VisibleEnd(game) - viewer.Position);
    };

    demo_senders_.OnClientConnect = [this](TWSocketServer& s, TWSocketClient& c, uint16_t e) {
        DemoSendersClientConnect(s, c, e);
    };
    demo_senders_.OnClientDisconnect = [this](TWSocketServer& s, TWSocketClient& c, uint16_t e) {
        DemoSendersClientDisconnect(s, c, e);
    };
    demo_senders_.OnBgException = [this](TCustomWSocket& s, const std::exception& e, bool& canClose) {
        DemoSendersBgException(s, e, canClose);
    };
    demo_viewers_.OnClientConnect = [this](TWSocketServer& s, TWSocketClient& c, uint16_t e) {
        DemoViewersClientConnect(s, c, e);
    };
    demo_viewers_.OnClientDisconnect = [this](TWSocketServer& s, TWSocketClient& c, uint16_t e) {
        DemoViewersClientDisconnect(s, c, e);
    };
    demo_viewers_.OnBgException = [this](TCustomWSocket& s, const std::exception& e, bool& canClose) {
        DemoViewersBgException(s, e, canClose);
    };
    // Errors the socket layer caught and went on after: counted there, and
    // shown here to whoever reads the debug lines.
    demo_senders_.OnHandlerError = [this](std::string_view text) {
        log_.Debug([&] { return "Sender Server caught: " + std::string(text); });
    };
    demo_viewers_.OnHandlerError = [this](std::string_view text) {
        log_.Debug([&] { return "Viewer Server caught: " + std::string(text); });
    };
    distrubute_demo_.OnTimer = [this] { DistrubuteDemoTimer(); };
}

TMainForm::~TMainForm() {
    FormDestroy();
    // The servers (declared before the registry's owner goes) destroy their
    // remaining connections without disconnect events.
}

bool TMainForm::FormCreate() {
    LoadSettings();
    delay_.SetDelaySeconds(setup_.BroadcastDelaySpin.Clamped());
    front_end_.ShowIntroPage();
    ServerLog(false, DescribeMemoryBudget(memory_budget_));
    games_.Open();
    // The recordings come back before anyone can connect.
    if (!recording_.Start(detached_)) return false;
    try {
        demo_senders_.SetProto("tcp");
        demo_senders_.SetPort(listen_.SenderPort);
        demo_senders_.ClientFactory = [this] { return std::make_unique<TDemoSender>(loop_); };
        demo_viewers_.SetProto("tcp");
        demo_viewers_.SetPort(listen_.ViewerPort);
        demo_viewers_.ClientFactory = [this] { return std::make_unique<TDemoViewer>(loop_); };
        demo_senders_.Backlog = listen_.Backlog;
        demo_viewers_.Backlog = listen_.Backlog;
        std::string ipv6Missing;
        ListenEverywhere(demo_senders_, "senders", ipv6Missing);
        ListenEverywhere(demo_viewers_, "viewers", ipv6Missing);
        if (listen_.Addrs() == std::vector<std::string>{TListenSettings::kEveryInterface})
            ServerLog(false, ipv6Missing.empty()
                                 ? "Listening on every IPv4 and IPv6 interface (one dual-stack socket per port)"
                                 : "Listening on every IPv4 interface alone (no IPv6 here: " + ipv6Missing + ")");
    } catch (const std::exception& e) {
        // Nothing retries: the window (or the daemon's exit) tells the operator.
        front_end_.ReportError(e);
        return false;
    }
    front_end_.ExpandOptionTree();
    distrubute_demo_.SetEnabled(true);
    serving_ = true;
    return true;
}

void TMainForm::FormDestroy() {
    distrubute_demo_.SetEnabled(false);
    serving_ = false;
    games_.Close();
    // Forces what is not yet on the disk and closes the files.
    recording_.Stop();
}

void TMainForm::LoadSettings() {
    if (!store_) return;
    // The relay starts all the same: a field whose value could not be used
    // keeps its default. One report lists every problem, with its line.
    const TSettingsReport report = ::vistrel::LoadSettings(*store_, setup_);
    if (!report.Problems.empty()) front_end_.ReportError(ERegistryException(report.Text()));
    const size_t length = setup_.FilmDemoPasswordEdit.size();
    if (length > kMaxFilmDemoPasswordLength)
        front_end_.ReportError(ERegistryException(
            "The filming password in the settings has " + std::to_string(length) +
                " characters; senders send at most " + std::to_string(kMaxFilmDemoPasswordLength) +
                ", so no sender can log in.",
            "Set a filming password of at most " + std::to_string(kMaxFilmDemoPasswordLength) +
                " characters on the Setup page."));
}

void TMainForm::SaveSettings() {
    if (store_) ::vistrel::SaveSettings(*store_, setup_);
}

void TMainForm::DemoSendersBgException(TCustomWSocket&, const std::exception& e, bool& canClose) {
    ServerLog(false, "Sender Server exception occured: " + DescribeException(e));
    canClose = false;  // keep listening
}

void TMainForm::DemoViewersBgException(TCustomWSocket&, const std::exception& e, bool& canClose) {
    ServerLog(false, "Viewer Server exception occured: " + DescribeException(e));
    canClose = false;
}

void TMainForm::SenderBgException(TCustomWSocket&, const std::exception& e, bool& canClose) {
    ServerLog(false, "Cammer exception occured: " + DescribeException(e));
    canClose = true;  // the connection is aborted; its disconnect follows
}

void TMainForm::ViewerBgException(TCustomWSocket&, const std::exception& e, bool& canClose) {
    ServerLog(false, "Viewer exception occured: " + DescribeException(e));
    canClose = true;
}

void TMainForm::DistrubuteDemoTimer() {
    distrubute_demo_.SetEnabled(false);
    const auto walkStart = std::chrono::steady_clock::now();
    try {
        distribution_.Walk();
        numbers_.Refresh();
        metrics_.TickDuration.Observe(Seconds(std::chrono::steady_clock::now() - walkStart));
    } catch (const std::exception& e) {
        distrubute_demo_.SetEnabled(true);
        front_end_.ReportError(e);
        return;
    }
    distrubute_demo_.SetEnabled(true);
}

}  // namespace vistrel
