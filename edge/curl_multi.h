// TCurlMulti: HTTP GET requests on the relay's own event loop, with no thread
// of our own. The protocol work is libcurl's, through its multi-socket
// interface: libcurl tells us which sockets to watch for what
// (CURLMOPT_SOCKETFUNCTION) and when it next needs to run
// (CURLMOPT_TIMERFUNCTION); our TEventLoop watches those sockets and keeps
// that deadline, and either runs curl_multi_socket_action, which never waits.
// (libcurl may resolve a host name on a thread of its own; an address in the
// URL needs none.)
//
// Every request has a timeout and a bound on its body: a body that grows
// past it ends the transfer, reported as too large. A request's answer is
// handed to its callback once, after the transfer has ended, from the loop.
//
// A request may instead stream its body to a reader of its own as it
// arrives (TChunk), which may take each piece, stop the transfer at once, or
// pause it until Resume: a paused transfer reads nothing more from its
// socket, so its peer feels the back-pressure and no byte piles up here.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/event_loop.h"

namespace vistrel {

// Why no answer came, as far as the metrics tell it apart.
enum class TFetchFailure : uint8_t {
    None,     // an answer came (or the body passed its bound: TooLarge)
    Connect,  // the origin could not be reached: no address, refused, TLS handshake failed
    Timeout,  // the request's timeout passed
    Other,    // the connection broke, or the transfer could not start
};

// How a request ended.
struct THttpFetch {
    // The HTTP status; 0 when no answer came (Error says why).
    long Status = 0;
    std::string Error;
    TFetchFailure Failure = TFetchFailure::None;
    // The body grew past the request's bound; the transfer was ended.
    bool TooLarge = false;
    std::string Body;
    // The answer's Cache-Control and ETag headers ("" when absent).
    std::string CacheControl;
    std::string ETag;
    // A streaming reader ended the transfer (Status is the answer's).
    bool Stopped = false;
};

// What a streaming reader does with the next piece of a body.
enum class TChunkAnswer { Take, Pause, Stop };

class TCurlMulti {
public:
    using TRequestId = uint64_t;
    using TDone = std::function<void(THttpFetch& fetch)>;
    // Called, from inside libcurl, with each piece of a 200 answer's body
    // (head: its status and headers); it must not start, cancel or resume
    // requests. A paused piece is offered again after Resume.
    using TChunk = std::function<TChunkAnswer(const THttpFetch& head, std::string_view bytes)>;

    explicit TCurlMulti(TEventLoop& loop);
    // Ends every transfer without calling back.
    ~TCurlMulti();
    TCurlMulti(const TCurlMulti&) = delete;
    TCurlMulti& operator=(const TCurlMulti&) = delete;

    // Starts GET url. headers: extra request headers ("Name: value").
    // chunk: the body of a 200 answer goes to it instead of Body.
    TRequestId Get(const std::string& url, std::chrono::milliseconds timeout, size_t maxBody, TDone done,
                   const std::vector<std::string>& headers = {}, TChunk chunk = {});
    // Ends a transfer without calling back; an unknown id is a no-op.
    void Cancel(TRequestId id);
    // Lets a paused transfer go on, from the loop right after this step's
    // work; an unknown or running one is a no-op.
    void Resume(TRequestId id);
    size_t InFlight() const noexcept { return transfers_.size(); }

private:
    struct TTransfer;
    friend struct TCurlCallbacks;

    // Runs libcurl for a socket's readiness (or its deadline), then hands
    // every ended transfer to its callback.
    void Action(int fd, int flags);
    void CollectEnded();
    void Forget(TTransfer& transfer);
    void ResumeDue();

    TEventLoop& loop_;
    void* multi_ = nullptr;  // CURLM
    TEventLoop::TimerId deadline_ = 0;
    TRequestId next_id_ = 1;
    std::map<TRequestId, std::unique_ptr<TTransfer>> transfers_;
    // Descriptors libcurl asked us to watch.
    std::map<int, uint32_t> watched_;
    // Deadlines answering requests that could not be started (0: run).
    std::vector<TEventLoop::TimerId> failed_timers_;
    // Paused transfers to let go on, and the deadline doing it (0: none).
    std::vector<TRequestId> resumes_;
    TEventLoop::TimerId resume_timer_ = 0;
};

}  // namespace vistrel
