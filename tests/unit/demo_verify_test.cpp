#include "core/demo_verify.h"

#include <gtest/gtest.h>

#include "tests/unit/zlib_payloads.h"

namespace vistrel {
namespace {

using testing::Crc;
using testing::Deflate;
using testing::RandomBytes;
using testing::SemiCompressible;
using testing::StoredStream;

constexpr size_t kPiece = TZLib::kPieceSize;

// Everything a plain inflate produces from the bytes present (no piece rules).
std::string InflateAll(std::string_view payload) {
    z_stream s{};
    inflateInit(&s);
    std::string out;
    char buf[4096];
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(payload.data()));
    s.avail_in = static_cast<uInt>(payload.size());
    for (;;) {
        s.next_out = reinterpret_cast<Bytef*>(buf);
        s.avail_out = sizeof buf;
        int rc = inflate(&s, Z_SYNC_FLUSH);
        out.append(buf, sizeof buf - s.avail_out);
        if (rc != Z_OK || (s.avail_in == 0 && s.avail_out != 0)) break;
    }
    inflateEnd(&s);
    return out;
}

void ExpectError(std::string_view payload, uint32_t check, const std::string& text) {
    try {
        VerifyDemoPayload(payload, check);
        ADD_FAILURE() << "no error, expected " << text;
    } catch (const EZLibException& e) {
        EXPECT_EQ(DescribeException(e), "EZLibException: Error in Archiving Routines: " + text);
    }
}

#define EXPECT_OUTCOME(expected, payload, check) \
    EXPECT_EQ(VerifyOutcomeName(VerifyDemoPayload(payload, check)), VerifyOutcomeName(expected))

TEST(VerifyDemoPayload, EveryLevelSmallAndLargeOutputs) {
    // 200,000 bytes: output collected in several pieces; at level 0 the
    // payload itself is also read in several pieces.
    for (size_t size : {size_t{1}, size_t{1000}, size_t{200000}}) {
        const std::string data = SemiCompressible(size, static_cast<uint32_t>(size));
        for (int level = 0; level <= 9; ++level) {
            SCOPED_TRACE("size " + std::to_string(size) + " level " + std::to_string(level));
            const std::string payload = Deflate(data, level);
            EXPECT_OUTCOME(TVerifyOutcome::Verified, payload, Crc(data));
            EXPECT_OUTCOME(TVerifyOutcome::ChecksumMismatch, payload, Crc(data) ^ 1u);
        }
    }
}

TEST(VerifyDemoPayload, EmptyAndHeaderOnlyPayloads) {
    ExpectError("", 0, "ZLib Buffer Fault");
    // Nothing decoded: the CRC of no output is 0.
    EXPECT_OUTCOME(TVerifyOutcome::Verified, std::string_view("\x78\x9c", 2), 0u);
    EXPECT_OUTCOME(TVerifyOutcome::ChecksumMismatch, std::string_view("\x78\x9c", 2), 1u);
    EXPECT_OUTCOME(TVerifyOutcome::Verified, std::string_view("\x78", 1), 0u);
}

TEST(VerifyDemoPayload, TrailerMissingOrWrong) {
    for (size_t size : {size_t{1000}, size_t{200000}}) {
        const std::string data = SemiCompressible(size, 3);
        const std::string payload = Deflate(data, 6);
        for (size_t cut = 1; cut <= 4; ++cut) {
            SCOPED_TRACE("cut " + std::to_string(cut));
            EXPECT_OUTCOME(TVerifyOutcome::Verified, std::string_view(payload).substr(0, payload.size() - cut),
                           Crc(data));
        }
        std::string wrong = payload;
        wrong.back() = static_cast<char>(wrong.back() ^ 0x40);
        ExpectError(wrong, Crc(data), "ZLib Invalid Data");
    }
}

TEST(VerifyDemoPayload, StreamCutShortChecksWhatWasProduced) {
    const std::string data = SemiCompressible(3000, 5);
    const std::string payload = Deflate(data, 6);
    for (size_t keep : {size_t{3}, size_t{7}, payload.size() / 2, payload.size() - 6}) {
        SCOPED_TRACE("keep " + std::to_string(keep));
        const std::string_view prefix = std::string_view(payload).substr(0, keep);
        const std::string produced = InflateAll(prefix);
        ASSERT_LT(produced.size(), data.size());
        EXPECT_OUTCOME(TVerifyOutcome::Verified, prefix, Crc(produced));
        EXPECT_OUTCOME(TVerifyOutcome::ChecksumMismatch, prefix, Crc(data));
    }
}

TEST(VerifyDemoPayload, BytesAfterTheStreamEnd) {
    for (size_t size : {size_t{1000}, size_t{200000}}) {
        const std::string data = SemiCompressible(size, 9);
        const std::string payload = Deflate(data, size > 1000 ? 0 : 6);
        EXPECT_OUTCOME(TVerifyOutcome::NotDecompressed, payload + '\0', Crc(data));
        EXPECT_OUTCOME(TVerifyOutcome::NotDecompressed, payload + Deflate(data, 6), Crc(data));
    }
    // A payload longer than one piece whose stream ends in the first piece.
    const std::string data = SemiCompressible(500, 2);
    EXPECT_OUTCOME(TVerifyOutcome::NotDecompressed, Deflate(data, 6) + RandomBytes(70000), Crc(data));
}

TEST(VerifyDemoPayload, InvalidHeadersAndBlocks) {
    const std::string body = Deflate("hello", 6).substr(2);
    ExpectError(std::string("\x77\x09", 2) + body, 0, "ZLib Invalid Data");   // method 7
    ExpectError(std::string("\x88\x1c", 2) + body, 0, "ZLib Invalid Data");   // 64 KiB window
    ExpectError(std::string("\x78\x9d", 2) + body, 0, "ZLib Invalid Data");   // header check
    ExpectError(std::string("\x78\x01\x07", 3), 0, "ZLib Invalid Data");      // block type 3
    ExpectError(std::string("\x78\x01\x01\x05\x00\x00\x00", 7), 0, "ZLib Invalid Data");  // NLEN
}

TEST(VerifyDemoPayload, PresetDictionaryHeaders) {
    const std::string dict = "rocket railgun frag";
    const std::string data = SemiCompressible(800, 4);
    const std::string payload = Deflate(data, 6, dict);
    ASSERT_EQ(payload[1] & 0x20, 0x20);
    // Bytes after the identifier, payload read whole: the call after the
    // dictionary request is a stream error.
    ExpectError(payload, Crc(data), "ZLib Stream Fault");
    // Ending at or before the end of the identifier: nothing produced.
    for (size_t keep : {size_t{2}, size_t{4}, size_t{6}}) {
        const std::string_view prefix = std::string_view(payload).substr(0, keep);
        EXPECT_OUTCOME(TVerifyOutcome::Verified, prefix, 0u);
        EXPECT_OUTCOME(TVerifyOutcome::ChecksumMismatch, prefix, Crc(data));
    }
    // Longer than one piece: the request comes before the last piece is read.
    const std::string big = RandomBytes(100000);
    EXPECT_OUTCOME(TVerifyOutcome::NotDecompressed, Deflate(big, 0, dict), Crc(big));
}

TEST(VerifyDemoPayload, PieceBoundaries) {
    // A stream of exactly one piece, then exactly two pieces.
    const std::string one = RandomBytes(kPiece - 2 - 5 - 4, 11);
    const std::string onePayload = StoredStream(one);
    ASSERT_EQ(onePayload.size(), kPiece);
    EXPECT_OUTCOME(TVerifyOutcome::Verified, onePayload, Crc(one));
    // Its end falls on the piece boundary while a further piece is unread.
    EXPECT_OUTCOME(TVerifyOutcome::NotDecompressed, onePayload + 'x', Crc(one));

    const std::string two = RandomBytes(2 * kPiece - 2 - 10 - 4, 12);
    const std::string twoPayload = StoredStream(two);
    ASSERT_EQ(twoPayload.size(), 2 * kPiece);
    EXPECT_OUTCOME(TVerifyOutcome::Verified, twoPayload, Crc(two));

    // Output of exactly one piece, and one byte more.
    for (size_t size : {kPiece, kPiece + 1}) {
        const std::string data = RandomBytes(size, 13);
        EXPECT_OUTCOME(TVerifyOutcome::Verified, StoredStream(data, 1000), Crc(data));
    }
}

TEST(VerifyDemoPayload, RunEndsOnceInputIsConsumedEvenWithOutputPending) {
    // Long runs of zeros, cut so that the first call consumes every byte
    // present while filling the output piece: the run ends there, and only
    // that piece counts although the engine could produce more.
    const std::string zeros(200000, '\0');
    const std::string payload = Deflate(zeros, 9);
    size_t cut = 0;
    for (size_t keep = 3; keep < payload.size() && cut == 0; ++keep) {
        z_stream s{};
        inflateInit(&s);
        std::string out(kPiece, '\0');
        s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(payload.data()));
        s.avail_in = static_cast<uInt>(keep);
        s.next_out = reinterpret_cast<Bytef*>(out.data());
        s.avail_out = static_cast<uInt>(kPiece);
        inflate(&s, Z_NO_FLUSH);
        if (s.avail_in == 0 && s.avail_out == 0) cut = keep;
        inflateEnd(&s);
    }
    ASSERT_NE(cut, 0u);
    const std::string_view prefix = std::string_view(payload).substr(0, cut);
    ASSERT_GT(InflateAll(prefix).size(), kPiece);
    EXPECT_OUTCOME(TVerifyOutcome::Verified, prefix, Crc(std::string_view(zeros).substr(0, kPiece)));
    EXPECT_OUTCOME(TVerifyOutcome::ChecksumMismatch, prefix, Crc(InflateAll(prefix)));
}

