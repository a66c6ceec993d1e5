// Properties of blockavg's output over generated trajectories, checked by
// running the built executable in scratch directories. The generator has a
// fixed seed and a bounded number of cases, so every run sees the same inputs.
//
// Generated coordinates and box lengths are whole numbers of micro-units
// (1e-6), so that a model with integer sums knows every exact average.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/support/in_memory_pass.hpp"
#include "tests/support/test_support.hpp"

namespace blockavg {
namespace {

using testing::readFile;
using testing::runBlockavg;
using testing::runBlockavgMeasuringMemory;
using testing::ScratchDirectory;
using testing::writeFile;

constexpr std::int64_t microUnitsPerUnit = 1'000'000;
// Coordinates stay below 1e6 in magnitude.
constexpr std::int64_t coordinateLimit = microUnitsPerUnit * 1'000'000;

class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}
    // Uniform enough in [0, n) for test inputs, and the same on every platform
    // (the standard distributions are not).
    std::uint64_t below(std::uint64_t n) { return engine_() % n; }
    std::int64_t between(std::int64_t low, std::int64_t high) {
        return low + static_cast<std::int64_t>(below(static_cast<std::uint64_t>(high - low + 1)));
    }
    bool chance(int percent) { return below(100) < static_cast<std::uint64_t>(percent); }
    template <typename T, std::size_t N>
    const T& pick(const std::array<T, N>& items) {
        return items[below(N)];
    }

private:
    std::mt19937_64 engine_;
};

struct Atom {
    std::string name;
    std::array<std::int64_t, 3> position;  // micro-units
};

struct Frame {
    std::string step;
    std::int64_t box = 0;  // micro-units
    std::vector<Atom> atoms;
};

struct Trajectory {
    std::vector<Frame> frames;
    std::int32_t blockLength = 1;
};

// What one averaged frame must hold, from the documented rules: the count,
// step label and names of the block's last frame; positions below a new count
// keep their sums, new positions start from zero; the box is printed in
// general notation until an atom line has been written.
struct ExpectedBlock {
    std::string step;
    std::int64_t boxSum = 0;
    bool boxInFixedNotation = false;
    std::vector<std::string> names;
    std::vector<std::array<std::int64_t, 3>> sums;
};

std::vector<ExpectedBlock> expectedBlocks(const Trajectory& trajectory) {
    std::vector<ExpectedBlock> blocks;
    ExpectedBlock running;
    bool atomLineWritten = false;
    std::int64_t frameNumber = 0;
    for (const Frame& frame : trajectory.frames) {
        ++frameNumber;
        running.names.resize(frame.atoms.size());
        running.sums.resize(frame.atoms.size(), {0, 0, 0});
        running.boxSum += frame.box;
        running.step = frame.step;
        for (std::size_t i = 0; i < frame.atoms.size(); ++i) {
            running.names[i] = frame.atoms[i].name;
            for (std::size_t axis = 0; axis < 3; ++axis) {
                running.sums[i][axis] += frame.atoms[i].position[axis];
            }
        }
        if (frameNumber % trajectory.blockLength == 0) {
            running.boxInFixedNotation = atomLineWritten;
            atomLineWritten = atomLineWritten || !running.sums.empty();
            blocks.push_back(running);
            running.boxSum = 0;
            for (auto& sum : running.sums) {
                sum = {0, 0, 0};
            }
        }
    }
    return blocks;
}

// A random magnitude from 0 up to just below 10^12 micro-units, spread over
// the orders of magnitude, with a random sign.
std::int64_t randomMicroUnits(Random& random, int maxDigits) {
    std::int64_t limit = 1;
    for (auto digits = random.between(0, maxDigits); digits > 0; --digits) {
        limit *= 10;
    }
    const std::int64_t magnitude = random.between(0, limit - 1);
    return random.chance(50) ? -magnitude : magnitude;
}

// An average in (-1e-6, 0) prints as -0.000000 and reads back as 0.000000.
// Moves each sum out of that range through the block's last frame (by one
// block length, which cannot push a coordinate past the limit both ways).
void avoidNegativeZeroAverages(Trajectory& trajectory) {
    const std::int64_t b = trajectory.blockLength;
    auto nudge = [b](std::int64_t sum, std::int64_t& value) {
        if (sum < 0 && sum > -b) {
            value += value + b < coordinateLimit ? b : -b;
        }
    };
    const std::vector<ExpectedBlock> blocks = expectedBlocks(trajectory);
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        Frame& last = trajectory.frames[(k + 1) * static_cast<std::size_t>(b) - 1];
        nudge(blocks[k].boxSum, last.box);
        for (std::size_t i = 0; i < last.atoms.size(); ++i) {
            for (std::size_t axis = 0; axis < 3; ++axis) {
                nudge(blocks[k].sums[i][axis], last.atoms[i].position[axis]);
            }
        }
    }
}

