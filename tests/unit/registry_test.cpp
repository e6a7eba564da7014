#include "settings/registry_store.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "tests/unit/settings_temp_dir.h"

namespace vistrel {
namespace {

using testing::ModeOf;
using testing::ReadFileText;
using testing::TTempDir;
using testing::WriteFileText;

std::string Header() { return std::string(kRegistryFileHeader) + "\n\n"; }

TEST(RegistryStore, EveryTypeSurvivesTheFile) {
    TTempDir dir;
    std::string path = dir / "registry.reg";
    std::string binary;
    for (int i = 0; i < 60; ++i) binary += static_cast<char>(i * 7);  // long enough to continue lines
    const std::vector<std::pair<std::string, TRegValue>> values = {
        {"Plain", TRegValue::Text("secret")},
        {"Escapes", TRegValue::Text(R"(C:\path "quoted" \\ end\)")},
        {"Unicode", TRegValue::Text("gr\xC3\xBC\xC3\x9F dich")},
        {"Empty", TRegValue::Text("")},
        {"Lines", TRegValue::Text(std::string("two\nlines\r\n\0nul", 15))},
        {"Latin1", TRegValue::Text("caf\xE9")},
        {"Expand", TRegValue::ExpandText("%HOME%\\x")},
        {"Number", TRegValue::Dword(0x19)},
        {"Big", TRegValue::Dword(0xFFFFFFFF)},
        {"Bytes", TRegValue::Binary(binary)},
        {"NoBytes", TRegValue::Binary("")},
        {"Multi", TRegValue{7, std::string("a\0b\0\0", 5)}},
        {"Qword", TRegValue{0xb, std::string(8, '\x01')}},
        {"ShortDword", TRegValue{REG_DWORD, "ab"}},
        {"", TRegValue::Text("default value")},
    };
    {
        TRegistryStore store(path);
        for (const auto& [name, value] : values) store.WriteValue("Vistrel Server\\Setup", name, value);
    }
    TRegistryStore reopened(path);
    ASSERT_FALSE(reopened.IsReadOnly()) << reopened.LoadError();
    for (const auto& [name, value] : values) {
        std::optional<TRegValue> read = reopened.ReadValue("Vistrel Server\\Setup", name);
        ASSERT_TRUE(read.has_value()) << name;
        EXPECT_EQ(read->Type, value.Type) << name;
        EXPECT_EQ(read->Data, value.Data) << name;
    }
    EXPECT_TRUE(reopened.KeyExists("Vistrel Server"));
    std::string text = ReadFileText(path);
    EXPECT_NE(text.find("\"Plain\"=\"secret\"\n"), std::string::npos);
    EXPECT_NE(text.find(R"("Escapes"="C:\\path \"quoted\" \\\\ end\\")"), std::string::npos);
    EXPECT_NE(text.find("\"Number\"=dword:00000019\n"), std::string::npos);
    EXPECT_NE(text.find("@=\"default value\"\n"), std::string::npos);
    EXPECT_NE(text.find(",\\\n  "), std::string::npos);  // the long byte list goes on over lines
}

TEST(RegistryText, ReadsAHandWrittenFile) {
    std::string text =
        "\xEF\xBB\xBF" "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; written by hand\r\n"
        "[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\r\n"
        "  \"FilmDemoPasswordEdit\" = \"a \\\"b\\\" c\\\\d \\n\"  \r\n"
        "\"MaxClientsSpin\"=dword:19\r\n"
        "\"Blob\"=hex:01, 02,\\\r\n"
        "  ff,A0\r\n"
        "\"Exp\"=hex(2):41,42\r\n"
        "@=HEX(b):00\r\n"
        "[hkey_current_user\\vistrel server\\SETUP]\r\n"
        "\"Later\"=\"x\"\r\n";
    TRegistryData data = ParseRegistryText(text);
    ASSERT_EQ(data.Keys().size(), 2u);
    EXPECT_EQ(data.Keys()[0].Path, "Vistrel Server");
    EXPECT_EQ(data.Keys()[1].Path, "Vistrel Server\\Setup");
    // Names compare without regard to case; an unknown escape is kept as it is.
    EXPECT_EQ(*data.FindValue("VISTREL SERVER\\setup", "filmdemopasswordedit"), TRegValue::Text("a \"b\" c\\d \\n"));
    EXPECT_EQ(*data.FindValue("Vistrel Server\\Setup", "MaxClientsSpin"), TRegValue::Dword(25));
    EXPECT_EQ(*data.FindValue("Vistrel Server\\Setup", "Blob"), TRegValue::Binary("\x01\x02\xff\xa0"));
    EXPECT_EQ(*data.FindValue("Vistrel Server\\Setup", "Exp"), TRegValue::ExpandText("AB"));
    EXPECT_EQ(*data.FindValue("Vistrel Server\\Setup", ""), (TRegValue{0xb, std::string(1, '\0')}));
    EXPECT_NE(data.FindValue("Vistrel Server\\Setup", "Later"), nullptr);
    // Each value knows its line (a continued byte list, the one it starts on).
    EXPECT_EQ(data.FindNamedValue("Vistrel Server\\Setup", "maxclientsspin")->Line, 6);
    EXPECT_EQ(data.FindNamedValue("Vistrel Server\\Setup", "Exp")->Line, 9);
    EXPECT_EQ(data.FindNamedValue("Vistrel Server\\Setup", "Later")->Line, 12);
    EXPECT_EQ(ParseRegistryText(FormatRegistryText(data)), data);
}

TEST(RegistryText, EmptyTextIsAnEmptyStore) {
    EXPECT_TRUE(ParseRegistryText("").Keys().empty());
    EXPECT_TRUE(ParseRegistryText(" \n\n").Keys().empty());
}

TEST(RegistryText, NamesTheLineThatIsWrong) {
    const std::string h = "Windows Registry Editor Version 5.00\n";
    const std::vector<std::pair<std::string, int>> cases = {
        {"REGEDIT4\n", 1},
        {"\n\nWindows Registry Editor Version 4.00\n", 3},
        {h + "\"a\"=\"b\"\n", 2},                             // value before any key
        {h + "[HKEY_LOCAL_MACHINE\\Software]\n", 2},
        {h + "[HKEY_CURRENT_USERS\\x]\n", 2},
        {h + "[-HKEY_CURRENT_USER\\x]\n", 2},
        {h + "[HKEY_CURRENT_USER\\x\n", 2},
        {h + "[HKEY_CURRENT_USER\\a\\\\b]\n", 2},             // empty part
        {h + "[HKEY_CURRENT_USER\\]\n", 2},
        {h + "[HKEY_CURRENT_USER\\k]\n\"a\"=\"b\n", 3},      // unclosed text
        {h + "[HKEY_CURRENT_USER\\k]\n\"a=\"b\"\n", 3},      // name swallows the '='
        {h + "[HKEY_CURRENT_USER\\k]\n\"a\"=\"b\" x\n", 3},
        {h + "[HKEY_CURRENT_USER\\k]\n\"a\"=dword:123456789\n", 3},
        {h + "[HKEY_CURRENT_USER\\k]\n\"a\"=dword:\n", 3},
        {h + "[HKEY_CURRENT_USER\\k]\n\"a\"=dword:1g\n", 3},
        {h + "[HKEY_CURRENT_USER\\k]\n\"a\"=hex:1,2,\n", 3},
        {h + "[HKEY_CURRENT_USER\\k]\n\"a\"=hex:100\n", 3},
        {h + "[HKEY_CURRENT_USER\\k]\n\"a\"=hex(x):00\n", 3},
        {h + "[HKEY_CURRENT_USER\\k]\n\"a\"=hex(2)00\n", 3},
        {h + "[HKEY_CURRENT_USER\\k]\n\"a\"=hex:00,\\\n", 3},  // continues past the end
        {h + "[HKEY_CURRENT_USER\\k]\n\"a\"=-\n", 3},
        {h + "[HKEY_CURRENT_USER\\k]\n\"a\"=\n", 3},
        {h + "[HKEY_CURRENT_USER\\k]\n\"a\"=str:x\n", 3},
        {h + "[HKEY_CURRENT_USER\\k]\nplain words\n", 3},
        {h + "[HKEY_CURRENT_USER\\k]\n\"a\"=hex:00,\\\n  zz\n", 3},  // a value's errors name its first line
        {h + "[HKEY_CURRENT_USER\\" + std::string(600, 'k') + "]\n", 2},
    };
    for (const auto& [text, line] : cases) {
        try {
            ParseRegistryText(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const ERegistryFormatError& e) {
            EXPECT_EQ(e.Line(), line) << text << " -> " << e.what();
            EXPECT_FALSE(e.Reason().empty());
        }
    }
}

TEST(RegistryStore, AWriteKeepsWhatOthersWroteMeanwhile) {
    TTempDir dir;
    std::string path = dir / "registry.reg";
    TRegistryStore first(path);
    TRegistryStore second(path);
    first.WriteValue("Vistrel\\Common", "GamesListBox", TRegValue::Text("1,2"));
    second.WriteValue("Vistrel Server\\Setup", "FilmDemoPasswordEdit", TRegValue::Text("pw"));
    // The second store saw the first one's value when it re-read the file.
    EXPECT_EQ(second.ReadValue("Vistrel\\Common", "GamesListBox"), TRegValue::Text("1,2"));
    TRegistryStore reopened(path);
    EXPECT_EQ(reopened.ReadValue("Vistrel\\Common", "GamesListBox"), TRegValue::Text("1,2"));
    EXPECT_EQ(reopened.ReadValue("Vistrel Server\\Setup", "FilmDemoPasswordEdit"), TRegValue::Text("pw"));

    reopened.DeleteValue("Vistrel\\Common", "GamesListBox");
    reopened.DeleteValue("Vistrel\\Common", "NotThere");
    EXPECT_FALSE(TRegistryStore(path).ReadValue("Vistrel\\Common", "GamesListBox").has_value());
    EXPECT_TRUE(TRegistryStore(path).KeyExists("Vistrel\\Common"));

    // Only the file remains: no temporary file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

TEST(RegistryStore, NewFileAndFoldersArePrivate) {
    TTempDir dir;
    std::string path = dir / "config/vistrel/registry.reg";
    TRegistryStore store(path);
    EXPECT_FALSE(store.IsReadOnly());
    EXPECT_FALSE(std::filesystem::exists(path));  // opening alone writes nothing
    store.CreateKey("Vistrel");
    EXPECT_EQ(ModeOf(dir / "config"), 0700u);
    EXPECT_EQ(ModeOf(dir / "config/vistrel"), 0700u);
    EXPECT_EQ(ModeOf(path), 0600u);
    EXPECT_EQ(ReadFileText(path), Header() + "[HKEY_CURRENT_USER\\Vistrel]\n");
}

TEST(RegistryStore, AFileThatDoesNotParseIsNeverWritten) {
    TTempDir dir;
    std::string path = dir / "registry.reg";
    const std::string broken = Header() + "[HKEY_CURRENT_USER\\Vistrel Server\\Setup]\n\"MaxClientsSpin\"=dword:xyz\n";
    WriteFileText(path, broken);
    TRegistryStore store(path);
    EXPECT_TRUE(store.IsReadOnly());
    EXPECT_EQ(store.LoadError().rfind(path + ":4: ", 0), 0u) << store.LoadError();
    EXPECT_FALSE(store.KeyExists("Vistrel Server"));
    EXPECT_THROW(store.CreateKey("Vistrel"), ERegistryException);
    EXPECT_THROW(store.WriteValue("Vistrel", "x", TRegValue::Text("y")), ERegistryException);
    EXPECT_EQ(ReadFileText(path), broken);

    // A file broken while the program runs is noticed at the next write.
    std::string other = dir / "other.reg";
    TRegistryStore running(other);
    running.CreateKey("Vistrel");
    WriteFileText(other, "garbage\n");
    EXPECT_THROW(running.CreateKey("Vistrel Server"), ERegistryException);
    EXPECT_TRUE(running.IsReadOnly());
    EXPECT_EQ(ReadFileText(other), "garbage\n");

    // A reload of a broken file keeps what was loaded; a mended one is read and writable again.
    WriteFileText(other, Header() + "[HKEY_CURRENT_USER\\Vistrel]\n\"x\"=\"1\"\n");
    TRegistryStore reloaded(other);
    WriteFileText(other, "garbage\n");
    EXPECT_THROW(reloaded.Reload(), ERegistryException);
    std::filesystem::remove(other);
    EXPECT_THROW(reloaded.Reload(), ERegistryException);
    EXPECT_EQ(reloaded.ReadValue("Vistrel", "x"), TRegValue::Text("1"));
    WriteFileText(other, Header() + "[HKEY_CURRENT_USER\\Vistrel]\n\"x\"=\"2\"\n");
    running.Reload();
    EXPECT_FALSE(running.IsReadOnly());
    EXPECT_EQ(running.ReadValue("Vistrel", "x"), TRegValue::Text("2"));
}

TEST(RegistryStore, RefusesToGrowBeyondItsLimit) {
    TTempDir dir;
    std::string path = dir / "registry.reg";
    TRegistryStore store(path);
    store.WriteValue("K", "small", TRegValue::Text("x"));
    std::string before = ReadFileText(path);
    EXPECT_THROW(store.WriteValue("K", "huge", TRegValue::Text(std::string(2 << 20, 'a'))), ERegistryException);
    EXPECT_EQ(ReadFileText(path), before);
    EXPECT_FALSE(store.ReadValue("K", "huge").has_value());
}

TEST(RegistryStore, WritesThroughASymbolicLink) {
    TTempDir dir;
    std::string real = dir / "real.reg";
    std::string link = dir / "registry.reg";
    TRegistryStore(real).CreateKey("A");
    std::filesystem::create_symlink(real, link);
    TRegistryStore(link).CreateKey("B");
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_TRUE(TRegistryStore(real).KeyExists("B"));
}

TEST(RegistryStore, RejectsNamesTheFileCannotHold) {
    TTempDir dir;
    TRegistryStore store(dir / "registry.reg");
    EXPECT_THROW(store.CreateKey("a\\\\b"), ERegistryException);
    EXPECT_THROW(store.CreateKey("a\\"), ERegistryException);
    EXPECT_THROW(store.WriteValue("a", "two\nlines", TRegValue::Text("")), ERegistryException);
    EXPECT_FALSE(std::filesystem::exists(dir / "registry.reg"));
}

class DefaultPathTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"VISTREL_REGISTRY", "XDG_CONFIG_HOME", "HOME"}) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value) ::setenv(name.c_str(), value->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(DefaultPathTest, FollowsTheEnvironment) {
    ::setenv("HOME", "/home/op", 1);
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("VISTREL_REGISTRY");
    EXPECT_EQ(DefaultRegistryPath(), "/home/op/.config/vistrel/registry.reg");
    ::setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    EXPECT_EQ(DefaultRegistryPath(), "/home/op/.config/vistrel/registry.reg");
    ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
    EXPECT_EQ(DefaultRegistryPath(), "/cfg/vistrel/registry.reg");
    ::setenv("VISTREL_REGISTRY", "/elsewhere/my.reg", 1);
    EXPECT_EQ(DefaultRegistryPath(), "/elsewhere/my.reg");
    ::setenv("VISTREL_REGISTRY", "", 1);
    EXPECT_EQ(DefaultRegistryPath(), "/cfg/vistrel/registry.reg");
}

}  // namespace
}  // namespace vistrel
