// Shared pieces of the window tests: a window on a scratch settings file
// listening on 127.0.0.1 with ephemeral ports, errors collected instead of
// shown, and a loopback client whose reads step Qt's event loop (which runs
// the relay) until what it waits for has arrived or a deadline has passed.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <QCoreApplication>
#include <QFile>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "settings/registry_store.h"
#include "testing/main_form_probe.h"
#include "window/main_window.h"
#include "core/protocol.h"
#include "net/event_loop.h"

namespace vistrel::testing {

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

// One packet as a viewer or sender sees it.
struct TPacketSeen {
    int32_t type;
    std::string bytes;
};

// A loopback TCP client. Reading never blocks: Wait* step Qt's event loop.
class TTestClient {
public:
    explicit TTestClient(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // A loopback connect completes in the kernel's backlog, before the
        // relay accepts it.
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    }
    ~TTestClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    TTestClient(const TTestClient&) = delete;
    TTestClient& operator=(const TTestClient&) = delete;

    bool Connected() const { return connected_; }
    bool Send(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }

    // Takes what has arrived; false once the relay has closed the connection.
    bool Pump() {
        char chunk[8192];
        for (;;) {
            ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n > 0) {
                received_.append(chunk, static_cast<size_t>(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) closed_ = true;
            return !closed_;
        }
    }
    bool Closed() {
        Pump();
        return closed_;
    }
    bool WaitClosed(int ms = kWaitMs) {
        return QTest::qWaitFor([this] { return Closed(); }, ms);
    }
    bool WaitBytes(size_t count, int ms = kWaitMs) {
        return QTest::qWaitFor([&] {
            Pump();
            return received_.size() >= count;
        }, ms);
    }
    // Waits for a packet of this type (after the greeting).
    bool WaitPacket(int32_t type, int ms = kWaitMs) {
        return QTest::qWaitFor([&] {
            Pump();
            for (const auto& p : Packets())
                if (p.type == type) return true;
            return false;
        }, ms);
    }

    const std::string& Received() const { return received_; }
    // The greeting line, then whole packets.
    std::string Greeting() const { return received_.substr(0, std::min<size_t>(19, received_.size())); }
    std::vector<TPacketSeen> Packets() const {
        std::vector<TPacketSeen> packets;
        size_t at = 19;
        while (at + PacketSize::Header <= received_.size()) {
            std::string_view rest(received_.data() + at, received_.size() - at);
            const int32_t type = PacketTypeOf(rest);
            size_t size = 0;
            switch (type) {
            case PacketType::ACKNAK: size = PacketSize::ACKNAK; break;
            case PacketType::GAMEINFODETAILED: size = PacketSize::GAMEINFODETAILED; break;
            case PacketType::SENDTEXT: size = PacketSize::SENDTEXT; break;
            case PacketType::GAMEREMOVED: size = PacketSize::GAMEREMOVED; break;
            case PacketType::USERENTERED: size = PacketSize::USERENTERED; break;
            case PacketType::USERLEFT: size = PacketSize::USERLEFT; break;
            case PacketType::DEMOPACKET:
            case PacketType::DEMORESTART: size = static_cast<size_t>(PacketLengthOf(rest)); break;
            default: return packets;  // not a packet the relay sends
            }
            if (size < PacketSize::Header || size > rest.size()) break;
            packets.push_back({type, std::string(rest.substr(0, size))});
            at += size;
        }
        return packets;
    }
    // Identifiers of the GAMEREMOVED packets received, in order.
    std::vector<int32_t> RemovedGames() const {
        std::vector<int32_t> ids;
        for (const auto& p : Packets())
            if (p.type == PacketType::GAMEREMOVED) ids.push_back(ReadInt32(p.bytes, PacketOffset::GameId));
        return ids;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
    std::string received_;
};

// --- Packets a client sends ----------------------------------------------------

inline std::string ClientPacket(int32_t type, size_t size) {
    std::string packet(size, '\0');
    WriteInt32(packet, PacketOffset::Type, type);
    WriteInt32(packet, PacketOffset::Length, static_cast<int32_t>(size));
    return packet;
}

inline std::string GameInfoPacket(const std::string& name, const std::string& user, const std::string& password) {
    std::string packet = ClientPacket(PacketType::GAMEINFO, PacketSize::GAMEINFO);
    WriteInt32(packet, PacketOffset::GameType, 1);
    WriteTextSlot(packet, Slot::GameInfoMod, "ctf");
    WriteTextSlot(packet, Slot::GameInfoUserName, user);
    WriteTextSlot(packet, Slot::GameInfoPassword, password);
    WriteTextSlot(packet, Slot::GameInfoGameName, name);
    return packet;
}

inline std::string UserInfoPacket(const std::string& name) {
    std::string packet = ClientPacket(PacketType::USERINFO, PacketSize::USERINFO_CONSUMED);
    WriteTextSlot(packet, Slot::UserInfoName, name);
    return packet;
}

inline std::string WaitForGamePacket(int32_t id) {
    std::string packet = ClientPacket(PacketType::WAITFORGAME, PacketSize::WAITFORGAME);
    WriteInt32(packet, PacketOffset::GameId, id);
    return packet;
}

}  // namespace vistrel::testing
