#include "core/zlib_stream.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/unit/zlib_payloads.h"

namespace vistrel {
namespace {

using testing::Crc;
using testing::Deflate;
using testing::SemiCompressible;

TEST(ZLibResultText, TableAndMessages) {
    EXPECT_EQ(ZLibResultText(2), "ZLib Needs Dictionary");
    EXPECT_EQ(ZLibResultText(1), "ZLib Stream End");
    EXPECT_EQ(ZLibResultText(0), "");
    EXPECT_EQ(ZLibResultText(-1), "ZLib File Missing, or Corrupt");
    EXPECT_EQ(ZLibResultText(-2), "ZLib Stream Fault");
    EXPECT_EQ(ZLibResultText(-3), "ZLib Invalid Data");
    EXPECT_EQ(ZLibResultText(-4), "ZLib Insufficient Memory Report");
    EXPECT_EQ(ZLibResultText(-5), "ZLib Buffer Fault");
    EXPECT_EQ(ZLibResultText(-6), "ZLib Version Conflict");
    EXPECT_EQ(ZLibResultText(-7), "No Input Stream");
    EZLibException e(ZLibResultText(-3));
    EXPECT_EQ(e.ClassName(), "EZLibException");
    EXPECT_STREQ(e.what(), "Error in Archiving Routines: ZLib Invalid Data");
}

TEST(TZLib, ExecuteWithoutInputOrEngine) {
    TZLib z;
    z.SetMode(TZLibMode::Decompress);
    try {
        z.Execute(false);
        ADD_FAILURE() << "no error";
    } catch (const EZLibException& e) {
        EXPECT_STREQ(e.what(), "Error in Archiving Routines: No Input Stream");
    }
    EXPECT_EQ(z.ErrorText(), "No Input Stream");
    EXPECT_FALSE(z.LastOK());

    TZLib idle;
    idle.SetInput("x");
    EXPECT_THROW(idle.Execute(false), EZLibException);
}

TEST(TZLib, CollectsOutputAndCountsAcrossPieces) {
    const std::string data = SemiCompressible(150000, 8);
    const std::string payload = Deflate(data, 0);  // longer than one piece too
    std::string out = "stale";
    std::vector<int32_t> currentIns;
    TZLib z;
    z.SetOutput(&out);
    z.OnProgress = [&](TZLib& sender, int32_t totalIn, int32_t, int32_t currentIn, int32_t) {
        EXPECT_EQ(&sender, &z);
        EXPECT_LE(totalIn, currentIn);
        currentIns.push_back(currentIn);
    };
    z.SetMode(TZLibMode::Decompress);
    EXPECT_EQ(out, "");  // starting the engine empties the output
    z.SetInput(payload);
    EXPECT_TRUE(z.Execute(false));
    EXPECT_TRUE(z.Finished());
    EXPECT_EQ(out, data);
    EXPECT_EQ(z.Crc(), Crc(data));
    EXPECT_EQ(z.CurrentIn(), static_cast<int32_t>(payload.size()));
    EXPECT_EQ(z.CurrentOut(), static_cast<int32_t>(data.size()));
    EXPECT_EQ(z.TotalIn(), static_cast<int32_t>(payload.size()));
    EXPECT_EQ(z.ErrorText(), "ZLib Stream End");
    EXPECT_FALSE(z.LastOK());
    // One report per engine call and a last one after the run.
    ASSERT_GE(currentIns.size(), 4u);
    EXPECT_EQ(currentIns.front(), static_cast<int32_t>(TZLib::kPieceSize));
    EXPECT_EQ(currentIns.back(), static_cast<int32_t>(payload.size()));

    // The same mode again changes nothing; a new run needs a fresh engine.
    z.SetMode(TZLibMode::Decompress);
    EXPECT_EQ(z.Crc(), Crc(data));
    z.Restart();
    EXPECT_EQ(z.Crc(), 0u);
    EXPECT_EQ(out, "");
    const std::string cut = payload.substr(0, 1000);
    z.SetInput(cut);
    EXPECT_TRUE(z.Execute(false));
    EXPECT_EQ(out, data.substr(0, out.size()));
    EXPECT_EQ(z.ErrorText(), "");
    EXPECT_TRUE(z.LastOK());
}

TEST(TZLib, ErrorStillReportsTheWholeInputAsRead) {
    TZLib z;
    int reports = 0;
    int32_t lastIn = -1;
    z.OnProgress = [&](TZLib&, int32_t, int32_t, int32_t currentIn, int32_t) {
        ++reports;
        lastIn = currentIn;
    };
    z.SetMode(TZLibMode::Decompress);
    const std::string bad("\x78\x01\x07 and more", 12);
    z.SetInput(bad);
    EXPECT_THROW(z.Execute(false), EZLibException);
    EXPECT_EQ(reports, 1);  // the failing call fires none; the run's end fires one
    EXPECT_EQ(lastIn, 12);
    EXPECT_EQ(z.ErrorText(), "ZLib Invalid Data");
    z.SetMode(TZLibMode::None);
    EXPECT_EQ(z.Mode(), TZLibMode::None);
}

TEST(TZLib, OutputLimitEndsTheRunUnfinished) {
    TZLib z;
    std::string out;
    z.SetOutput(&out);
    z.SetMode(TZLibMode::Decompress);
    EXPECT_EQ(z.OutputLimit(), UINT64_MAX);
    const std::string data(1 << 20, 'x');
    const std::string payload = Deflate(data, 9);
    z.SetOutputLimit(200000);
    z.SetInput(payload);
    EXPECT_FALSE(z.Execute(false));
    EXPECT_TRUE(z.OutputLimitExceeded());
    EXPECT_GT(z.CurrentOut(), 200000);
    EXPECT_LE(z.CurrentOut(), 200000 + static_cast<int32_t>(TZLib::kPieceSize));

    // Exactly at the limit the run finishes.
    z.SetOutputLimit(data.size());
    z.Restart();
    EXPECT_TRUE(z.Execute(false));
    EXPECT_FALSE(z.OutputLimitExceeded());
    EXPECT_EQ(out, data);
}

}  // namespace
}  // namespace vistrel
