// Runs the built blockavg in scratch directories and compares what it prints
// and writes, byte for byte, with the expected files under data/expected.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/support/in_memory_pass.hpp"
#include "tests/support/test_support.hpp"

namespace blockavg {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::replaced;
using testing::runBlockavg;
using testing::ScratchDirectory;
using testing::testData;
using testing::writeFile;

std::string expectedFile(const std::string& name) { return readFile(testData("expected") / name); }

struct TrajectoryCase {
    const char* input;
    std::vector<std::string> arguments;  // after the input path
    const char* expected;                // data/expected/NAME.stdout and NAME.xmol
    const char* err;                     // data/expected/NAME.stderr; none: nothing said
};

// What the case says on standard error when its input is named `inputName`.
std::string expectedErr(const TrajectoryCase& c, const std::string& inputName) {
    if (c.err == nullptr) {
        return "";
    }
    return replaced(expectedFile(std::string(c.err) + ".stderr"), "INPUT", inputName);
}

const std::vector<TrajectoryCase>& trajectoryCases() {
    static const std::vector<TrajectoryCase> cases = {
        {"worked_example.xyz", {"2"}, "worked_example_block_2", nullptr},
        {"worked_example.xyz", {"1"}, "worked_example_block_1", nullptr},
        {"frames_250.xyz", {}, "frames_250_block_100", "frames_250_block_100"},
        {"frames_250.xyz", {"abc"}, "frames_250_block_100", "frames_250_block_100"},
        {"frames_250_crlf.xyz", {}, "frames_250_block_100", "frames_250_block_100"},
        {"frames_250.xyz", {"25x"}, "frames_250_block_25", nullptr},
        {"frames_250_crlf.xyz", {"25"}, "frames_250_block_25", nullptr},
        {"count_changes.xyz", {"4"}, "count_changes_block_4", nullptr},
        {"no_box.xyz", {"1"}, "no_box_block_1", nullptr},
        {"no_box.xyz", {"3"}, "no_box_block_3", nullptr},
        {"malformed_fields.xyz", {"1"}, "malformed_fields_block_1", nullptr},
        {"numeric_names.xyz", {"1"}, "numeric_names_block_1", nullptr},
        {"truncated.xyz", {"2"}, "truncated_block_2", "truncated_block_2"},
        {"truncated_no_final_lf.xyz", {"2"}, "truncated_block_2", "truncated_block_2"},
        {"junk_count.xyz", {"1"}, "stops_after_frame_1", "stops_after_frame_1"},
        {"negative_count.xyz", {"1"}, "stops_after_frame_1", "stops_after_frame_1"},
        {"blank_count.xyz", {"1"}, "stops_after_frame_1", "stops_after_frame_1_blank"},
        {"trailing_blank_lines.xyz", {"2"}, "trailing_blank_lines_block_2", nullptr},
        {"empty.xyz", {}, "empty", "empty"},
        {"orca4_bomd_divinylbenzene.xyz", {"12"}, "orca4_bomd_block_12", nullptr},
    };
    return cases;
}

TEST(EndToEnd, AveragesTrajectoriesExactly) {
    for (const TrajectoryCase& c : trajectoryCases()) {
        SCOPED_TRACE(std::string(c.input) + " -> " + c.expected);
        const ScratchDirectory directory;
        std::vector<std::string> arguments{testData(c.input).string()};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const auto result = runBlockavg(directory.path(), arguments);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, expectedFile(std::string(c.expected) + ".stdout"));
        ASSERT_TRUE(result.output.has_value());
        EXPECT_EQ(*result.output, expectedFile(std::string(c.expected) + ".xmol"));
        EXPECT_EQ(result.err, expectedErr(c, arguments[0]));
    }
}

// A compression tool, and how its output ends a file's name.
struct Compressor {
    const char* what;
    const char* command;  // reads standard input, writes standard output
    const char* suffix;
    const char* format;  // as messages name it
};

constexpr Compressor compressors[] = {
    {"gzip", "gzip -c", ".gz", "gzip"},
    {"two gzip members", "split -n 2 --filter='gzip -c'", ".gz", "gzip"},
    {"zstd", "zstd -q -c", ".zst", "zstd"},
    {"xz", "xz -c", ".xz", "xz"},
    {"bzip2", "bzip2 -c", ".bz2", "bzip2"},
    {"bzip2 streams of levels 1 to 9", "split -n 9 -a 1 -d --filter='bzip2 -c -$((${FILE#x}+1))'",
     ".bz2", "bzip2"},
};

