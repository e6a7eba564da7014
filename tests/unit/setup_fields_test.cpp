#include "console/setup_fields.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

namespace vistrel {
namespace {

struct SpinFieldTest : ::testing::Test {
    SpinFieldTest() {
        spin.OnChange = [this](int value) { changes.push_back(value); };
    }
    TSpinField spin;
    std::vector<int> changes;
};

TEST_F(SpinFieldTest, ProgramSetsClampedValuesAndReportsOnlyTextChanges) {
    EXPECT_EQ(spin.Text(), "0");
    spin.SetValue(0);
    EXPECT_TRUE(changes.empty());
    spin.SetValue(25);
    spin.SetValue(25);
    spin.SetValue(123456);
    spin.SetValue(-4);
    spin.SetValue(INT_MIN);
    EXPECT_EQ(changes, (std::vector<int>{25, 99999, 0}));
    EXPECT_EQ(spin.Text(), "0");
}

TEST_F(SpinFieldTest, TypingAppliesAsTypedUntilTheFocusLeaves) {
    spin.SetText("123456");
    EXPECT_EQ(spin.Value(), 123456);
    spin.SetText("-3");
    EXPECT_EQ(spin.Value(), -3);
    spin.FocusLost();
    EXPECT_EQ(spin.Text(), "0");
    spin.SetText("007");
    spin.FocusLost();  // in range: the text stays as typed
    EXPECT_EQ(spin.Text(), "007");
    spin.SetText("99999999999999");  // beyond int: saturates
    EXPECT_EQ(spin.Value(), INT_MAX);
    spin.FocusLost();
    EXPECT_EQ(spin.Text(), "99999");
    EXPECT_EQ(changes, (std::vector<int>{123456, -3, 0, 7, INT_MAX, 99999}));
}

TEST_F(SpinFieldTest, EmptyOrNonNumericTextBecomesZero) {
    spin.SetValue(5);
    changes.clear();
    for (const char* text : {"", "abc", "12a", "+", "-", "1-2", " 3"}) {
        spin.SetValue(5);
        spin.SetText(text);
        EXPECT_EQ(spin.Text(), "0") << text;
        EXPECT_EQ(spin.Value(), 0) << text;
    }
    spin.SetText("");  // already "0": nothing changes
    EXPECT_EQ(changes.size(), 13u);
    EXPECT_EQ(changes.back(), 0);
    spin.SetText("+8");
    EXPECT_EQ(spin.Value(), 8);
}

TEST_F(SpinFieldTest, StepsStayInRange) {
    spin.StepBy(-1);
    EXPECT_TRUE(changes.empty());
    spin.StepBy(10);
    spin.StepBy(1);
    EXPECT_EQ(spin.Text(), "11");
    spin.SetValue(99995);
    spin.StepBy(10);
    EXPECT_EQ(spin.Text(), "99999");
    spin.SetText("200000");  // typed out of range, then stepped: brought back
    spin.StepBy(1);
    EXPECT_EQ(spin.Text(), "99999");
    spin.SetText("-50");
    spin.StepBy(-10);
    EXPECT_EQ(spin.Text(), "0");
}

TEST(SpinField, AcceptedKeys) {
    for (char c : std::string("0123456789+-\b\x16\x7f")) EXPECT_TRUE(TSpinField::AcceptsKey(c)) << int(c);
    for (char c : std::string("a .,\r\n\xe9")) EXPECT_FALSE(TSpinField::AcceptsKey(c)) << int(c);
}

TEST(SpinField, ParseDecimalInt) {
    int v = 42;
    EXPECT_FALSE(ParseDecimalInt("", v));
    EXPECT_FALSE(ParseDecimalInt("0x10", v));
    EXPECT_EQ(v, 42);
    EXPECT_TRUE(ParseDecimalInt("-2147483648", v));
    EXPECT_EQ(v, INT_MIN);
    EXPECT_TRUE(ParseDecimalInt("-99999999999999999999999", v));
    EXPECT_EQ(v, INT_MIN);
    EXPECT_TRUE(ParseDecimalInt("2147483648", v));
    EXPECT_EQ(v, INT_MAX);
}

}  // namespace
}  // namespace vistrel
