// Damaged compressed input: no averaged frame made from data that failed a
// check stays in trajectory.xmol, and no damage ends in success. Runs of the
// built blockavg, compared byte for byte with the run of the plain text.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/test_support.hpp"

namespace blockavg {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::runBlockavg;
using testing::RunResult;
using testing::ScratchDirectory;
using testing::shellMakes;
using testing::writeFile;
using testing::xzIndexStart;

// The shell words that pin the run to one processor.
const std::string oneProcessor = "taskset -p -c 0 $$ >/dev/null 2>&1;";

// `text` compressed by the shell command `command` (from standard input to
// standard output); nothing when the tool is missing.
std::optional<std::string> compressed(const std::string& command, const std::string& text) {
    const ScratchDirectory scratch;
    writeFile(scratch / "in", text);
    if (!shellMakes(command + " <\"$in\" >\"$out\"", scratch / "in", scratch / "out")) {
        return std::nullopt;
    }
    return readFile(scratch / "out");
}

RunResult runOn(const std::string& bytes, bool fromPipe, const std::string& setup = {},
                const char* blockLength = "10") {
    const ScratchDirectory inputs;
    const fs::path input = inputs / "in";
    writeFile(input, bytes);
    const ScratchDirectory directory;
    return fromPipe
               ? testing::runBlockavgFedBy(directory.path(), {"-", blockLength},
                                           "cat " + testing::shellQuoted(input.string()), setup)
               : runBlockavg(directory.path(), {input.string(), blockLength}, std::nullopt, setup);
}

// One byte changed (XOR 0x55) at 12 places of each compressor's copy of
// 2.5 MB: one unit (gzip, xz -T1, zstd) or many (bgzip, bzip2 and lbzip2
// blocks, xz -T2). Every run either fails, its trajectory.xmol a byte prefix
// of the plain run's, or succeeds with exactly the plain run's bytes. Each
// place is read one of four ways (a file or a pipe, on one processor or
// all); with the long sweeps, all four.
TEST(DamagedInput, NeverKeepsAFrameMadeFromDamagedData) {
    const std::string text = testing::wanderingTrajectory(2500);
    const RunResult plain = runOn(text, false, {}, "5");
    ASSERT_EQ(plain.status, 0);
    ASSERT_TRUE(plain.output.has_value());
    const char* const commands[] = {"gzip -n -c",   "bgzip -c",     "bzip2 -9 -c", "lbzip2 -n 2 -c",
                                    "xz -T1 -2 -c", "xz -T2 -0 -c", "zstd -q -c"};
    for (const char* command : commands) {
        SCOPED_TRACE(command);
        const std::optional<std::string> bytes = compressed(command, text);
        if (!bytes) {
            std::cout << "[ NOTE     ] cannot run " << command << "\n";
            continue;
        }
        for (std::size_t place = 0; place < 12; ++place) {
            const std::size_t at = bytes->size() * (5 + 8 * place) / 100;
            SCOPED_TRACE("byte " + std::to_string(at) + " of " + std::to_string(bytes->size()));
            std::string damaged = *bytes;
            damaged[at] = static_cast<char>(damaged[at] ^ 0x55);
            for (unsigned way = 0; way < 4; ++way) {
                if (!BLOCKAVG_LONG_TESTS && way != place % 4) {
                    continue;
                }
                const bool fromPipe = (way & 1) != 0;
                const RunResult result =
                    runOn(damaged, fromPipe, (way & 2) != 0 ? oneProcessor : "", "5");
                SCOPED_TRACE(std::string(fromPipe ? "a pipe" : "a file") + ", " +
                             ((way & 2) != 0 ? "one processor" : "all") + ": " + result.err);
                ASSERT_TRUE(result.output.has_value());
                if (result.status == 0) {
                    EXPECT_TRUE(result.output == plain.output);
                    continue;
                }
                EXPECT_EQ(result.status, 1);
                EXPECT_EQ(plain.output->compare(0, result.output->size(), *result.output), 0);
                EXPECT_NE(result.err.find("blockavg: error reading "), std::string::npos);
            }
        }
    }
}

// `bytes` with the bits `bits` of byte `at` flipped.
std::string damagedAt(std::string bytes, std::size_t at, unsigned char bits = 1) {
    bytes[at] = static_cast<char>(bytes[at] ^ bits);
    return bytes;
}

// The bit where the end marker of the last bzip2 stream of `bytes` begins.
std::size_t bzip2EndMarker(const std::string& bytes) {
    const auto bit = [&bytes](std::size_t at) {
        return (static_cast<unsigned char>(bytes[at / 8]) >> (7 - at % 8)) & 1u;
    };
    for (std::size_t at = bytes.size() * 8 - 80; at + 80 > bytes.size() * 8 - 8; --at) {
        std::uint64_t magic = 0;
        for (std::size_t i = 0; i < 48; ++i) {
            magic = magic << 1 | bit(at + i);
        }
        if (magic == 0x177245385090) {
            return at;
        }
    }
    return 0;
}

// Each check a format has, on damage to the thing it checks alone, in a
// second unit of two, each of 20 averaged frames: the frames made before
// that unit stay. A field no check covers changes nothing.
TEST(DamagedInput, EachCheckCatchesWhatItCovers) {
    const std::string text = testing::wanderingTrajectory(400);
    const std::string first = testing::wanderingTrajectory(200);
    const std::string second = text.substr(first.size());
    const RunResult plain = runOn(text, false);
    ASSERT_TRUE(plain.output.has_value());
    const auto twice =
        [&](const char* command) -> std::optional<std::pair<std::string, std::string>> {
        const auto a = compressed(command, first);
        const auto b = compressed(command, second);
        if (!a || !b) {
            return std::nullopt;
        }
        return std::make_pair(*a, *b);
    };
    struct Case {
        std::string what;
        std::string bytes;
        std::string error;      // after "error reading INPUT: "; none: a whole run
        std::size_t kept = 20;  // averaged frames, of 40
    };
    std::vector<Case> cases;
    const std::string keeps = "; trajectory.xmol holds the 20 averaged frames made before it";
    if (const auto gz = twice("gzip -n -c")) {
        const auto& [a, b] = *gz;
        const std::string at = std::to_string(a.size());
        const std::string damage =
            "the gzip data is damaged (its checksum does not match) in the member at byte " + at;
        cases.push_back({"a gzip member's CRC-32", a + damagedAt(b, b.size() - 8), damage + keeps});
        cases.push_back({"a gzip member's size", a + damagedAt(b, b.size() - 1), damage + keeps});
        cases.push_back(
            {"a gzip header's time stamp, which no check covers", a + damagedAt(b, 4), ""});
    }
    // The feed that ends the 20th averaged frame's text in the damaged unit:
    // in its place the line could have gone on, so that frame goes too.
    for (const auto& [command, place, damage] :
         {std::tuple{"gzip -n -c", 8,
                     "the gzip data is damaged (its checksum does not match) "
                     "in the member at byte "},
          std::tuple{"xz -T1 -c", 0,
                     "the xz data is damaged (corrupt data or a wrong checksum) "
                     "in the block at byte "}}) {
        const auto a = compressed(command, first.substr(0, first.size() - 1));
        const auto b = compressed(command, "\n" + second);
        if (a && b) {
            const std::size_t at = place != 0 ? b->size() - place : xzIndexStart(*b) - 1;
            cases.push_back({std::string("a unit that begins with a frame's last feed, ") + command,
                             *a + damagedAt(*b, at),
                             damage + std::to_string(a->size() + (place != 0 ? 0 : 12)) +
                                 "; trajectory.xmol holds the 19 averaged frames made before it",
                             19});
        }
    }
    if (const auto zst = twice("zstd -q -c")) {
        const auto& [a, b] = *zst;
        cases.push_back({"a zstd frame's checksum", a + damagedAt(b, b.size() - 1),
                         "the zstd data is damaged (Restored data doesn't match checksum) in the "
                         "frame at byte " +
                             std::to_string(a.size()) + keeps});
    }
    for (const char* command : {"xz -T1 -c", "xz -T2 -c"}) {
        if (const auto xz = twice(command)) {
            const auto& [a, b] = *xz;
            // The block's check (CRC64) comes just before the index.
            cases.push_back({std::string("an xz block's check, ") + command,
                             a + damagedAt(b, xzIndexStart(b) - 1),
                             "the xz data is damaged (corrupt data or a wrong checksum) in the "
                             "block at byte " +
                                 std::to_string(a.size() + 12) + keeps});
        }
    }
    if (const auto bz = twice("bzip2 -c")) {
        const auto& [a, b] = *bz;
        // The block's CRC: bits 80 to 111 of a stream.
        cases.push_back({"a bzip2 block's CRC", a + damagedAt(b, 10),
                         "the bzip2 data is damaged (corrupt data or a wrong checksum) in the "
                         "block at byte " +
                             std::to_string(a.size() + 4) + keeps});
        // Every block whole: the frames made of them all stay.
        const std::size_t crcBit = bzip2EndMarker(b) + 48 + 16;
        ASSERT_GT(crcBit, 48u + 16);
        cases.push_back(
            {"a bzip2 stream's checksum, its blocks whole",
             a + damagedAt(b, crcBit / 8, static_cast<unsigned char>(0x80u >> (crcBit % 8))),
             "the bzip2 data is damaged (its stream checksum does not match) in the "
             "stream at byte " +
                 std::to_string(a.size()) +
                 "; trajectory.xmol holds the 40 averaged frames made before it",
             40});
        // Zeros that pad the file end it; other bytes after them are damage.
        cases.push_back(
            {"zeros after the last bzip2 stream", a + b + std::string(70000, '\0'), ""});
        cases.push_back({"a bzip2 header after zeros", a + b + std::string(9, '\0') + "BZh9",
                         "the bzip2 data is damaged (no bzip2 header where one belongs) in the "
                         "stream at byte " +
                             std::to_string(a.size() + b.size() + 9) +
                             "; trajectory.xmol holds the 40 averaged frames made before it",
                         40});
        cases.push_back({"zeros between two bzip2 streams", a + std::string(10, '\0') + b,
                         "the bzip2 data is damaged (no bzip2 header where one belongs) in the "
                         "stream at byte " +
                             std::to_string(a.size() + 10) + keeps});
    }
    ASSERT_FALSE(cases.empty()) << "no compression tools";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string fileReport;
        for (const bool fromPipe : {false, true}) {
            SCOPED_TRACE(fromPipe ? "a pipe" : "a file");
            const RunResult result = runOn(c.bytes, fromPipe);
            // The report up to the damage is the same however the bytes came.
            if (fromPipe) {
                EXPECT_EQ(result.out, fileReport);
            }
            fileReport = result.out;
            if (c.error.empty()) {
                EXPECT_EQ(result.status, 0);
                EXPECT_EQ(result.err, plain.err);
                EXPECT_TRUE(result.output == plain.output);
                continue;
            }
            EXPECT_EQ(result.status, 1);
            const std::size_t name = result.err.find(": ", 24);
            EXPECT_EQ(result.err.substr(name == std::string::npos ? 0 : name + 2), c.error + "\n");
            EXPECT_TRUE(result.output ==
                        plain.output->substr(0, plain.output->size() * c.kept / 40));
        }
    }
}