// `input` compressed into `output`; false when the tool is missing.
bool compress(const Compressor& compressor, const fs::path& input, const fs::path& output) {
    const std::string command = std::string(compressor.command) + " <'" + input.string() + "' >'" +
                                output.string() + "' 2>/dev/null";
    return std::system(command.c_str()) == 0;
}

// Whether the blockavg under test reads `compressor`'s format. A
// cross-build for Windows may lack the format's library, and then refuses
// such input with a message; it is asked only under Wine, so that a native
// build without a library still fails these tests.
bool buildReadsFormat(const Compressor& compressor) {
    if (!testing::runsUnderWine()) {
        return true;
    }
    const ScratchDirectory directory;
    if (!compress(compressor, testData("worked_example.xyz"), directory / "in")) {
        return true;  // the test skips on its own
    }
    const auto result = runBlockavg(directory.path(), {"in"});
    return result.err.find("this build has no " + std::string(compressor.format) + " support") ==
           std::string::npos;
}

// Ends a test whose formats this build reads none of as skipped; notes the
// ones it does not read otherwise.
void noteUnreadFormats(const std::vector<std::string>& unread) {
    if (unread.size() == std::size(compressors)) {
        GTEST_SKIP() << "this build reads no compressed input";
    }
    for (const std::string& format : unread) {
        std::cout << "[ NOTE     ] this build does not read " << format << "\n";
    }
}

// Every case of the table above, compressed in each format: told by its
// first bytes, not its name, from a file or from standard input, with the
// same report, output, messages and status as the plain text.
TEST(EndToEnd, ReadsCompressedTrajectoriesLikeThePlainText) {
    std::vector<std::string> unread;
    for (const Compressor& compressor : compressors) {
        SCOPED_TRACE(compressor.what);
        if (!buildReadsFormat(compressor)) {
            unread.emplace_back(compressor.what);
            continue;
        }
        const ScratchDirectory inputs;
        int number = 0;
        for (const TrajectoryCase& c : trajectoryCases()) {
            SCOPED_TRACE(c.input);
            // Named without the suffix half of the time: the name tells nothing.
            const std::string name =
                std::string("in") + (++number % 2 == 0 ? compressor.suffix : ".xyz");
            if (!compress(compressor, testData(c.input), inputs / name)) {
                GTEST_SKIP() << "cannot run " << compressor.command;
            }
            std::vector<std::string> arguments{(inputs / name).string()};
            arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
            const ScratchDirectory directory;
            const auto result = runBlockavg(directory.path(), arguments);
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(result.out, expectedFile(std::string(c.expected) + ".stdout"));
            EXPECT_EQ(result.output, expectedFile(std::string(c.expected) + ".xmol"));
            EXPECT_EQ(result.err, expectedErr(c, arguments[0]));
            if (number % 5 == 0) {
                arguments[0] = "-";
                const ScratchDirectory other;
                const auto piped = runBlockavg(other.path(), arguments, inputs / name);
                EXPECT_EQ(piped.status, 0);
                EXPECT_EQ(piped.out, result.out);
                EXPECT_EQ(piped.output, result.output);
                EXPECT_EQ(piped.err,
                          replaced(result.err, (inputs / name).string(), "standard input"));
            }
        }
    }
    noteUnreadFormats(unread);
}

