// Socket error reporting: ESocketException, the numbering of socket errors
// (10000 + the classic BSD number, as the messages and logs show them), their
// descriptions, and the message "Error N in function STEP" CR LF description.
// Used by the socket classes; the relay only reads the messages.
#pragma once

#include <string>
#include <string_view>

#include "base/exception.h"

namespace vistrel {

class ESocketException : public Exception {
public:
    // A misuse error: the bare text (for example "Cannot change Port if not closed").
    explicit ESocketException(const std::string& message, int errorCode = 0)
        : Exception("ESocketException", message), error_code_(errorCode) {}

    // The socket error number, 0 for a misuse error.
    int ErrorCode() const noexcept { return error_code_; }

private:
    int error_code_;
};

// Error numbers the layer tests for by name.
inline constexpr int kWsaEInval = 10022;
inline constexpr int kWsaEMFile = 10024;
inline constexpr int kWsaEWouldBlock = 10035;
inline constexpr int kWsaENotSock = 10038;
inline constexpr int kWsaEAddrInUse = 10048;
inline constexpr int kWsaEConnAborted = 10053;
inline constexpr int kWsaEConnReset = 10054;
inline constexpr int kWsaENotConn = 10057;
inline constexpr int kWsaEShutdown = 10058;
inline constexpr int kWsaNotInitialised = 10093;

// Maps a Linux errno onto the numbering above (EAGAIN -> 10035,
// EADDRINUSE -> 10048, ECONNRESET -> 10054, EPIPE -> 10058, ...). 0 stays 0;
// an errno without counterpart maps to 10000 + errno.
int SocketErrorFromErrno(int err);

// The description of an error number; "Not a WinSock error" for unknown ones.
std::string SocketErrorDesc(int error);

// "Error N in function STEP" CR LF description.
std::string SocketErrorMessage(int error, std::string_view step);

// Whether a failed send means the connection is gone (closed quietly, no
// error raised): reset, aborted, not connected, not a socket, invalid
// argument, and on Linux a broken pipe, a bad descriptor or a timed-out
// connection.
bool IsConnectionGone(int error);

}  // namespace vistrel
