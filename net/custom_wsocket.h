// TCustomWSocket: the socket base shared by listening servers and accepted
// connections. It owns one non-blocking descriptor (or none), its State, its
// send queue, the dispatch of the loop's readiness events and the guard around
// that dispatch, which hands escaping exceptions to OnBgException and then,
// unless the handler cleared CanClose, aborts the socket. What the layer
// catches and goes on after without a background-error handler (a data
// handler's error, a failing error handler, a failed send while closing) is
// counted and described to the server's THandlerErrors.
//
// Output is queued, not written: Send appends and enlists the socket with the
// loop, which flushes it once at the end of the step (one writev for all that
// the step sent to the connection). While the kernel refuses more, the socket
// waits for writability instead. Close flushes first.
//
// Closing. Every way the layer closes a socket's descriptor goes through one
// routine, CloseSocket, and differs only in three things: whether the queued
// output is handed to the kernel first or dropped; how the connection ends
// for the peer (an accepted connection has linger 0, so a plain close resets
// it: with a FIN first the peer reads the end of its stream before the reset;
// an orderly close turns linger off and sends the FIN alone, after what the
// kernel still holds); and whether the disconnect is reported (for a
// connection: its server's client-closed notice, in a later dispatch).
//
//   way                                   queued output  the peer sees  disconnect
//   Close                                 sent first     FIN, then RST  reported
//   CloseAfterLastWords (a last message:  sent first     FIN; RST only  reported
//     a refusal, a refused login's                       if the peer
//     answer)                                            has not closed
//                                                        within 3 s
//   Abort (and the guard's abort)         dropped        FIN only       reported
//   CloseDiscarding (a connection gone:   dropped        FIN, then RST  reported
//     a send found it reset, the send
//     limits broken, a hang-up while
//     held)
//   the peer closed                       sent first     FIN, then RST  reported before
//                                                                       the close
//   a reset or not-connected error        dropped        RST            reported
//   the object destroyed                  sent first     FIN, then RST  not reported
//   a listener's registration failed      (none)         (listener)     not reported
//
// A listening socket has no peer: only the release and the state apply. The
// descriptors no socket object owns yet (a failed bind or listen, a
// connection shed when descriptors run out, one whose take-over failed) are
// closed where they are made, in the server.
//
// Called by: the event loop (readiness), the derived classes, and the relay
// (Send, ReceiveAll, Close, State). Calls the relay from its dispatch only.
#pragma once

#include <cassert>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "net/event_loop.h"
#include "net/handler_errors.h"
#include "net/last_words.h"
#include "net/send_queue.h"
#include "net/socket_exception.h"

namespace vistrel {

enum TSocketState : uint8_t {
    wsInvalidState = 0,
    wsOpened = 1,
    wsBound = 2,
    wsConnecting = 3,
    wsConnected = 4,
    wsAccepting = 5,
    wsListening = 6,
    wsClosed = 7,
};

// Bounds on the output a slow reader may leave queued. A connection whose
// unsent output stays above SoftBytes for SoftDuration, or exceeds HardBytes at
// any moment, is closed as if the connection were gone.
struct TSendLimits {
    size_t SoftBytes = size_t{1} << 20;
    std::chrono::milliseconds SoftDuration = std::chrono::seconds(30);
    size_t HardBytes = size_t{64} << 20;
};

class TCustomWSocket : private TFlushable {
public:
    using TBgExceptionEvent =
        std::function<void(TCustomWSocket& sender, const std::exception& e, bool& canClose)>;

    explicit TCustomWSocket(TEventLoop& loop);
    virtual ~TCustomWSocket();
    TCustomWSocket(const TCustomWSocket&) = delete;
    TCustomWSocket& operator=(const TCustomWSocket&) = delete;

    TSocketState State() const { return state_; }
    int Handle() const { return fd_; }  // -1 without a socket
    TEventLoop& Loop() const { return loop_; }
    int LastError() const { return last_error_; }

