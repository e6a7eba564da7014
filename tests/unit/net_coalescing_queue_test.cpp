// The send queue's shared and keyed packets: a newer packet of a key replaces
// one not yet begun, goes after everything queued before it, and nothing else
// is dropped or reordered; checked case by case and against a plain model
// under random appends, partial gathers and partial sends.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <utility>
#include <string>
#include <vector>

#include "net/send_queue.h"

namespace vistrel {
namespace {

TSharedBytes Shared(const std::string& text) { return TSharedBytes(text); }

// Everything the queue would hand to the kernel now, in order.
std::string Unsent(const TSendQueue& q, int max = 4096) {
    std::vector<iovec> iov(static_cast<size_t>(max));
    const int n = q.Gather(iov.data(), max);
    std::string out;
    for (int i = 0; i < n; ++i) out.append(static_cast<const char*>(iov[i].iov_base), iov[i].iov_len);
    return out;
}

TEST(SharedBytesTest, CopiesShareOneBufferUntilTheLastGoes) {
    TSharedBytes empty(std::string_view{});
    EXPECT_FALSE(empty);
    EXPECT_EQ(empty.Size(), 0u);
    EXPECT_EQ(empty.View(), "");
    EXPECT_EQ(empty.RefCount(), 0u);

    const std::string text("a\0b", 3);
    TSharedBytes one(text);
    EXPECT_EQ(one.View(), text);  // bytes, NULs included
    TSharedBytes two = one;
    EXPECT_EQ(two.Data(), one.Data());
    EXPECT_EQ(one.RefCount(), 2u);
    TSharedBytes three = std::move(two);
    EXPECT_FALSE(two);  // a moved-from buffer is empty
    EXPECT_EQ(one.RefCount(), 2u);
    three = TSharedBytes("other");
    EXPECT_EQ(one.RefCount(), 1u);
    EXPECT_EQ(three.View(), "other");
    const TSharedBytes& itself = one;
    one = itself;  // assigning a buffer to itself keeps it
    EXPECT_EQ(one.View(), text);
    EXPECT_EQ(one.RefCount(), 1u);
}

TEST(CoalescingQueueTest, ANewerKeyedPacketReplacesTheUnsentOneAndGoesLast) {
    TSendQueue q;
    q.Append("n1.");
    EXPECT_EQ(q.AppendShared(Shared("<game 7, 1 viewer>"), 7), 0u);
    q.Append("n2.");
    EXPECT_EQ(q.AppendShared(Shared("<game 8>"), 8), 0u);
    q.Append("n3.");
    EXPECT_EQ(q.AppendShared(Shared("<game 7, 2 viewers>"), 7), std::string("<game 7, 1 viewer>").size());
    EXPECT_EQ(Unsent(q), "n1.n2.<game 8>n3.<game 7, 2 viewers>");
    EXPECT_EQ(q.Pending(), Unsent(q).size());
    EXPECT_EQ(q.SharedCount(), 2u);

    // Without a key (0) nothing is replaced.
    q.AppendShared(Shared("<plain>"));
    q.AppendShared(Shared("<plain>"));
    EXPECT_EQ(Unsent(q), "n1.n2.<game 8>n3.<game 7, 2 viewers><plain><plain>");
}

TEST(CoalescingQueueTest, APacketBegunIsNeverReplaced) {
    TSendQueue q;
    q.AppendShared(Shared("ABCDEFGH"), 3);
    q.Consume(2);  // the kernel took "AB"
    q.Append("x");
    EXPECT_EQ(q.AppendShared(Shared("abcdefgh"), 3), 0u);
    EXPECT_EQ(Unsent(q), "CDEFGHxabcdefgh");
    // The unbegun one is the one a third replaces.
    EXPECT_EQ(q.AppendShared(Shared("12345678"), 3), 8u);
    EXPECT_EQ(Unsent(q), "CDEFGHx12345678");
    q.Consume(q.Pending());
    EXPECT_TRUE(q.Empty());
    EXPECT_EQ(q.ChunkCount(), 0u);  // an idle queue keeps no memory
    EXPECT_EQ(q.SharedCount(), 0u);
}

TEST(CoalescingQueueTest, SharedBytesAreReferencedNotCopied) {
    const TSharedBytes packet = Shared(std::string(5000, 'p'));
    EXPECT_EQ(packet.RefCount(), 1u);
    TSendQueue a, b;
    a.Append("head");
    a.AppendShared(packet, 1);
    b.AppendShared(packet, 1);
    iovec iov[4];
    ASSERT_EQ(a.Gather(iov, 4), 2);
    EXPECT_EQ(iov[1].iov_base, packet.Data());
    ASSERT_EQ(b.Gather(iov, 4), 1);
    EXPECT_EQ(iov[0].iov_base, packet.Data());
    EXPECT_EQ(packet.RefCount(), 3u);
    a.Clear();
    b.Consume(5000);
    EXPECT_EQ(packet.RefCount(), 1u);  // released once sent or dropped
}

TEST(CoalescingQueueTest, CopiedRunsAroundASharedPacketSplitTheirChunk) {
    TSendQueue q(8);  // tiny chunks: runs end inside and across chunks
    q.Append("abcde");
    q.AppendShared(Shared("[S1]"), 1);
    q.Append("fghijklmn");
    q.AppendShared(Shared("[S2]"), 2);
    q.Append("op");
    EXPECT_EQ(Unsent(q), "abcde[S1]fghijklmn[S2]op");
    EXPECT_EQ(Unsent(q, 3), "abcde[S1]fgh");  // bounded by the caller's array
    q.Consume(6);                              // into the first shared packet
    EXPECT_EQ(Unsent(q), "S1]fghijklmn[S2]op");
    EXPECT_EQ(q.AppendShared(Shared("[S1']"), 1), 0u);  // S1 has begun
    EXPECT_EQ(q.AppendShared(Shared("[S2']"), 2), 4u);  // S2 has not
    EXPECT_EQ(Unsent(q), "S1]fghijklmnop[S1'][S2']");
    EXPECT_EQ(q.Pending(), Unsent(q).size());
}

// The model: whole pieces in order, each with its key and how much of it
// has gone.
struct TModelPiece {
    std::string Bytes;
    uint64_t Key;
    size_t Sent = 0;
};

TEST(CoalescingQueueTest, AgreesWithAPlainModelUnderRandomUse) {
    std::mt19937 random(20240607);
    for (int round = 0; round < 200; ++round) {
        TSendQueue q(8 + static_cast<int>(random() % 40));
        std::vector<TModelPiece> model;
        std::string sentByQueue, sentByModel;
        for (int op = 0; op < 300; ++op) {
            const unsigned what = random() % 10;
            if (what < 4) {
                std::string bytes(1 + random() % 60, static_cast<char>('a' + random() % 26));
                q.Append(bytes);
                model.push_back({bytes, 0});
            } else if (what < 7) {
                const uint64_t key = random() % 4;  // 0: no key
                std::string bytes = "<" + std::to_string(key) + ":" + std::to_string(op) + ">";
                size_t expectDropped = 0;
                if (key != 0) {
                    for (size_t i = model.size(); i-- > 0;) {
                        if (model[i].Key != key) continue;
                        if (model[i].Sent == 0) {
                            expectDropped = model[i].Bytes.size();
                            model.erase(model.begin() + static_cast<std::ptrdiff_t>(i));
                        }
                        break;
                    }
                }
                EXPECT_EQ(q.AppendShared(Shared(bytes), key), expectDropped);
                model.push_back({bytes, key});
            } else {
                // The kernel takes part of what one gather offers.
                const int max = 1 + static_cast<int>(random() % 6);
                std::string offered = Unsent(q, max);
                size_t n = offered.empty() ? 0 : random() % (offered.size() + 1);
                sentByQueue += offered.substr(0, n);
                q.Consume(n);
                for (size_t left = n; left > 0;) {
                    TModelPiece& front = model.front();
                    const size_t take = std::min(left, front.Bytes.size() - front.Sent);
                    sentByModel += front.Bytes.substr(front.Sent, take);
                    front.Sent += take;
                    left -= take;
                    if (front.Sent == front.Bytes.size()) model.erase(model.begin());
                }
            }
            std::string unsentModel;
            for (const TModelPiece& p : model) unsentModel += p.Bytes.substr(p.Sent);
            ASSERT_EQ(Unsent(q), unsentModel) << "round " << round << " op " << op;
            ASSERT_EQ(q.Pending(), unsentModel.size());
            ASSERT_EQ(sentByQueue, sentByModel);
        }
    }
}

}  // namespace
}  // namespace vistrel