TEST(VerifyDemoPayload, EachCallStartsAfresh) {
    const std::string data = SemiCompressible(5000, 21);
    const std::string payload = Deflate(data, 6);
    // An error, an unfinished run and a mid-stream cut leave nothing behind.
    ExpectError(std::string("\x78\x01\x07", 3), 0, "ZLib Invalid Data");
    EXPECT_OUTCOME(TVerifyOutcome::Verified, payload, Crc(data));
    EXPECT_OUTCOME(TVerifyOutcome::NotDecompressed, payload + "zz", Crc(data));
    EXPECT_OUTCOME(TVerifyOutcome::Verified, std::string_view(payload).substr(0, 40),
                   Crc(InflateAll(std::string_view(payload).substr(0, 40))));
    EXPECT_OUTCOME(TVerifyOutcome::Verified, payload, Crc(data));
    ExpectError("", 0, "ZLib Buffer Fault");
    EXPECT_OUTCOME(TVerifyOutcome::Verified, payload, Crc(data));
}

TEST(VerifyDemoPayload, OutputBeyondTheLimitFailsAfterBoundedWork) {
    // Exactly the limit verifies; one byte more does not, whatever the check.
    const std::string atLimit(kMaxInflatedPayload, 'a');
    const std::string atLimitPayload = Deflate(atLimit, 9);
    EXPECT_OUTCOME(TVerifyOutcome::Verified, atLimitPayload, Crc(atLimit));
    const std::string over = atLimit + 'b';
    const std::string overPayload = Deflate(over, 9);
    for (uint32_t check : {Crc(over), Crc(over) ^ 1u}) {
        const TVerifyReport report = CheckDemoPayload(overPayload, check);
        EXPECT_EQ(VerifyOutcomeName(report.Outcome), "TooLarge");
        EXPECT_GT(report.Inflated, kMaxInflatedPayload);
        EXPECT_LE(report.Inflated, kMaxInflatedPayload + kPiece);
    }

    // 64 KiB that would inflate to 64 MiB: the engine stops one piece past
    // the limit at most.
    const std::string bomb = Deflate(std::string(size_t{64} << 20, '\0'), 9);
    ASSERT_LE(bomb.size(), size_t{70} << 10);
    const TVerifyReport report = CheckDemoPayload(bomb, 0);
    EXPECT_EQ(VerifyOutcomeName(report.Outcome), "TooLarge");
    EXPECT_LE(report.Inflated, kMaxInflatedPayload + kPiece);
    // The next check starts afresh.
    const std::string data = SemiCompressible(5000, 8);
    EXPECT_OUTCOME(TVerifyOutcome::Verified, Deflate(data, 6), Crc(data));
}

