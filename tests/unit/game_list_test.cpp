#include "core/game_list.h"

#include <gtest/gtest.h>

namespace vistrel {
namespace {

// Links are only compared, never followed: any distinct addresses do.
TWSocketClient* Conn(int n) { return reinterpret_cast<TWSocketClient*>(static_cast<uintptr_t>(0x1000 * n)); }

TEST(TPacketList, StoreOpensGapsReplacesAndKeepsTags) {
    TPacketList demo;
    demo.StorePacketAt(3, "three", 6);
    ASSERT_EQ(demo.Count(), 4);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(demo.Data(i), "");
        EXPECT_EQ(demo.Tag(i), 6);
    }
    EXPECT_EQ(demo.Data(3), "three");
    demo.StorePacketAt(4, "four", 10);  // at the count: exactly one entry
    EXPECT_EQ(demo.Count(), 5);
    EXPECT_EQ(demo.Tag(4), 10);
    demo.StorePacketAt(1, "one", 10);  // fills a gap; the tag stays as opened
    demo.StorePacketAt(1, "uno", 6);   // replaces
    EXPECT_EQ(demo.Count(), 5);
    EXPECT_EQ(demo.Data(1), "uno");
    EXPECT_EQ(demo.Tag(1), 6);
    demo.StorePacketAt(0, std::string("\0x\0", 3), 6);  // binary-safe
    EXPECT_EQ(demo.Data(0), std::string("\0x\0", 3));