// A damaged compressed trajectory (cut short, a byte changed, a checksum
// that does not match): status 1, a message that names the file and what
// was wrong, and the whole averaged frames written before it.
TEST(EndToEnd, StopsAtADamagedCompressedStream) {
    struct Damage {
        const char* what;
        // The damaged bytes, from the compressed ones.
        std::string (*make)(const std::string&);
        // Whether the text before the damage is undamaged, so that the
        // frames written are those of the plain run.
        bool cutShort = false;
    };
    const Damage damages[] = {
        {"cut short", [](const std::string& bytes) { return bytes.substr(0, bytes.size() / 2); },
         true},
        {"a byte changed",
         [](const std::string& bytes) {
             std::string changed = bytes;
             changed[changed.size() / 3] = static_cast<char>(changed[changed.size() / 3] ^ 0x55);
             return changed;
         }},
        {"a checksum that does not match",
         [](const std::string& bytes) {
             std::string changed = bytes;
             changed[changed.size() - 6] = static_cast<char>(changed[changed.size() - 6] ^ 0x01);
             return changed;
         }},
    };
    const ScratchDirectory plainDirectory;
    const auto plain =
        runBlockavg(plainDirectory.path(), {testData("frames_250.xyz").string(), "1"});
    ASSERT_EQ(plain.status, 0);
    ASSERT_TRUE(plain.output.has_value());
    std::vector<std::string> unread;
    for (const Compressor& compressor : compressors) {
        SCOPED_TRACE(compressor.what);
        if (!buildReadsFormat(compressor)) {
            unread.emplace_back(compressor.what);
            continue;
        }
        const ScratchDirectory inputs;
        if (!compress(compressor, testData("frames_250.xyz"), inputs / "whole")) {
            GTEST_SKIP() << "cannot run " << compressor.command;
        }
        const std::string compressed = readFile(inputs / "whole");
        for (const Damage& damage : damages) {
            SCOPED_TRACE(damage.what);
            writeFile(inputs / "in.xyz", damage.make(compressed));
            const ScratchDirectory directory;
            const auto result = runBlockavg(directory.path(), {(inputs / "in.xyz").string(), "1"});
            EXPECT_EQ(result.status, 1);
            // The last message names the file and the damage (a frame made of
            // damaged text may have stopped the run with a warning first).
            const std::string error = "blockavg: error reading " + (inputs / "in.xyz").string() +
                                      ": the " + compressor.format;
            const std::size_t lastLine = result.err.rfind('\n', result.err.size() - 2) + 1;
            EXPECT_EQ(result.err.compare(lastLine, error.size(), error), 0) << result.err;
            // Whole frames only: five lines each, the first a count of 3.
            ASSERT_TRUE(result.output.has_value());
            std::size_t lines = 0;
            for (std::size_t at = 0; at < result.output->size(); ++lines) {
                if (lines % 5 == 0) {
                    EXPECT_EQ(result.output->compare(at, 2, "3\n"), 0) << "at byte " << at;
                }
                at = result.output->find('\n', at) + 1;
            }
            EXPECT_EQ(lines % 5, 0u);
            if (damage.cutShort) {
                // The frames of the text before the cut, as the plain run
                // wrote them. bzip2 and zstd give no text of a block they
                // have not read whole, and this input is one block of each
                // unless split.
                const std::string format = compressor.format;
                const bool split = std::string_view(compressor.command).starts_with("split");
                EXPECT_EQ(plain.output->compare(0, result.output->size(), *result.output), 0);
                EXPECT_EQ(result.output->empty(),
                          (format == "bzip2" || format == "zstd") && !split);
            }
        }
    }
    noteUnreadFormats(unread);
}

