#include "web/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "base/ascii_case.h"
#include "base/whole_number.h"
#include "net/socket_address.h"

namespace vistrel {

namespace {

// Each connection's memory for its request head and its output; request
// heads beyond it are refused by the library itself (431).
constexpr size_t kConnectionMemory = size_t{32} << 10;
// How much a stream is asked for at a time.
constexpr size_t kStreamBlock = 4096;
// The buffer a body is sent through: large enough that sending costs few
// calls, small beside what a crowd of readers may hold.
constexpr size_t kBodyBlock = size_t{64} << 10;
// How often overdue request heads are looked for.
constexpr auto kHeadCheckInterval = std::chrono::milliseconds(250);
// The answer to a request head that did not come whole in time, written to
// the socket as it is: the library has nothing to send on a connection
// still reading a head.
constexpr std::string_view kHeadTimeoutAnswer =
    "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nContent-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\nContent-Length: 39\r\n\r\n{\"error\":\"request head took too long\"}\n";
// The longest wait our loop is told to keep for the library.
constexpr MHD_UNSIGNED_LONG_LONG kLongestWaitMs = 3600 * 1000;

std::string ErrorJson(std::string_view message) {
    // Our own texts only: nothing here needs escaping beyond quotes.
    std::string text = "{\"error\":\"";
    for (char c : message) {
        if (c == '"' || c == '\\') text += '\\';
        text += c;
    }
    text += "\"}\n";
    return text;
}

}  // namespace

bool ParseHttpListen(std::string_view text, THttpListen& out) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) return false;
    const std::string_view addr = text.substr(0, colon);
    // An IPv6 address is bracketed: its own colons are not the port's.
    const bool bracketed = WithoutBrackets(addr).size() != addr.size();
    TSocketAddress parsed;
    if (addr.empty() || !ParseIpAddress(addr, 0, parsed) || bracketed != (parsed.Family() == AF_INET6)) return false;
    uint64_t port = 0;
    if (!ParseWholeNumber(text.substr(colon + 1), port, 0, 65535)) return false;
    out.Addr = std::string(WithoutBrackets(addr));
    out.Port = static_cast<uint16_t>(port);
    return true;
}

bool IsLoopbackAddress(std::string_view addr) { return IsLoopbackIp(addr); }

const std::string* THttpRequest::Header(std::string_view name) const {
    for (const auto& [key, value] : Headers)
        if (EqualsIgnoringCase(key, name)) return &value;
    return nullptr;
}

const std::string* THttpRequest::QueryValue(std::string_view name) const {
    for (const auto& [key, value] : Query)
        if (key == name) return &value;
    return nullptr;
}

// What the server keeps per TCP connection: whether it is one of those
// served, its peer's address, and since when it owes a request head.
struct THttpServer::TConnectionState {
    MHD_Connection* Connection = nullptr;
    bool Admitted = false;
    std::string PeerAddr;
    bool InRequest = false;
    bool Expired = false;
    TEventLoop::Clock::time_point HeadSince{};
};

// What the server keeps per request while its body arrives.
struct THttpServer::TRequestState {
    THttpRequest Request;
    size_t HeaderBytes = 0;
};

// An answer's body being sent (a whole one, a THttpBody or a stream) and the
// connection it is sent on; what it holds is counted until the library frees
// it.
struct THttpServer::TBodyEntry {
    THttpServer* Server = nullptr;
    MHD_Connection* Connection = nullptr;
    std::string PeerAddr;
    std::string Whole;
    std::unique_ptr<THttpBody> Source;
    std::unique_ptr<THttpStream> Stream;
    size_t Held = 0;
    bool Suspended = false;
    bool Ending = false;
    // Closed over the budget: holds nothing from then on.
    bool Shed = false;
};

struct THttpServerCallbacks {
    static MHD_Result Access(void* cls, MHD_Connection* connection, const char* url, const char* method,
                             const char* /*version*/, const char* uploadData, size_t* uploadDataSize,
                             void** reqCls) {
        auto* server = static_cast<THttpServer*>(cls);
        return server->Access(connection, url, method, uploadData, uploadDataSize, reqCls) ? MHD_YES : MHD_NO;
    }