TEST(CheckDemoPayload, EngineErrorsAreAnOutcomeWithTheirCost) {
    TVerifyReport empty = CheckDemoPayload("", 0);
    EXPECT_EQ(VerifyOutcomeName(empty.Outcome), "EngineError");
    EXPECT_EQ(empty.ErrorText, "ZLib Buffer Fault");
    EXPECT_EQ(empty.Inflated, 0u);

    TVerifyReport garbage = CheckDemoPayload("this is not a zlib stream", 0);
    EXPECT_EQ(VerifyOutcomeName(garbage.Outcome), "EngineError");
    EXPECT_EQ(garbage.ErrorText, "ZLib Invalid Data");

    // A wrong trailer is found after the whole output was produced: that
    // output is the check's cost.
    const std::string data = SemiCompressible(200000, 3);
    std::string wrong = Deflate(data, 6);
    wrong.back() = static_cast<char>(wrong.back() ^ 0x40);
    TVerifyReport late = CheckDemoPayload(wrong, Crc(data));
    EXPECT_EQ(VerifyOutcomeName(late.Outcome), "EngineError");
    EXPECT_EQ(late.ErrorText, "ZLib Invalid Data");
    EXPECT_EQ(late.Inflated, data.size());

    TVerifyReport good = CheckDemoPayload(Deflate(data, 6), Crc(data));
    EXPECT_EQ(VerifyOutcomeName(good.Outcome), "Verified");
    EXPECT_EQ(good.Inflated, data.size());
    EXPECT_EQ(good.ErrorText, "");
}

}  // namespace
}  // namespace vistrel