// The example the README runs and the Debian package check repeats with the
// installed binary; its expected averages agree with a separate computation.
TEST(EndToEnd, AveragesTheShippedExample) {
    const ScratchDirectory directory;
    const auto result = runBlockavg(
        directory.path(), {(fs::path(BLOCKAVG_EXAMPLES) / "argon_box.xyz").string(), "5"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, expectedFile("argon_box_block_5.stdout"));
    EXPECT_EQ(result.output, expectedFile("argon_box_block_5.xmol"));
    EXPECT_EQ(result.err, "");
}

TEST(EndToEnd, ReadsStandardInputForADash) {
    const ScratchDirectory directory;
    const auto result = runBlockavg(directory.path(), {"-", "2"}, testData("worked_example.xyz"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, expectedFile("worked_example_block_2.stdout"));
    EXPECT_EQ(result.output, expectedFile("worked_example_block_2.xmol"));
    EXPECT_EQ(result.err, "");
}

TEST(EndToEnd, NamesTheDamageItWarnsAbout) {
    const struct {
        const char* input;
        const char* warning;
    } cases[] = {
        {"junk_count.xyz", "blockavg: warning: line 4 of "},
        {"negative_count.xyz", "is not an atom count; stopped reading there"},
        {"blank_count.xyz", "is blank where an atom count belongs; stopped reading there"},
        {"truncated.xyz", "ends inside frame 2 of 3 atoms"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        const ScratchDirectory directory;
        const auto result = runBlockavg(directory.path(), {testData(c.input).string(), "1"});
        EXPECT_NE(result.err.find(c.warning), std::string::npos) << result.err;
        EXPECT_NE(result.err.find(testData(c.input).string()), std::string::npos) << result.err;
    }
}

// Argument and file errors: status, what stderr says, an empty stdout and an
// earlier trajectory.xmol that keeps its bytes.
TEST(EndToEnd, RefusesBadUsageWithoutTouchingTheOutput) {
    const std::string input = testData("worked_example.xyz").string();
    const struct {
        std::vector<std::string> arguments;
        int status;
        const char* message;
    } cases[] = {
        {{}, 2, "usage: blockavg INPUT [BLOCK_LENGTH]"},
        {{input, "0"}, 2, "block length must be at least 1"},
        {{input, "-5"}, 2, "block length must be at least 1"},
        {{"missing.xyz"}, 1, "cannot open missing.xyz: No such file or directory"},
        {{"missing.xyz", "0"}, 2, "block length"},
        {{"."}, 1, "cannot open .: Is a directory"},
        {{"new\nline \x1b[31m.xyz"},
         1,
         "blockavg: cannot open 'new'$'\\n''line '$'\\033''[31m.xyz': No such file or directory\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        if (testing::runsUnderWine() && c.arguments.size() == 1 &&
            c.arguments[0].find('\n') != std::string::npos) {
            continue;  // a Windows file name cannot hold a line feed
        }
        const ScratchDirectory directory;
        writeFile(directory / "trajectory.xmol", "an earlier result\n");
        const auto result = runBlockavg(directory.path(), c.arguments);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(result.output, "an earlier result\n");
    }
}

TEST(EndToEnd, AnswersHelpAndVersionOnStandardOutput) {
    const ScratchDirectory directory;
    for (const char* flag : {"-h", "--help"}) {
        const auto help = runBlockavg(directory.path(), {flag});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind("usage: blockavg INPUT [BLOCK_LENGTH]\n", 0), 0u);
        EXPECT_EQ(help.err, "");
    }
    const auto version = runBlockavg(directory.path(), {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "blockavg " BLOCKAVG_VERSION "\n");
    EXPECT_FALSE(fs::exists(directory / "trajectory.xmol"));
}

TEST(EndToEnd, FailsWhenTheOutputCannotBeWritten) {
    const std::string input = testData("worked_example.xyz").string();
    {
        SCOPED_TRACE("trajectory.xmol is a directory");
        const ScratchDirectory directory;
        fs::create_directory(directory / "trajectory.xmol");
        const auto result = runBlockavg(directory.path(), {input, "2"});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find("cannot create trajectory.xmol: Is a directory"),
                  std::string::npos)
            << result.err;
    }
    BLOCKAVG_SKIP_UNDER_WINE("/dev/full");
    {
        SCOPED_TRACE("trajectory.xmol on a full disk");
        const ScratchDirectory directory;
        fs::create_symlink("/dev/full", directory / "trajectory.xmol");
        const auto result = runBlockavg(directory.path(), {input, "1"});
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find("error writing trajectory.xmol: No space left on device"),
                  std::string::npos)
            << result.err;
        // The run stops at the first averaged frame that could not be written.
        EXPECT_EQ(result.out, "\n# 1   2 atoms   box 20 A   ");
    }
}

// A frame more than memory may take (as a damaged count line announces) is
// refused before it is held, under an address-space limit: status 1, what
// it needs and what is available, and the frames before it kept. A large
// frame that fits still runs.
TEST(EndToEnd, FailsCleanlyWhenAFrameCannotBeHeld) {
    BLOCKAVG_SKIP_UNDER_WINE("ulimit -v");
#ifdef BLOCKAVG_SANITIZED
    GTEST_SKIP() << "sanitizer allocators abort on exhausted memory instead of failing";
#else
    if (testing::runsUnderWrapper()) {
        // Valgrind, for one, aborts where operator new would throw.
        GTEST_SKIP() << "a wrapper's allocator may abort on exhausted memory instead of failing";
    }
    const std::string frame1 = "1\nafter 1 steps, BOX: 2\nA 1 2 3\n";
    const std::string written1 =
        "1\n after         1 steps,  BOX:  2 2 2\n    A     1.000000     2.000000     3.000000\n";
    const struct {
        const char* count;
        bool wholeFrame;    // all its atom lines follow
        const char* needs;  // empty: it fits
    } cases[] = {
        {"2147483647", false, "160.0 GiB"},
        {"100000000", false, "7.5 GiB"},
        {"20000000", false, "1.5 GiB"},
        {"1000000", true, ""},
    };
    const ScratchDirectory directory;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        std::string text = frame1 + c.count + "\nc\n";
        for (int atom = 0; atom < (c.wholeFrame ? std::stoi(c.count) : 1); ++atom) {
            text += "A 1 2 3\n";
        }
        writeFile(directory / "in.xyz", text);
        const auto result =
            runBlockavg(directory.path(), {"in.xyz", "1"}, std::nullopt, "ulimit -v 1048576 &&");
        const std::string report =
            std::string("\n# 1   1 atoms   box 2 A   \n# 2   ") + c.count + " atoms   ";
        if (c.needs[0] == '\0') {
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(result.err, "");
            EXPECT_EQ(result.out, report + "box 2 A   \n# 3   ");
            continue;
        }
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, report);
        const std::regex message(std::string("blockavg: cannot hold the ") + c.count +
                                 " atoms of frame 2 of in\\.xyz: needs " + c.needs +
                                 ", [0-9]+\\.[0-9] (KiB|MiB|GiB) available\n");
        EXPECT_TRUE(std::regex_match(result.err, message)) << result.err;
        // What was written before stays.
        EXPECT_EQ(result.output, written1);
    }
