#include "numbers/eight_byte_scan.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace blockavg {
namespace {

// The word for up to eight bytes of text, first byte lowest.
std::uint64_t wordOf(std::string_view bytes) {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < bytes.size() && i < 8; ++i) {
        word |= std::uint64_t{static_cast<unsigned char>(bytes[i])} << (8 * i);
    }
    return word;
}

TEST(EightByteScan, LoadsOnlyTheTextsBytes) {
    // Every start and end within a text, with the text's own start both at
    // the buffer start and inside it, so that both the direct load and the
    // load from the line's last eight bytes are taken.
    const std::string buffer = "ab 12.5 \t-9e3xyz";
    for (std::size_t begin = 0; begin < buffer.size(); ++begin) {
        for (std::size_t end = begin; end <= buffer.size(); ++end) {
            for (std::size_t at = begin; at < end; ++at) {
                SCOPED_TRACE("begin " + std::to_string(begin) + " at " + std::to_string(at) +
                             " end " + std::to_string(end));
                const char* data = buffer.data();
                EXPECT_EQ(eight_byte_scan::load(data + begin, data + at, data + end),
                          wordOf(std::string_view(data + at, end - at)));
            }
        }
    }
}

struct RunCase {
    std::string_view bytes;
    int digits;
    int spaces;
};

TEST(EightByteScan, MeasuresLeadingRuns) {
    using namespace std::string_view_literals;
    const RunCase cases[] = {
        {"", 0, 0},
        {"1", 1, 0},
        {"12345678", 8, 0},
        {"1234567.", 7, 0},
        {"0.5", 1, 0},
        {"9/", 1, 0},      // '/' is just below '0'
        {"9:", 1, 0},      // ':' is just above '9'
        {"12\xb9", 2, 0},  // bytes that wrap in the addition
        {"12\xff", 2, 0},
        {"1\x00"
         "5"sv,
         1, 0},
        {"        ", 0, 8},
        {"   1", 0, 3},
        {"\t1", 0, 0},
        {"  \r", 0, 2},
        {"a1", 0, 0},
        {"-1", 0, 0},
    };
    for (const RunCase& c : cases) {
        SCOPED_TRACE("bytes: \"" + std::string(c.bytes) + "\"");
        EXPECT_EQ(eight_byte_scan::leadingDigits(wordOf(c.bytes)), c.digits);
        EXPECT_EQ(eight_byte_scan::leadingSpaces(wordOf(c.bytes)), c.spaces);
    }
}

TEST(EightByteScan, ValuesEveryDigitCount) {
    const std::string digits = "90817263";
    for (int count = 1; count <= 8; ++count) {
        for (std::size_t start = 0; start + static_cast<std::size_t>(count) <= 8; ++start) {
            // Digits followed by a non-digit, so the word carries noise
            // above them.
            std::string text = digits.substr(start, static_cast<std::size_t>(count)) + ".77";
            SCOPED_TRACE(text);
            EXPECT_EQ(eight_byte_scan::digitsValue(wordOf(text), count),
                      std::stoul(text.substr(0, static_cast<std::size_t>(count))));
        }
    }
    EXPECT_EQ(eight_byte_scan::digitsValue(wordOf("99999999"), 8), 99999999u);
    EXPECT_EQ(eight_byte_scan::digitsValue(wordOf("00000000"), 8), 0u);
    EXPECT_EQ(eight_byte_scan::digitsValue(wordOf("00000001"), 8), 1u);
}

}  // namespace
}  // namespace blockavg