    // Queues data behind everything queued; the loop hands it to the kernel
    // at the end of the step. Returns data.size(). Raises 10057 in "Send"
    // unless wsConnected (nothing queued). A queue beyond the send limits
    // closes the connection at once (see CheckSendLimits).
    int32_t Send(std::string_view data);
    // Queues a packet shared with other connections, as Send does. With a
    // key other than 0, a packet queued under the same key that has not begun
    // to be sent is dropped: the new one replaces it, behind everything
    // queued before it.
    void SendReplacing(uint64_t key, TSharedBytes packet);
    // Queues a packet shared with other connections (nothing is copied).
    void SendShared(TSharedBytes packet) { SendReplacing(0, std::move(packet)); }
    // Hands the queued output to the kernel now (one writev, or more beyond
    // the kernel's piece limit); what it refuses waits for writability.
    void Flush();
    // One read of exactly the readable count; empty when nothing is readable
    // or the read fails. Raises only when the count cannot be queried.
    std::string ReceiveAll();
    // Sends what is queued, shuts down sending and releases the socket; the
    // disconnect is reported later (connections). Does nothing on a closed
    // socket. Raises when close itself fails (the socket is released anyway).
    void Close();
    // Close for a connection whose queue ends with a last message the peer
    // must read: the queue goes to the kernel, sending is shut down, and the
    // descriptor is left with the server's TLastWords until the peer closes
    // too (or is reset after kLastWordsWait). Where that cannot be (no
    // server, too many held, output the kernel has not taken), it is Close.
    void CloseAfterLastWords();
    // Drops the queue and releases the socket with an orderly close.
    void Abort();
    // Closes at once as a connection that is gone: the queue is dropped, the
    // connection reset, the disconnect reported later (as for a slow reader).
    void CloseDiscarding();
    // (The three, and every other way a socket is closed, are compared in
    // the table at the top of this file.)

    bool AllSent() const { return queue_.Empty(); }
    size_t BufferedBytes() const { return queue_.Pending(); }
    const TSendQueue& SendQueue() const { return queue_; }

    // Closes the connection if its queued output breaks the limits at `now`;
    // returns whether it did. Send, the flush and the server's slow-reader
    // timer call it.
    bool CheckSendLimits(TEventLoop::Clock::time_point now);
    // Above the soft limit since this moment (max() while not above it).
    TEventLoop::Clock::time_point OverSoftLimitSince() const { return over_soft_since_; }

    // Back-pressure on a peer: takes no input from it until `until` (the
    // loop's clock). Readability and the peer's close are not watched
    // meanwhile, and no data event is raised; sending goes on. At `until`
    // watching resumes and the data event is raised once, even when no new
    // byte has arrived, so a handler that stopped parsing its buffered input
    // picks it up again. Called from the data handler, it ends the receiving
    // loop after the handler returns. A hold already lasting longer stays as
    // it is. A peer that is gone (hang-up or socket error) while held is
    // closed as gone, its unread input dropped; a peer's orderly close is
    // seen once the hold ends. Closing the socket ends the hold.
    void HoldReadingUntil(TEventLoop::Clock::time_point until);
    bool ReadingHeld() const { return hold_timer_ != 0; }
    // When the hold ends; meaningful while ReadingHeld().
    TEventLoop::Clock::time_point HeldUntil() const { return held_until_; }

    TBgExceptionEvent OnBgException;

protected:
    // The readiness dispatch of the socket, run inside the guard.
    virtual void Dispatch(uint32_t events);
    // Data is readable: called once per round of the receiving loop. The
    // base reads up to 1024 bytes and drops them; returns false when the loop
    // must end.
    virtual bool TriggerDataAvailable(uint16_t error);
    // The socket became closed by Close, Abort, a vanished peer or a gone
    // connection, and the disconnect has to be reported.
    virtual void TriggerSessionClosed() {}
    // Queued output broke the send limits; called just before the close.
    virtual void TriggerSendOverflow(const std::string& /*reason*/) {}
    // Queued output went above the soft limit (the slow-reader clock starts).
    virtual void TriggerAboveSoftLimit() {}
    virtual const TSendLimits& SendLimits() const;

    // Runs fn inside the background-exception guard.
    template <typename F>
    void Guarded(F&& fn) {
        try {
            fn();
        } catch (const std::exception& e) {
            HandleBgException(e);
        } catch (...) {
            HandleBgException(Exception("Exception", "Unknown exception"));
        }
    }
    void HandleBgException(const std::exception& e);
    // Runs fn; an exception it raises is noted as an error of step (see
    // THandlerErrors) and goes no further. Returns whether fn completed.
    template <typename F>
    bool Noted(std::string_view step, F&& fn) {
        const int fd = fd_;  // fn may close the socket
        try {
            fn();
            return true;
        } catch (const std::exception& e) {
            NoteHandlerError(step, fd, &e);
        } catch (...) {
            NoteHandlerError(step, fd, nullptr);
        }
        return false;
    }
    void NoteHandlerError(std::string_view step, int fd, const std::exception* e);
    // Where this socket's caught errors are counted (a server's); null: nowhere.
    void SetHandlerErrors(THandlerErrors* errors) { handler_errors_ = errors; }
    // Who holds its descriptor after CloseAfterLastWords (a server's); null: nobody.
    void SetLastWords(TLastWords* lastWords) { last_words_ = lastWords; }