// A run that stops at a line that is no count reads on until the unit that
// line lies in has been checked, from a file or a pipe: damage there is an
// error, damage after it goes unread.
TEST(DamagedInput, AStopIsCheckedUpToItsUnit) {
    const std::string head = testing::wanderingTrajectory(100) + "not a count\n";
    const std::string tail = testing::wanderingTrajectory(100);
    const auto a = compressed("gzip -n -c", head);
    const auto b = compressed("gzip -n -c", tail);
    const auto whole = compressed("gzip -n -c", head + tail);
    if (!a || !b || !whole) {
        GTEST_SKIP() << "no gzip";
    }
    const RunResult plain = runOn(head + tail, false);
    ASSERT_EQ(plain.status, 0);
    const struct {
        const char* what;
        std::string bytes;
        bool fails;
    } cases[] = {
        {"one member, whole", *whole, false},
        {"one member, its CRC-32 damaged", damagedAt(*whole, whole->size() - 8), true},
        {"the stop's member damaged", damagedAt(*a, a->size() - 8) + *b, true},
        {"a member after the stop's damaged", *a + damagedAt(*b, b->size() - 8), false},
    };
    const std::string damage =
        ": the gzip data is damaged (its checksum does not match) in the member at byte 0; "
        "trajectory.xmol holds no averaged frames\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const bool fromPipe : {false, true}) {
            SCOPED_TRACE(fromPipe ? "a pipe" : "a file");
            const RunResult result = runOn(c.bytes, fromPipe);
            EXPECT_EQ(result.out, plain.out);
            EXPECT_NE(result.err.find(" is not an atom count; stopped reading there\n"),
                      std::string::npos);
            if (!c.fails) {
                EXPECT_EQ(result.status, 0);
                EXPECT_TRUE(result.output == plain.output);
                continue;
            }
            EXPECT_EQ(result.status, 1);
            EXPECT_EQ(result.output, std::optional<std::string>(""));
            ASSERT_GE(result.err.size(), damage.size());
            EXPECT_EQ(result.err.substr(result.err.size() - damage.size()), damage);
        }
    }
}

