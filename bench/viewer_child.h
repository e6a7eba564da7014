// The viewers of a load program, in a forked child of their own: the relay
// under measurement never pays for reading what it sends, each side has its
// own descriptor limit, and no queue just grows. The parent steers it with
// commands on a pipe, each answered with an int64:
//   'P' port:    the viewer port to connect to from now on.
//   'C' n g:     connect n viewers, each sending USERINFO after its greeting
//                (and WAITFORGAME g right after it unless g is 0); answered
//                with the number of viewers once all are greeted.
//   'G' n:       connect n viewers that take their greeting and say nothing.
//   'X':         close every viewer with a reset.
//   'B':         the bytes received so far.
//   'R':         a new run: the packet counts and last locations start again.
//   'K' / 'M':   the fewest / most DEMOPACKETs one viewer got this run.
//   'E':         DEMOPACKETs whose location did not follow the viewer's last.
//   'Q':         quit (as when the parent has gone and the pipe is closed).
// Only with countPackets are the packets read; otherwise only bytes counted.
#pragma once

#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/load_common.h"
#include "client/client_packets.h"
#include "client/relay_client.h"
#include "core/protocol.h"

namespace vistrel::load {

class TViewerChild {
public:
    TViewerChild(const char* program, bool countPackets) : program_(program), count_packets_(countPackets) {
        int c[2], r[2];
        if (pipe(c) != 0 || pipe(r) != 0) FailRun(program_, "pipe");
        pid_ = fork();
        if (pid_ < 0) FailRun(program_, "fork");
        if (pid_ == 0) {
            close(c[1]);
            close(r[0]);
            cmd_ = c[0];
            reply_ = r[1];
            Run();
        }
        close(c[0]);
        close(r[1]);
        cmd_ = c[1];
        reply_ = r[0];
    }
    // Tells the child to quit and waits for it.
    ~TViewerChild() {
        Send('Q');
        close(cmd_);
        close(reply_);
        waitpid(pid_, nullptr, 0);
    }
    TViewerChild(const TViewerChild&) = delete;
    TViewerChild& operator=(const TViewerChild&) = delete;

    pid_t Pid() const { return pid_; }
    void Send(char op, int32_t arg = 0, int32_t arg2 = 0) {
        const TCommand c{op, arg, arg2};
        if (write(cmd_, &c, sizeof c) != sizeof c && op != 'Q') FailRun(program_, "command to the viewer process");
    }
    // The answer to the last command if it has come, without waiting (the
    // caller steps its relay meanwhile).
    bool TryReply(int64_t& value) {
        pollfd p{reply_, POLLIN, 0};
        return poll(&p, 1, 0) > 0 && read(reply_, &value, sizeof value) == sizeof value;
    }
    // The answer, waiting for it.
    int64_t Reply() {
        int64_t value = 0;
        if (read(reply_, &value, sizeof value) != sizeof value) FailRun(program_, "viewer process");
        return value;
    }

private:
    struct TCommand {
        char Op;
        int32_t Arg;
        int32_t Arg2;
    };
    struct TViewer {
        std::unique_ptr<client::TRelayClient> Client;
        int64_t Packets = 0;
        int32_t Last = -1;
    };
    // The events of viewer i carry i; the command pipe's carry this.
    static constexpr uint64_t kCommandEvent = ~uint64_t{0};

    [[noreturn]] void Run() {
        RaiseDescriptorLimit();
        ep_ = epoll_create1(EPOLL_CLOEXEC);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kCommandEvent;
        epoll_ctl(ep_, EPOLL_CTL_ADD, cmd_, &ev);
        std::vector<epoll_event> events(1024);
        for (;;) {
            const int n = epoll_wait(ep_, events.data(), static_cast<int>(events.size()), 100);
            for (int i = 0; i < n; ++i) {
                const uint64_t which = events[static_cast<size_t>(i)].data.u64;
                if (which == kCommandEvent) {
                    if (!HandleCommand()) std::_Exit(0);
                } else if (which < viewers_.size()) {
                    Drain(viewers_[which]);
                }
            }
        }
    }

    void Answer(int64_t value) {
        if (write(reply_, &value, sizeof value) != sizeof value) std::_Exit(1);
    }

    // Writes what waits in its outbox, and reads and counts what arrived.
    void Drain(TViewer& viewer) {
        const size_t before = viewer.Client->Received();
        viewer.Client->Pump();
        received_ += static_cast<int64_t>(viewer.Client->Received() - before);
        while (count_packets_ && viewer.Client->HasPacket()) {
            const std::string packet = viewer.Client->TakePacket();
            if (PacketTypeOf(packet) != PacketType::DEMOPACKET) continue;
            const int32_t location = PacketLocationOf(packet);
            if (viewer.Last >= 0 && location != viewer.Last + 1) ++out_of_order_;
            viewer.Last = location;
            ++viewer.Packets;
        }
    }

    bool HandleCommand() {
        TCommand c{};
        if (read(cmd_, &c, sizeof c) != sizeof c) return false;
        switch (c.Op) {
            case 'P': port_ = static_cast<uint16_t>(c.Arg); Answer(0); break;
            case 'C': Connect(c.Arg, true, c.Arg2); break;
            case 'G': Connect(c.Arg, false, 0); break;
            case 'X':
                for (TViewer& viewer : viewers_) {
                    linger l{1, 0};
                    setsockopt(viewer.Client->Handle(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
                }
                viewers_.clear();
                Answer(0);
                break;
            case 'B': Answer(received_); break;
            case 'R':
                for (TViewer& v : viewers_) v = TViewer{std::move(v.Client), 0, -1};
                out_of_order_ = 0;
                Answer(0);
                break;
            case 'K': {
                int64_t least = viewers_.empty() ? 0 : INT64_MAX;
                for (const TViewer& v : viewers_) least = std::min(least, v.Packets);
                Answer(least);
                break;
            }
            case 'M': {
                int64_t most = 0;
                for (const TViewer& v : viewers_) most = std::max(most, v.Packets);
                Answer(most);
                break;
            }
            case 'E': Answer(out_of_order_); break;
            default: return false;
        }
        return true;
    }

    void Connect(int32_t count, bool named, int32_t joinGame) {
        ConnectGreeted(program_, port_, count, [&](std::unique_ptr<client::TRelayClient> greeted) {
            // Without counting, only the bytes are kept.
            if (!count_packets_) greeted->DiscardInput(true);
            if (named) {
                // 288 bytes: a USERINFO takes up to that much of what follows it.
                std::string out = client::UserInfo("v" + std::to_string(viewers_.size()), PacketSize::USERINFO_CONSUMED);
                if (joinGame != 0) out += client::WaitForGame(joinGame);
                greeted->Send(out);
            }
            epoll_event ev{};
            ev.events = EPOLLIN | EPOLLOUT | EPOLLET;
            ev.data.u64 = viewers_.size();
            epoll_ctl(ep_, EPOLL_CTL_ADD, greeted->Handle(), &ev);
            viewers_.push_back(TViewer{std::move(greeted), 0, -1});
            Drain(viewers_.back());
        });
        Answer(static_cast<int64_t>(viewers_.size()));
    }

    const char* program_;
    bool count_packets_;
    pid_t pid_ = -1;
    int cmd_ = -1;
    int reply_ = -1;
    int ep_ = -1;
    uint16_t port_ = 0;
    std::vector<TViewer> viewers_;
    int64_t received_ = 0;
    int64_t out_of_order_ = 0;
};

}  // namespace vistrel::load