    demo.Append("tail", 10);
    demo.SetData(5, "TAIL");
    demo.Delete(0);
    EXPECT_EQ(demo.Count(), 5);
    EXPECT_EQ(demo.Data(0), "uno");
    EXPECT_EQ(demo.Data(4), "TAIL");
}

TEST(TPacketList, BadLocationsFailBeforeAnythingIsStored) {
    TPacketList demo;
    demo.StorePacketAt(0, "zero", 6);
    try {
        demo.StorePacketAt(-1, "x", 6);
        ADD_FAILURE() << "no error";
    } catch (const EListError& e) {
        EXPECT_EQ(DescribeException(e), "EListError: List index out of bounds (-1)");
    }
    // Up to 65,536 gaps are opened; one more is refused.
    EXPECT_THROW(demo.StorePacketAt(1 + kMaxGapsPerStore + 1, "x", 6), ELocationTooFar);
    EXPECT_THROW(demo.StorePacketAt(INT32_MAX, "x", 6), ELocationTooFar);
    EXPECT_EQ(demo.Count(), 1);
    try {
        demo.StorePacketAt(INT32_MAX, "x", 6);
    } catch (const ELocationTooFar& e) {
        EXPECT_EQ(e.ClassName(), "ELocationTooFar");
    }
    demo.StorePacketAt(1 + kMaxGapsPerStore, "far", 6);
    EXPECT_EQ(demo.Count(), kMaxGapsPerStore + 2);
    EXPECT_EQ(demo.Data(kMaxGapsPerStore + 1), "far");

    EXPECT_THROW(demo.Data(-1), EListError);
    EXPECT_THROW(demo.Tag(demo.Count()), EListError);
    EXPECT_THROW(demo.SetData(demo.Count(), "x"), EListError);
    EXPECT_THROW(demo.Delete(-3), EListError);
}

TEST(TPacketList, MissingLocationsAreCountedOverTheWholeDemo) {
    TPacketList demo;
    EXPECT_EQ(demo.CheckLocation(-1), TLocationCheck::Negative);
    EXPECT_EQ(demo.CheckLocation(0), TLocationCheck::Fits);
    demo.StorePacketAt(10, "ten", 6);
    EXPECT_EQ(demo.Gaps(), 10);
    demo.StorePacketAt(3, "three", 6);  // fills one
    demo.StorePacketAt(3, "THREE", 6);  // replaces: no change
    EXPECT_EQ(demo.Gaps(), 9);
    demo.Append("", 6);
    demo.SetData(4, "four");
    EXPECT_EQ(demo.Gaps(), 9);
    demo.SetData(10, "");
    demo.Delete(0);
    EXPECT_EQ(demo.Gaps(), 9);

    // Gaps opened by many stores, each within its own bound, add up: the
    // store that would pass the total is refused before anything changes.
    TPacketList flood;
    flood.StorePacketAt(kMaxMissingLocations / 2, "a", 10);
    const int32_t atLimit = flood.Count() + kMaxMissingLocations / 2;
    EXPECT_EQ(flood.CheckLocation(atLimit), TLocationCheck::Fits);
    EXPECT_EQ(flood.CheckLocation(atLimit + 1), TLocationCheck::TooManyGaps);
    try {
        flood.StorePacketAt(atLimit + 1, "b", 10);
        ADD_FAILURE() << "no error";
    } catch (const ETooManyGaps& e) {
        EXPECT_EQ(DescribeException(e), "ETooManyGaps: Location " + std::to_string(atLimit + 1) +
                                            " would leave the demo with more than 65536 missing locations (32768 now)");
    }
    EXPECT_EQ(flood.Count(), kMaxMissingLocations / 2 + 1);
    flood.StorePacketAt(atLimit, "b", 10);
    EXPECT_EQ(flood.Gaps(), kMaxMissingLocations);
    // At the total, only filling a gap or storing at the end fits.
    EXPECT_EQ(flood.CheckLocation(flood.Count() + 1), TLocationCheck::TooManyGaps);
    EXPECT_EQ(flood.CheckLocation(flood.Count()), TLocationCheck::Fits);
    EXPECT_EQ(flood.CheckLocation(0), TLocationCheck::Fits);
    flood.StorePacketAt(0, "c", 10);
    EXPECT_EQ(flood.CheckLocation(flood.Count() + 1), TLocationCheck::Fits);
    EXPECT_EQ(flood.CheckLocation(flood.Count() + kMaxGapsPerStore + 1), TLocationCheck::TooFar);
}

TEST(TGameList, AddLookupDelete) {
    TGameList games;
    TActiveGameList& first = games.Add(Conn(1));
    first.SetIdentifier(1);
    EXPECT_EQ(first.Sender(), Conn(1));
    EXPECT_EQ(first.Count(), 0);
    EXPECT_EQ(first.GameType(), 0);
    EXPECT_EQ(first.Name(), "");
    EXPECT_EQ(first.Viewers(), 0);
    games.Add(Conn(2)).SetIdentifier(2);
    games.Add(Conn(2)).SetIdentifier(3);  // the first match wins

    EXPECT_EQ(games.Count(), 3);
    EXPECT_EQ(games.IndexOfSender(Conn(2)), 1);
    EXPECT_EQ(games.IndexOfSender(Conn(9)), -1);
    EXPECT_EQ(games.IndexOfId(3), 2);
    EXPECT_EQ(games.IndexOfId(0), -1);
    EXPECT_EQ(games.FindById(2), &games.At(1));
    EXPECT_EQ(games.FindById(7), nullptr);

    // An orphaned game is not found as the game of "no connection".
    games.At(0).SetSender(nullptr);
    EXPECT_EQ(games.IndexOfSender(nullptr), -1);
    EXPECT_EQ(games.FindBySender(Conn(1)), nullptr);

    games.At(1).StorePacketAt(2, "packet", 6);
    games.Delete(1);
    EXPECT_EQ(games.Count(), 2);
    EXPECT_EQ(games.At(1).Identifier(), 3);
    EXPECT_EQ(games.IndexOfId(2), -1);
    EXPECT_EQ(games.FindById(2), nullptr);
    EXPECT_THROW(games.At(2), EListError);
    EXPECT_THROW(games.Delete(-1), EListError);

    // The index by identifier follows a change of identifier, and two games
    // under one identifier are found in list order until one goes.
    games.At(1).SetIdentifier(8);
    EXPECT_EQ(games.FindById(3), nullptr);
    EXPECT_EQ(games.FindById(8), &games.At(1));
    games.At(0).SetIdentifier(8);
    EXPECT_EQ(games.FindById(8), &games.At(0));
    games.Delete(0);
    EXPECT_EQ(games.FindById(8), &games.At(0));
}

// The count the registry keeps, worked out afresh from what it holds.
size_t Recount(const TPacketList& demo) {
    size_t bytes = 0;
    for (int32_t i = 0; i < demo.Count(); ++i) bytes += demo.Data(i).size() + kStoredEntryOverhead;
    return bytes;
}
size_t Recount(const TGameList& games) {
    size_t bytes = 0;
    for (int32_t i = 0; i < games.Count(); ++i) bytes += Recount(games.At(i)) + kGameRecordOverhead;
    return bytes;
}

TEST(TGameList, StoredBytesFollowStoreReplaceGapsAndDelete) {
    TGameList games;
    EXPECT_EQ(games.StoredBytes(), 0u);
    TActiveGameList& first = games.Add(Conn(1));
    TActiveGameList& second = games.Add(Conn(2));
    EXPECT_EQ(games.StoredBytes(), 2 * kGameRecordOverhead);

    // A packet at the end: its bytes and one entry.
    first.StorePacketAt(0, std::string(1000, 'a'), 6);
    EXPECT_EQ(first.StoredBytes(), 1000 + kStoredEntryOverhead);
    EXPECT_EQ(games.StoredBytes(), 2 * kGameRecordOverhead + 1000 + kStoredEntryOverhead);

    // Past the end: every gap costs an entry, nothing more.
    second.StorePacketAt(9, std::string(300, 'b'), 10);
    EXPECT_EQ(second.StoredBytes(), 300 + 10 * kStoredEntryOverhead);
    // A gap filled, then a packet replaced by a shorter and a longer one.
    second.StorePacketAt(4, std::string(50, 'c'), 6);
    EXPECT_EQ(second.StoredBytes(), 350 + 10 * kStoredEntryOverhead);
    second.StorePacketAt(9, std::string(20, 'd'), 6);
    EXPECT_EQ(second.StoredBytes(), 70 + 10 * kStoredEntryOverhead);
    second.StorePacketAt(9, std::string(5000, 'e'), 6);
    EXPECT_EQ(second.StoredBytes(), 5050 + 10 * kStoredEntryOverhead);
    EXPECT_EQ(games.StoredBytes(), Recount(games));

    // A refused store changes nothing.
    EXPECT_THROW(second.StorePacketAt(-1, "x", 6), EListError);
    EXPECT_THROW(second.StorePacketAt(10 + kMaxGapsPerStore + 1, "x", 6), ELocationTooFar);
    EXPECT_EQ(games.StoredBytes(), Recount(games));

    // The other edits of a demo.
    first.Append("tail", 10);
    first.SetData(1, "longer tail");
    first.SetData(0, "");
    first.Delete(1);
    EXPECT_EQ(first.StoredBytes(), Recount(first));
    EXPECT_EQ(games.StoredBytes(), Recount(games));

    // Deleting a game gives back its demo and its record.
    const size_t secondBytes = second.StoredBytes();
    const size_t before = games.StoredBytes();
    games.Delete(1);
    EXPECT_EQ(games.StoredBytes(), before - secondBytes - kGameRecordOverhead);
    EXPECT_EQ(games.StoredBytes(), Recount(games));
    games.At(0).StorePacketAt(3, "late", 6);
    EXPECT_EQ(games.StoredBytes(), Recount(games));
    games.At(0).SetSender(nullptr);  // its entries are counted apart as well
    EXPECT_EQ(games.SourcelessIndexBytes(), static_cast<size_t>(games.At(0).Count()) * kStoredEntryOverhead);
    games.At(0).SetLiveUpstream(true);
    EXPECT_EQ(games.SourcelessIndexBytes(), 0u);
    games.At(0).SetLiveUpstream(false);
    games.Delete(0);
    EXPECT_EQ(games.StoredBytes(), 0u);
    EXPECT_EQ(games.SourcelessIndexBytes(), 0u);
}

TEST(TGameList, APagedOutPacketIsNeitherAGapNorCountedUntilItIsPagedIn) {
    TGameList games;
    TActiveGameList& game = games.Add(nullptr);
    game.StorePacketAt(0, "zero", 6);
    game.StorePacketAt(2, "two!", 6);  // location 1 is a gap
    const size_t full = games.StoredBytes();
    EXPECT_FALSE(game.PageOut(1)) << "a gap has nothing to release";
    ASSERT_TRUE(game.PageOut(2));
    EXPECT_FALSE(game.PageOut(2));
    EXPECT_TRUE(game.PagedOut(2));
    EXPECT_FALSE(game.PagedOut(1));
    EXPECT_EQ(game.Data(2), "");
    EXPECT_EQ(game.Gaps(), 1);
    EXPECT_EQ(game.PagedOutCount(), 1);
    EXPECT_EQ(games.StoredBytes(), full - 4) << "the entry stays counted, its bytes do not";
    // Storing at a paged-out location neither fills a gap nor opens one.
    EXPECT_EQ(game.CheckLocation(2), TLocationCheck::Fits);

    EXPECT_FALSE(game.PageIn(0, TSharedBytes(std::string_view("zero"))));
    ASSERT_TRUE(game.PageIn(2, TSharedBytes(std::string_view("two!"))));
    EXPECT_EQ(game.Data(2), "two!");
    EXPECT_EQ(game.PagedOutCount(), 0);
    EXPECT_EQ(games.StoredBytes(), full);

    ASSERT_TRUE(game.PageOut(0));
    game.StorePacketAt(0, "new zero", 6);
    EXPECT_FALSE(game.PagedOut(0));
    EXPECT_EQ(game.Data(0), "new zero");
    EXPECT_EQ(game.Gaps(), 1);
    EXPECT_EQ(games.StoredBytes(), full + 4);
    ASSERT_TRUE(game.PageOut(2));
    game.Delete(2);
    EXPECT_EQ(game.PagedOutCount(), 0);
    EXPECT_EQ(game.Gaps(), 1);
}

TEST(TGameList, APacketKnownOnlyFromItsRecordingIsPagedOutFromTheStart) {
    TGameList games;
    TActiveGameList& game = games.Add(nullptr);
    const size_t empty = games.StoredBytes();
    game.StorePagedOutAt(2, 6);
    EXPECT_EQ(game.Count(), 3);
    EXPECT_EQ(game.Gaps(), 2);
    EXPECT_TRUE(game.PagedOut(2));
    EXPECT_EQ(game.PagedOutCount(), 1);
    EXPECT_EQ(games.StoredBytes(), empty + 3 * kStoredEntryOverhead);
    game.StorePagedOutAt(0, 6);  // a gap becomes paged out
    EXPECT_EQ(game.Gaps(), 1);
    game.StorePacketAt(1, "one", 6);
    game.StorePagedOutAt(1, 6);  // a later record of the same location
    EXPECT_TRUE(game.PagedOut(1));
    EXPECT_EQ(game.Gaps(), 0);
    EXPECT_EQ(game.PagedOutCount(), 3);
    EXPECT_EQ(games.StoredBytes(), empty + 3 * kStoredEntryOverhead);
    EXPECT_THROW(game.StorePagedOutAt(-1, 6), EListError);
    EXPECT_THROW(game.StorePagedOutAt(3 + kMaxGapsPerStore + 1, 6), ELocationTooFar);
    EXPECT_EQ(game.Count(), 3);
}

TEST(TPacketList, StoredBytesOutsideARegistry) {
    TPacketList demo;
    demo.StorePacketAt(2, "xyz", 6);
    EXPECT_EQ(demo.StoredBytes(), 3 + 3 * kStoredEntryOverhead);
}

TEST(TActiveGameList, NameAndModKeptAsTheirSlotsHoldThem) {
    TActiveGameList game(nullptr);
    game.SetName(std::string(33, 'n'));
    game.SetMod(std::string(17, 'm'));
    EXPECT_EQ(game.Name(), std::string(32, 'n'));
    EXPECT_EQ(game.Mod(), std::string(16, 'm'));
    game.SetName("Final");
    EXPECT_EQ(game.Name(), "Final");
}

}  // namespace
}  // namespace vistrel