    static void Completed(void* cls, MHD_Connection* connection, void** reqCls, MHD_RequestTerminationCode /*toe*/) {
        delete static_cast<THttpServer::TRequestState*>(*reqCls);
        *reqCls = nullptr;
        // The next request head is owed from now on.
        auto* server = static_cast<THttpServer*>(cls);
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        if (auto* state = info ? static_cast<THttpServer::TConnectionState*>(info->socket_context) : nullptr) {
            state->InRequest = false;
            state->HeadSince = server->loop_.Now();
        }
    }

    static void Notice(void* cls, MHD_Connection* connection, void** socketContext,
                       MHD_ConnectionNotificationCode toe) {
        auto* server = static_cast<THttpServer*>(cls);
        if (toe == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* state = new THttpServer::TConnectionState;
            state->Connection = connection;
            state->HeadSince = server->loop_.Now();
            server->open_.push_back(state);
            server->ArmHeadCheck();
            ++server->connections_;
            state->Admitted = server->admitted_ < server->limits_.MaxConnections;
            if (state->Admitted) ++server->admitted_;
            const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
            if (info && info->client_addr) state->PeerAddr = AddressText(info->client_addr);
            *socketContext = state;
            return;
        }
        auto* state = static_cast<THttpServer::TConnectionState*>(*socketContext);
        if (server->connections_ > 0) --server->connections_;
        if (state) {
            if (state->Admitted && server->admitted_ > 0) --server->admitted_;
            std::erase(server->open_, state);
            delete state;
            *socketContext = nullptr;
        }
    }

    static ssize_t ReadWhole(void* cls, uint64_t pos, char* buf, size_t max) {
        auto* entry = static_cast<THttpServer::TBodyEntry*>(cls);
        if (entry->Shed || entry->Ending || pos >= entry->Whole.size()) return MHD_CONTENT_READER_END_WITH_ERROR;
        const size_t n = std::min<size_t>(max, entry->Whole.size() - static_cast<size_t>(pos));
        std::memcpy(buf, entry->Whole.data() + pos, n);
        return static_cast<ssize_t>(n);
    }

    static ssize_t ReadBody(void* cls, uint64_t pos, char* buf, size_t max) {
        auto* entry = static_cast<THttpServer::TBodyEntry*>(cls);
        if (entry->Shed || entry->Ending) return MHD_CONTENT_READER_END_WITH_ERROR;
        std::ptrdiff_t n = -1;
        try {
            n = entry->Source->Read(pos, buf, max);
        } catch (...) {
            n = -1;
        }
        if (n <= 0) return MHD_CONTENT_READER_END_WITH_ERROR;
        entry->Server->SetHeld(*entry, kBodyBlock + entry->Source->Holding());
        if (entry->Shed) return MHD_CONTENT_READER_END_WITH_ERROR;
        return static_cast<ssize_t>(std::min<size_t>(static_cast<size_t>(n), max));
    }

