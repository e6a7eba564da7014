// THttpClient: a plain-socket HTTP/1.1 client for tests of the relay's HTTP
// side. Like TRelayClient it never blocks: Send queues, Pump flushes and
// reads what has arrived, so a test steps the relay's loop in between. It
// reads responses framed by Content-Length, by chunks, or by the end of the
// connection, and can read a chunked body while it is still arriving (an
// event stream).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vistrel::testing {

using THeaderList = std::vector<std::pair<std::string, std::string>>;

struct THttpReply {
    int Status = 0;
    THeaderList Headers;
    std::string Body;
    // The first header of that name (any case), or null.
    const std::string* Header(std::string_view name) const;
};

// A request's text: the request line, Host (unless given), the headers given, and
// Content-Length when there is a body.
std::string HttpRequestText(std::string_view method, std::string_view target, const THeaderList& headers = {},
                            std::string_view body = {});
// The value of an Authorization header for HTTP Basic authentication.
std::string BasicAuthorization(std::string_view user, std::string_view password);

class THttpClient {
public:
    // source: the local address to connect from (a 127.x.x.x one stands for
    // another peer on loopback); empty: the kernel's choice.
    explicit THttpClient(uint16_t port, const std::string& address = "127.0.0.1", const std::string& source = "");
    ~THttpClient() { Close(); }
    THttpClient(const THttpClient&) = delete;
    THttpClient& operator=(const THttpClient&) = delete;

    bool Connected() const { return fd_ >= 0 || ended_; }
    // Queues data and writes what the kernel takes now; false once writing failed.
    bool Send(std::string_view data);
    // Flushes what is queued, then reads everything there is.
    void Pump();
    // The server closed the connection (or reading failed).
    bool Ended() const { return ended_; }
    // Everything received and not taken.
    const std::string& Received() const { return in_; }

    // A whole response at the front of what was received.
    bool HasReply() const;
    // That response, taken off; Status 0 when there is none.
    THttpReply TakeReply();
    // The head of the response at the front, once it is complete; body
    // receives its body as far as it has arrived (chunks decoded).
    bool PeekReply(THttpReply& reply) const;

    void Close();

private:
    // The response at the front: its head, its body so far, the bytes it
    // takes when complete (0 while incomplete).
    bool Parse(THttpReply& reply, size_t& wholeSize) const;

    int fd_ = -1;
    bool ended_ = false;
    bool failed_ = false;
    std::string outbox_;
    std::string in_;
};

}  // namespace vistrel::testing
