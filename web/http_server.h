// THttpServer: an HTTP/1.1 server on the relay's own event loop, with no
// thread of its own. The protocol work is libmicrohttpd's, run in its
// external-event mode: its epoll descriptor is watched by our TEventLoop, and
// the deadline it asks for (its connection timeouts) is one of our loop's
// deadlines; every readiness or deadline runs one non-blocking MHD_run.
//
// The server bounds what a stranger can make it hold: request headers
// (MaxHeaderBytes, else 431), request bodies (MaxBodyBytes, else 413, or the
// connection is dropped when a chunked body grows past it), concurrent
// connections (MaxConnections are served; the next ones are answered 503 and
// closed; beyond twice as many, connections are closed at once; one address
// has at most MaxConnectionsPerAddress, the next are closed at once), request
// heads (one not whole within RequestHeadTimeoutS seconds of its
// connection's start or of the previous answer is answered 408 and closed,
// however steadily it trickles), idle connections (closed after
// ConnectionTimeoutS seconds without progress), and streams (at most
// MaxStreams, so other requests always keep a connection; the next are
// answered 503).
//
// Answers are made by one handler for every request. A response either
// carries its whole body, a body made as it is sent from memory it does not
// copy up front (THttpBody), a file, or a stream (THttpStream) that produces
// the body while it is being sent: a stream that has nothing to give parks
// its connection (suspended, costing nothing) until WakeStreams().
//
// What the answers hold (a whole body, the buffer a body is sent through,
// the stored packets a body keeps alive) is counted as the connection
// buffers (TBufferHolders): the relay's budget closes the largest holder.
//
// Owned by TWebApi; must not outlive its loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/exception.h"
#include "net/event_loop.h"
#include "relay/buffer_holders.h"
#include "web/http_request_counts.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace vistrel {

// Starting the server failed (the address cannot be used, the port is taken).
class EHttpServerError : public Exception {
public:
    explicit EHttpServerError(const std::string& message) : Exception("EHttpServerError", message) {}
};

// Where the server listens: an IPv4 or IPv6 address (without brackets; ::
// takes IPv4 peers too) and a port (0: any free port).
struct THttpListen {
    std::string Addr = "127.0.0.1";
    uint16_t Port = 38964;
};
inline constexpr uint16_t kDefaultHttpPort = 38964;

// Reads "ADDR:PORT" (a dotted IPv4 address or a bracketed IPv6 one, a port
// 0..65535). False for anything else; out is left alone then.
bool ParseHttpListen(std::string_view text, THttpListen& out);
// Whether addr is a loopback address (127.x.x.x, ::1).
bool IsLoopbackAddress(std::string_view addr);

// The certificate (chain) and private key the server answers HTTPS with,
// PEM text. Both empty: plain HTTP.
struct THttpTls {
    std::string CertPem;
    std::string KeyPem;
    bool On() const { return !CertPem.empty() || !KeyPem.empty(); }
};

struct THttpLimits {
    size_t MaxHeaderBytes = size_t{8} << 10;
    size_t MaxBodyBytes = size_t{64} << 10;
    unsigned MaxConnections = 64;
    unsigned ConnectionTimeoutS = 10;
    // 0: no limit.
    unsigned MaxConnectionsPerAddress = 16;
    unsigned RequestHeadTimeoutS = 10;
    unsigned MaxStreams = 16;
};

struct THttpRequest {
    std::string Method;
    std::string Path;  // without the query
    std::string PeerAddr;
    std::vector<std::pair<std::string, std::string>> Query;    // decoded
    std::vector<std::pair<std::string, std::string>> Headers;  // names as sent
    std::string Body;

    // The first header of that name (any case), or null.
    const std::string* Header(std::string_view name) const;
    // The first query argument of that name, or null.
    const std::string* QueryValue(std::string_view name) const;
};

// A response body made while it is sent (sent chunked).
class THttpStream {
public:
    static constexpr std::ptrdiff_t kEnd = -1;
    virtual ~THttpStream() = default;
    // Writes at most max bytes into buf and returns how many; 0 when there is
    // nothing to send now (the connection then waits for WakeStreams); kEnd
    // to finish the body.
    virtual std::ptrdiff_t Read(char* buf, size_t max) = 0;
};

// A response body of known length made while it is sent, from memory it
// shares rather than copies (a segment from the stored packets).
class THttpBody {
public:
    virtual ~THttpBody() = default;
    virtual uint64_t Size() const noexcept = 0;
    // Writes the body's bytes from pos on (each call goes on where the last
    // ended) into buf, at most max, and returns how many (at least 1), or -1
    // when the body can no longer be made: the connection is then closed, so
    // no reader takes a short body for a whole one.
    virtual std::ptrdiff_t Read(uint64_t pos, char* buf, size_t max) = 0;
    // What it keeps alive for the sending now (counted as the connection's).
    virtual size_t Holding() const noexcept = 0;
};

