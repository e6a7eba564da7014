#include "testing/http_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/ascii_case.h"
#include "base/whole_number.h"
#include "client/tcp_connect.h"

namespace vistrel::testing {

const std::string* THttpReply::Header(std::string_view name) const {
    for (const auto& [key, value] : Headers)
        if (EqualsIgnoringCase(key, name)) return &value;
    return nullptr;
}

std::string HttpRequestText(std::string_view method, std::string_view target, const THeaderList& headers,
                            std::string_view body) {
    std::string text = std::string(method) + " " + std::string(target) + " HTTP/1.1\r\n";
    bool host = false;
    for (const auto& [name, value] : headers) host = host || EqualsIgnoringCase(name, "Host");
    if (!host) text += "Host: 127.0.0.1\r\n";
    for (const auto& [name, value] : headers) text += name + ": " + value + "\r\n";
    if (!body.empty() || method == "POST") text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    text += "\r\n";
    text += body;
    return text;
}

std::string BasicAuthorization(std::string_view user, std::string_view password) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string plain = std::string(user) + ":" + std::string(password);
    std::string out = "Basic ";
    size_t i = 0;
    for (; i + 2 < plain.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(plain[i]) << 16) |
                           (static_cast<unsigned char>(plain[i + 1]) << 8) | static_cast<unsigned char>(plain[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (plain.size() - i == 1) {
        const unsigned v = static_cast<unsigned char>(plain[i]) << 16;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (plain.size() - i == 2) {
        const unsigned v = (static_cast<unsigned char>(plain[i]) << 16) | (static_cast<unsigned char>(plain[i + 1]) << 8);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

THttpClient::THttpClient(uint16_t port, const std::string& address, const std::string& source) {
    if (!source.empty()) {
        sockaddr_in from{};
        sockaddr_in to{};
        from.sin_family = to.sin_family = AF_INET;
        to.sin_port = htons(port);
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        if (fd_ >= 0) setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (fd_ < 0 || inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1 ||
            inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1 ||
            bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
            connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            Close();
            return;
        }
        fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
        return;
    }
    client::TConnectOptions options;
    options.Address = address;
    options.NoDelay = true;
    fd_ = client::ConnectTcp(port, options);
}

bool THttpClient::Send(std::string_view data) {
    outbox_ += data;
    Pump();
    return !failed_;
}

void THttpClient::Pump() {
    if (fd_ >= 0 && !failed_ && !client::SendFromOutbox(fd_, outbox_)) failed_ = true;
    while (fd_ >= 0 && !ended_) {
        char buf[16384];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n > 0) {
            in_.append(buf, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) ended_ = true;
            break;
        }
    }
}

bool THttpClient::Parse(THttpReply& reply, size_t& wholeSize) const {
    wholeSize = 0;
    const size_t headEnd = in_.find("\r\n\r\n");
    if (headEnd == std::string::npos) return false;
    reply = THttpReply{};
    const std::string_view head(in_.data(), headEnd);
    const size_t lineEnd = head.find("\r\n");
    const std::string_view statusLine = head.substr(0, lineEnd);
    const size_t space = statusLine.find(' ');
    if (space == std::string_view::npos) return false;
    if (!ParseWholeNumber(statusLine.substr(space + 1, 3), reply.Status)) return false;
    size_t at = lineEnd == std::string_view::npos ? head.size() : lineEnd + 2;
    while (at < head.size()) {
        size_t end = head.find("\r\n", at);
        if (end == std::string_view::npos) end = head.size();
        const std::string_view line = head.substr(at, end - at);
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos) {
            std::string_view value = line.substr(colon + 1);
            while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
            reply.Headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
        }
        at = end + 2;
    }
    const size_t bodyStart = headEnd + 4;
    const std::string* encoding = reply.Header("Transfer-Encoding");
    if (encoding && EqualsIgnoringCase(*encoding, "chunked")) {
        size_t pos = bodyStart;
        for (;;) {
            const size_t sizeEnd = in_.find("\r\n", pos);
            if (sizeEnd == std::string::npos) return true;
            size_t size = 0;
            if (!ParseHexNumber(std::string_view(in_).substr(pos, sizeEnd - pos), size)) return false;
            if (size == 0) {
                // The last chunk, then (no trailers) an empty line.
                if (in_.size() >= sizeEnd + 4) wholeSize = sizeEnd + 4;
                return true;
            }
            if (in_.size() < sizeEnd + 2 + size + 2) {
                reply.Body += in_.substr(sizeEnd + 2, std::min(size, in_.size() - (sizeEnd + 2)));
                return true;
            }
            reply.Body += in_.substr(sizeEnd + 2, size);
            pos = sizeEnd + 2 + size + 2;
        }
    }
    if (const std::string* length = reply.Header("Content-Length")) {
        size_t size = 0;
        if (!ParseWholeNumber(*length, size)) return false;
        reply.Body = in_.substr(bodyStart, size);
        if (in_.size() >= bodyStart + size) wholeSize = bodyStart + size;
        return true;
    }
    reply.Body = in_.substr(bodyStart);
    if (ended_) wholeSize = in_.size();
    return true;
}

bool THttpClient::HasReply() const {
    THttpReply reply;
    size_t whole = 0;
    return Parse(reply, whole) && whole > 0;
}

THttpReply THttpClient::TakeReply() {
    THttpReply reply;
    size_t whole = 0;
    if (!Parse(reply, whole) || whole == 0) return THttpReply{};
    in_.erase(0, whole);
    return reply;
}

bool THttpClient::PeekReply(THttpReply& reply) const {
    size_t whole = 0;
    return Parse(reply, whole);
}

void THttpClient::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

}  // namespace vistrel::testing