#endif
}

TEST(EndToEnd, RefusesAnInputItWouldOverwrite) {
    const std::string earlier = readFile(testData("expected/worked_example_block_2.xmol"));
    const struct {
        const char* what;
        std::vector<std::string> arguments;
        bool throughStandardInput;
        const char* message;
    } cases[] = {
        {"named", {"trajectory.xmol", "1"}, false, "trajectory.xmol is the input"},
        {"through a link", {"link.xyz", "1"}, false, "trajectory.xmol is the input"},
        {"on standard input", {"-", "1"}, true, "trajectory.xmol is the input"},
        {"a directory on standard input",
         {"-", "1"},
         false,
         "cannot open standard input: Is a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (testing::runsUnderWine() && std::string(c.arguments[0]) == "-") {
            // Wine gives a standard handle that it made of a POSIX
            // descriptor no file identity, and reads a directory there.
            continue;
        }
        const ScratchDirectory directory;
        writeFile(directory / "trajectory.xmol", earlier);
        fs::create_symlink("trajectory.xmol", directory / "link.xyz");
        const auto result =
            runBlockavg(directory.path(), c.arguments,
                        c.throughStandardInput ? directory / "trajectory.xmol" : directory.path());
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(result.output, earlier);
    }
}

// trajectory.xmol a link to the input, symbolic or hard: emptying it would
// empty the input, which is left as it is.
TEST(EndToEnd, RefusesAnOutputThatIsALinkToTheInput) {
    const std::string input = readFile(testData("worked_example.xyz"));
    for (const bool symbolic : {true, false}) {
        SCOPED_TRACE(symbolic ? "a symbolic link" : "a hard link");
        if (symbolic && testing::runsUnderWine()) {
            continue;  // a POSIX link that Windows calls does not resolve
        }
        const ScratchDirectory directory;
        writeFile(directory / "in.xyz", input);
        if (symbolic) {
            fs::create_symlink("in.xyz", directory / "trajectory.xmol");
        } else {
            fs::create_hard_link(directory / "in.xyz", directory / "trajectory.xmol");
        }
        const auto result = runBlockavg(directory.path(), {"in.xyz", "1"});
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err,
                  "blockavg: trajectory.xmol is the input; writing it would destroy it before it "
                  "is read\n");
        EXPECT_EQ(readFile(directory / "in.xyz"), input);
    }
}