// Every answer carries "Cache-Control: no-store" unless Headers gives a
// Cache-Control of its own.
struct THttpResponse {
    int Status = 200;
    std::string ContentType = "application/json; charset=utf-8";
    std::string Body;
    std::vector<std::pair<std::string, std::string>> Headers;
    // When set, the body is this stream's and Body is not sent.
    std::unique_ptr<THttpStream> Stream;
    // When set (and no Stream), the body is this one's and Body is not sent.
    std::unique_ptr<THttpBody> Source;
    // When 0 or more, the body is the first FileSize bytes of this open
    // file, sent by the kernel from the file to the socket; the response
    // takes the descriptor over and closes it.
    int FileFd = -1;
    uint64_t FileSize = 0;
    // The route table's pattern of the row that answered, for the request
    // counts; empty: none did. Names a row of a table that lives as long as
    // the program.
    std::string_view Route;

    THttpResponse() = default;
    THttpResponse(THttpResponse&& other) noexcept;
    THttpResponse& operator=(THttpResponse&& other) noexcept;
    ~THttpResponse();
};

class THttpServer : public TBufferHolders {
public:
    using THandler = std::function<THttpResponse(const THttpRequest&)>;

    THttpServer(TEventLoop& loop, THandler handler, THttpLimits limits = {});
    ~THttpServer() override;
    THttpServer(const THttpServer&) = delete;
    THttpServer& operator=(const THttpServer&) = delete;

    // Listens and starts serving (over TLS when tls is on, through the
    // library's own GnuTLS); raises EHttpServerError, for a certificate or a
    // key the library refuses too.
    void Start(const THttpListen& listen, const THttpTls& tls = {});
    // Ends every stream, closes every connection and the listener.
    void Stop();
    bool Running() const noexcept { return daemon_ != nullptr; }
    // The bound port (after Start), so a server can listen on port 0.
    uint16_t LocalPort() const;

    // Every parked stream is asked for data again.
    void WakeStreams();

    const THttpLimits& Limits() const noexcept { return limits_; }
    // Open connections, those being served, and streams being sent.
    unsigned Connections() const noexcept { return connections_; }
    unsigned AdmittedConnections() const noexcept { return admitted_; }
    size_t Streams() const noexcept { return streams_.size(); }
    // Requests answered by the handler, and requests refused by the bounds.
    uint64_t Requests() const noexcept { return requests_; }
    uint64_t Refusals() const noexcept { return refusals_; }
    // Every answer queued (and each 408), by route and status.
    const THttpRequestCounts& RequestCounts() const noexcept { return request_counts_; }

    // One round of protocol work now (the loop does it on readiness and at
    // the deadline; tests may call it).
    void RunNow();

    // TBufferHolders: what the answers being sent hold; the largest holder
    // is named "HTTP client ADDR" and closed at once.
    size_t HeldBytes() const noexcept override { return held_bytes_; }
    size_t LargestHolder(std::string& who) const override;
    void CloseLargestHolder() override;
    // Called when what the answers hold has grown (the relay checks its
    // budget).
    void SetOnHeldGrew(std::function<void()> onHeldGrew) { on_held_grew_ = std::move(onHeldGrew); }
    // Request heads answered 408.
    uint64_t HeadTimeouts() const noexcept { return head_timeouts_; }

private:
    struct TConnectionState;
    struct TRequestState;
    struct TBodyEntry;

    // The library's callbacks (http_server.cpp), with the library's types.
    friend struct THttpServerCallbacks;

    // Each returns whether the connection goes on.
    bool Access(MHD_Connection* connection, const char* url, const char* method, const char* uploadData,
                size_t* uploadDataSize, void** reqCls);
    // Queues an answer of the server's own (a refusal), closing afterwards.
    bool Refuse(MHD_Connection* connection, int status, std::string_view message);
    bool Queue(MHD_Connection* connection, THttpResponse response, bool closeAfter = false);
    void Rearm();
    void ScheduleRun();
    // What a body entry holds is now bytes.
    void SetHeld(TBodyEntry& entry, size_t bytes);
    // Ends a connection from outside the library's callbacks: its socket is
    // shut down, which the library's next round sees.
    void Abort(MHD_Connection* connection);
    // Answers 408 to each connection whose request head is overdue.
    void CheckHeads();
    void ArmHeadCheck();

    TEventLoop& loop_;
    THandler handler_;
    THttpLimits limits_;
    MHD_Daemon* daemon_ = nullptr;
    int epoll_fd_ = -1;
    TEventLoop::TimerId deadline_ = 0;
    TEventLoop::TimerId soon_ = 0;
    bool in_run_ = false;
    unsigned connections_ = 0;
    unsigned admitted_ = 0;
    uint64_t requests_ = 0;
    uint64_t refusals_ = 0;
    uint64_t head_timeouts_ = 0;
    THttpRequestCounts request_counts_;
    // Every open connection, every answer body being sent, and those of them
    // that are streams.
    std::vector<TConnectionState*> open_;
    std::vector<TBodyEntry*> bodies_;
    std::vector<TBodyEntry*> streams_;
    size_t held_bytes_ = 0;
    std::function<void()> on_held_grew_;
    bool holding_check_ = false;
    TEventLoop::TimerId head_check_ = 0;
    std::string last_error_;  // the library's last message, for start errors
};

}  // namespace vistrel
