// The line an interruption leaves on standard error, for each state of the
// output: cut back, or what the reader of a FIFO or device got.

#include "io/interruption_message.hpp"

#include <gtest/gtest.h>

#include <string>

namespace blockavg {
namespace {

std::string message(const char* name, OutputFile::Delivery delivery,
                    std::size_t capacity = interruptionMessageCapacity) {
    char text[interruptionMessageCapacity];
    return std::string(text, layOutInterruptionMessage(text, capacity, name, delivery));
}

TEST(InterruptionMessage, SaysWhatTheFileHoldsOrItsReaderGot) {
    const struct {
        OutputFile::Delivery delivery;
        const char* expected;
    } cases[] = {
        {{63, false, true}, "blockavg: interrupted; trajectory.xmol holds 63 averaged frames\n"},
        // A regular file is cut back: the part of a frame is gone.
        {{0, true, true}, "blockavg: interrupted; trajectory.xmol holds 0 averaged frames\n"},
        {{63, false, false},
         "blockavg: interrupted; the reader of trajectory.xmol got 63 averaged frames\n"},
        {{63, true, false},
         "blockavg: interrupted; the reader of trajectory.xmol got 63 whole averaged frames and "
         "part of the next\n"},
        {{1, false, true}, "blockavg: interrupted; trajectory.xmol holds 1 averaged frame\n"},
        {{1, true, false},
         "blockavg: interrupted; the reader of trajectory.xmol got 1 whole averaged frame and "
         "part of the next\n"},
        {{9'223'372'036'854'775'807, false, true},
         "blockavg: interrupted; trajectory.xmol holds 9223372036854775807 averaged frames\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(message("trajectory.xmol", c.delivery), c.expected);
    }
}

// A name too long for the room is cut short; the line still ends.
TEST(InterruptionMessage, EndsItsLineWhateverTheRoom) {
    const std::string longName(5000, 'n');
    const std::string cut = message(longName.c_str(), {1, false, true});
    EXPECT_EQ(cut.size(), interruptionMessageCapacity);
    EXPECT_EQ(cut.back(), '\n');
    EXPECT_EQ(message("t", {1, false, true}, 10), "blockavg:\n");
    EXPECT_EQ(message("t", {1, false, true}, 0), "");
}

}  // namespace
}  // namespace blockavg
