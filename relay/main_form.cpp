#include "relay/main_form.h"

#include <chrono>
#include <utility>

#include "settings/registry_data.h"
#include "settings/registry_store.h"
#include "settings/settings.h"
#include "relay/demo_sender.h"
#include "relay/demo_viewer.h"

namespace vistrel {

TMainForm::TMainForm(TEventLoop& loop, TFrontEnd& frontEnd, TRegistryStore* store, TListenSettings listen)
    : loop_(loop),
      front_end_(frontEnd),
      store_(store),
      demo_senders_(loop),
      demo_viewers_(loop),
      distrubute_demo_(loop, kDistributeIntervalMs),
      listen_(std::move(listen)) {
    // The viewer limit follows the spin field whenever its text changes.
    setup_.MaxClientsSpin.OnChange = [this](int value) { demo_viewers_.MaxClients = value; };

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
    distrubute_demo_.OnTimer = [this] { DistrubuteDemoTimer(); };
}

TMainForm::~TMainForm() {
    FormDestroy();
    // The servers (declared before the registry's owner goes) destroy their
    // remaining connections without disconnect events.
}

bool TMainForm::FormCreate() {
    LoadSettings();
    front_end_.ShowIntroPage();
    ServerLog(false, DescribeMemoryBudget(memory_budget_));
    game_id_counter_ = 0;
    games_ = std::make_unique<TGameList>();
    // The recordings come back before anyone can connect.
    if (!StartRecording()) return false;
    try {
        demo_senders_.SetProto("tcp");
        demo_senders_.SetAddr(listen_.Addr);
        demo_senders_.SetPort(listen_.SenderPort);
        demo_senders_.ClientFactory = [this] { return std::make_unique<TDemoSender>(loop_); };
        demo_viewers_.SetProto("tcp");
        demo_viewers_.SetAddr(listen_.Addr);
        demo_viewers_.SetPort(listen_.ViewerPort);
        demo_viewers_.ClientFactory = [this] { return std::make_unique<TDemoViewer>(loop_); };
        demo_senders_.Backlog = listen_.Backlog;
        demo_viewers_.Backlog = listen_.Backlog;
        demo_senders_.Listen();
        demo_viewers_.Listen();
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
    games_.reset();
    // Forces what is not yet on the disk and closes the files.
    recorder_.reset();
}

void TMainForm::LoadSettings() {
    if (!store_) return;
    try {
        ::vistrel::LoadSettings(*store_, setup_);
    } catch (const std::exception& e) {
        // A value of the wrong type: the fields read before it are set, the
        // rest keep their defaults, and the relay starts all the same.
        front_end_.ReportError(e);
    }
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

void TMainForm::ServerLog(bool debug, std::string_view text) {
    std::string line = FormatLogTimestamp(std::time(nullptr));
    line += EscapeControlCharacters(text);
    if (debug) {
        if (debug_line_sink_) debug_line_sink_(line);
        return;
    }
    ++metrics_.LogLines;
    console_.Log().Append(std::move(line));
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
        DistributeDemoWalk();
        metrics_.TickDuration.Observe(std::chrono::steady_clock::now() - walkStart);
    } catch (const std::exception& e) {
        distrubute_demo_.SetEnabled(true);
        front_end_.ReportError(e);
        return;
    }
    distrubute_demo_.SetEnabled(true);
}

void TMainForm::NoteCloseReason(TWSocketClient& conn, TCloseReason reason) {
    if (auto* sender = dynamic_cast<TDemoSender*>(&conn)) sender->CloseReason = reason;
    if (auto* viewer = dynamic_cast<TDemoViewer*>(&conn)) viewer->CloseReason = reason;
}

std::string FormatLogTimestamp(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S ", &local);
    return text;
}

std::string_view WithoutLogTimestamp(std::string_view line) {
    static constexpr std::string_view kPattern = "0000/00/00 00:00:00 ";
    if (line.size() < kPattern.size()) return line;
    for (size_t i = 0; i < kPattern.size(); ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (kPattern[i] == '0' ? !digit : line[i] != kPattern[i]) return line;
    }
    return line.substr(kPattern.size());
}

std::string EscapeControlCharacters(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto byte = static_cast<unsigned char>(ch);
        // C0, DEL and C1: a terminal reading the log as UTF-8 or Latin-1
        // would act on any of them (0x9B is a CSI).
        if (byte < 0x20 || (byte >= 0x7F && byte <= 0x9F)) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        } else {
            out += ch;
        }
    }
    return out;
}

}  // namespace vistrel
