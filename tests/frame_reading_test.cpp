// The file format's reading, batch by batch: the frame walker, the item
// parser and the last values, driven as the run drives them, with the input
// cut into batches of every size from one byte up.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "xmol/batch_lines.hpp"
#include "xmol/frame_walker.hpp"
#include "xmol/item_parser.hpp"
#include "xmol/last_values.hpp"

namespace blockavg {
namespace {

constexpr std::size_t never = static_cast<std::size_t>(-1);
constexpr std::size_t room = 4096;  // before a batch's bytes, as the run leaves

struct Atom {
    std::string name;
    double x, y, z;
    bool operator==(const Atom&) const = default;
};

// A frame as the pieces and items give it, its missing lines filled with
// the items they read as.
struct Frame {
    std::int32_t count = 0;
    std::string stepLabel;
    std::string boxTag;
    double boxValue = 0.0;
    std::vector<Atom> atoms;
    FrameEnding ending = FrameEnding::continues;
    bool operator==(const Frame&) const = default;
};

struct Reading {
    std::vector<Frame> frames;
    InputStop stop = InputStop::none;
    std::uint64_t stopLine = 0;
    std::string error;
    bool operator==(const Reading&) const = default;
};

// Reads `bytes` in batches of `batchSize`; reading fails at byte `failsAt`.
// Every frame closes a block, so that every name is kept.
Reading readIn(const std::string& bytes, std::size_t batchSize, std::size_t failsAt) {
    FrameWalker walker(1);
    LastValues last;
    BatchLines lines;
    BatchFrames frames;
    BatchItems items;
    Reading reading;
    for (std::size_t at = 0; reading.stop == InputStop::none;) {
        const std::size_t size = std::min({batchSize, bytes.size() - at, failsAt - at});
        lines.bytes.resize(room + std::max<std::size_t>(size, 1));
        std::copy_n(bytes.data() + at, size, lines.bytes.data() + room);
        lines.bytesBegin = room;
        lines.bytesEnd = room + size;
        at += size;
        const ReadEnd end = at == failsAt        ? ReadEnd::error
                            : at == bytes.size() ? ReadEnd::endOfData
                                                 : ReadEnd::more;
        lines.findEnds();
        walker.walk(lines, end, "Input/output error", frames);
        parseItems(lines, frames, items);
        last.resolve(items);
        std::size_t started = 0;
        for (const FramePiece& piece : frames.pieces) {
            if (piece.startsFrame) {
                const CommentItems& comment = items.comments[started++];
                reading.frames.push_back({piece.count,
                                          std::string(comment.stepLabel),
                                          std::string(comment.boxTag),
                                          comment.boxValue,
                                          {},
                                          FrameEnding::continues});
            }
            Frame& frame = reading.frames.back();
            for (std::uint32_t n = 0; n < piece.atomLines; ++n) {
                const Coordinates& atom = items.atoms[piece.firstAtom + n];
                frame.atoms.push_back(
                    {std::string(items.names[piece.firstName + n]), atom.x, atom.y, atom.z});
            }
            frame.ending = piece.ending;
            if (piece.missingLines > 0) {
                const Coordinates& atom = items.atoms[piece.firstAtom + piece.atomLines];
                frame.atoms.resize(static_cast<std::size_t>(frame.count),
                                   {std::string(items.names[piece.firstName + piece.atomLines]),
                                    atom.x, atom.y, atom.z});
            }
        }
        reading.stop = frames.stop;
        reading.stopLine = frames.stopLine;
        reading.error = frames.error;
    }
    return reading;
}

// The reading is the same however the input is cut into batches.
Reading readAll(const std::string& bytes, std::size_t failsAt = never) {
    Reading whole = readIn(bytes, std::max<std::size_t>(bytes.size(), 1), failsAt);
    for (const std::size_t batchSize : {1, 2, 3, 7, 64, 5000}) {
        if (batchSize < bytes.size() && bytes.size() / batchSize < 100'000) {
            EXPECT_EQ(readIn(bytes, batchSize, failsAt), whole) << batchSize << " bytes a batch";
        }
    }
    return whole;
}

struct SlotCase {
    bool comment;  // or an atom line
    std::string line;
    // The items afterwards, after a first frame that sets
    // "after 5 steps, BOX: 7.5" and "Ar 1.5 2.5 3.5".
    std::string stepLabel = "5";
    std::string boxTag = "BOX:";
    double boxValue = 7.5;
    Atom atom = {"Ar", 1.5, 2.5, 3.5};
};

TEST(FrameReading, ParsesEachLineKindIntoItsSlots) {
    const SlotCase cases[] = {
        {true, "after 1000 steps, BOX: 24.5", "1000", "BOX:", 24.5},
        {true, "t=0.5 ps", "ps"},
        {true, ""},
        {true, "   \t  "},
        {true, "step 3 BOX:", "3"},
        {true, "a b c box: 12 13", "b", "box:", 12.0},
        {true, "after 9 steps, BOX: x", "9", "BOX:"},
        {true, "after 9 steps, BOX: 1e400", "9", "BOX:"},
        {true, "after 9 steps, BOX: 24.5\r", "9", "BOX:", 24.5},
        {true, " generated by VMD", "by"},
        {false, "O 1.0 2.0", "5", "BOX:", 7.5, {"O", 1.0, 2.0, 3.5}},
        {false, "Na x 2.0 3.0", "5", "BOX:", 7.5, {"Na", 1.5, 2.5, 3.5}},
        {false, "Cl 1e 7 8", "5", "BOX:", 7.5, {"Cl", 1.0, 2.5, 3.5}},
        {false, "He\t-1\t-2\t-3\textra 9", "5", "BOX:", 7.5, {"He", -1, -2, -3}},
        {false, "  H1  4.29  13.1  8.59  \r", "5", "BOX:", 7.5, {"H1", 4.29, 13.1, 8.59}},
        {false, "12", "5", "BOX:", 7.5, {"12", 1.5, 2.5, 3.5}},
        {false, ""},
        {false, "C 1.2.3 0x10 .5", "5", "BOX:", 7.5, {"C", 1.2, 0.3, 0.0}},
        {false, "F 1e-400 -1e-400 1e308", "5", "BOX:", 7.5, {"F", 0.0, -0.0, 1e308}},
    };
    for (const SlotCase& c : cases) {
        SCOPED_TRACE((c.comment ? "comment line: \"" : "atom line: \"") + c.line + "\"");
        const std::string first = "1\nafter 5 steps, BOX: 7.5\nAr 1.5 2.5 3.5\n";
        const Reading reading =
            readAll(first + (c.comment ? "1\n" + c.line + "\n\n" : "1\nt 5\n" + c.line + "\n"));
        ASSERT_EQ(reading.frames.size(), 2u);
        const Frame& frame = reading.frames[1];
        EXPECT_EQ(frame.stepLabel, c.stepLabel);
        EXPECT_EQ(frame.boxTag, c.boxTag);
        EXPECT_EQ(frame.boxValue, c.boxValue);
        ASSERT_EQ(frame.atoms.size(), 1u);
        // A comment case's atom line is empty: it keeps the first frame's atom.
        EXPECT_EQ(frame.atoms[0], c.atom);
        EXPECT_EQ(std::signbit(frame.atoms[0].y), std::signbit(c.atom.y));
    }
}

TEST(FrameReading, SlotsStartAtTheirInitialValues) {
    const Reading reading = readAll("1\n\n\n");
    ASSERT_EQ(reading.frames.size(), 1u);
    EXPECT_EQ(reading.frames[0],
              (Frame{1, "", "", 1000000.0, {{"", -123.0, -123.0, -123.0}}, FrameEnding::complete}));
}

TEST(FrameReading, EndsAtTheFirstLineThatHoldsNoCount) {
    const struct {
        std::string input;
        std::size_t frames;
        InputStop stop;
        std::uint64_t stopLine;
    } cases[] = {
        {"0 atoms\nc\n", 1, InputStop::endOfInput, 0},
        {"0\nc\n0.9\nc\n", 2, InputStop::endOfInput, 0},
        {"+0\nc\n#12\n", 1, InputStop::notACount, 3},
        {"0\nc\n-1\nc\n", 1, InputStop::notACount, 3},
        {"2147483648\n", 0, InputStop::notACount, 1},
        {"abc", 0, InputStop::notACount, 1},
        {"\xEF\xBB"
         "1\n",
         0, InputStop::notACount, 1},  // not a whole byte order mark
        {"\xEF\xBB\xBF", 0, InputStop::endOfInput, 0},
        {"", 0, InputStop::endOfInput, 0},
        {"\n \t\r\n\n", 0, InputStop::endOfInput, 0},
        {"0\nc\n\n\n2\n", 1, InputStop::blankCountLine, 3},
        {"  \n  x", 0, InputStop::blankCountLine, 1},
        {std::string(700'000, ' '), 0, InputStop::endOfInput, 0},
        {"\n" + std::string(1'500'000, '\n') + "1\n", 0, InputStop::blankCountLine, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("\"" + c.input.substr(0, 20) + "\"");
        const Reading reading = readAll(c.input);
        EXPECT_EQ(reading.frames.size(), c.frames);
        EXPECT_EQ(reading.stop, c.stop);
        EXPECT_EQ(reading.stopLine, c.stopLine);
    }
}

TEST(FrameReading, AFrameCutShortRepeatsTheLastValues) {
    const Atom n{"N", 1, 2, 3};
    const Atom start{"", -123, -123, -123};
    const struct {
        std::string input;
        std::vector<Atom> atoms;
        FrameEnding ending;
    } cases[] = {
        {"1\nc\nN 1 2 3", {n}, FrameEnding::complete},
        {"1\nc\nN 1 2 3\n", {n}, FrameEnding::complete},
        {"3\nc\nN 1 2 3", {n, n, n}, FrameEnding::inputEnded},
        {"3\nc\nN 1 2 3\n", {n, n, n}, FrameEnding::inputEnded},
        {"2\nc\n", {start, start}, FrameEnding::inputEnded},
        {"2", {start, start}, FrameEnding::inputEnded},
        {"0", {}, FrameEnding::inputEnded},  // no comment line
        // An atom named 12 on a last line without a line feed is not the
        // count of another frame.
        {"1\nc\n12 1 2 3", {{"12", 1, 2, 3}}, FrameEnding::complete},
        // A byte order mark at the very start is skipped.
        {"\xEF\xBB\xBF"
         "1\nc\nN 1 2 3\n",
         {n},
         FrameEnding::complete},
        {"\xEF\xBB\xBF"
         "1\nc\n\xEF\xBB\xBF 1 2 3\n",
         {{"\xEF\xBB\xBF", 1, 2, 3}},
         FrameEnding::complete},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("\"" + c.input + "\"");
        const Reading reading = readAll(c.input);
        ASSERT_EQ(reading.frames.size(), 1u);
        EXPECT_EQ(reading.frames[0].atoms, c.atoms);
        EXPECT_EQ(reading.frames[0].ending, c.ending);
        EXPECT_EQ(reading.stop, InputStop::endOfInput);
    }
}

TEST(FrameReading, StopsWhereTheInputCannotBeRead) {
    const std::string input = "1\nt 5\nA 1 2 3\n2\nt 6\nB 4 5 6\nC 7 8 9\n";
    const struct {
        std::size_t failsAt;
        std::size_t frames;
        FrameEnding lastEnding;
    } cases[] = {
        {0, 0, FrameEnding::complete},    // at the first count line
        {14, 1, FrameEnding::complete},   // at the second count line
        {15, 1, FrameEnding::complete},   // inside it: its one byte is lost
        {16, 2, FrameEnding::readError},  // at its comment line
        {20, 2, FrameEnding::readError},  // at its first atom line
        {33, 2, FrameEnding::readError},  // inside its last atom line
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("reading fails at byte " + std::to_string(c.failsAt));
        const Reading reading = readAll(input, c.failsAt);
        ASSERT_EQ(reading.frames.size(), c.frames);
        EXPECT_EQ(reading.stop, InputStop::readError);
        EXPECT_EQ(reading.error, "Input/output error");
        if (c.frames > 0) {
            EXPECT_EQ(reading.frames.back().ending, c.lastEnding);
        }
    }
}

// A line longer than the room before a batch's bytes, or than a batch.
TEST(FrameReading, ReadsLinesLongerThanABatch) {
    const std::string longName(300'000, 'W');
    const std::string longComment = "a 17 b BOX: 4.5 " + std::string(500'000, 'z');
    const std::string input = "1\n" + longComment + "\n" + longName + " 1 2 3\n1\n";
    for (const std::size_t batchSize : {std::size_t{1000}, std::size_t{65536}}) {
        const Reading reading = readIn(input, batchSize, never);
        ASSERT_EQ(reading.frames.size(), 2u);
        EXPECT_EQ(reading.frames[0].stepLabel, "17");
        EXPECT_EQ(reading.frames[0].boxValue, 4.5);
        EXPECT_EQ(reading.frames[0].atoms, (std::vector<Atom>{{longName, 1, 2, 3}}));
        EXPECT_EQ(reading.frames[1].ending, FrameEnding::inputEnded);
    }
}

}  // namespace
}  // namespace blockavg