Trajectory randomTrajectory(Random& random) {
    static constexpr std::array<const char*, 10> names = {"O",  "H",  "C1",         "Ar",  "Na+",
                                                          "12", "CA", "OW12345678", "h_2", "Cl-"};
    static constexpr std::array<std::int32_t, 6> blockLengths = {1, 2, 3, 4, 5, 7};
    Trajectory trajectory;
    trajectory.blockLength = random.pick(blockLengths);
    const auto frameCount = random.between(1, 24);
    auto count = random.between(0, 5);
    const auto stepStride = random.between(1, 5000);
    for (std::int64_t f = 1; f <= frameCount; ++f) {
        if (random.chance(15)) {
            count = random.between(0, 5);
        }
        Frame frame;
        frame.step = std::to_string(f * stepStride);
        frame.box =
            random.chance(90) ? std::abs(randomMicroUnits(random, 9)) : randomMicroUnits(random, 9);
        for (std::int64_t i = 0; i < count; ++i) {
            frame.atoms.push_back({random.pick(names),
                                   {randomMicroUnits(random, 12), randomMicroUnits(random, 12),
                                    randomMicroUnits(random, 12)}});
        }
        trajectory.frames.push_back(std::move(frame));
    }
    avoidNegativeZeroAverages(trajectory);
    return trajectory;
}

// Six decimals: "-12.500000".
std::string sixDecimals(std::int64_t microUnits) {
    const std::uint64_t magnitude =
        microUnits < 0 ? static_cast<std::uint64_t>(-microUnits) : microUnits;
    std::string fraction = std::to_string(magnitude % microUnitsPerUnit);
    fraction.insert(0, 6 - fraction.size(), '0');
    return (microUnits < 0 ? "-" : "") + std::to_string(magnitude / microUnitsPerUnit) + "." +
           fraction;
}

// The same value in one of the spellings the reader takes: six decimals,
// trailing zeros dropped, an explicit plus sign, or an exponent.
std::string spelledNumber(Random& random, std::int64_t microUnits) {
    std::string text = sixDecimals(microUnits);
    switch (random.below(4)) {
        case 0:
            return text;
        case 1:
            while (text.back() == '0') {
                text.pop_back();
            }
            return text;
        case 2:
            return microUnits < 0 ? text : "+" + text;
        default: {
            // Digits without the point, scaled by 10^-6: "-12500000e-6".
            text.erase(text.find('.'), 1);
            return text + "e-6";
        }
    }
}

// Lines without their terminators. `variedSpelling` spells numbers and
// spacing in the many ways of real files; otherwise numbers have exactly six
// decimals.
std::vector<std::string> trajectoryLines(Random& random, const Trajectory& trajectory,
                                         bool variedSpelling) {
    static constexpr std::array<const char*, 4> gaps = {" ", "   ", "\t", " \t "};
    auto gap = [&] { return variedSpelling ? std::string(random.pick(gaps)) : std::string(" "); };
    auto number = [&](std::int64_t microUnits) {
        return variedSpelling ? spelledNumber(random, microUnits) : sixDecimals(microUnits);
    };
    std::vector<std::string> lines;
    for (const Frame& frame : trajectory.frames) {
        lines.push_back(std::to_string(frame.atoms.size()));
        if (variedSpelling && random.chance(20)) {
            lines.back() = "  " + lines.back() + " atoms";
        }
        lines.push_back("after" + gap() + frame.step + gap() + "steps," + gap() + "BOX:" + gap() +
                        number(frame.box));
        for (const Atom& atom : frame.atoms) {
            std::string line = variedSpelling && random.chance(10) ? gap() : "";
            line += atom.name;
            for (const std::int64_t value : atom.position) {
                line += gap() + number(value);
            }
            if (variedSpelling && random.chance(10)) {
                line += gap() + "0.5 extra";
            }
            lines.push_back(std::move(line));
        }
    }
    return lines;
}

std::string joined(const std::vector<std::string>& lines, const std::string& terminator) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + terminator;
    }
    return text;
}

#ifdef BLOCKAVG_SANITIZED
constexpr int generatedCases = 10;  // every run costs ten times as much there
#else
constexpr int generatedCases = 40;
#endif

