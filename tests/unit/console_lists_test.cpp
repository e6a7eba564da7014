#include "console/console_lists.h"

#include <gtest/gtest.h>

#include "core/game_list.h"

namespace vistrel {
namespace {

TWSocketClient* Conn(int n) { return reinterpret_cast<TWSocketClient*>(static_cast<uintptr_t>(0x1000 * n)); }

TEST(Columns, CountTextAndReplace) {
    EXPECT_EQ(ColumnCount("7;;;;0;0;10.0.0.5;"), 7u);
    EXPECT_EQ(ColumnCount("unknown;1.2.3.4;0"), 3u);
    EXPECT_EQ(ColumnCount(""), 1u);
    EXPECT_EQ(ColumnText("7;;;;0;0;10.0.0.5;", 6), "10.0.0.5");
    EXPECT_EQ(ColumnText("7;;;;0;0;10.0.0.5;", 7), "");
    EXPECT_EQ(ColumnText("a;b", 0), "a");

    EXPECT_EQ(ReplaceColumn("a;b;c", 1, "XY"), "a;XY;c");
    EXPECT_EQ(ReplaceColumn("a;b;c", 2, ""), "a;b;");
    EXPECT_EQ(ReplaceColumn("a;b;", 1, "B"), "a;B;");
    // Missing columns get delimiters first; the last ";" starts no column.
    EXPECT_EQ(ReplaceColumn("a", 2, "X"), "a;;X;");
    EXPECT_EQ(ReplaceColumn("a;b;", 2, "X"), "a;b;X;");
    EXPECT_EQ(ReplaceColumn("", 0, "X"), "X");
    // A ";" in a value is kept and reads as a column break afterwards.
    const std::string line = ReplaceColumn("unknown;1.2.3.4;0", 0, "bad;name");
    EXPECT_EQ(line, "bad;name;1.2.3.4;0");
    EXPECT_EQ(ColumnCount(line), 4u);
}

TEST(Columns, ColumnSafeShowsSemicolonsAsCommas) {
    EXPECT_EQ(ColumnSafe("a;b;;c;"), "a,b,,c,");
    EXPECT_EQ(ColumnSafe(std::string("\x9B;\0", 3)), std::string("\x9B,\0", 3));
    EXPECT_EQ(ColumnSafe(""), "");
}

TEST(TConsoleLists, GameRows) {
    TConsoleLists lists;
    lists.AddGameRow(1, Conn(1), "10.0.0.1");
    lists.AddGameRow(2, Conn(2), "10.0.0.2");
    lists.AddGameRow(3, Conn(3), "10.0.0.5");
    EXPECT_EQ(lists.Games().Line(2), "3;;;;0;0;10.0.0.5;;0;0;");
    EXPECT_EQ(lists.Games().Link(2), Conn(3));

    lists.SetGameColumns(3, {.Name = "Final", .Label = "Quake 3", .Mod = "ctf", .Sender = "Cam"});
    EXPECT_EQ(lists.Games().Line(2), "3;Final;Quake 3;ctf;0;0;Cam;;0;0;");
    EXPECT_EQ(lists.Games().Link(2), Conn(3));
    lists.SetGameColumns(3, {.Name = "", .Users = "2"});  // unset or empty texts leave columns alone
    EXPECT_EQ(lists.Games().Line(2), "3;Final;Quake 3;ctf;0;2;Cam;;0;0;");
    // Nor in a game's texts: the sender's address stays in its column.
    lists.SetGameColumns(3, {.Name = "Fi;nal", .Mod = ";ctf", .Sender = "Cam;;1.2.3.4"});
    EXPECT_EQ(lists.Games().Line(2), "3;Fi,nal;Quake 3;,ctf;0;2;Cam,,1.2.3.4;;0;0;");
    EXPECT_EQ(ColumnCount(lists.Games().Line(2)), 10u);
    lists.SetGameColumns(3, {.Name = "Final", .Mod = "ctf", .Sender = "Cam"});
    lists.SetGameColumns(99, {.Name = "x"});  // no such row
    lists.SetGameColumns(-3, {.Name = "x"});

    // With both senders gone, the identifier still finds the right row.
    lists.UnlinkGameRow(Conn(1));
    lists.UnlinkGameRow(Conn(2));
    lists.UnlinkGameRow(Conn(9));
    EXPECT_EQ(lists.Games().Link(0), nullptr);
    EXPECT_EQ(lists.Games().Link(1), nullptr);
    lists.SetGameColumns(2, {.Name = "Second"});
    EXPECT_EQ(lists.Games().Line(0), "1;;;;0;0;10.0.0.1;;0;0;");
    EXPECT_EQ(lists.Games().Line(1), "2;Second;;;0;0;10.0.0.2;;0;0;");
    EXPECT_EQ(lists.IndexOfGameRow(3), 2);
    EXPECT_EQ(lists.GameIdOfRow(2), 3);
    EXPECT_EQ(lists.GameIdOfRow(3), 0);

    lists.Games().Delete(0);
    EXPECT_EQ(lists.Games().Count(), 2);
    EXPECT_EQ(lists.IndexOfGameRow(1), -1);
    EXPECT_THROW(lists.Games().Line(2), EListError);
    EXPECT_THROW(lists.Games().Delete(-1), EListError);
}

TEST(TConsoleLists, ViewerRows) {
    TConsoleLists lists;
    lists.AddViewerRow(Conn(1), "10.0.0.1");
    lists.AddViewerRow(Conn(2), "10.0.0.2");
    EXPECT_EQ(lists.Users().Line(0), "unknown;10.0.0.1;0");
    // A ";" in a name never makes a column: it is shown as ",".
    lists.SetViewerName(Conn(2), "semi;colon;;");
    EXPECT_EQ(lists.Users().Line(1), "semi,colon,,;10.0.0.2;0");
    EXPECT_EQ(ColumnCount(lists.Users().Line(1)), 3u);
    EXPECT_EQ(lists.Users().Column(1, 1), "10.0.0.2");
    lists.SetViewerName(Conn(2), "");  // no value: unchanged
    EXPECT_EQ(lists.Users().Line(1), "semi,colon,,;10.0.0.2;0");
    lists.SetViewerName(Conn(2), ";");
    EXPECT_EQ(lists.Users().Line(1), ",;10.0.0.2;0");
    lists.SetViewerName(Conn(9), "ghost");
    lists.RemoveViewerRow(Conn(9));
    EXPECT_EQ(lists.Users().Count(), 2);
    lists.RemoveViewerRow(Conn(1));
    ASSERT_EQ(lists.Users().Count(), 1);
    EXPECT_EQ(lists.Users().Link(0), Conn(2));
    EXPECT_EQ(lists.Users().IndexOfLink(nullptr), -1);
}

TEST(TConsoleLists, ListenersHearEveryChange) {
    TConsoleLists lists;
    std::vector<std::string> heard;
    auto record = [&heard](const char* list) {
        return [&heard, list](const TListChange& c) {
            static const char* kinds[] = {"append", "change", "remove", "line"};
            heard.push_back(std::string(list) + " " + kinds[static_cast<int>(c.Kind)] + " " +
                            std::to_string(c.Index));
        };
    };
    lists.Games().Listeners().Subscribe(record("games"));
    int users = lists.Users().Listeners().Subscribe(record("users"));
    lists.Log().Listeners().Subscribe(record("log"));

    lists.AddGameRow(1, Conn(1), "ip");
    // One notice for the whole update.
    lists.SetGameColumns(1, {.Name = "n", .Label = "l", .Mod = "m", .Users = "1", .Sender = "s"});
    lists.UnlinkGameRow(Conn(1));
    lists.AddViewerRow(Conn(2), "ip");
    lists.SetViewerName(Conn(2), "v");
    lists.RemoveViewerRow(Conn(2));
    lists.Log().Append("2003/03/02 09:05:00 started");
    lists.Users().Listeners().Unsubscribe(users);
    lists.AddViewerRow(Conn(3), "ip");

    EXPECT_EQ(heard, (std::vector<std::string>{"games append 0", "games change 0", "games change 0",
                                               "users append 0", "users change 0", "users remove 0",
                                               "log line 0"}));
    EXPECT_EQ(lists.Log().Line(0), "2003/03/02 09:05:00 started");
}

TEST(TListListeners, MaySubscribeAndUnsubscribeWhileNotified) {
    TListListeners listeners;
    int calls = 0, late = 0;
    int self = 0;
    self = listeners.Subscribe([&](const TListChange&) {
        ++calls;
        listeners.Unsubscribe(self);
        listeners.Subscribe([&](const TListChange&) { ++late; });
    });
    listeners.Notify(TListChange::TKind::RowAppended, 0);
    listeners.Notify(TListChange::TKind::RowAppended, 1);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(late, 1);  // added during the first notice, heard the second
}

}  // namespace
}  // namespace vistrel
