#include "net/custom_wsocket.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>

namespace vistrel {

namespace {

// Pieces handed to the kernel in one call (the Linux limit, UIO_MAXIOV).
constexpr int kMaxIov = 1024;

const TSendLimits kDefaultSendLimits{};

}  // namespace

TCustomWSocket::TCustomWSocket(TEventLoop& loop) : loop_(loop) {}

TCustomWSocket::~TCustomWSocket() {
    destroying_ = true;
    CancelHold();
    if (flush_slot_ != TEventLoop::kNotEnlisted) loop_.DelistFlush(flush_slot_);
    flush_slot_ = TEventLoop::kNotEnlisted;
    // What was queued in this step still goes out, as a close would send it.
    CloseSocket({.SendQueued = true, .End = TCloseEnd::FinFirst, .Report = false});
}

void TCustomWSocket::SetOutputAccount(size_t* total) {
    if (output_total_) {
        assert(*output_total_ >= accounted_output_);
        *output_total_ -= accounted_output_;
    }
    output_total_ = total;
    if (output_total_) *output_total_ += accounted_output_;
}

const TSendLimits& TCustomWSocket::SendLimits() const { return kDefaultSendLimits; }

// ---------------------------------------------------------------- errors

void TCustomWSocket::RaiseSocketError(int error, std::string_view step) {
    last_error_ = error;
    std::string message = SocketErrorMessage(error, step);
    if (error == kWsaEConnReset || error == kWsaENotConn) {
        // The socket is of no further use. It is released here; the
        // disconnect is still reported once, so a listed connection is never
        // left behind without its notice.
        if (fd_ >= 0) {
            CloseSocket({.SendQueued = false, .End = TCloseEnd::AsSet, .Report = true});
        } else if (state_ != wsClosed) {
            state_ = wsClosed;
        }
    }
    throw ESocketException(message, error);
}

void TCustomWSocket::HandleBgException(const std::exception& e) {
    bool canClose = true;
    if (OnBgException) {
        // A failing error handler must not take the loop down with it.
        Noted("OnBgException", [&] { OnBgException(*this, e, canClose); });
    } else {
        // Nobody to tell: it is at least counted and described.
        NoteHandlerError("Background", fd_, &e);
    }
    if (canClose) Noted("Abort", [this] { Abort(); });
}

void TCustomWSocket::NoteHandlerError(std::string_view step, int fd, const std::exception* e) {
    // A socket being destroyed only counts: its owner may be half gone.
    if (handler_errors_) handler_errors_->Note(step, fd, e, !destroying_);
}

// ---------------------------------------------------------------- descriptor

void TCustomWSocket::AttachSocket(int fd, std::string_view step) {
    fd_ = fd;
    read_paused_ = false;
    int err = loop_.Watch(fd, WantedInterest(), [this](uint32_t events) { OnEvents(events); });
    if (err != 0) RaiseErrno(err, step);
}

uint32_t TCustomWSocket::WantedInterest() const {
    uint32_t interest = 0;
    // While held, even the peer's close waits: watching it would report it
    // on every step until the hold ends.
    if (!ReadingHeld()) {
        interest |= TEventLoop::kPeerClosed;
        if (!read_paused_) interest |= TEventLoop::kReadable;
    }
    if (write_blocked_ && !queue_.Empty()) interest |= TEventLoop::kWritable;
    return interest;
}

void TCustomWSocket::UpdateInterest() {
    if (fd_ < 0 || !loop_.IsWatched(fd_)) return;
    // A failed change keeps the old interest: at worst one more wake-up.
    (void)loop_.Modify(fd_, WantedInterest());
}

void TCustomWSocket::PauseReading(bool paused) {
    if (read_paused_ == paused) return;
    read_paused_ = paused;
    UpdateInterest();
}

void TCustomWSocket::HoldReadingUntil(TEventLoop::Clock::time_point until) {
    if (fd_ < 0 || state_ != wsConnected) return;
    if (ReadingHeld()) {
        if (until <= held_until_) return;
        loop_.CancelTimer(hold_timer_);
    }
    held_until_ = until;
    hold_timer_ = loop_.AddTimer(until, [this] { EndHold(); });
    UpdateInterest();
}

void TCustomWSocket::CancelHold() {
    if (!ReadingHeld()) return;
    loop_.CancelTimer(hold_timer_);
    hold_timer_ = 0;
}

void TCustomWSocket::EndHold() {
    hold_timer_ = 0;
    if (fd_ < 0 || state_ != wsConnected) return;
    UpdateInterest();
    Guarded([&] {
        // Raised even with nothing readable: the handler's own buffer may
        // hold what it stopped short of.
        TLoopEnd end = ReceivingLoop(0);
        if (end == TLoopEnd::Stalled && fd_ >= 0 && state_ == wsConnected) PauseReading(true);
    });
}

int TCustomWSocket::ReleaseSocket(bool shutdownFirst, TLastWords* keeper) {
    int fd = fd_;
    if (fd < 0) return 0;
    CancelHold();
    loop_.Unwatch(fd);
    fd_ = -1;
    read_paused_ = false;
    if (shutdownFirst) shutdown(fd, SHUT_WR);  // fails harmlessly on a reset connection
    if (keeper && keeper->Hold(fd)) return 0;
    if (close(fd) != 0 && errno != EINTR) return SocketErrorFromErrno(errno);
    return 0;
}

void TCustomWSocket::FinishClose(bool report) {
    state_ = wsClosed;
    queue_.Clear();
    AccountOutput();
    write_blocked_ = false;
    over_soft_since_ = TEventLoop::Clock::time_point::max();
    if (report && !destroying_ && !disconnect_reported_) {
        disconnect_reported_ = true;
        TriggerSessionClosed();
    }
}

int TCustomWSocket::CloseSocket(TCloseStyle style) {
    if (style.SendQueued && fd_ >= 0 && state_ == wsConnected && !queue_.Empty()) {
        // What was queued before the close goes first; a failure to send it
        // does not keep the connection open.
        Noted("Close (sending the queue)", [this] { TryToSend(); });
        if (fd_ < 0) return 0;  // the send found the connection gone and closed it
    }
    int err = 0;
    if (fd_ >= 0) {
        if (style.End == TCloseEnd::Orderly && state_ == wsConnected) {
            // An orderly close instead of the reset a close would give.
            linger off{0, 0};
            setsockopt(fd_, SOL_SOCKET, SO_LINGER, &off, sizeof off);
        }
        // Last words are held only once the kernel has all of them.
        const bool holdLastWords = style.End == TCloseEnd::LastWords && state_ == wsConnected && queue_.Empty();
        err = ReleaseSocket(style.End == TCloseEnd::FinFirst || style.End == TCloseEnd::LastWords,
                            holdLastWords ? last_words_ : nullptr);
    }
    FinishClose(style.Report);
    return err;
}

void TCustomWSocket::Close() {
    if (fd_ < 0) {
        if (state_ != wsClosed) state_ = wsClosed;
        return;
    }
    if (state_ == wsClosed) return;
    // The descriptor is gone whatever close said, so the close is completed
    // (and reported) before a failure is raised.
    int err = CloseSocket({.SendQueued = true, .End = TCloseEnd::FinFirst, .Report = true});
    if (err != 0 && err != kWsaNotInitialised) RaiseSocketError(err, "Disconnect (closesocket)");
}

void TCustomWSocket::CloseAfterLastWords() {
    if (fd_ < 0 || state_ == wsClosed) return Close();
    int err = CloseSocket({.SendQueued = true, .End = TCloseEnd::LastWords, .Report = true});
    if (err != 0 && err != kWsaNotInitialised) RaiseSocketError(err, "Disconnect (closesocket)");
}

void TCustomWSocket::Abort() {
    CloseSocket({.SendQueued = false, .End = TCloseEnd::Orderly, .Report = true});
}

void TCustomWSocket::CloseDiscarding() {
    if (state_ == wsClosed) return;
    CloseGone();
}

void TCustomWSocket::CloseGone() {
    CloseSocket({.SendQueued = false, .End = TCloseEnd::FinFirst, .Report = true});
}

// ---------------------------------------------------------------- dispatch

void TCustomWSocket::OnEvents(uint32_t events) {
    Guarded([&] { Dispatch(events); });
}

void TCustomWSocket::Dispatch(uint32_t events) {
    // Notifications still queued for a released socket are ignored.
    if (fd_ < 0 || state_ != wsConnected) return;
    const bool peerClosed = events & (TEventLoop::kPeerClosed | TEventLoop::kHangup | TEventLoop::kError);

    if (events & (TEventLoop::kReadable | TEventLoop::kPeerClosed | TEventLoop::kHangup | TEventLoop::kError)) {
        if (ReadingHeld()) {
            // Gone while held: nothing more will be read from it. An orderly
            // close (or input reported in the same batch) waits for the end
            // of the hold.
            if (events & (TEventLoop::kHangup | TEventLoop::kError)) {
                CloseGone();
                return;
            }
        } else if (!read_paused_) {
            // Plain readability goes straight to the handler (ReceiveAll
            // counts the bytes anyway); a close first checks for input.
            int err = 0;
            int count = peerClosed ? ReadableCount(err) : 1;
            if (err == 0 && count > 0) {
                TLoopEnd end = ReceivingLoop(0);
                if (fd_ < 0 || state_ != wsConnected) return;
                if (end == TLoopEnd::Bounded) return;  // the rest (and any close) next step
                if (end == TLoopEnd::Stalled) PauseReading(true);
            }
        }
        if (peerClosed && !ReadingHeld()) {
            PeerClosed();
            return;
        }
    }
    if (events & TEventLoop::kWritable) {
        // The kernel takes more again: the queue goes out with the step's
        // flush, which also decides whether to go on watching writability.
        if (!queue_.Empty()) {
            EnlistFlush();
        } else {
            write_blocked_ = false;
            UpdateInterest();
        }
    }
}

int TCustomWSocket::ReadableCount(int& err) const {
    err = 0;
    if (fd_ < 0) {
        err = kWsaENotSock;
        return 0;
    }
    int count = 0;
    if (ioctl(fd_, FIONREAD, &count) != 0) {
        err = SocketErrorFromErrno(errno);
        return 0;
    }
    return count;
}

TCustomWSocket::TLoopEnd TCustomWSocket::ReceivingLoop(uint16_t error) {
    for (int round = 1;; ++round) {
        if (ReadingHeld()) return TLoopEnd::Held;
        received_ = false;
        bool more = false;
        if (!Noted("OnDataAvailable", [&] { more = TriggerDataAvailable(error); })) {
            // The data handler's errors are only counted and described; the
            // connection stays as the handler left it. A handler that failed
            // before taking its input must not make the level-triggered loop
            // spin.
            if (fd_ < 0 || state_ != wsConnected) return TLoopEnd::Closed;
            if (ReadingHeld()) return TLoopEnd::Held;
            int err = 0;
            if (!received_ && ReadableCount(err) > 0 && err == 0) return TLoopEnd::Stalled;
            return TLoopEnd::Dropped;
        }
        if (!more) return TLoopEnd::Drained;
        if (fd_ < 0 || state_ != wsConnected) return TLoopEnd::Closed;
        if (ReadingHeld()) return TLoopEnd::Held;
        int err = 0;
        int count = ReadableCount(err);
        if (err != 0 || count == 0) return TLoopEnd::Drained;
        if (!received_) return TLoopEnd::Stalled;  // the handler takes nothing
        if (round >= kMaxRounds) return TLoopEnd::Bounded;
    }
}

bool TCustomWSocket::TriggerDataAvailable(uint16_t /*error*/) {
    char sink[1024];
    ssize_t n = recv(fd_, sink, sizeof sink, 0);
    if (n < 0) return false;
    NoteReceived();
    return true;
}

void TCustomWSocket::PeerClosed() {
    TLoopEnd end = ReceivingLoop(0);
    if (fd_ < 0 || state_ != wsConnected) return;  // the handler closed it
    if (end == TLoopEnd::Bounded) return;           // more input first; the close is seen again
    if (end == TLoopEnd::Held) return;              // seen again once the hold ends
    if (!disconnect_reported_) {
        disconnect_reported_ = true;
        TriggerSessionClosed();
    }
    if (state_ != wsClosed) Close();
}

// ---------------------------------------------------------------- data

std::string TCustomWSocket::ReceiveAll() {
    std::string result;
    int err = 0;
    int count = ReadableCount(err);
    if (err != 0) RaiseSocketError(err, "ioctlSocket");
    if (count < 1) return result;
    result.resize(static_cast<size_t>(count));
    ssize_t n = recv(fd_, result.data(), result.size(), 0);
    if (n <= 0) return {};
    result.resize(static_cast<size_t>(n));
    NoteReceived();
    // Taking input is what re-arms a reader that had stalled.
    if (read_paused_) PauseReading(false);
    return result;
}

int32_t TCustomWSocket::Send(std::string_view data) {
    if (state_ != wsConnected) RaiseSocketError(kWsaENotConn, "Send");
    queue_.Append(data);
    Queued();
    return static_cast<int32_t>(data.size());
}

void TCustomWSocket::SendReplacing(uint64_t key, TSharedBytes packet) {
    if (state_ != wsConnected) RaiseSocketError(kWsaENotConn, "Send");
    queue_.AppendShared(std::move(packet), key);
    Queued();
}

void TCustomWSocket::Queued() {
    AccountOutput();
    // A connection the kernel refuses waits for writability instead.
    if (!write_blocked_) EnlistFlush();
    // Only a queue above the soft limit can break a limit.
    if (queue_.Pending() > SendLimits().SoftBytes) CheckSendLimits(loop_.Now());
}

void TCustomWSocket::EnlistFlush() {
    if (flush_slot_ == TEventLoop::kNotEnlisted) flush_slot_ = loop_.EnlistFlush(*this, static_cast<uint32_t>(fd_));
}

void TCustomWSocket::FlushOutput() {
    flush_slot_ = TEventLoop::kNotEnlisted;
    Guarded([this] { Flush(); });
}

void TCustomWSocket::Flush() {
    if (fd_ < 0 || state_ != wsConnected || queue_.Empty()) return;
    TryToSend();
    // Below the soft limit nothing can be broken (and the clock is not read).
    if (state_ == wsConnected && queue_.Pending() > SendLimits().SoftBytes) CheckSendLimits(loop_.Now());
}

void TCustomWSocket::TryToSend() {
    if (fd_ < 0) return;
    const bool wasBlocked = write_blocked_;
    iovec iov[kMaxIov];
    while (!queue_.Empty()) {
        int pieces = queue_.Gather(iov, kMaxIov);
        size_t offered = 0;
        for (int i = 0; i < pieces; ++i) offered += iov[i].iov_len;
        // MSG_NOSIGNAL: a write to a reset connection must not end the process.
        ssize_t sent;
        if (pieces == 1) {
            // One piece (a demo packet, most often): the plain call is cheaper.
            sent = send(fd_, iov[0].iov_base, iov[0].iov_len, MSG_NOSIGNAL | MSG_DONTWAIT);
        } else {
            msghdr msg{};
            msg.msg_iov = iov;
            msg.msg_iovlen = static_cast<size_t>(pieces);
            sent = sendmsg(fd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        if (sent == 0) break;
        if (sent < 0) {
            int err = errno;
            if (err == EINTR) continue;
            int error = SocketErrorFromErrno(err);
            if (error == kWsaEWouldBlock) break;
            if (IsConnectionGone(error)) {
                CloseGone();
                return;
            }
            UpdateInterest();
            RaiseSocketError(error, "TryToSend failed");
        }
        queue_.Consume(static_cast<size_t>(sent));
        if (static_cast<size_t>(sent) < offered) break;  // the kernel is full: wait
    }
    AccountOutput();
    if (queue_.Pending() <= SendLimits().SoftBytes) over_soft_since_ = TEventLoop::Clock::time_point::max();
    write_blocked_ = !queue_.Empty();
    // Writability is watched only while the kernel refuses output: a crowd
    // that takes every tick's packet at once never touches its interest.
    if (write_blocked_ || wasBlocked) UpdateInterest();
}

bool TCustomWSocket::CheckSendLimits(TEventLoop::Clock::time_point now) {
    if (state_ != wsConnected) return false;
    const TSendLimits& limits = SendLimits();
    const size_t pending = queue_.Pending();
    std::string reason;
    if (pending > limits.HardBytes) {
        reason = "unsent output of " + std::to_string(pending) + " bytes exceeds " +
                 std::to_string(limits.HardBytes) + " bytes";
    } else if (pending > limits.SoftBytes) {
        if (over_soft_since_ == TEventLoop::Clock::time_point::max()) {
            over_soft_since_ = now;
            TriggerAboveSoftLimit();
            return false;
        }
        if (now - over_soft_since_ < limits.SoftDuration) return false;
        reason = "unsent output stayed above " + std::to_string(limits.SoftBytes) + " bytes for " +
                 std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limits.SoftDuration).count()) +
                 " s (" + std::to_string(pending) + " bytes queued)";
    } else {
        over_soft_since_ = TEventLoop::Clock::time_point::max();
        return false;
    }
    try {
        TriggerSendOverflow(reason);
    } catch (...) {
        CloseGone();
        throw;
    }
    CloseGone();
    return true;
}

}  // namespace vistrel