TEST(OutputProperties, RereadingTheOutputWithBlockLengthOneReproducesIt) {
    Random random(20261208);
    for (int n = 0; n < generatedCases; ++n) {
        const Trajectory trajectory = randomTrajectory(random);
        SCOPED_TRACE("case " + std::to_string(n));
        const std::string input = joined(trajectoryLines(random, trajectory, true), "\n");
        const ScratchDirectory first;
        writeFile(first / "in.xyz", input);
        const auto averaged =
            runBlockavg(first.path(), {"in.xyz", std::to_string(trajectory.blockLength)});
        ASSERT_EQ(averaged.status, 0) << input;
        const std::string note = fuzzing::leftOverNote(
            "in.xyz", trajectory.frames.size(), static_cast<std::size_t>(trajectory.blockLength));
        ASSERT_EQ(averaged.err, note.empty() ? note : note + "\n");
        ASSERT_TRUE(averaged.output.has_value());

        const ScratchDirectory second;
        writeFile(second / "in.xmol", *averaged.output);
        const auto reread = runBlockavg(second.path(), {"in.xmol", "1"});
        EXPECT_EQ(reread.status, 0);
        // No note but for an output without frames.
        EXPECT_EQ(reread.err, averaged.output->empty()
                                  ? "blockavg: note: in.xmol has no frames; trajectory.xmol is "
                                    "empty\n"
                                  : "");
        EXPECT_EQ(reread.output, averaged.output) << input;
    }
}

// The one value that does not survive: sums start at +0.0, so an average
// printed as -0.000000 reads back as 0.000000.
TEST(OutputProperties, ANegativeZeroAverageReadsBackAsZero) {
    const ScratchDirectory first;
    writeFile(first / "in.xyz",
              "1\nafter 1 steps, BOX: 3\nA 0.000001 -5 1\n"
              "1\nafter 2 steps, BOX: 3\nA -0.000002 5 1\n"
              "1\nafter 3 steps, BOX: 3\nA 0 0 1\n");
    const auto averaged = runBlockavg(first.path(), {"in.xyz", "3"});
    ASSERT_EQ(averaged.status, 0);
    EXPECT_EQ(averaged.output,
              "1\n after         3 steps,  BOX:  3 3 3\n"
              "    A    -0.000000     0.000000     1.000000\n");

    const ScratchDirectory second;
    writeFile(second / "in.xmol", averaged.output.value_or(""));
    const auto reread = runBlockavg(second.path(), {"in.xmol", "1"});
    EXPECT_EQ(reread.status, 0);
    EXPECT_EQ(reread.output,
              "1\n after         3 steps,  BOX:  3 3 3\n"
              "    A     0.000000     0.000000     1.000000\n");
}

// Damage of the kinds real files carry, so that the line-end property is
// also checked where reading stops early or repeats values.
void damage(Random& random, std::vector<std::string>& lines) {
    switch (random.below(7)) {
        case 0: {  // a line cut short
            std::string& line = lines[random.below(lines.size())];
            line.resize(random.below(line.size() + 1));
            break;
        }
        case 1:  // a field that does not read
            lines[random.below(lines.size())] += " x 1";
            lines[random.below(lines.size())].insert(0, "? ");
            break;
        case 2:  // the file ends inside a frame
            lines.resize(1 + random.below(lines.size()));
            break;
        case 3:  // trailing blank lines
            lines.insert(lines.end(), 1 + random.below(3), random.chance(50) ? "" : " \t");
            break;
        case 4:  // a damaged count line with more after it
            lines.push_back("junk");
            lines.push_back("1");
            break;
        case 5:  // the file ends with a count line
            lines.push_back("1");
            break;
        default:  // a blank count line with more after it
            lines.push_back("");
            lines.push_back("2");
            break;
    }
}

