// The averaging pass in memory: the same bytes as the built executable, for
// any number of threads and however the input arrives, on every fault path;
// and the fuzz regression inputs through the fuzz target's own checks.

#include "tests/support/in_memory_pass.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/reference_codecs.hpp"
#include "tests/support/test_support.hpp"

namespace blockavg {
namespace {

namespace fs = std::filesystem;
using fuzzing::checkFuzzInput;
using fuzzing::encodeWhole;
using fuzzing::never;
using fuzzing::PassResult;
using fuzzing::PassSettings;
using fuzzing::runInMemory;
using testing::readFile;
using testing::runBlockavg;
using testing::ScratchDirectory;
using testing::testData;
using testing::writeFile;

constexpr unsigned threadCounts[] = {1, 2, 3, 8};

void expectSame(const PassResult& got, const PassResult& expected) {
    EXPECT_EQ(got.status, expected.status);
    EXPECT_EQ(got.output, expected.output);
    EXPECT_EQ(got.console, expected.console);
    EXPECT_EQ(got.diagnostics, expected.diagnostics);
}

// How the input arrives: bytes per read (never: a file, read at any
// offset) and bytes a batch (0: the run's own choice).
struct Delivery {
    std::size_t chunkSize;
    std::size_t batchBytes;
};
constexpr Delivery deliveries[] = {{never, 0}, {4096, 0}, {7, 0}, {never, 97}, {4096, 4096}};

// The pass over `input` with every thread count and several read and batch
// sizes.
void expectSameEverywhere(const std::string& input, PassSettings settings,
                          const PassResult& expected, std::span<const Delivery> ways = deliveries) {
    for (const unsigned threads : threadCounts) {
        for (const Delivery& way : ways) {
            SCOPED_TRACE(std::to_string(threads) + " threads, " + std::to_string(way.chunkSize) +
                         " bytes per read, " + std::to_string(way.batchBytes) + " a batch");
            settings.threads = threads;
            settings.chunkSize = way.chunkSize;
            settings.batchBytes = way.batchBytes;
            expectSame(runInMemory(input, settings), expected);
        }
    }
}

TEST(InMemoryPass, GivesTheExecutablesBytes) {
    struct Case {
        const char* input;
        std::int32_t blockLength;
    };
    const Case cases[] = {
        {"worked_example.xyz", 2},
        {"frames_250_crlf.xyz", 25},
        {"frames_250.xyz", 1},
        {"count_changes.xyz", 4},
        {"malformed_fields.xyz", 1},
        {"numeric_names.xyz", 1},
        {"truncated.xyz", 2},
        {"truncated_no_final_lf.xyz", 2},
        {"junk_count.xyz", 1},
        {"blank_count.xyz", 1},
        {"trailing_blank_lines.xyz", 2},
        {"empty.xyz", 100},
        {"orca4_bomd_divinylbenzene.xyz", 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        const std::string input = readFile(testData(c.input));
        const ScratchDirectory directory;
        writeFile(directory / "in.xyz", input);
        const auto binary =
            runBlockavg(directory.path(), {"in.xyz", std::to_string(c.blockLength)});
        ASSERT_TRUE(binary.output.has_value());
        PassSettings settings;
        settings.blockLength = c.blockLength;
        expectSameEverywhere(input, settings,
                             {binary.status, *binary.output, binary.out, binary.err});
    }
}

// Comment values that change over three frames and then stop for three,
// over and over: the empty comment lines carry the last ones read, from
// batch to batch, whatever the batches and threads.
TEST(InMemoryPass, CarriesTheLastCommentValuesFromBatchToBatch) {
    std::string input;
    for (int frame = 1; frame <= 57; ++frame) {
        input += "2\n";
        input += frame % 6 < 3 ? "after " + std::to_string(10 * frame) +
                                     " steps, BOX: " + std::to_string(20 + frame % 7) + "\n"
                               : "\n";
        input += "O 1 2 3\nH 4 5 6\n";
    }
    PassSettings settings;
    settings.blockLength = 3;
    settings.batchBytes = input.size() + 1;  // one batch: nothing carried over
    const PassResult whole = runInMemory(input, settings);
    ASSERT_EQ(whole.status, 0);
    // The last block's last frame, the 57th, carries step 560 from the 56th.
    const std::string last = " after         560 steps,  BOX:  22.000000 22.000000 22.000000\n";
    constexpr std::size_t twoAtomLines = 90;
    EXPECT_EQ(
        whole.output.compare(whole.output.size() - twoAtomLines - last.size(), last.size(), last),
        0);
    const Delivery small[] = {{never, 1}, {never, 97}, {never, 131}, {never, 211}, {7, 0}};
    settings.batchBytes = 0;
    expectSameEverywhere(input, settings, whole, small);
}

TEST(InMemoryPass, GivesTheSameBytesForTheSharedRealTrajectories) {
    const fs::path shared(BLOCKAVG_REAL_TRAJECTORIES);
    if (!fs::is_directory(shared)) {
        GTEST_SKIP() << "no shared real trajectories at " << shared;
    }
    for (const auto& entry : fs::directory_iterator(shared)) {
        if (entry.path().extension() != ".xyz") {
            continue;
        }
        SCOPED_TRACE(entry.path().filename().string());
        const std::string input = readFile(entry.path());
        for (const std::int32_t blockLength : {1, 3}) {
            PassSettings settings;
            settings.blockLength = blockLength;
            expectSameEverywhere(input, settings, runInMemory(input, settings));
        }
    }
}

// A read error or a full disk anywhere in the input: the same report,
// messages, status and output with every thread count; what was written
// before stays, and only whole frames.
TEST(InMemoryPass, FailsTheSameWayOnEveryThreadCount) {
    const std::string input = readFile(testData("frames_250.xyz"));
    const std::string whole = runInMemory(input, {1}).output;
    const struct {
        std::size_t readFailsAt;
        std::size_t writeFailsAt;
        const char* message;
    } cases[] = {
        {0, never, "blockavg: error reading in.xyz: Input/output error\n"},
        {5000, never, "blockavg: error reading in.xyz: Input/output error\n"},
        {input.size() - 1, never, "blockavg: error reading in.xyz: Input/output error\n"},
        {never, 0, "blockavg: error writing trajectory.xmol: No space left on device\n"},
        {never, 20'000, "blockavg: error writing trajectory.xmol: No space left on device\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("read fails at " + std::to_string(c.readFailsAt) + ", write at " +
                     std::to_string(c.writeFailsAt));
        PassSettings settings;
        settings.blockLength = 1;
        settings.readFailsAt = c.readFailsAt;
        settings.writeFailsAt = c.writeFailsAt;
        const PassResult expected = runInMemory(input, settings);
        EXPECT_EQ(expected.status, 1);
        EXPECT_EQ(expected.diagnostics, c.message);
        // Whole frames of the complete output, up to where it failed.
        const std::size_t kept = expected.output.size();
        EXPECT_EQ(expected.output, whole.substr(0, kept));
        EXPECT_TRUE(kept == 0 || whole.compare(kept - 1, 3, "\n3\n") == 0) << kept;
        expectSameEverywhere(input, settings, expected);
    }
}

// Frames too large to lay out whole go out in parts of about a MiB: the
// same bytes as one write would give, on every thread count and read size,
// and a write that fails inside such a frame keeps only the frames before.
TEST(InMemoryPass, WritesLargeFramesInPartsAsWholeFrames) {
    const char* const names[] = {"C", "Ca", "Carbon12"};
    const auto frames = [&](int atoms, int count, bool laidOut) {
        std::string text;
        for (int frame = 1; frame <= count; ++frame) {
            text += std::to_string(atoms) +
                    (laidOut ? (frame == 1 ? "\n after         1 steps,  BOX:  20 20 20\n"
                                           : "\n after         1 steps,  BOX:  20.000000 "
                                             "20.000000 20.000000\n")
                             : "\nafter 1 steps, BOX: 20\n");
            for (int atom = 0; atom < atoms; ++atom) {
                const std::string_view name = names[atom % 3];
                const std::string x = std::to_string(atom % 7) + ".5";
                if (laidOut) {
                    text.append(name.size() < 5 ? 5 - name.size() : 0, ' ');
                    text.append(name).append("     ").append(x);
                    text += "00000     2.250000    -3.750000\n";
                } else {
                    text.append(name).append(" ").append(x).append(" 2.25 -3.75\n");
                }
            }
        }
        return text;
    };
    // A small frame, then two of 30,000 atoms (1.35 MB each laid out).
    const std::string input = frames(2, 1, false) + frames(30'000, 2, false);
    const std::size_t firstFrame = frames(2, 1, true).size();
    // Every frame after the first has its box in fixed notation.
    const std::string large = frames(30'000, 2, true).substr(frames(30'000, 1, true).size());
    PassSettings settings;
    settings.blockLength = 1;
    const PassResult all = runInMemory(input, settings);
    ASSERT_EQ(all.status, 0);
    EXPECT_TRUE(all.output == frames(2, 1, true) + large + large) << all.output.size() << " bytes";
    // Reads of a few bytes make megabytes of input slow to pass.
    const Delivery largeReads[] = {{never, 0}, {4096, 0}, {never, 65536}};
    expectSameEverywhere(input, settings, all, largeReads);
    // Inside the first large frame's first part, and the second's second.
    for (const std::size_t failsAt :
         {firstFrame + 100, firstFrame + large.size() + (std::size_t{1} << 20) + 100}) {
        SCOPED_TRACE("write fails at " + std::to_string(failsAt));
        settings.writeFailsAt = failsAt;
        const PassResult failed = runInMemory(input, settings);
        EXPECT_EQ(failed.status, 1);
        EXPECT_EQ(failed.diagnostics,
                  "blockavg: error writing trajectory.xmol: No space left on device\n");
        const std::size_t kept = failsAt < firstFrame + large.size() ? 0 : 1;
        EXPECT_TRUE(failed.output == all.output.substr(0, firstFrame + kept * large.size()))
            << failed.output.size() << " bytes";
        expectSameEverywhere(input, settings, failed, largeReads);
    }
}

// A zstd frame damaged after text has come from it: the report up to the
// damage is the same however many bytes each read gives.
TEST(InMemoryPass, ReportsTheSameTextBeforeZstdDamageHoweverItArrives) {
    const std::string text = testing::wanderingTrajectory(400);
    std::string bytes = encodeWhole(Compression::zstd, text, 2, false);
    if (bytes.empty()) {
        GTEST_SKIP() << "no zstd";
    }
    for (const std::size_t at : {bytes.size() - 1, bytes.size() * 3 / 4}) {
        SCOPED_TRACE(at);
        std::string damaged = bytes;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x55);
        PassSettings settings;
        settings.blockLength = 10;
        const PassResult whole = runInMemory(damaged, settings);
        EXPECT_EQ(whole.status, 1);
        // The first zstd frame came whole before the damage: its 200 are reported.
        EXPECT_NE(whole.console.find("\n# 200 "), std::string::npos);
        for (const std::size_t chunk : {1, 61, 4093, 70001}) {
            settings.chunkSize = chunk;
            const PassResult read = runInMemory(damaged, settings);
            EXPECT_EQ(read.console, whole.console) << chunk << " bytes a read";
            EXPECT_EQ(read.output, whole.output);
            EXPECT_EQ(read.diagnostics, whole.diagnostics);
        }
    }
}

// The fuzz target's damage check, swept: each format's own library's copy
// of a small trajectory, in one unit and in three, damaged at 16 places,
// on one thread and on three, 15 bytes a read or all at once.
TEST(FuzzChecks, DamageNeverLeavesAFrameMadeFromIt) {
    const std::string text = testing::wanderingTrajectory(30);
    for (unsigned char format = 0; format < 5; ++format) {
        for (const unsigned char units : {0, 2}) {
            for (unsigned place = 0; place < 16; ++place) {
                const std::uint32_t at = 4 + place * 607;
                // Block length 4, then the reads and threads, the damage mode.
                const unsigned char delivery = place % 2 == 0 ? 0x80 : 0xaf;
                const std::string input = {'\x03',
                                           static_cast<char>(delivery),
                                           static_cast<char>(format | units << 3),
                                           static_cast<char>(at & 0xff),
                                           static_cast<char>(at >> 8 & 0xff),
                                           static_cast<char>(at >> 16),
                                           '\x55'};
                SCOPED_TRACE(std::to_string(format) + " " + std::to_string(units) + " " +
                             std::to_string(place));
                EXPECT_EQ(checkFuzzInput(input + text), "");
            }
        }
    }
}

// Every input the fuzzer has ever failed on, and the seed corpus, must pass
// the fuzz target's checks.
TEST(FuzzRegressions, PassTheFuzzTargetsChecks) {
    int checked = 0;
    for (const char* folder : {"regressions", "corpus"}) {
        const fs::path directory = fs::path(BLOCKAVG_FUZZ_DIR) / folder;
        if (!fs::is_directory(directory)) {
            continue;
        }
        for (const auto& entry : fs::directory_iterator(directory)) {
            if (!entry.is_regular_file() || entry.path().extension() == ".md") {
                continue;
            }
            SCOPED_TRACE(entry.path().string());
            EXPECT_EQ(checkFuzzInput(readFile(entry.path())), "");
            ++checked;
        }
    }
    EXPECT_GT(checked, 0);
}

}  // namespace
}  // namespace blockavg
