#include "settings/settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "tests/unit/settings_temp_dir.h"

namespace vistrel {
namespace {

using testing::ModeOf;
using testing::ReadFileText;
using testing::TTempDir;
using testing::WriteFileText;

const char kSetup[] = "Vistrel Server\\Setup";

std::string File(const std::string& body) { return std::string(kRegistryFileHeader) + "\n\n" + body; }

// Setup fields whose viewer-limit changes are recorded.
struct TWatchedFields {
    TWatchedFields() {
        fields.MaxClientsSpin.OnChange = [this](int value) { limits.push_back(value); };
    }
    TSetupFields fields;
    std::vector<int> limits;
};

void ExpectMessage(const std::function<void()>& action, const std::string& message) {
    try {
        action();
        ADD_FAILURE() << "no error, expected: " << message;
    } catch (const ERegistryException& e) {
        EXPECT_EQ(std::string(e.what()), message);
        EXPECT_EQ(DescribeException(e), "ERegistryException: " + message);
    }
}

TEST(Settings, AFreshAccountStartsEmptyAndSavesPrivately) {
    TTempDir dir;
    std::string path = dir / "home/.config/vistrel/registry.reg";
    TRegistryStore store(path);
    TWatchedFields w;
    LoadSettings(store, w.fields);
    EXPECT_EQ(w.fields.FilmDemoPasswordEdit, "");
    EXPECT_EQ(w.fields.MaxClientsSpin.Text(), "0");
    EXPECT_TRUE(w.limits.empty());  // "0" stays "0": no change event
    EXPECT_TRUE(TRegistryStore(path).KeyExists("Vistrel Server"));

    w.fields.FilmDemoPasswordEdit = "film";
    w.fields.RemoteAdminPasswordEdit = "admin";
    w.fields.WatchDemoPasswordEdit = "watch";
    w.fields.ForwardServerIPEdit = "10.0.0.1";
    w.fields.MaxClientsSpin.SetValue(12);
    SaveSettings(store, w.fields);
    EXPECT_EQ(ModeOf(dir / "home/.config/vistrel"), 0700u);
    EXPECT_EQ(ModeOf(path), 0600u);
    EXPECT_EQ(ReadFileText(path), File("[HKEY_CURRENT_USER\\Vistrel Server]\n\n"
                                       "[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\n"
                                       "\"FilmDemoPasswordEdit\"=\"film\"\n"
                                       "\"RemoteAdminPasswordEdit\"=\"admin\"\n"
                                       "\"WatchDemoPasswordEdit\"=\"watch\"\n"
                                       "\"MaxClientsSpin\"=dword:0000000c\n"
                                       "\"BroadcastDelaySpin\"=dword:00000000\n"
                                       "\"CatchUpSpin\"=dword:00000001\n"
                                       "\"CrowdSpin\"=dword:000000c8\n"
                                       "\"ForwardServerIPEdit\"=\"10.0.0.1\"\n"));

    TRegistryStore next(path);
    TWatchedFields again;
    LoadSettings(next, again.fields);
    EXPECT_EQ(again.fields.FilmDemoPasswordEdit, "film");
    EXPECT_EQ(again.fields.RemoteAdminPasswordEdit, "admin");
    EXPECT_EQ(again.fields.WatchDemoPasswordEdit, "watch");
    EXPECT_EQ(again.fields.ForwardServerIPEdit, "10.0.0.1");
    EXPECT_EQ(again.limits, std::vector<int>{12});
}

TEST(Settings, ALimitWrittenAsTextStaysText) {
    TTempDir dir;
    std::string path = dir / "registry.reg";
    WriteFileText(path, File("[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\n\"MaxClientsSpin\"=\"25\"\n"));
    TRegistryStore store(path);
    TWatchedFields w;
    LoadSettings(store, w.fields);
    EXPECT_EQ(w.fields.MaxClientsSpin.Text(), "25");
    EXPECT_EQ(w.limits, std::vector<int>{25});
    SaveSettings(store, w.fields);
    EXPECT_EQ(TRegistryStore(path).ReadValue(kSetup, "MaxClientsSpin"), TRegValue::Text("25"));
    w.fields.MaxClientsSpin.SetValue(30);
    SaveSettings(store, w.fields);
    EXPECT_EQ(TRegistryStore(path).ReadValue(kSetup, "MaxClientsSpin"), TRegValue::Text("30"));

    // Expandable text keeps its type too; text that is no number is an error that leaves the field as it is.
    store.WriteValue(kSetup, "MaxClientsSpin", TRegValue::ExpandText(" 7 "));
    LoadSettings(store, w.fields);
    EXPECT_EQ(w.fields.MaxClientsSpin.Value(), 7);
    SaveSettings(store, w.fields);
    EXPECT_EQ(TRegistryStore(path).ReadValue(kSetup, "MaxClientsSpin"), TRegValue::ExpandText("7"));
    store.WriteValue(kSetup, "MaxClientsSpin", TRegValue::Text("lots"));
    EXPECT_TRUE(LoadSettings(store, w.fields).HasErrors());
    EXPECT_EQ(w.fields.MaxClientsSpin.Text(), "7");
}

TEST(Settings, AStoredLimitIsBroughtIntoRange) {
    TTempDir dir;
    TRegistryStore store(dir / "registry.reg");
    TWatchedFields w;
    store.WriteValue(kSetup, "MaxClientsSpin", TRegValue::Dword(100000));
    LoadSettings(store, w.fields);
    EXPECT_EQ(w.fields.MaxClientsSpin.Text(), "99999");
    EXPECT_EQ(w.limits, std::vector<int>{99999});

    store.WriteValue(kSetup, "MaxClientsSpin", TRegValue::Dword(0xFFFFFFFF));  // -1
    LoadSettings(store, w.fields);
    EXPECT_EQ(w.fields.MaxClientsSpin.Text(), "0");
    store.WriteValue(kSetup, "MaxClientsSpin", TRegValue::Text("123456789012"));
    LoadSettings(store, w.fields);
    EXPECT_EQ(w.fields.MaxClientsSpin.Text(), "99999");
}

// Saving them is in AFreshAccountStartsEmptyAndSavesPrivately.
TEST(Settings, TheOtherSpinFieldsDefaultAndClampInTheirOwnRanges) {
    TTempDir dir;
    TRegistryStore store(dir / "registry.reg");
    TSetupFields fields;
    fields.CrowdSpin.SetValue(7);
    LoadSettings(store, fields);  // nothing stored: the default again
    EXPECT_EQ(fields.CrowdSpin.Text(), "200");
    store.WriteValue(kSetup, "BroadcastDelaySpin", TRegValue::Dword(3601));
    store.WriteValue(kSetup, "CatchUpSpin", TRegValue::Dword(0));
    store.WriteValue(kSetup, "CrowdSpin", TRegValue::Dword(0xFFFFFFFF));  // -1
    LoadSettings(store, fields);
    EXPECT_EQ(fields.BroadcastDelaySpin.Text(), "3600");
    EXPECT_EQ(fields.CatchUpSpin.Text(), "1");
    EXPECT_EQ(fields.CrowdSpin.Text(), "0");
}

TEST(Settings, PasswordsStoredAsExpandableTextAreRead) {
    TTempDir dir;
    TRegistryStore store(dir / "registry.reg");
    store.WriteValue(kSetup, "FilmDemoPasswordEdit", TRegValue::ExpandText("%pw%"));
    TSetupFields fields;
    LoadSettings(store, fields);
    EXPECT_EQ(fields.FilmDemoPasswordEdit, "%pw%");
    SaveSettings(store, fields);  // written back as plain text
    EXPECT_EQ(store.ReadValue(kSetup, "FilmDemoPasswordEdit"), TRegValue::Text("%pw%"));
}

TEST(Settings, AValueOfTheWrongTypeIsReportedWithItsLineAndTheRestIsRead) {
    TTempDir dir;
    const std::string path = dir / "registry.reg";
    WriteFileText(path, File("[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\n"
                             "\"FilmDemoPasswordEdit\"=\"film\"\n"
                             "\"RemoteAdminPasswordEdit\"=dword:5\n"
                             "\"WatchDemoPasswordEdit\"=\"watch\"\n"
                             "\"MaxClientsSpin\"=hex:09,00,00,00\n"
                             "\"CatchUpSpin\"=\"lots\"\n"
                             "\"CrowdSpin\"=hex(4):09,00\n"  // a short integer
                             "\"ForwardServerIPEdit\"=\"http://origin\"\n"));
    TRegistryStore store(path);
    TWatchedFields w;
    w.fields.RemoteAdminPasswordEdit = "old admin";
    const TSettingsReport report = LoadSettings(store, w.fields);
    EXPECT_TRUE(report.HasErrors());
    EXPECT_EQ(report.Text(), path + ":5: Invalid data type for 'RemoteAdminPasswordEdit'\n" + path +
                                 ":7: Invalid data type for 'MaxClientsSpin'\n" + path +
                                 ":8: Invalid value for 'CatchUpSpin': not a whole number\n" + path +
                                 ":9: Invalid data type for 'CrowdSpin'");
    EXPECT_EQ(w.fields.FilmDemoPasswordEdit, "film");
    EXPECT_EQ(w.fields.RemoteAdminPasswordEdit, "old admin");  // left as it was
    EXPECT_EQ(w.fields.WatchDemoPasswordEdit, "watch");
    EXPECT_EQ(w.fields.ForwardServerIPEdit, "http://origin");
    EXPECT_EQ(w.fields.CatchUpSpin.Text(), "1");
    EXPECT_TRUE(w.limits.empty());
}

TEST(Settings, UnknownNamesAndValuesOutOfRangeAreWarnings) {
    TTempDir dir;
    const std::string path = dir / "registry.reg";
    WriteFileText(path, File("[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\n"
                             "\"maxclientsspin\"=dword:000186a0\n"
                             "\"MaxClientSpin\"=dword:3\n"
                             "\"CrowdSpin\"=\" 123456789012 \"\n"
                             "\"CatchUpSpin\"=dword:ffffffff\n"
                             "\"BroadcastDelaySpin\"=dword:5\n"));
    TRegistryStore store(path);
    TSetupFields fields;
    const TSettingsReport report = ReadSettings(store, fields);
    EXPECT_FALSE(report.HasErrors());
    EXPECT_EQ(report.Text(), path + ":4: 'MaxClientsSpin' is 100000, outside 0 to 99999; 99999 is used\n" + path +
                                 ":5: Unknown value 'MaxClientSpin' ignored\n" + path +
                                 ":6: 'CrowdSpin' is 123456789012, outside 0 to 99999; 99999 is used\n" + path +
                                 ":7: 'CatchUpSpin' is -1, outside 1 to 16; 1 is used");
    EXPECT_EQ(fields.MaxClientsSpin.Text(), "99999");
    EXPECT_EQ(fields.BroadcastDelaySpin.Text(), "5");
}

TEST(Settings, AReloadChangesWhatDiffersOrNothingWhenTheFileIsWrong) {
    TTempDir dir;
    const std::string path = dir / "registry.reg";
    const std::string key = "[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\n";
    WriteFileText(path, File(key + "\"FilmDemoPasswordEdit\"=\"old\"\n\"MaxClientsSpin\"=dword:5\n"));
    TRegistryStore store(path);
    TWatchedFields w;
    LoadSettings(store, w.fields);
    EXPECT_TRUE(ReloadSettings(store, w.fields).Changed.empty());

    WriteFileText(path, File(key + "\"FilmDemoPasswordEdit\"=\"new\"\n\"MaxClientsSpin\"=dword:2\n"
                                   "\"CrowdSpin\"=dword:7\n\"ForwardServerIPEdit\"=\"http://later\"\n"));
    const TSettingsReload reload = ReloadSettings(store, w.fields);
    EXPECT_EQ(reload.Changed, (std::vector<std::string>{"FilmDemoPasswordEdit", "MaxClientsSpin", "CrowdSpin"}));
    EXPECT_EQ(w.fields.FilmDemoPasswordEdit, "new");
    EXPECT_EQ(w.limits, (std::vector<int>{5, 2}));  // through the field's change event
    EXPECT_EQ(w.fields.ForwardServerIPEdit, "");    // read at start-up only

    for (const std::string& broken :
         {File(key + "\"FilmDemoPasswordEdit\"=\"x\"\n\"MaxClientsSpin\"=\"lots\"\n"), std::string("garbage\n")}) {
        WriteFileText(path, broken);
        EXPECT_THROW(ReloadSettings(store, w.fields), ERegistryException);
        EXPECT_EQ(w.fields.FilmDemoPasswordEdit, "new");
        EXPECT_EQ(w.fields.MaxClientsSpin.Text(), "2");
    }
}

TEST(Settings, AFailedWriteKeepsWhatWasWrittenBefore) {
    TTempDir dir;
    std::string path = dir / "registry.reg";
    TRegistryStore store(path);
    TSetupFields fields;
    fields.FilmDemoPasswordEdit = "new film";
    // More than the store will ever write: the second value cannot be set.
    fields.RemoteAdminPasswordEdit = std::string(2 << 20, 'x');
    fields.WatchDemoPasswordEdit = "new watch";
    try {
        SaveSettings(store, fields);
        ADD_FAILURE() << "the save went through";
    } catch (const ERegistryException& e) {
        EXPECT_STREQ(e.what(), "Failed to set data for 'RemoteAdminPasswordEdit'");
        EXPECT_FALSE(e.Detail().empty());
    }
    TRegistryStore reopened(path);
    EXPECT_EQ(reopened.ReadValue(kSetup, "FilmDemoPasswordEdit"), TRegValue::Text("new film"));
    EXPECT_FALSE(reopened.ReadValue(kSetup, "RemoteAdminPasswordEdit").has_value());
    EXPECT_FALSE(reopened.ReadValue(kSetup, "WatchDemoPasswordEdit").has_value());
}

TEST(Settings, AFolderThatCannotBeCreatedFailsTheSave) {
    TTempDir dir;
    WriteFileText(dir / "config", "a file where the folder should be");
    TRegistryStore store(dir / "config/vistrel/registry.reg");
    TSetupFields fields;
    LoadSettings(store, fields);  // reads nothing, reports nothing
    ExpectMessage([&] { SaveSettings(store, fields); }, "Failed to create key Vistrel Server");
}

TEST(Settings, AReadOnlyFolderFailsTheSave) {
    if (::geteuid() == 0) GTEST_SKIP() << "permission bits do not stop root";
    TTempDir dir;
    std::string folder = dir / "vistrel";
    std::string path = folder + "/registry.reg";
    TRegistryStore store(path);
    TSetupFields fields;
    fields.FilmDemoPasswordEdit = "first";
    SaveSettings(store, fields);
    std::string before = ReadFileText(path);
    std::filesystem::permissions(folder, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    fields.FilmDemoPasswordEdit = "second";
    ExpectMessage([&] { SaveSettings(store, fields); }, "Failed to set data for 'FilmDemoPasswordEdit'");
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    EXPECT_EQ(ReadFileText(path), before);
}

TEST(Settings, AMalformedFileIsReadAsDefaultsAndLeftAlone) {
    TTempDir dir;
    std::string path = dir / "registry.reg";
    const std::string broken = File("[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\n\"FilmDemoPasswordEdit\"=\"pw\n");
    WriteFileText(path, broken);
    TRegistryStore store(path);
    TSetupFields fields;
    LoadSettings(store, fields);
    EXPECT_EQ(fields.FilmDemoPasswordEdit, "");
    fields.FilmDemoPasswordEdit = "new";
    ExpectMessage([&] { SaveSettings(store, fields); }, "Failed to create key Vistrel Server");
    EXPECT_EQ(ReadFileText(path), broken);
}

TEST(Settings, OtherKeysSurviveASave) {
    TTempDir dir;
    std::string path = dir / "registry.reg";
    WriteFileText(path, File("[HKEY_CURRENT_USER\\Vistrel\\Common]\n"
                             "\"GamesListBox\"=\"50,200,70,70,95,50,115\"\n\n"
                             "[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\n"
                             "\"Unknown\"=hex:01\n"));
    TRegistryStore store(path);
    TSetupFields fields;
    LoadSettings(store, fields);
    fields.FilmDemoPasswordEdit = "pw";
    SaveSettings(store, fields);
    TRegistryStore reopened(path);
    EXPECT_EQ(reopened.ReadValue("Vistrel\\Common", "GamesListBox"), TRegValue::Text("50,200,70,70,95,50,115"));
    EXPECT_EQ(reopened.ReadValue(kSetup, "Unknown"), TRegValue::Binary("\x01"));
    EXPECT_EQ(reopened.ReadValue(kSetup, "FilmDemoPasswordEdit"), TRegValue::Text("pw"));
}

}  // namespace
}  // namespace vistrel