TEST(OutputProperties, LineEndsAndTheFinalLineFeedDoNotChangeTheResult) {
    Random random(8122026);
    // Half as many cases: each takes six runs.
    for (int n = 0; n < generatedCases / 2; ++n) {
        SCOPED_TRACE("case " + std::to_string(n));
        const Trajectory trajectory = randomTrajectory(random);
        std::vector<std::string> lines = trajectoryLines(random, trajectory, true);
        if (n % 2 == 1) {
            damage(random, lines);
        }
        const std::string lf = joined(lines, "\n");
        const std::string crlf = joined(lines, "\r\n");
        const struct {
            const char* name;
            std::string bytes;
        } variants[] = {
            {"LF", lf},
            {"LF without the last", lf.substr(0, lf.size() - 1)},
            {"CR LF", crlf},
            {"CR LF without the last", crlf.substr(0, crlf.size() - 2)},
            {"CR LF with only CR last", crlf.substr(0, crlf.size() - 1)},
        };
        const std::string blockLength = std::to_string(trajectory.blockLength);
        const ScratchDirectory reference;
        writeFile(reference / "in.xyz", lf);
        const auto expected = runBlockavg(reference.path(), {"in.xyz", blockLength});
        EXPECT_EQ(expected.status, 0);
        for (const auto& variant : variants) {
            SCOPED_TRACE(variant.name);
            const ScratchDirectory directory;
            writeFile(directory / "in.xyz", variant.bytes);
            const auto result = runBlockavg(directory.path(), {"in.xyz", blockLength});
            EXPECT_EQ(result.status, expected.status);
            EXPECT_EQ(result.out, expected.out);
            EXPECT_EQ(result.err, expected.err);
            EXPECT_EQ(result.output, expected.output) << lf;
        }
    }
}

// "-12.500000" in micro-units, or nothing unless the text has exactly that form.
std::optional<std::int64_t> fixedMicroUnits(const std::string& text) {
    const std::size_t digitsFrom = text.rfind('-', 0) == 0 ? 1 : 0;
    const std::size_t point = text.find('.');
    if (point == std::string::npos || point == digitsFrom || text.size() - point != 7) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (std::size_t i = digitsFrom; i < text.size(); ++i) {
        if (i == point) {
            continue;
        }
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
        value = value * 10 + (text[i] - '0');
    }
    return digitsFrom == 1 ? -value : value;
}

// Whether `printed` is within one unit of its last digit of sum / divisor
// micro-units. Fixed notation is compared exactly in integers; general
// notation (%g, six significant digits) in long double.
::testing::AssertionResult withinOneUnitOfTheLastDigit(const std::string& printed, std::int64_t sum,
                                                       std::int64_t divisor, bool fixedNotation) {
    if (fixedNotation) {
        const auto value = fixedMicroUnits(printed);
        if (!value) {
            return ::testing::AssertionFailure() << "not %.6f: \"" << printed << "\"";
        }
        if (std::llabs(*value * divisor - sum) > divisor) {
            return ::testing::AssertionFailure()
                   << printed << " is not within 1e-6 of " << sum << "e-6 / " << divisor;
        }
        return ::testing::AssertionSuccess();
    }
    const std::size_t exponentAt = printed.find('e');
    const std::string mantissa = printed.substr(0, exponentAt);
    const std::size_t point = mantissa.find('.');
    const long decimals =
        point == std::string::npos ? 0 : static_cast<long>(mantissa.size() - point - 1);
    const long exponent = exponentAt == std::string::npos
                              ? 0
                              : std::strtol(printed.c_str() + exponentAt + 1, nullptr, 10);
    const long double unit = std::pow(10.0L, static_cast<long double>(exponent - decimals));
    const long double exact = static_cast<long double>(sum) / divisor / microUnitsPerUnit;
    const long double value = std::strtold(printed.c_str(), nullptr);
    if (std::fabs(value - exact) > unit * (1 + 1e-9L)) {
        return ::testing::AssertionFailure()
               << printed << " is not within " << static_cast<double>(unit) << " of " << sum
               << "e-6 / " << divisor;
    }
    return ::testing::AssertionSuccess();
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find('\n', from)) != std::string::npos; from = at + 1) {
        lines.push_back(text.substr(from, at - from));
    }
    EXPECT_EQ(from, text.size()) << "the output does not end with a line feed";
    return lines;
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> found;
    std::size_t from = 0;
    while ((from = line.find_first_not_of(' ', from)) != std::string::npos) {
        const std::size_t to = std::min(line.find(' ', from), line.size());
        found.push_back(line.substr(from, to - from));
        from = to;
    }
    return found;
}

std::string rightAligned(const std::string& text, std::size_t width) {
    return std::string(text.size() < width ? width - text.size() : 0, ' ') + text;
}