    // Raises ESocketException for error (a socket error number) in step; a
    // connection that is reset or not connected loses its socket first.
    [[noreturn]] void RaiseSocketError(int error, std::string_view step);
    [[noreturn]] void RaiseErrno(int err, std::string_view step) {
        RaiseSocketError(SocketErrorFromErrno(err), step);
    }

    // Takes over fd (non-blocking already) and watches it; a failed
    // registration is raised as a socket error in step.
    void AttachSocket(int fd, std::string_view step);
    void SetState(TSocketState s) { state_ = s; }
    void DiscardSendQueue() {
        queue_.Clear();
        AccountOutput();
    }
    // Keeps *total up to date with this socket's queued output (a server
    // keeps the sum over its connections); null stops it.
    void SetOutputAccount(size_t* total);
    // The interest the descriptor should have now.
    virtual uint32_t WantedInterest() const;
    void UpdateInterest();
    // Stops (or resumes) watching for readable data.
    void PauseReading(bool paused);
    bool ReadingPaused() const { return read_paused_; }

    enum class TLoopEnd { Drained, Closed, Bounded, Stalled, Dropped, Held };
    // The receiving loop: raises the data event while bytes remain, at most
    // kMaxRounds times per readiness event so one busy peer cannot starve the
    // others, and never while reading is held. Exceptions of the data
    // handler end it and are dropped.
    TLoopEnd ReceivingLoop(uint16_t error);
    static constexpr int kMaxRounds = 16;
    // The peer closed: deliver what is left, report once, then close.
    void PeerClosed();
    // Drains the send queue; raises "TryToSend failed" on an unexpected error.
    void TryToSend();
    // After queueing: account, enlist for the step's flush, check the limits.
    void Queued();
    void EnlistFlush();
    // Brings the output account in line with the queue.
    void AccountOutput() {
        const size_t pending = queue_.Pending();
        if (output_total_) {
            // The sum holds this socket's last share, so it can never lose more.
            assert(*output_total_ >= accounted_output_);
            *output_total_ += pending - accounted_output_;
            assert(*output_total_ >= pending);
        }
        accounted_output_ = pending;
    }
    // Closes quietly after a send found the connection gone (or the limits
    // were broken): drops the queue, closes, reports the disconnect.
    void CloseGone();
    // How the connection ends for the peer (see the table at the top).
    enum class TCloseEnd : uint8_t {
        FinFirst,   // shutdown(SHUT_WR), then close as linger is set
        AsSet,      // close as linger is set (linger 0: a reset alone)
        Orderly,    // linger turned off first: the FIN alone
        LastWords,  // shutdown(SHUT_WR), then held by last_words_ (else as FinFirst)
    };
    struct TCloseStyle {
        bool SendQueued = false;  // the queue goes to the kernel first; else it is dropped
        TCloseEnd End = TCloseEnd::FinFirst;
        bool Report = true;  // the disconnect is reported, once
    };
    // The one way a socket's descriptor is closed: sends or drops the queue,
    // ends the connection as style says, and leaves the socket wsClosed.
    // Returns the socket error of close (0: none); the socket is released
    // whatever it says.
    int CloseSocket(TCloseStyle style);
    // Number of bytes readable now; sets err (a socket error number) on failure.
    int ReadableCount(int& err) const;
    // Set whenever input is taken off the socket (stall detection).
    void NoteReceived() { received_ = true; }

    bool disconnect_reported_ = false;
    bool destroying_ = false;

private:
    void OnEvents(uint32_t events);
    // Unwatches and closes the descriptor (or hands it to keeper, which
    // closes it later); returns the socket error of close.
    int ReleaseSocket(bool shutdownFirst, TLastWords* keeper = nullptr);
    // The socket is gone: wsClosed, the queue dropped, and (with report) the
    // disconnect reported once.
    void FinishClose(bool report);
    // The hold's deadline: watch again and raise the data event once.
    void EndHold();
    void CancelHold();
    void FlushOutput() override;

    TEventLoop& loop_;
    int fd_ = -1;
    TSocketState state_ = wsClosed;
    bool read_paused_ = false;
    bool received_ = false;
    // The kernel refused part of the last flush: writability is watched and
    // new output waits for it.
    bool write_blocked_ = false;
    size_t flush_slot_ = TEventLoop::kNotEnlisted;
    size_t* output_total_ = nullptr;
    size_t accounted_output_ = 0;
    THandlerErrors* handler_errors_ = nullptr;
    TLastWords* last_words_ = nullptr;
    int last_error_ = 0;
    TSendQueue queue_;
    TEventLoop::TimerId hold_timer_ = 0;  // 0: reading not held
    TEventLoop::Clock::time_point held_until_{};
    TEventLoop::Clock::time_point over_soft_since_ = TEventLoop::Clock::time_point::max();
};

}  // namespace vistrel
