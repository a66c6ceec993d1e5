#include "xmol/xmol_items.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

namespace blockavg {
namespace {

constexpr std::int32_t untouchedInteger = 424242;
constexpr double untouchedReal = -777.25;

struct IntegerCase {
    std::string_view text;
    bool ok;
    std::int32_t value;     // the target afterwards
    std::string_view rest;  // what the cursor leaves (on success)
};

TEST(IntegerItem, FollowsTheIntegerGrammar) {
    const IntegerCase cases[] = {
        {"12", true, 12, ""},
        {"12 atoms", true, 12, " atoms"},
        {"   \t\v\f\r42", true, 42, ""},
        {"7.9", true, 7, ".9"},
        {"25x", true, 25, "x"},
        {"+5", true, 5, ""},
        {"-5", true, -5, ""},
        {"-0", true, 0, ""},
        {"007", true, 7, ""},
        {"0x1A", true, 0, "x1A"},
        {"2147483647", true, 2147483647, ""},
        {"-2147483648", true, -2147483647 - 1, ""},
        {"000000000000002147483647", true, 2147483647, ""},
        {"2147483648", false, untouchedInteger, ""},
        {"-2147483649", false, untouchedInteger, ""},
        {"99999999999999999999999", false, untouchedInteger, ""},
        {"4294967296", false, untouchedInteger, ""},
        {"#12", false, untouchedInteger, ""},
        {"", false, untouchedInteger, ""},
        {"   ", false, untouchedInteger, ""},
        {"+", false, untouchedInteger, ""},
        {"-", false, untouchedInteger, ""},
        {"+-5", false, untouchedInteger, ""},
        {"--5", false, untouchedInteger, ""},
        {"- 5", false, untouchedInteger, ""},
        {"abc", false, untouchedInteger, ""},
        {".5", false, untouchedInteger, ""},
    };
    for (const IntegerCase& c : cases) {
        SCOPED_TRACE(std::string("text: \"") + std::string(c.text) + "\"");
        LineCursor cursor(c.text);
        std::int32_t value = untouchedInteger;
        EXPECT_EQ(readIntegerItem(cursor, value), c.ok);
        EXPECT_EQ(value, c.value);
        if (c.ok) {
            EXPECT_EQ(
                std::string_view(cursor.pos, static_cast<std::size_t>(cursor.end - cursor.pos)),
                c.rest);
        }
    }
}

struct RealCase {
    std::string_view text;
    bool ok;
    double value;
    std::string_view rest;
};

TEST(RealItem, FollowsTheRealGrammar) {
    const RealCase cases[] = {
        {"1.0", true, 1.0, ""},
        {"  -0.25 x", true, -0.25, " x"},
        {"+1.5", true, 1.5, ""},
        {"-.5", true, -0.5, ""},
        {".5", true, 0.5, ""},
        {"5.", true, 5.0, ""},
        {"2.e1", true, 20.0, ""},
        {"1e5", true, 1e5, ""},
        {"1E-3", true, 1e-3, ""},
        {"-3.442612640030015E-002", true, -3.442612640030015E-002, ""},
        {"3.84600e+00", true, 3.846, ""},
        {"007.50", true, 7.5, ""},
        {"1.2.3", true, 1.2, ".3"},
        {"1e", true, 1.0, "e"},
        {"1e ", true, 1.0, "e "},
        {"1e+", true, 1.0, "e+"},
        {"1.5e-x", true, 1.5, "e-x"},
        {"1d5", true, 1.0, "d5"},
        {"0x10", true, 0.0, "x10"},
        {"12,5", true, 12.0, ",5"},
        {"0.1000000000000000055511151231257827", true, 0.1, ""},
        {"123456789012345678901234567890", true, 123456789012345678901234567890.0, ""},
        {"4.9406564584124654e-324", true, 4.9406564584124654e-324, ""},
        {"1.7976931348623157e308", true, 1.7976931348623157e308, ""},
        {"1e-400", true, 0.0, ""},
        {"0.0000000001e-320", true, 0.0, ""},
        {"1e400", false, untouchedReal, ""},
        {"-1e400", false, untouchedReal, ""},
        {"100000000000000000000e300", false, untouchedReal, ""},
        {"", false, untouchedReal, ""},
        {" \t ", false, untouchedReal, ""},
        {"x", false, untouchedReal, ""},
        {".", false, untouchedReal, ""},
        {"-.", false, untouchedReal, ""},
        {".e5", false, untouchedReal, ""},
        {"e5", false, untouchedReal, ""},
        {"+-1", false, untouchedReal, ""},
        {"-+1", false, untouchedReal, ""},
        {"inf", false, untouchedReal, ""},
        {"-infinity", false, untouchedReal, ""},
        {"nan", false, untouchedReal, ""},
        {"NaN", false, untouchedReal, ""},
    };
    for (const RealCase& c : cases) {
        SCOPED_TRACE(std::string("text: \"") + std::string(c.text) + "\"");
        LineCursor cursor(c.text);
        double value = untouchedReal;
        EXPECT_EQ(readRealItem(cursor, value), c.ok);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(value), std::bit_cast<std::uint64_t>(c.value))
            << value << " vs " << c.value;
        if (c.ok) {
            EXPECT_EQ(
                std::string_view(cursor.pos, static_cast<std::size_t>(cursor.end - cursor.pos)),
                c.rest);
        }
    }
}

TEST(RealItem, KeepsTheSignOfZeroAndOfUnderflow) {
    const struct {
        std::string_view text;
        bool negative;
    } cases[] = {{"-0.0", true}, {"0.0", false}, {"-1e-400", true}, {"+1e-400", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        LineCursor cursor(c.text);
        double value = 1.0;
        ASSERT_TRUE(readRealItem(cursor, value));
        EXPECT_EQ(value, 0.0);
        EXPECT_EQ(std::signbit(value), c.negative);
    }
}

struct WordCase {
    std::string_view text;
    bool ok;
    std::string_view word;
    std::string_view rest;
};

TEST(WordItem, TakesTheLongestRunOfNonSpace) {
    using namespace std::string_view_literals;
    const WordCase cases[] = {
        {"O 1.0", true, "O", " 1.0"},
        {"  \tCH3\r", true, "CH3", "\r"},
        {"BOX:", true, "BOX:", ""},
        {"Lattice=\"", true, "Lattice=\"", ""},
        {"a\0b c"sv, true, "a\0b"sv, " c"},
        {"\xc3\xa9t\xff\xfe x", true, "\xc3\xa9t\xff\xfe", " x"},
        {"", false, "", ""},
        {" \t\v\f\r ", false, "", ""},
    };
    for (const WordCase& c : cases) {
        SCOPED_TRACE(std::string("text: \"") + std::string(c.text) + "\"");
        LineCursor cursor(c.text);
        std::string_view word = "untouched";
        EXPECT_EQ(readWordItem(cursor, word), c.ok);
        if (c.ok) {
            EXPECT_EQ(word, c.word);
            EXPECT_EQ(
                std::string_view(cursor.pos, static_cast<std::size_t>(cursor.end - cursor.pos)),
                c.rest);
        } else {
            EXPECT_EQ(word, "untouched");
        }
    }
}

}  // namespace
}  // namespace blockavg
