#include "settings/list_layout.h"

#include <gtest/gtest.h>

#include "tests/unit/settings_temp_dir.h"

namespace vistrel {
namespace {

using testing::TTempDir;

const char kCommon[] = "Vistrel\\Common";

std::vector<int> Widths(const THeaderSections& sections) {
    std::vector<int> widths;
    for (const auto& s : sections) widths.push_back(s.Width);
    return widths;
}

TEST(ListLayout, NothingStoredKeepsTheDefinitionAndCreatesTheKey) {
    TTempDir dir;
    TRegistryStore store(dir / "registry.reg");
    THeaderSections games = InitialGamesListSections();
    LoadListLayout(store, kGamesListLayoutValue, games);
    EXPECT_EQ(games, InitialGamesListSections());
    EXPECT_TRUE(TRegistryStore(dir / "registry.reg").KeyExists("Vistrel"));
}

TEST(ListLayout, AllButTheLastWidthComeBack) {
    TTempDir dir;
    TRegistryStore store(dir / "registry.reg");
    THeaderSections games = InitialGamesListSections();
    games[1].Width = 300;  // Name
    games[9].Width = 222;  // Visible, the last: stored, but not applied at the next run
    SaveListLayout(store, kGamesListLayoutValue, games);
    SaveListLayout(store, kUserListLayoutValue, InitialUserListSections());
    EXPECT_EQ(JoinListLayout(InitialGamesListSections()), "50,200,70,70,95,50,115,50,60,60");
    TRegistryStore next(dir / "registry.reg");
    EXPECT_EQ(next.ReadValue(kCommon, "GamesListBox"), TRegValue::Text("50,300,70,70,95,50,115,50,60,222"));
    EXPECT_EQ(next.ReadValue(kCommon, "UserListBox"), TRegValue::Text("111,64,90"));
    THeaderSections loaded = InitialGamesListSections();
    LoadListLayout(next, kGamesListLayoutValue, loaded);
    EXPECT_EQ(Widths(loaded), (std::vector<int>{50, 300, 70, 70, 95, 50, 115, 50, 60, 60}));
}

TEST(ListLayout, ExtraEntriesAddNumberedSections) {
    TTempDir dir;
    TRegistryStore store(dir / "registry.reg");
    store.WriteValue(kCommon, "GamesListBox", TRegValue::Text("1,2,3,4,5,6,7,8,9,10,11,12"));
    THeaderSections games = InitialGamesListSections();
    LoadListLayout(store, kGamesListLayoutValue, games);
    ASSERT_EQ(games.size(), 11u);
    EXPECT_EQ(games[10], (THeaderSection{"S. 11", 11}));
    EXPECT_EQ(games[6], (THeaderSection{"Sender", 7}));
    EXPECT_EQ(games[0], (THeaderSection{"ID", 1}));

    store.WriteValue(kCommon, "UserListBox", TRegValue::Text("10,20"));  // fewer entries than sections
    THeaderSections users = InitialUserListSections();
    LoadListLayout(store, kUserListLayoutValue, users);
    EXPECT_EQ(Widths(users), (std::vector<int>{10, 64, 90}));
}

TEST(ListLayout, NoSectionsDeletesTheValue) {
    TTempDir dir;
    TRegistryStore store(dir / "registry.reg");
    store.WriteValue(kCommon, "UserListBox", TRegValue::Text("1,2,3"));
    SaveListLayout(store, kUserListLayoutValue, {});
    EXPECT_FALSE(TRegistryStore(dir / "registry.reg").ReadValue(kCommon, "UserListBox").has_value());
    SaveListLayout(store, kUserListLayoutValue, {});  // nothing to delete: no error
}

TEST(ListLayout, AValueThatIsNotALayoutIsIgnored) {
    TTempDir dir;
    TRegistryStore store(dir / "registry.reg");
    std::string many;
    for (int i = 0; i < 300; ++i) many += "5,";
    many += "5";
    const std::vector<TRegValue> bad = {
        TRegValue::Text(""),           TRegValue::Text("50,abc,70"),  TRegValue::Text("50,-5,70"),
        TRegValue::Text("50,,70"),     TRegValue::Text("50,200,"),    TRegValue::Text("99999999999,1"),
        TRegValue::Text("70000,1"),    TRegValue::Text(many),         TRegValue::Dword(50),
        TRegValue::Binary("50,200,1"),
    };
    for (const TRegValue& value : bad) {
        store.WriteValue(kCommon, "GamesListBox", value);
        THeaderSections games = InitialGamesListSections();
        LoadListLayout(store, kGamesListLayoutValue, games);
        EXPECT_EQ(games, InitialGamesListSections()) << value.Data;
    }
    store.WriteValue(kCommon, "GamesListBox", TRegValue::ExpandText(" 60 ,200,1"));  // blanks are tolerated
    THeaderSections games = InitialGamesListSections();
    LoadListLayout(store, kGamesListLayoutValue, games);
    EXPECT_EQ(games[0].Width, 60);
}

TEST(ListLayout, AStoreThatCannotBeWritten) {
    TTempDir dir;
    testing::WriteFileText(dir / "registry.reg", "not a registry file\n");
    TRegistryStore store(dir / "registry.reg");
    THeaderSections games = InitialGamesListSections();
    LoadListLayout(store, kGamesListLayoutValue, games);  // no error on loading
    EXPECT_EQ(games, InitialGamesListSections());
    try {
        SaveListLayout(store, kGamesListLayoutValue, games);
        ADD_FAILURE() << "saved into a file that does not parse";
    } catch (const ERegistryException& e) {
        EXPECT_STREQ(e.what(), "Failed to create key Vistrel");
    }
    EXPECT_EQ(testing::ReadFileText(dir / "registry.reg"), "not a registry file\n");
}

}  // namespace
}  // namespace vistrel
