// Shared pieces of the window tests: a window on a scratch settings file
// listening on 127.0.0.1 with ephemeral ports, errors collected instead of
// shown, and a loopback client whose reads step Qt's event loop (which runs
// the relay) until what it waits for has arrived or a deadline has passed.
#pragma once

#include <signal.h>

#include <QCoreApplication>
#include <QFile>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/registry_store.h"
#include "testing/main_form_probe.h"
#include "window/main_window.h"
#include "core/protocol.h"
#include "net/event_loop.h"
#include "client/client_packets.h"
#include "client/relay_client.h"
#include "client/server_packets.h"

namespace vistrel::testing {

// The client side of the protocol (client/) is at hand unqualified.
using namespace vistrel::client;

inline constexpr int kWaitMs = 5000;

// One of the window's parts (a widget, a menu, an action), found by its object
// name, which is its field name: Find<QTreeWidget>(w, "OptionTree"). A part
// that is missing ends the test program, since every later step would use it.
template <typename T>
T* Find(const QObject& window, const char* name) {
    T* part = window.findChild<T*>(QString::fromLatin1(name));
    if (!part) qFatal("the window has no %s named %s", T::staticMetaObject.className(), name);
    return part;
}

// Settings file contents, header included.
inline std::string RegistryFile(const std::string& body) {
    return "Windows Registry Editor Version 5.00\r\n\r\n" + body;
}

class TWindowHarness {
public:
    explicit TWindowHarness(bool trayAvailable = true, const std::string& registryText = {}) {
        if (!registryText.empty()) WriteRegistry(registryText);
        Open(trayAvailable);
    }
    ~TWindowHarness() { Close(); }

    // A new window on the same settings file (after Close()).
    void Open(bool trayAvailable) {
        store = std::make_unique<TRegistryStore>(RegistryPath());
        TWindowOptions options;
        options.Listen.Addr = "127.0.0.1";
        options.Listen.SenderPort = "0";
        options.Listen.ViewerPort = "0";
        options.Store = store.get();
        options.TrayAvailable = trayAvailable;
        options.ShowError = [this](const QString& message, const QString&) { errors << message; };
        options.ConfirmShutdown = [this] {
            ++confirmations;
            return confirmAnswer;
        };
        window = std::make_unique<TMainWindow>(loop, options);
    }
    void Close() {
        window.reset();
        store.reset();
    }

    TMainWindow& W() { return *window; }
    TMainForm& Form() { return window->Form(); }
    int SenderPort() { return TMainFormProbe::DemoSenders(Form()).LocalPort(); }
    int ViewerPort() { return TMainFormProbe::DemoViewers(Form()).LocalPort(); }

    std::string RegistryPath() const { return dir.filePath(QStringLiteral("registry.reg")).toStdString(); }
    void WriteRegistry(const std::string& text) {
        QFile file(QString::fromStdString(RegistryPath()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(text.data(), static_cast<qint64>(text.size()));
    }
    // A value as stored on disk now (a fresh read of the file).
    std::optional<TRegValue> Stored(const std::string& key, const std::string& name) const {
        TRegistryStore fresh(RegistryPath());
        return fresh.ReadValue(key, name);
    }
    std::string StoredText(const std::string& key, const std::string& name) const {
        auto value = Stored(key, name);
        return value ? value->Data : "<missing>";
    }

    QTemporaryDir dir;
    TEventLoop loop;
    std::unique_ptr<TRegistryStore> store;
    std::unique_ptr<TMainWindow> window;
    QStringList errors;
    bool confirmAnswer = false;
    int confirmations = 0;
};

// A loopback client of the relay (client/relay_client.h) whose waits step
// Qt's event loop, which runs the relay. It never takes what it received:
// Unread() is everything, the greeting first.
class TTestClient : public TRelayClient {
public:
    explicit TTestClient(int port) : TRelayClient(static_cast<uint16_t>(port)) {}

    bool Closed() {
        Pump();
        return Ended();
    }
    bool WaitClosed(int ms = kWaitMs) {
        return QTest::qWaitFor([this] { return Closed(); }, ms);
    }
    bool WaitBytes(size_t count, int ms = kWaitMs) {
        return QTest::qWaitFor([&] {
            Pump();
            return Unread().size() >= count;
        }, ms);
    }
    // Waits for a packet of this type (after the greeting).
    bool WaitPacket(int32_t type, int ms = kWaitMs) {
        return QTest::qWaitFor([&] {
            Pump();
            for (const auto& p : Packets())
                if (p.Type == type) return true;
            return false;
        }, ms);
    }

    // The greeting line, then whole packets.
    std::string Greeting() const { return std::string(Unread().substr(0, kGreetingSize)); }
    std::vector<TServerPacket> Packets() const {
        if (Unread().size() < kGreetingSize) return {};
        return SplitServerPackets(std::string_view(Unread()).substr(kGreetingSize));
    }
    // Identifiers of the GAMEREMOVED packets received, in order.
    std::vector<int32_t> RemovedGames() const {
        std::vector<int32_t> ids;
        for (const auto& p : Packets())
            if (p.Type == PacketType::GAMEREMOVED) ids.push_back(GameIdOf(p.Bytes));
        return ids;
    }
};

}  // namespace vistrel::testing