TEST(OutputProperties, AveragesAreWithinOneUnitOfTheLastDigitOfTheExactAverage) {
    Random random(1208);
    int checkedNumbers = 0;
    for (int n = 0; n < generatedCases; ++n) {
        SCOPED_TRACE("case " + std::to_string(n));
        const Trajectory trajectory = randomTrajectory(random);
        const ScratchDirectory directory;
        writeFile(directory / "in.xyz", joined(trajectoryLines(random, trajectory, false), "\n"));
        const auto result =
            runBlockavg(directory.path(), {"in.xyz", std::to_string(trajectory.blockLength)});
        ASSERT_EQ(result.status, 0);
        ASSERT_TRUE(result.output.has_value());

        const std::vector<std::string> lines = splitLines(*result.output);
        std::size_t next = 0;
        for (const ExpectedBlock& block : expectedBlocks(trajectory)) {
            ASSERT_LT(next + 1 + block.sums.size(), lines.size());
            EXPECT_EQ(lines[next++], std::to_string(block.sums.size()));

            const std::string& comment = lines[next++];
            const std::string head = " after         " + block.step + " steps,  BOX:  ";
            ASSERT_EQ(comment.substr(0, head.size()), head);
            const std::vector<std::string> boxes = words(comment.substr(head.size()));
            ASSERT_EQ(boxes.size(), 3u) << comment;
            EXPECT_EQ(boxes[0] + " " + boxes[1] + " " + boxes[2], comment.substr(head.size()));
            EXPECT_EQ(boxes[1], boxes[0]);
            EXPECT_EQ(boxes[2], boxes[0]);
            EXPECT_TRUE(withinOneUnitOfTheLastDigit(boxes[0], block.boxSum, trajectory.blockLength,
                                                    block.boxInFixedNotation));
            ++checkedNumbers;

            for (std::size_t i = 0; i < block.sums.size(); ++i) {
                const std::string& line = lines[next++];
                const std::vector<std::string> fields = words(line);
                ASSERT_EQ(fields.size(), 4u) << line;
                EXPECT_EQ(fields[0], block.names[i]);
                EXPECT_EQ(line, rightAligned(fields[0], 5) + " " + rightAligned(fields[1], 12) +
                                    " " + rightAligned(fields[2], 12) + " " +
                                    rightAligned(fields[3], 12));
                for (std::size_t axis = 0; axis < 3; ++axis) {
                    EXPECT_TRUE(withinOneUnitOfTheLastDigit(fields[axis + 1], block.sums[i][axis],
                                                            trajectory.blockLength, true));
                    ++checkedNumbers;
                }
            }
        }
        EXPECT_EQ(next, lines.size()) << "more averaged frames than full blocks";
    }
    EXPECT_GT(checkedNumbers, 10 * generatedCases);  // not a vacuous pass
}

// Same atom count, 100,000 frames or 1,000,000 (11 MB or 110 MB): the same
// peak resident size within 2 MiB, as nothing is kept per frame or per line.
// The probe runs blockavg on one processor, where the batches held follow
// from the input alone; a leak of 8 bytes a frame is 7 MiB more here.
TEST(LongSweeps, PeakMemoryDoesNotGrowWithTheNumberOfFrames) {
    if (!BLOCKAVG_LONG_TESTS) {
        GTEST_SKIP() << "a long sweep: on with -DBLOCKAVG_LONG_TESTS=ON";
    }
#ifdef BLOCKAVG_SANITIZED
    GTEST_SKIP() << "the sanitizer runtime's shadow memory and quarantine, not blockavg, "
                    "set the resident size there";
#else
    const ScratchDirectory directory;
    auto writeFrames = [&](const std::string& name, int frames) {
        std::string text;
        for (int f = 1; f <= frames; ++f) {
            text += "3\nafter " + std::to_string(f) + " steps, BOX: 12.5\n";
            text += "O 1.250000 -2.500000 3." + std::to_string(f % 1000) + "\n";
            text += "H 0.750000 -1.500000 2.250000\nH -0.750000 1.500000 -2.250000\n";
        }
        writeFile(directory / name, text);
    };
    writeFrames("short.xyz", 100'000);
    writeFrames("long.xyz", 1'000'000);
    const auto shortRun = runBlockavgMeasuringMemory(directory.path(), {"short.xyz"});
    if (!shortRun) {
        GTEST_SKIP() << "no peak-memory probe on this platform (it needs POSIX)";
    }
    const auto longRun = runBlockavgMeasuringMemory(directory.path(), {"long.xyz"});
    ASSERT_TRUE(longRun.has_value());
    EXPECT_EQ(shortRun->status, 0);
    EXPECT_EQ(longRun->status, 0);
    RecordProperty("peak_kib_100000_frames", std::to_string(shortRun->peakKib));
    RecordProperty("peak_kib_1000000_frames", std::to_string(longRun->peakKib));
    EXPECT_LE(std::labs(longRun->peakKib - shortRun->peakKib), 2048)
        << "100,000 frames: " << shortRun->peakKib << " KiB, 1,000,000 frames: " << longRun->peakKib
        << " KiB";
#endif
}

}  // namespace
}  // namespace blockavg
