#include "relay/main_form.h"

#include <utility>

#include "settings/registry_store.h"
#include "settings/settings.h"
#include "relay/demo_sender.h"
#include "relay/demo_viewer.h"

namespace vistrel {

TMainForm::TMainForm(TEventLoop& loop, TFrontEnd& frontEnd, TRegistryStore* store, TListenSettings listen)
    : DemoSenders(loop),
      DemoViewers(loop),
      DistrubuteDemo(loop, kDistributeIntervalMs),
      Listen(std::move(listen)),
      loop_(loop),
      front_end_(frontEnd),
      store_(store) {
    // The viewer limit follows the spin field whenever its text changes.
    Setup.MaxClientsSpin.OnChange = [this](int value) { DemoViewers.MaxClients = value; };

    DemoSenders.OnClientConnect = [this](TWSocketServer& s, TWSocketClient& c, uint16_t e) {
        DemoSendersClientConnect(s, c, e);
    };
    DemoSenders.OnClientDisconnect = [this](TWSocketServer& s, TWSocketClient& c, uint16_t e) {
        DemoSendersClientDisconnect(s, c, e);
    };
    DemoSenders.OnBgException = [this](TCustomWSocket& s, const std::exception& e, bool& canClose) {
        DemoSendersBgException(s, e, canClose);
    };
    DemoViewers.OnClientConnect = [this](TWSocketServer& s, TWSocketClient& c, uint16_t e) {
        DemoViewersClientConnect(s, c, e);
    };
    DemoViewers.OnClientDisconnect = [this](TWSocketServer& s, TWSocketClient& c, uint16_t e) {
        DemoViewersClientDisconnect(s, c, e);
    };
    DemoViewers.OnBgException = [this](TCustomWSocket& s, const std::exception& e, bool& canClose) {
        DemoViewersBgException(s, e, canClose);
    };
    DistrubuteDemo.OnTimer = [this] { DistrubuteDemoTimer(); };
}

TMainForm::~TMainForm() {
    DistrubuteDemo.SetEnabled(false);
    FormDestroy();
    // The servers (declared before the registry's owner goes) destroy their
    // remaining connections without disconnect events.
}

bool TMainForm::FormCreate() {
    LoadSettings();
    front_end_.ShowIntroPage();
    GameIdCounter = 0;
    Games = std::make_unique<TGameList>();
    try {
        DemoSenders.SetProto("tcp");
        DemoSenders.SetAddr(Listen.Addr);
        DemoSenders.SetPort(Listen.SenderPort);
        DemoSenders.ClientFactory = [this] { return std::make_unique<TDemoSender>(loop_); };
        DemoViewers.SetProto("tcp");
        DemoViewers.SetAddr(Listen.Addr);
        DemoViewers.SetPort(Listen.ViewerPort);
        DemoViewers.ClientFactory = [this] { return std::make_unique<TDemoViewer>(loop_); };
        DemoSenders.Listen();
        DemoViewers.Listen();
    } catch (const std::exception& e) {
        // Nothing retries: the window (or the daemon's exit) tells the operator.
        front_end_.ReportError(e);
        return false;
    }
    front_end_.ExpandOptionTree();
    DistrubuteDemo.SetEnabled(true);
    serving_ = true;
    return true;
}

void TMainForm::FormDestroy() {
    serving_ = false;
    Games.reset();
}

void TMainForm::LoadSettings() {
    if (!store_) return;
    try {
        ::vistrel::LoadSettings(*store_, Setup);
    } catch (const std::exception& e) {
        // A value of the wrong type: the fields read before it are set, the
        // rest keep their defaults, and the relay starts all the same.
        front_end_.ReportError(e);
    }
}

void TMainForm::SaveSettings() {
    if (store_) ::vistrel::SaveSettings(*store_, Setup);
}

void TMainForm::ServerLog(bool debug, std::string_view text) {
    std::string line = FormatLogTimestamp(std::time(nullptr));
    line += EscapeControlCharacters(text);
    if (debug) {
        if (OnDebugLine) OnDebugLine(line);
        return;
    }
    Console.Log().Append(std::move(line));
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
    DistrubuteDemo.SetEnabled(false);
    try {
        DistributeDemoWalk();
    } catch (const std::exception& e) {
        DistrubuteDemo.SetEnabled(true);
        front_end_.ReportError(e);
        return;
    }
    DistrubuteDemo.SetEnabled(true);
}

std::string FormatLogTimestamp(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S ", &local);
    return text;
}

std::string EscapeControlCharacters(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto byte = static_cast<unsigned char>(ch);
        if (byte < 0x20 || byte == 0x7F) {
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
