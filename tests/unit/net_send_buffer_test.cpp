// The send queue's chunking and accounting, and the socket error texts.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "net/send_queue.h"
#include "net/socket_exception.h"

namespace vistrel {
namespace {

TEST(TBufferTest, WritePeekRemoveFollowTheCounts) {
    TBuffer chunk(0);  // 0 or less means the default size
    EXPECT_EQ(chunk.Size(), 1514);
    EXPECT_EQ(TBuffer(-3).Size(), 1514);

    std::string big(2000, 'x');
    EXPECT_EQ(chunk.Write(big), 1514);
    EXPECT_EQ(chunk.Write("more"), 0);  // full: takes nothing
    EXPECT_EQ(chunk.Peek().size(), 1514u);

    EXPECT_EQ(chunk.Remove(1000), 1000);
    EXPECT_EQ(chunk.Peek().size(), 514u);
    EXPECT_EQ(chunk.Write("y"), 0);  // reading does not free space before the end
    EXPECT_EQ(chunk.Remove(9999), 514);  // at most the unread bytes
    // All read: both counts are back at 0, the whole chunk is free again.
    EXPECT_EQ(chunk.Unread(), 0);
    EXPECT_EQ(chunk.FreeSpace(), 1514);
    EXPECT_EQ(chunk.Write("abc"), 3);
    EXPECT_EQ(chunk.Peek(), "abc");
}

TEST(TSendQueueTest, FourThousandBytesMakeThreeChunks) {
    TSendQueue q;
    EXPECT_EQ(q.ChunkCount(), 0u);  // nothing allocated while empty
    std::string data(4000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    q.Append(data);
    ASSERT_EQ(q.ChunkCount(), 3u);
    EXPECT_EQ(q.Chunk(0).Unread(), 1514);
    EXPECT_EQ(q.Chunk(1).Unread(), 1514);
    EXPECT_EQ(q.Chunk(2).Unread(), 972);
    EXPECT_EQ(q.Pending(), 4000u);

    // The next string goes first into the last chunk's free space.
    q.Append(std::string(600, 'z'));
    ASSERT_EQ(q.ChunkCount(), 4u);
    EXPECT_EQ(q.Chunk(2).Unread(), 1514);
    EXPECT_EQ(q.Chunk(3).Unread(), 58);

    // Gather hands out the bytes in order; Consume drops what was sent.
    iovec iov[8];
    ASSERT_EQ(q.Gather(iov, 8), 4);
    std::string joined;
    for (auto& v : iov) {
        if (&v - iov >= 4) break;
        joined.append(static_cast<char*>(v.iov_base), v.iov_len);
    }
    EXPECT_EQ(joined, data + std::string(600, 'z'));
    EXPECT_EQ(q.Gather(iov, 2), 2);  // bounded by the caller's array

    q.Consume(1514 + 100);
    EXPECT_EQ(q.ChunkCount(), 3u);
    EXPECT_EQ(q.Chunk(0).Peek(), data.substr(1614, 1414));
    q.Consume(q.Pending());
    EXPECT_TRUE(q.Empty());
    EXPECT_EQ(q.ChunkCount(), 0u);  // an idle queue keeps no memory
}

TEST(SocketErrorTest, MessagesAndNumbering) {
    EXPECT_EQ(SocketErrorMessage(10057, "Send"), "Error 10057 in function Send\r\nSocket is not connected");
    EXPECT_EQ(SocketErrorMessage(10048, "Bind"), "Error 10048 in function Bind\r\nAddress already in use");
    EXPECT_EQ(SocketErrorDesc(0), "No Error");
    EXPECT_EQ(SocketErrorDesc(11004), "No Data");
    EXPECT_EQ(SocketErrorDesc(10032), "Not a WinSock error");

    EXPECT_EQ(SocketErrorFromErrno(EAGAIN), 10035);
    EXPECT_EQ(SocketErrorFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(SocketErrorFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(SocketErrorFromErrno(ENOTCONN), 10057);
    EXPECT_EQ(SocketErrorFromErrno(EMFILE), 10024);
    EXPECT_EQ(SocketErrorFromErrno(ENFILE), 10024);

    // Every way Linux says "that connection is gone" is quiet, would-block is not.
    for (int err : {ECONNRESET, EPIPE, ENOTCONN, ECONNABORTED, EINVAL, ENOTSOCK, EBADF, ETIMEDOUT})
        EXPECT_TRUE(IsConnectionGone(SocketErrorFromErrno(err))) << err;
    EXPECT_FALSE(IsConnectionGone(SocketErrorFromErrno(EAGAIN)));
    EXPECT_FALSE(IsConnectionGone(SocketErrorFromErrno(ENOBUFS)));

    ESocketException e(SocketErrorMessage(10054, "Send"), 10054);
    EXPECT_EQ(e.ErrorCode(), 10054);
    EXPECT_EQ(DescribeException(e), "ESocketException: Error 10054 in function Send\r\nConnection reset by peer");
    EXPECT_EQ(DescribeException(ESocketException("Cannot change Port if not closed")),
              "ESocketException: Cannot change Port if not closed");
}

}  // namespace
}  // namespace vistrel
