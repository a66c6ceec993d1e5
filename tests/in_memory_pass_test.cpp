// The in-memory averaging pass (reader from bytes, writer into a caller's
// stream, the run over both) against the built executable, and the fuzz
// regression inputs through the fuzz target's own checks.

#include "fuzz/in_memory_pass.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/averaging_run.hpp"
#include "test_support.hpp"
#include "trajectory/averaged_frame_writer.hpp"
#include "trajectory/xmol_frame_reader.hpp"

namespace blockavg {
namespace {

namespace fs = std::filesystem;
using fuzzing::checkFuzzInput;
using fuzzing::PassSettings;
using fuzzing::runInMemory;
using testing::readFile;
using testing::runBlockavg;
using testing::ScratchDirectory;
using testing::testData;
using testing::writeFile;

// The executable run on a copy of `input` named in.xyz, as runInMemory
// names its input in messages.
testing::RunResult runBinary(const std::string& input, std::int32_t blockLength) {
    const ScratchDirectory directory;
    writeFile(directory / "in.xyz", input);
    return runBlockavg(directory.path(), {"in.xyz", std::to_string(blockLength)});
}

TEST(InMemoryPass, GivesTheExecutablesBytesHoweverTheInputArrives) {
    struct Case {
        const char* input;
        std::int32_t blockLength;
    };
    const Case cases[] = {
        {"worked_example.xyz", 2},
        {"frames_250_crlf.xyz", 25},
        {"count_changes.xyz", 4},
        {"malformed_fields.xyz", 1},
        {"numeric_names.xyz", 1},
        {"truncated_no_final_lf.xyz", 2},
        {"junk_count.xyz", 1},
        {"blank_count.xyz", 1},
        {"trailing_blank_lines.xyz", 2},
        {"empty.xyz", 100},
        {"orca4_bomd_divinylbenzene.xyz", 12},
    };
    // Bytes per read and initial read buffer: all at once, as a pipe might
    // deliver them, and a buffer that has to grow for every line.
    const std::pair<std::size_t, std::size_t> deliveries[] = {
        {PassSettings{}.chunkSize, 0}, {7, 0}, {1, 1}, {4096, 16}};
    for (const Case& c : cases) {
        const std::string input = readFile(testData(c.input));
        const auto binary = runBinary(input, c.blockLength);
        ASSERT_TRUE(binary.output.has_value()) << c.input;
        for (const auto& [chunkSize, bufferSize] : deliveries) {
            SCOPED_TRACE(std::string(c.input) + ", " + std::to_string(chunkSize) +
                         " bytes per read, buffer " + std::to_string(bufferSize));
            PassSettings settings;
            settings.blockLength = c.blockLength;
            settings.chunkSize = chunkSize;
            settings.bufferSize = bufferSize;
            const auto pass = runInMemory(input, settings);
            EXPECT_EQ(pass.status, binary.status);
            EXPECT_EQ(pass.output, *binary.output);
            EXPECT_EQ(pass.console, binary.out);
            EXPECT_EQ(pass.diagnostics, binary.err);
        }
    }
}

TEST(InMemoryPass, TreatsAFrameOverTheAtomLimitAsOutOfMemory) {
    // Two frames of 2 atoms, then one of 3: with a limit of 2 the third
    // fails as a frame memory cannot hold would, keeping what was written.
    const std::string input =
        "2\n after 1 steps, BOX: 4\nA 1 1 1\nB 2 2 2\n"
        "2\n after 2 steps, BOX: 4\nA 1 1 1\nB 2 2 2\n"
        "3\n after 3 steps, BOX: 4\nA 1 1 1\nB 2 2 2\nC 3 3 3\n";
    const std::string firstTwoFrames =
        "2\n after         1 steps,  BOX:  4 4 4\n"
        "    A     1.000000     1.000000     1.000000\n"
        "    B     2.000000     2.000000     2.000000\n"
        "2\n after         2 steps,  BOX:  4.000000 4.000000 4.000000\n"
        "    A     1.000000     1.000000     1.000000\n"
        "    B     2.000000     2.000000     2.000000\n";
    const std::string thirdFrame =
        "3\n after         3 steps,  BOX:  4.000000 4.000000 4.000000\n"
        "    A     1.000000     1.000000     1.000000\n"
        "    B     2.000000     2.000000     2.000000\n"
        "    C     3.000000     3.000000     3.000000\n";
    struct Case {
        std::int32_t limit;
        int status;
        const char* diagnostics;
    };
    const Case cases[] = {
        {INT32_MAX, 0, ""},
        {3, 0, ""},
        {2, 1, "blockavg: cannot hold the 3 atoms of frame 3 of in.xyz: out of memory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("limit " + std::to_string(c.limit));
        PassSettings settings;
        settings.blockLength = 1;
        settings.atomLimit = c.limit;
        const auto pass = runInMemory(input, settings);
        EXPECT_EQ(pass.status, c.status);
        EXPECT_EQ(pass.diagnostics, c.diagnostics);
        EXPECT_EQ(pass.output, c.status == 0 ? firstTwoFrames + thirdFrame : firstTwoFrames);
    }
}

TEST(InMemoryPass, LeavesTheCallersStreamOpen) {
    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    {
        AveragedFrameWriter writer;
        writer.openStream(stream);
        const AtomList atoms{{"Ar", 2.0, 4.0, 6.0}};
        ASSERT_TRUE(writer.writeAveragedFrame(1, "BOX:", "10", 20.0, 2, atoms));
        ASSERT_TRUE(writer.close());
    }
    EXPECT_GE(std::fputs("after\n", stream), 0);
    std::rewind(stream);
    std::string written;
    for (int c = std::fgetc(stream); c != EOF; c = std::fgetc(stream)) {
        written.push_back(static_cast<char>(c));
    }
    std::fclose(stream);
    EXPECT_EQ(written,
              "1\n after         10 steps,  BOX:  10 10 10\n   Ar     1.000000     2.000000"
              "     3.000000\nafter\n");
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
