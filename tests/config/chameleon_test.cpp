// Chameleon: numbers become six-significant-digit text, text is kept as
// given, and reading a number is strtod's leading-prefix parse.
#include "config/Chameleon.h"

#include <gtest/gtest.h>

#include <locale>
#include <string>

namespace {

struct NumberText {
    double number;
    const char* text;
};

const NumberText kNumberTexts[] = {
    {0.0, "0"},         {2.5, "2.5"},       {100.0, "100"},       {-0.5, "-0.5"},
    {0.0001, "0.0001"}, {0.00001, "1e-05"}, {1000000.0, "1e+06"}, {1234567.0, "1.23457e+06"},
};

TEST(Chameleon, NumbersAreStoredAsGeneralFormatText) {
    for (const NumberText& row : kNumberTexts) {
        EXPECT_EQ(static_cast<std::string>(Chameleon(row.number)), row.text) << row.number;
        Chameleon assigned("previous text");
        assigned = row.number;
        EXPECT_EQ(static_cast<std::string>(assigned), row.text) << row.number;
    }
}

TEST(Chameleon, LosesDigitsBeyondSixWhenPassingThroughText) {
    EXPECT_EQ(static_cast<double>(Chameleon(1234567.0)), 1234570.0);
    EXPECT_EQ(static_cast<double>(Chameleon(0.0)), 0.0);
}

TEST(Chameleon, ReadsTheLeadingNumberOfTheText) {
    const struct {
        const char* text;
        double number;
    } rows[] = {
        {"  42abc", 42.0}, {"abc", 0.0}, {"", 0.0}, {"3.5", 3.5}, {"-1e3x", -1000.0}, {"\t7", 7.0},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(static_cast<double>(Chameleon(row.text)), row.number) << '"' << row.text << '"';
    }
}

TEST(Chameleon, TextIsKeptExactlyAsGiven) {
    EXPECT_EQ(static_cast<std::string>(Chameleon(std::string("  spaced \r"))), "  spaced \r");
    Chameleon value(1.0);
    value = std::string("3.50");
    EXPECT_EQ(static_cast<double>(value), 3.5);
    EXPECT_EQ(static_cast<std::string>(value), "3.50");
    Chameleon copy = value;
    EXPECT_EQ(static_cast<std::string>(copy), "3.50");
}

// A global locale with a decimal comma must not leak into stored numbers:
// the text is read back by strtod in the C locale.
struct DecimalComma : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    std::string do_grouping() const override { return "\3"; }
    char do_thousands_sep() const override { return '.'; }
};

TEST(Chameleon, NumberTextIgnoresTheGlobalLocale) {
    const std::locale previous =
        std::locale::global(std::locale(std::locale::classic(), new DecimalComma));
    const std::string stored = Chameleon(1234.5);
    std::locale::global(previous);
    EXPECT_EQ(stored, "1234.5");
}

}  // namespace