// Standard output or standard error that is trajectory.xmol itself: the
// report or the messages would land between the frames, so the run stops
// with status 1 before it reads, and never empties or writes the file. A
// message sent into the file is still written there; stdout and stderr not
// sent into it are captured. A character device holds nothing to destroy:
// standard output on /dev/null with trajectory.xmol a link to it runs.
TEST(EndToEnd, RefusesAConsoleThatIsTheOutputUnlessADevice) {
    BLOCKAVG_SKIP_UNDER_WINE("the identity (volume and file index) of a standard handle");
    const std::string earlier = expectedFile("worked_example_block_2.xmol");
    const std::string outMessage =
        "blockavg: trajectory.xmol is standard output; the report would be written into its "
        "frames\n";
    const std::string errMessage =
        "blockavg: trajectory.xmol is standard error; messages would be written into its "
        "frames\n";
    const struct {
        const char* what;
        const char* redirections;  // of standard output and standard error
        int status;
        std::string out;
        std::string err;
        std::string output;
        bool outputIsNullDevice = false;  // trajectory.xmol a link to /dev/null
    } cases[] = {
        {"standard output, emptied by the shell", ">trajectory.xmol 2>err", 1, "", outMessage, ""},
        {"standard output, appended to", ">>trajectory.xmol 2>err", 1, "", outMessage, earlier},
        {"standard output through a link", ">>link.xmol 2>err", 1, "", outMessage, earlier},
        {"standard output and standard error", ">>trajectory.xmol 2>&1", 1, "", "",
         earlier + outMessage},
        {"standard error, appended to", ">out 2>>trajectory.xmol", 1, "", "", earlier + errMessage},
        {"standard output on the null device it links to", ">/dev/null 2>err", 0, "", "", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ScratchDirectory directory;
        if (c.outputIsNullDevice) {
            fs::create_symlink("/dev/null", directory / "trajectory.xmol");
        } else {
            writeFile(directory / "trajectory.xmol", earlier);
        }
        writeFile(directory / "out", "");
        writeFile(directory / "err", "");
        fs::create_symlink("trajectory.xmol", directory / "link.xmol");
        const std::string command = "cd '" + directory.path().string() + "' && " +
                                    testing::blockavgCommand() + " '" +
                                    testData("worked_example.xyz").string() + "' 1 " +
                                    c.redirections + " </dev/null; echo $? >status";
        ASSERT_EQ(std::system(command.c_str()), 0);
        EXPECT_EQ(readFile(directory / "status"), std::to_string(c.status) + "\n");
        EXPECT_EQ(testing::consoleText(readFile(directory / "out")), c.out);
        EXPECT_EQ(testing::consoleText(readFile(directory / "err")), c.err);
        // Where a message went into the file, it is console text too.
        EXPECT_EQ(testing::consoleText(readFile(directory / "trajectory.xmol")), c.output);
    }
}

TEST(EndToEnd, KeepsTheReportOutOfTheOutputWhenStandardOutputIsClosed) {
    const ScratchDirectory directory;
    const std::string command = "cd '" + directory.path().string() + "' && " +
                                testing::blockavgCommand() + " '" +
                                testData("worked_example.xyz").string() + "' 2 >&- 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(readFile(directory / "trajectory.xmol"), expectedFile("worked_example_block_2.xmol"));
}

// A producer that is still running: each averaged frame must reach the file
// while the input stays open, not only once a whole read buffer has filled.
TEST(EndToEnd, FollowsAnInputThatIsStillBeingWritten) {
    BLOCKAVG_SKIP_UNDER_WINE("FIFOs");
    const ScratchDirectory directory;
    const fs::path fifo = directory / "producer.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string command = "cd '" + directory.path().string() + "' && (" +
                                testing::blockavgCommand() +
                                " producer.fifo 2 >stdout 2>stderr; echo $? >status) &";
    ASSERT_EQ(std::system(command.c_str()), 0);

    const std::string expected = expectedFile("worked_example_block_2.xmol");
    std::string seen;
    {
        std::ofstream producer(fifo, std::ios::binary);
        producer << readFile(testData("worked_example.xyz")) << std::flush;
        for (int waited = 0; waited < 600 && seen != expected; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (fs::exists(directory / "trajectory.xmol")) {
                seen = readFile(directory / "trajectory.xmol");
            }
        }
    }  // the producer ends here
    EXPECT_EQ(seen, expected);
    std::string status;
    for (int waited = 0; waited < 600 && status.empty(); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (fs::exists(directory / "status")) {
            status = readFile(directory / "status");
        }
    }
    EXPECT_EQ(status, "0\n");
    EXPECT_EQ(readFile(directory / "stdout"), expectedFile("worked_example_block_2.stdout"));
}

// Standard error a terminal and the report sent elsewhere: a line tells how
// far the run is, over and over, and is erased at the end, before the note;
// the report and the output are those of any run. Under a pseudo-terminal
// from script(1), the run a second long through a pipe that pauses.
TEST(EndToEnd, ShowsProgressOnATerminalAndErasesIt) {
    BLOCKAVG_SKIP_UNDER_WINE("a pseudo-terminal");
    if (std::system("script -V >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no script(1) for a pseudo-terminal";
    }
    const ScratchDirectory directory;
    const std::string input = readFile(testData("frames_250.xyz"));
    writeFile(directory / "in.xyz", input);
    const std::string run = "{ head -c 5000 in.xyz; sleep 1; tail -c +5001 in.xyz; } | " +
                            testing::blockavgCommand() + " - 100 >report";
    const std::string command = "cd " + testing::shellQuoted(directory.path().string()) +
                                " && script -qfec " + testing::shellQuoted(run) +
                                " /dev/null >terminal";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string terminal = readFile(directory / "terminal");
    const std::regex line("\rblockavg: [0-9]+ MB, [0-9]+ frames, [0-9]+ MB/s *");
    EXPECT_TRUE(std::regex_search(terminal, line)) << terminal;
    // Erased, spaces over it, before the note that ends the run.
    const std::string note =
        "blockavg: note: the last 50 frames of standard input do not fill a block of 100 and "
        "were not averaged\r\n";
    ASSERT_GE(terminal.size(), note.size() + 2);
    EXPECT_EQ(terminal.substr(terminal.size() - note.size()), note);
    const std::size_t erased = terminal.rfind('\r', terminal.size() - note.size() - 2);
    EXPECT_EQ(terminal.find_first_not_of(' ', erased + 1), terminal.size() - note.size() - 1);
    EXPECT_EQ(readFile(directory / "report"), expectedFile("frames_250_block_100.stdout"));
    EXPECT_EQ(readFile(directory / "trajectory.xmol"), expectedFile("frames_250_block_100.xmol"));
}

// The note a run that went well ends with, for the frames its report
// `out` lists: a line, or nothing when every frame filled a block.
std::string noteOnLeftOvers(const std::string& inputName, const std::string& out, int blockLength) {
    std::size_t frames = 0;
    for (std::size_t at = out.find(" atoms   box "); at != std::string::npos;
         at = out.find(" atoms   box ", at + 1)) {
        ++frames;
    }
    const std::string note =
        fuzzing::leftOverNote(inputName, frames, static_cast<std::size_t>(blockLength));
    return note.empty() ? note : note + "\n";
}

// After a run that went well, including one that warned, the frames after
// the last full block are noted; not after an error. Standard output is
// the same with or without a note.
TEST(EndToEnd, NotesTheFramesLeftOverAfterTheLastBlock) {
    const std::string frame = "1\nafter 1 steps, BOX: 2\nAr 1 2 3\n";
    const struct {
        int frames;
        const char* blockLength;
        const char* tail;  // after the frames
        bool fullDisk;
        std::string err;
    } cases[] = {
        {0, "1", "", false, "blockavg: note: in.xyz has no frames; trajectory.xmol is empty\n"},
        {1, "3", "", false,
         "blockavg: note: in.xyz has 1 frame, fewer than one block of 3; trajectory.xmol is "
         "empty\n"},
        {2, "3", "", false,
         "blockavg: note: in.xyz has 2 frames, fewer than one block of 3; trajectory.xmol is "
         "empty\n"},
        {3, "3", "", false, ""},
        {4, "3", "", false,
         "blockavg: note: the last frame of in.xyz does not fill a block of 3 and was not "
         "averaged\n"},
        {5, "3", "", false,
         "blockavg: note: the last 2 frames of in.xyz do not fill a block of 3 and were not "
         "averaged\n"},
        {5, "3", "x\n", false,
         "blockavg: warning: line 16 of in.xyz is not an atom count; stopped reading there\n"
         "blockavg: note: the last 2 frames of in.xyz do not fill a block of 3 and were not "
         "averaged\n"},
        {4, "3", "1\nc\n", false,
         "blockavg: warning: in.xyz ends inside frame 5 of 1 atoms; its missing lines repeat "
         "earlier values\n"
         "blockavg: note: the last 2 frames of in.xyz do not fill a block of 3 and were not "
         "averaged\n"},
        {0, "1", "0\n", false,
         "blockavg: warning: in.xyz ends inside frame 1 of 0 atoms; its missing lines repeat "
         "earlier values\n"},
        {4, "3", "", true, "blockavg: error writing trajectory.xmol: No space left on device\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.frames) + " frames, block " + c.blockLength + c.tail);
        const ScratchDirectory directory;
        std::string input;
        std::string out;
        for (int number = 1; number <= c.frames; ++number) {
            input += frame;
            out += "\n# " + std::to_string(number) + "   1 atoms   box 2 A   ";
        }
        writeFile(directory / "in.xyz", input + c.tail);
        if (c.fullDisk) {
            fs::create_symlink("/dev/full", directory / "trajectory.xmol");
        }
        const auto result = runBlockavg(directory.path(), {"in.xyz", c.blockLength});
        EXPECT_EQ(result.status, c.fullDisk ? 1 : 0);
        EXPECT_EQ(result.err, c.err);
        if (!c.fullDisk && c.tail[0] == '\0') {
            EXPECT_EQ(result.out, out + "\n# " + std::to_string(c.frames + 1) + "   ");
        }
    }
}

TEST(EndToEnd, GivesTheSameResultWithOrWithoutAFinalLineFeed) {
    for (const char* name : {"frames_250.xyz", "count_changes.xyz", "numeric_names.xyz",
                             "orca4_bomd_divinylbenzene.xyz"}) {
        SCOPED_TRACE(name);
        const ScratchDirectory directory;
        std::string bytes = readFile(testData(name));
        if (bytes.back() == '\n') {
            bytes.pop_back();
        } else {
            bytes.push_back('\n');
        }
        writeFile(directory / "other.xyz", bytes);
        for (const char* blockLength : {"1", "3"}) {
            const ScratchDirectory first;
            const ScratchDirectory second;
            const auto original = runBlockavg(first.path(), {testData(name).string(), blockLength});
            const auto changed =
                runBlockavg(second.path(), {(directory / "other.xyz").string(), blockLength});
            EXPECT_EQ(original.out, changed.out);
            EXPECT_EQ(original.output, changed.output);
            EXPECT_EQ(original.err, noteOnLeftOvers(testData(name).string(), original.out,
                                                    std::stoi(blockLength)));
            EXPECT_EQ(
                replaced(changed.err, (directory / "other.xyz").string(), testData(name).string()),
                original.err);
        }
    }
}

// A real trajectory (36 frames of divinylbenzene from a quantum-chemistry MD
// code) averaged over all its frames, checked against sums done by hand.
TEST(EndToEnd, AveragesARealTrajectory) {
    const ScratchDirectory directory;
    const auto result =
        runBlockavg(directory.path(), {testData("orca4_bomd_divinylbenzene.xyz").string(), "36"});
    ASSERT_EQ(result.status, 0);
    ASSERT_TRUE(result.output.has_value());
    const std::string& output = *result.output;
    // No "BOX:" tag in its comment lines: an empty comment line.
    ASSERT_EQ(output.rfind("20\n\n", 0), 0u);
    const std::string firstAtom = output.substr(4, output.find('\n', 4) - 4);
    EXPECT_EQ(firstAtom, "    C     0.240937    -1.398910     0.006131");
    const std::string lastAtom = output.substr(output.rfind('\n', output.size() - 2) + 1);
    EXPECT_EQ(lastAtom, "    H    -1.372743    -3.572341     0.138150\n");
}

// Every real trajectory in the shared collection, when present, runs cleanly
// and gives the same result with and without its final line feed.
TEST(EndToEnd, RunsTheSharedRealTrajectories) {
    const fs::path shared(BLOCKAVG_REAL_TRAJECTORIES);
    if (!fs::is_directory(shared)) {
        GTEST_SKIP() << "no shared real trajectories at " << shared;
    }
    int runs = 0;
    for (const auto& entry : fs::directory_iterator(shared)) {
        if (entry.path().extension() != ".xyz") {
            continue;
        }
        SCOPED_TRACE(entry.path().filename().string());
        const ScratchDirectory directory;
        std::string bytes = readFile(entry.path());
        if (bytes.back() == '\n') {
            bytes.pop_back();
        } else {
            bytes.push_back('\n');
        }
        writeFile(directory / "other_ending.xyz", bytes);
        const ScratchDirectory first;
        const ScratchDirectory second;
        const auto original = runBlockavg(first.path(), {entry.path().string(), "5"});
        const auto changed =
            runBlockavg(second.path(), {(directory / "other_ending.xyz").string(), "5"});
        EXPECT_EQ(original.status, 0);
        EXPECT_EQ(original.err, noteOnLeftOvers(entry.path().string(), original.out, 5));
        EXPECT_EQ(original.out, changed.out);
        EXPECT_EQ(original.output, changed.output);
        // At the default block length most of them fill no block: said so.
        const ScratchDirectory third;
        const auto byDefault = runBlockavg(third.path(), {entry.path().string()});
        EXPECT_EQ(byDefault.status, 0);
        EXPECT_EQ(byDefault.err, noteOnLeftOvers(entry.path().string(), byDefault.out, 100));
        EXPECT_EQ(byDefault.out, original.out);
        ++runs;
    }
    EXPECT_GT(runs, 0);
}

}  // namespace
}  // namespace blockavg
