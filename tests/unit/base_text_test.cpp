// The text helpers every layer reads numbers, names and strangers' texts
// with.
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "base/ascii_case.h"
#include "base/latin1.h"
#include "base/whole_number.h"

namespace vistrel {
namespace {

TEST(WholeNumber, TakesTheBoundsAndNothingBeyond) {
    int32_t value = 7;
    EXPECT_TRUE(ParseWholeNumber("1", value, 1, 65535) && value == 1);
    EXPECT_TRUE(ParseWholeNumber("65535", value, 1, 65535) && value == 65535);
    EXPECT_TRUE(ParseWholeNumber("00080", value, 1, 65535) && value == 80);
    EXPECT_TRUE(ParseWholeNumber("-2147483648", value) && value == INT32_MIN);
    value = 7;
    for (const char* text : {"0", "65536", "-1", "2147483648", "-2147483649", "99999999999999999999999"})
        EXPECT_FALSE(ParseWholeNumber(text, value, 1, 65535)) << text;
    EXPECT_FALSE(ParseWholeNumber("2147483648", value));
    EXPECT_EQ(value, 7);  // left alone on failure

    uint64_t big = 0;
    EXPECT_TRUE(ParseWholeNumber("18446744073709551615", big) && big == UINT64_MAX);
    EXPECT_FALSE(ParseWholeNumber("18446744073709551616", big));
    uint16_t port = 0;
    EXPECT_TRUE(ParseWholeNumber("65535", port) && port == 65535);
    EXPECT_FALSE(ParseWholeNumber("65536", port));
}

TEST(WholeNumber, RefusesAnythingButTheWholeTextAsDigits) {
    int64_t value = 7;
    for (const char* text : {"", "-", "+1", " 1", "1 ", "1a", "1e3", "0x10", "1.0", "1,000", "--1"})
        EXPECT_FALSE(ParseWholeNumber(text, value)) << text;
    // A minus sign only where the range has negative numbers, so no count
    // is ever written "-0".
    EXPECT_FALSE(ParseWholeNumber("-0", value, 0, 10));
    uint32_t count = 0;
    EXPECT_FALSE(ParseWholeNumber("-0", count));
    EXPECT_FALSE(ParseWholeNumber("-1", count));
    EXPECT_TRUE(ParseWholeNumber("-0", value) && value == 0);
    EXPECT_FALSE(ParseWholeNumber(std::string_view("12\0", 3), value));
}

TEST(WholeNumber, ReadsHexadecimalDigitsOfEitherCase) {
    uint32_t value = 7;
    EXPECT_TRUE(ParseHexNumber("fF", value) && value == 0xFF);
    EXPECT_TRUE(ParseHexNumber("ffffffff", value) && value == 0xFFFFFFFF);
    for (const char* text : {"", "100000000", "0x1", "-1", "+1", "g", "1 "})
        EXPECT_FALSE(ParseHexNumber(text, value)) << text;
    EXPECT_EQ(value, 0xFFFFFFFF);
}

TEST(AsciiCase, FoldsOnlyTheAsciiLetters) {
    EXPECT_TRUE(EqualsIgnoringCase("Content-Length", "content-LENGTH"));
    EXPECT_TRUE(EqualsIgnoringCase("", ""));
    EXPECT_FALSE(EqualsIgnoringCase("Host", "Hos"));
    EXPECT_FALSE(EqualsIgnoringCase("Host", "Hosu"));
    // Bytes that differ by 0x20 but are no letter pair stay apart, and
    // Latin-1 letters are not folded whatever the locale.
    EXPECT_FALSE(EqualsIgnoringCase("@[", "`{"));
    EXPECT_FALSE(EqualsIgnoringCase("\xC4", "\xE4"));

    EXPECT_TRUE(StartsWithIgnoringCase("DWORD:00000001", "dword:"));
    EXPECT_TRUE(StartsWithIgnoringCase("anything", ""));
    EXPECT_FALSE(StartsWithIgnoringCase("hex", "hex("));
}

TEST(Latin1, EveryByteComesBackThroughUtf8) {
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    const std::string utf8 = Latin1ToUtf8(all);
    EXPECT_EQ(utf8.size(), 128u + 2 * 128u);
    EXPECT_TRUE(IsValidUtf8(utf8));
    EXPECT_EQ(Utf8ToLatin1(utf8), all);
    EXPECT_EQ(Latin1ToUtf8("Caf\xE9"), "Caf\xC3\xA9");
}

TEST(Latin1, CharactersBeyondLatin1AndMalformedBytesBecomeQuestionMarks) {
    EXPECT_EQ(Utf8ToLatin1("\xE2\x82\xAC 5"), "? 5");      // the euro sign
    EXPECT_EQ(Utf8ToLatin1("a\xF0\x9F\x98\x80z"), "a?z");  // beyond the BMP
    EXPECT_EQ(Utf8ToLatin1("\xC4\x80"), "?");              // U+0100, just past Latin-1
    // An overlong form must not smuggle a byte the text never said (here a
    // NUL and a ';' that would split a list row).
    EXPECT_EQ(Utf8ToLatin1(std::string_view("\xC0\x80", 2)), "??");
    EXPECT_EQ(Utf8ToLatin1("\xC0\xBB"), "??");
    EXPECT_EQ(Utf8ToLatin1("\xE0\x80\xBB"), "???");
    EXPECT_EQ(Utf8ToLatin1("\xED\xA0\x80"), "???");       // a surrogate
    EXPECT_EQ(Utf8ToLatin1("\xF4\x90\x80\x80"), "????");  // beyond U+10FFFF
    EXPECT_EQ(Utf8ToLatin1("\x80x\xC3"), "?x?");          // stray continuation, cut tail
    EXPECT_EQ(Utf8ToLatin1("\xC3(\xC3\xA9"), "?(\xE9");   // resumes at the next byte
    EXPECT_EQ(Utf8ToLatin1("\xFF\xFE"), "??");

    for (const char* text : {"\xC0\x80", "\xC0\xBB", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80", "\xC3", "\xFF"})
        EXPECT_FALSE(IsValidUtf8(text)) << text;
    EXPECT_TRUE(IsValidUtf8("\xF4\x8F\xBF\xBF \xEF\xBF\xBF"));
}

}  // namespace
}  // namespace vistrel