    static ssize_t Read(void* cls, uint64_t /*pos*/, char* buf, size_t max) {
        auto* entry = static_cast<THttpServer::TBodyEntry*>(cls);
        if (entry->Shed) return MHD_CONTENT_READER_END_WITH_ERROR;
        if (entry->Ending) return MHD_CONTENT_READER_END_OF_STREAM;
        std::ptrdiff_t n = THttpStream::kEnd;
        try {
            n = entry->Stream->Read(buf, max);
        } catch (...) {
            return MHD_CONTENT_READER_END_WITH_ERROR;
        }
        if (n > 0) return static_cast<ssize_t>(std::min<size_t>(static_cast<size_t>(n), max));
        if (n < 0) return MHD_CONTENT_READER_END_OF_STREAM;
        // A parked connection's reader is not watched: whether it has gone
        // is seen here, each time the stream is woken.
        if (const MHD_ConnectionInfo* info = MHD_get_connection_info(entry->Connection, MHD_CONNECTION_INFO_CONNECTION_FD)) {
            char byte = 0;
            const ssize_t peeked = recv(info->connect_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
            if (peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                return MHD_CONTENT_READER_END_WITH_ERROR;
        }
        // Nothing now: the connection is parked until WakeStreams, so the
        // library does not ask again at every round.
        MHD_suspend_connection(entry->Connection);
        entry->Suspended = true;
        return 0;
    }

    static void Free(void* cls) {
        auto* entry = static_cast<THttpServer::TBodyEntry*>(cls);
        THttpServer* server = entry->Server;
        server->SetHeld(*entry, 0);
        std::erase(server->bodies_, entry);
        std::erase(server->streams_, entry);
        delete entry;
    }

    static void Log(void* cls, const char* format, va_list args) {
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);
        std::string& last = static_cast<THttpServer*>(cls)->last_error_;
        last = text;
        while (!last.empty() && (last.back() == '\n' || last.back() == '\r' || last.back() == '.')) last.pop_back();
    }

    static MHD_Result CountHeader(void* cls, MHD_ValueKind /*kind*/, const char* key, size_t keySize,
                                  const char* value, size_t valueSize) {
        auto* state = static_cast<THttpServer::TRequestState*>(cls);
        state->HeaderBytes += keySize + valueSize + 4;  // ": " and CR LF
        state->Request.Headers.emplace_back(std::string(key, keySize),
                                            value ? std::string(value, valueSize) : std::string());
        return MHD_YES;
    }

    static MHD_Result AddArgument(void* cls, MHD_ValueKind /*kind*/, const char* key, size_t keySize,
                                  const char* value, size_t valueSize) {
        auto* state = static_cast<THttpServer::TRequestState*>(cls);
        state->Request.Query.emplace_back(std::string(key, keySize),
                                          value ? std::string(value, valueSize) : std::string());
        return MHD_YES;
    }
};

THttpServer::THttpServer(TEventLoop& loop, THandler handler, THttpLimits limits)
    : loop_(loop), handler_(std::move(handler)), limits_(limits) {}

THttpServer::~THttpServer() { Stop(); }

void THttpServer::Start(const THttpListen& listen, const THttpTls& tls) {
    if (daemon_) throw EHttpServerError("The HTTP server is already running");
    TSocketAddress sa;
    if (!ParseIpAddress(listen.Addr, listen.Port, sa))
        throw EHttpServerError("Cannot listen for HTTP on " + listen.Addr + ": not an IPv4 or IPv6 address");
    if (tls.On() && MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES)
        throw EHttpServerError("Cannot serve HTTPS: this libmicrohttpd was built without TLS");
    last_error_.clear();
    // External events with epoll: no thread of the library's own. Suspending
    // lets a stream with nothing to send cost nothing while it waits.
    unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (sa.Family() == AF_INET6) flags |= IsIpv6Any(listen.Addr) ? MHD_USE_DUAL_STACK : MHD_USE_IPv6;
    if (tls.On()) flags |= MHD_USE_TLS;
    // The key and certificate options are given only for TLS: the library
    // refuses them on a plain server. A null pointer ends the list early.
    const MHD_OptionItem tlsOptions[] = {
        {tls.On() ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, 0, const_cast<char*>(tls.CertPem.c_str())},
        {tls.On() ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, 0, const_cast<char*>(tls.KeyPem.c_str())},
        {MHD_OPTION_END, 0, nullptr},
    };
    // clang-format off
    daemon_ = MHD_start_daemon(
        flags, 0, nullptr, nullptr,
        &THttpServerCallbacks::Access, this,
        MHD_OPTION_SOCK_ADDR, sa.Raw(),
        // The connections past MaxConnections are taken only to be told 503.
        MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(limits_.MaxConnections * 2),
        MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(limits_.ConnectionTimeoutS),
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(limits_.MaxConnectionsPerAddress),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
        MHD_OPTION_LISTEN_BACKLOG_SIZE, 64u,
        MHD_OPTION_NOTIFY_CONNECTION, &THttpServerCallbacks::Notice, this,
        MHD_OPTION_NOTIFY_COMPLETED, &THttpServerCallbacks::Completed, this,
        MHD_OPTION_EXTERNAL_LOGGER, &THttpServerCallbacks::Log, this,
        MHD_OPTION_ARRAY, tlsOptions,
        MHD_OPTION_END);
    // clang-format on
    const std::string where = HostPort(listen.Addr, listen.Port);
    if (!daemon_) {
        // The library names the port it was given apart from the address,
        // which is 0 here; the address and port are ours to say.
        std::string why = last_error_;
        constexpr std::string_view kBindFailed = "Failed to bind to port ";
        if (why.rfind(kBindFailed, 0) == 0 && why.find(": ") != std::string::npos) why = why.substr(why.find(": ") + 2);
        const bool tlsRefused =
            tls.On() && (why.find("GnuTLS") != std::string::npos || why.find("TLS") != std::string::npos ||
                         why.find("certificate") != std::string::npos);
        if (tlsRefused)
            throw EHttpServerError("Cannot serve HTTPS on " + where + " with that certificate and key: " + why);
        throw EHttpServerError("Cannot listen for HTTP on " + where + (why.empty() ? std::string() : ": " + why));
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD);
    epoll_fd_ = info ? info->epoll_fd : -1;
    const int err = epoll_fd_ < 0 ? EBADF : loop_.Watch(epoll_fd_, TEventLoop::kReadable, [this](uint32_t) { RunNow(); });
    if (err != 0) {
        MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
        epoll_fd_ = -1;
        throw EHttpServerError("Cannot serve HTTP on " + where + ": " + std::strerror(err));
    }
    Rearm();
}

void THttpServer::Stop() {
    if (!daemon_) return;
    // Every parked connection is woken to end: the library must not be
    // stopped with a connection suspended.
    for (TBodyEntry* entry : streams_) {
        entry->Ending = true;
        if (entry->Suspended) {
            entry->Suspended = false;
            MHD_resume_connection(entry->Connection);
        }
    }
    loop_.Unwatch(epoll_fd_);
    if (deadline_ != 0) loop_.CancelTimer(deadline_);
    if (soon_ != 0) loop_.CancelTimer(soon_);
    if (head_check_ != 0) loop_.CancelTimer(head_check_);
    deadline_ = soon_ = head_check_ = 0;
    MHD_Daemon* daemon = daemon_;
    daemon_ = nullptr;
    MHD_stop_daemon(daemon);
    epoll_fd_ = -1;
}

uint16_t THttpServer::LocalPort() const {
    if (!daemon_) return 0;
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    return info ? info->port : 0;
}

void THttpServer::RunNow() {
    if (!daemon_ || in_run_) return;
    in_run_ = true;
    MHD_run(daemon_);
    in_run_ = false;
    if (daemon_) Rearm();
}

void THttpServer::Rearm() {
    if (deadline_ != 0) {
        loop_.CancelTimer(deadline_);
        deadline_ = 0;
    }
    MHD_UNSIGNED_LONG_LONG wait = 0;
    if (MHD_get_timeout(daemon_, &wait) != MHD_YES) return;
    const auto delay = std::chrono::milliseconds(std::min(wait, kLongestWaitMs));
    deadline_ = loop_.AddTimer(delay, [this] {
        deadline_ = 0;
        RunNow();
    });
}

void THttpServer::ScheduleRun() {
    if (soon_ != 0 || !daemon_) return;
    soon_ = loop_.AddTimer(std::chrono::milliseconds(0), [this] {
        soon_ = 0;
        RunNow();
    });
}

void THttpServer::WakeStreams() {
    bool woken = false;
    for (TBodyEntry* entry : streams_) {
        if (!entry->Suspended) continue;
        entry->Suspended = false;
        MHD_resume_connection(entry->Connection);
        woken = true;
    }
    if (woken) ScheduleRun();
}

bool THttpServer::Access(MHD_Connection* connection, const char* url, const char* method, const char* uploadData,
                         size_t* uploadDataSize, void** reqCls) {
    auto* state = static_cast<TRequestState*>(*reqCls);
    if (!state) {
        // The request head is complete: check it against the bounds before
        // any body is read.
        state = new TRequestState;
        *reqCls = state;
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        auto* conn = info ? static_cast<TConnectionState*>(info->socket_context) : nullptr;
        state->Request.Method = method ? method : "";
        state->Request.Path = url ? url : "";
        if (conn) state->Request.PeerAddr = conn->PeerAddr;
        if (conn) conn->InRequest = true;
        if (!conn || !conn->Admitted) return Refuse(connection, 503, "too many HTTP connections");
        state->HeaderBytes = state->Request.Method.size() + state->Request.Path.size() + 12;
        MHD_get_connection_values_n(connection, MHD_HEADER_KIND, &THttpServerCallbacks::CountHeader, state);
        if (state->HeaderBytes > limits_.MaxHeaderBytes) return Refuse(connection, 431, "request header too large");
        if (const std::string* length = state->Request.Header("Content-Length")) {
            uint64_t bytes = 0;
            if (!ParseWholeNumber(*length, bytes, 0, UINT64_MAX)) return Refuse(connection, 400, "bad Content-Length");
            if (bytes > limits_.MaxBodyBytes) return Refuse(connection, 413, "request body too large");
        }
        MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, &THttpServerCallbacks::AddArgument, state);
        return true;
    }
    if (*uploadDataSize > 0) {
        // A chunked body has no announced size: it is dropped with its
        // connection once it passes the bound.
        if (state->Request.Body.size() + *uploadDataSize > limits_.MaxBodyBytes) {
            ++refusals_;
            return false;
        }
        state->Request.Body.append(uploadData, *uploadDataSize);
        *uploadDataSize = 0;
        return true;
    }
    ++requests_;
    THttpResponse response;
    try {
        response = handler_(state->Request);
    } catch (const std::exception& e) {
        response = THttpResponse{};
        response.Status = 500;
        response.Body = ErrorJson("internal error");
    }
    return Queue(connection, std::move(response));
}