// A stop long before the end, in input cut into many units: the run ends
// although most units were never taken by the threads that decode them.
TEST(DamagedInput, AnEarlyStopLeavesNoUnitWaiting) {
    std::string frames;
    for (int frame = 0; frame < 30000; ++frame) {
        frames += "2\nbox 10.0\nC 1.0 2.0 3.0\nO 4.0 5.0 6.0\n";
    }
    const std::string text = frames.substr(0, frames.size() / 15) + "not a count\n" + frames;
    const RunResult plain = runOn(text, false);
    for (const char* command : {"bzip2 -1 -c", "xz -T2 --block-size=64KiB -c"}) {
        SCOPED_TRACE(command);
        const std::optional<std::string> bytes = compressed(command, text);
        if (!bytes) {
            continue;
        }
        for (int round = 0; round < 4; ++round) {
            const RunResult result = runOn(*bytes, round % 2 == 1);
            EXPECT_EQ(result.status, 0);
            EXPECT_TRUE(result.output == plain.output);
        }
    }
}

// A stream cut inside an averaged frame larger than a MiB, which goes out in
// slices (a batch's part of it is one already): trajectory.xmol keeps the
// whole frames before it, and no slice of that one.
TEST(DamagedInput, ACutInsideALargeFrameLeavesNoSliceOfIt) {
    std::string text;
    std::uint32_t state = 1;
    for (const int count : {20000, 200000}) {
        text += std::to_string(count) + "\nstep\n";
        for (int atom = 0; atom < count; ++atom) {
            state = state * 1103515245u + 12345u;
            text += "A " + std::to_string(state >> 22) + " 0 1\n";
        }
    }
    const RunResult plain = runOn(text, false, {}, "1");
    ASSERT_EQ(plain.status, 0);
    const std::string firstFrame = plain.output->substr(0, plain.output->find("\n200000\n") + 1);
    for (const char* command : {"gzip -n -c", "zstd -q -c"}) {
        SCOPED_TRACE(command);
        const std::optional<std::string> bytes = compressed(command, text);
        if (!bytes) {
            continue;
        }
        // Cut inside the second frame's text, at its middle.
        const std::string cut = bytes->substr(0, bytes->size() * 11 / 20);
        for (const bool fromPipe : {false, true}) {
            const RunResult result = runOn(cut, fromPipe, {}, "1");
            EXPECT_EQ(result.status, 1);
            EXPECT_TRUE(result.output == firstFrame) << result.output->size() << " bytes";
        }
    }
}

}  // namespace
}  // namespace blockavg
