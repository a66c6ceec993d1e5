#include "xmol/averaged_frame_layout.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace blockavg {
namespace {

struct Atom {
    std::string name;
    double x, y, z;
};

struct Frame {
    std::string boxTag;
    std::string stepLabel;
    double boxSum;
    std::int32_t blockLength;
    std::vector<Atom> atoms;
};

// Lays out the frames one after another, with one number format for all.
std::string laidOut(const std::vector<Frame>& frames) {
    BoxNotation notation;
    // After some bytes already in the buffer, as a batch's later frames are.
    std::vector<char> buffer(3, 'x');
    std::size_t size = 3;
    for (const Frame& frame : frames) {
        std::vector<std::string_view> names;
        std::vector<Coordinates> sums;
        for (const Atom& atom : frame.atoms) {
            names.emplace_back(atom.name);
            sums.push_back({atom.x, atom.y, atom.z});
        }
        FrameHead head;
        head.count = static_cast<std::int32_t>(sums.size());
        head.hasBox = frame.boxTag == "BOX:";
        head.stepLabel = frame.stepLabel;
        head.boxSum = frame.boxSum;
        head.blockLength = frame.blockLength;
        head.fixedNotation = notation.next(head.count);
        size = layOutFrameHead(head, buffer, size);
        size = layOutAtomLines(names, sums, frame.blockLength, buffer, size);
    }
    return std::string(buffer.data() + 3, size - 3);
}

TEST(AveragedFrameLayout, LaysOutOneFrame) {
    const struct {
        const char* what;
        Frame frame;
        std::string expected;
    } cases[] = {
        {"one atom, averages divided by the block length",
         {"BOX:", "20", 42.0, 2, {{"O", 3.0, -0.5, 20.0}}},
         "1\n after         20 steps,  BOX:  21 21 21\n"
         "    O     1.500000    -0.250000    10.000000\n"},
        {"a box tag other than BOX: leaves the comment line empty",
         {"box:", "20", 42.0, 1, {{"H", 1, 2, 3}}},
         "1\n\n    H     1.000000     2.000000     3.000000\n"},
        {"BOX without its colon", {"BOX", "20", 42.0, 1, {}}, "0\n\n"},
        {"count 0: the count and the comment line only",
         {"BOX:", "7", 24.5, 1, {}},
         "0\n after         7 steps,  BOX:  24.5 24.5 24.5\n"},
        {"the box value in general notation: one million",
         {"BOX:", "", 1000000.0, 1, {}},
         "0\n after          steps,  BOX:  1e+06 1e+06 1e+06\n"},
        {"general notation keeps six significant digits",
         {"BOX:", "s", 123456789.0, 1, {}},
         "0\n after         s steps,  BOX:  1.23457e+08 1.23457e+08 1.23457e+08\n"},
        {"long names widen the line",
         {"x", "1", 0, 1, {{"Carbon12", 1, 1, 1}}},
         "1\n\nCarbon12     1.000000     1.000000     1.000000\n"},
        {"empty names are padded too",
         {"x", "1", 0, 1, {{"", 0, 0, 0}}},
         "1\n\n          0.000000     0.000000     0.000000\n"},
        {"numbers wider than their field are not cut",
         {"x", "1", 0, 1, {{"Ar", 123456789.0, -12345.5, 1e-7}}},
         "1\n\n   Ar 123456789.000000 -12345.500000     0.000000\n"},
        {"a small negative average keeps its sign",
         {"x", "1", 0, 1, {{"Ar", -1e-7, -0.0, 0.0}}},
         "1\n\n   Ar    -0.000000    -0.000000     0.000000\n"},
        {"overflowed sums",
         {"x",
          "1",
          0,
          1,
          {{"Ar", std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
            2.5}}},
         "1\n\n   Ar          inf         -inf     2.500000\n"},
        {"names keep every byte",
         {"x", "1", 0, 1, {{std::string("N\0\xff", 3), 1, 1, 1}}},
         "1\n\n  " + std::string("N\0\xff", 3) + "     1.000000     1.000000     1.000000\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(laidOut({c.frame}), c.expected);
    }
}

TEST(AveragedFrameLayout, SwitchesToFixedNotationAfterTheFirstAtomLine) {
    const Frame withAtoms{"BOX:", "20", 49.0, 2, {{"O", 1, 1, 1}}};
    const Frame withoutAtoms{"BOX:", "20", 49.0, 2, {}};
    EXPECT_EQ(laidOut({withAtoms, withAtoms}),
              "1\n after         20 steps,  BOX:  24.5 24.5 24.5\n"
              "    O     0.500000     0.500000     0.500000\n"
              "1\n after         20 steps,  BOX:  24.500000 24.500000 24.500000\n"
              "    O     0.500000     0.500000     0.500000\n");
    EXPECT_EQ(laidOut({withoutAtoms, withoutAtoms, withAtoms, withoutAtoms}),
              "0\n after         20 steps,  BOX:  24.5 24.5 24.5\n"
              "0\n after         20 steps,  BOX:  24.5 24.5 24.5\n"
              "1\n after         20 steps,  BOX:  24.5 24.5 24.5\n"
              "    O     0.500000     0.500000     0.500000\n"
              "0\n after         20 steps,  BOX:  24.500000 24.500000 24.500000\n");
}

TEST(AveragedFrameLayout, GrowsItsBufferForLongLines) {
    const std::string name(200'000, 'n');
    const std::string step(100'000, 's');
    EXPECT_EQ(laidOut({{"BOX:", step, 2, 1, {{"A", 1, 1, 1}, {name, 2, 2, 2}, {"B", 3, 3, 3}}}}),
              "3\n after         " + step + " steps,  BOX:  2 2 2\n" +
                  "    A     1.000000     1.000000     1.000000\n" + name +
                  "     2.000000     2.000000     2.000000\n"
                  "    B     3.000000     3.000000     3.000000\n");
}

}  // namespace
}  // namespace blockavg