bool THttpServer::Refuse(MHD_Connection* connection, int status, std::string_view message) {
    ++refusals_;
    THttpResponse response;
    response.Status = status;
    response.Body = ErrorJson(message);
    return Queue(connection, std::move(response), true);
}

THttpResponse::THttpResponse(THttpResponse&& other) noexcept
    : Status(other.Status),
      ContentType(std::move(other.ContentType)),
      Body(std::move(other.Body)),
      Headers(std::move(other.Headers)),
      Stream(std::move(other.Stream)),
      Source(std::move(other.Source)),
      FileFd(std::exchange(other.FileFd, -1)),
      FileSize(other.FileSize),
      Route(other.Route) {}

THttpResponse& THttpResponse::operator=(THttpResponse&& other) noexcept {
    if (this == &other) return *this;
    if (FileFd >= 0) close(FileFd);
    Status = other.Status;
    ContentType = std::move(other.ContentType);
    Body = std::move(other.Body);
    Headers = std::move(other.Headers);
    Stream = std::move(other.Stream);
    Source = std::move(other.Source);
    FileFd = std::exchange(other.FileFd, -1);
    FileSize = other.FileSize;
    Route = other.Route;
    return *this;
}

THttpResponse::~THttpResponse() {
    if (FileFd >= 0) close(FileFd);
}

bool THttpServer::Queue(MHD_Connection* connection, THttpResponse response, bool closeAfter) {
    if (response.Stream && streams_.size() >= limits_.MaxStreams) {
        // Streams stay below the connection limit: status reads and
        // commands always find a connection.
        ++refusals_;
        THttpResponse refusal;
        refusal.Status = 503;
        refusal.Body = ErrorJson("too many streams");
        refusal.Headers.emplace_back("Retry-After", "10");
        refusal.Route = response.Route;
        return Queue(connection, std::move(refusal), true);
    }
    MHD_Response* made = nullptr;
    if (response.FileFd >= 0) {
        // The library sends the file with sendfile(2): the kernel reads it
        // and writes it to the socket; the descriptor is the library's now.
        made = MHD_create_response_from_fd64(response.FileSize, response.FileFd);
        if (!made) return false;
        response.FileFd = -1;
    } else {
        auto entry = std::make_unique<TBodyEntry>();
        entry->Server = this;
        entry->Connection = connection;
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        if (const auto* conn = info ? static_cast<const TConnectionState*>(info->socket_context) : nullptr)
            entry->PeerAddr = conn->PeerAddr;
        size_t held = 0;
        if (response.Stream) {
            entry->Stream = std::move(response.Stream);
            made = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamBlock, &THttpServerCallbacks::Read,
                                                     entry.get(), &THttpServerCallbacks::Free);
            held = kStreamBlock;
        } else if (response.Source) {
            entry->Source = std::move(response.Source);
            made = MHD_create_response_from_callback(entry->Source->Size(), kBodyBlock, &THttpServerCallbacks::ReadBody,
                                                     entry.get(), &THttpServerCallbacks::Free);
            held = kBodyBlock;
        } else {
            // Sent through a buffer of the library's from our copy, so that
            // what it holds is known until it is freed.
            entry->Whole = std::move(response.Body);
            const size_t block = std::clamp<size_t>(entry->Whole.size(), 1, kBodyBlock);
            made = MHD_create_response_from_callback(entry->Whole.size(), block, &THttpServerCallbacks::ReadWhole,
                                                     entry.get(), &THttpServerCallbacks::Free);
            held = entry->Whole.size() + block;
        }
        if (!made) return false;
        TBodyEntry* body = entry.release();
        bodies_.push_back(body);
        if (body->Stream) streams_.push_back(body);
        SetHeld(*body, held);
    }
    if (!response.ContentType.empty())
        MHD_add_response_header(made, MHD_HTTP_HEADER_CONTENT_TYPE, response.ContentType.c_str());
    // Nothing is kept by a cache unless the answer says how.
    bool cacheControl = false;
    for (const auto& header : response.Headers)
        if (EqualsIgnoringCase(header.first, MHD_HTTP_HEADER_CACHE_CONTROL)) cacheControl = true;
    if (!cacheControl) MHD_add_response_header(made, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(made, "X-Content-Type-Options", "nosniff");
    for (const auto& [name, value] : response.Headers) MHD_add_response_header(made, name.c_str(), value.c_str());
    if (closeAfter) MHD_add_response_header(made, MHD_HTTP_HEADER_CONNECTION, "close");
    request_counts_.Count(response.Route, response.Status);
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(response.Status), made);
    MHD_destroy_response(made);
    return queued == MHD_YES;
}

void THttpServer::SetHeld(TBodyEntry& entry, size_t bytes) {
    if (entry.Shed) bytes = 0;
    const bool grew = bytes > entry.Held;
    held_bytes_ = held_bytes_ - entry.Held + bytes;
    entry.Held = bytes;
    // The check may close this very answer (or any other): it runs once at
    // a time.
    if (grew && on_held_grew_ && !holding_check_) {
        holding_check_ = true;
        try {
            on_held_grew_();
        } catch (...) {
        }
        holding_check_ = false;
    }
}

size_t THttpServer::LargestHolder(std::string& who) const {
    const TBodyEntry* largest = nullptr;
    for (const TBodyEntry* entry : bodies_)
        if (!entry->Shed && entry->Held > 0 && (!largest || entry->Held > largest->Held)) largest = entry;
    if (!largest) return 0;
    who = "HTTP client " + largest->PeerAddr;
    return largest->Held;
}

void THttpServer::CloseLargestHolder() {
    TBodyEntry* largest = nullptr;
    for (TBodyEntry* entry : bodies_)
        if (!entry->Shed && entry->Held > 0 && (!largest || entry->Held > largest->Held)) largest = entry;
    if (!largest) return;
    SetHeld(*largest, 0);
    largest->Shed = true;
    if (largest->Suspended) {
        largest->Suspended = false;
        MHD_resume_connection(largest->Connection);
    }
    Abort(largest->Connection);
}

void THttpServer::Abort(MHD_Connection* connection) {
    if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD))
        shutdown(info->connect_fd, SHUT_RDWR);
    ScheduleRun();
}

void THttpServer::ArmHeadCheck() {
    if (head_check_ != 0 || !daemon_ || limits_.RequestHeadTimeoutS == 0) return;
    head_check_ = loop_.AddTimer(kHeadCheckInterval, [this] {
        head_check_ = 0;
        CheckHeads();
        if (!open_.empty()) ArmHeadCheck();
    });
}

void THttpServer::CheckHeads() {
    const auto now = loop_.Now();
    const auto limit = std::chrono::seconds(limits_.RequestHeadTimeoutS);
    for (TConnectionState* state : open_) {
        if (state->InRequest || state->Expired || now - state->HeadSince < limit) continue;
        // The inactivity timeout cannot see a head that trickles in a byte
        // at a time; the deadline is on the whole head.
        state->Expired = true;
        ++head_timeouts_;
        ++refusals_;
        request_counts_.Count({}, 408);
        const MHD_ConnectionInfo* tls = MHD_get_connection_info(state->Connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
        const MHD_ConnectionInfo* fd = MHD_get_connection_info(state->Connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (fd && !(tls && tls->tls_session))
            (void)send(fd->connect_fd, kHeadTimeoutAnswer.data(), kHeadTimeoutAnswer.size(),
                       MSG_DONTWAIT | MSG_NOSIGNAL);
        Abort(state->Connection);
    }
}

}  // namespace vistrel
