#include "run/run_transcript.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <string>

#include "fuzz/memory_streams.hpp"

namespace blockavg {
namespace {

// A temporary file's bytes once it has been written.
class CapturedFile {
public:
    CapturedFile() : file_(std::tmpfile()) {}
    CapturedFile(const CapturedFile&) = delete;
    CapturedFile& operator=(const CapturedFile&) = delete;
    ~CapturedFile() { std::fclose(file_); }

    std::FILE* file() const { return file_; }
    std::string text() const {
        std::fflush(file_);
        std::rewind(file_);
        std::string text;
        for (int c = std::fgetc(file_); c != EOF; c = std::fgetc(file_)) {
            text.push_back(static_cast<char>(c));
        }
        return text;
    }

private:
    std::FILE* file_;
};

TEST(RunTranscript, ReportsOneLinePerFrame) {
    const struct {
        std::int64_t frame;
        std::int32_t count;
        double box;
        std::string expected;
    } cases[] = {
        {17, 64, 24.5, "\n# 17   64 atoms   box 24.5 A   "},
        {1, 0, 1000000.0, "\n# 1   0 atoms   box 1e+06 A   "},
        {2, 3, 0.0001, "\n# 2   3 atoms   box 0.0001 A   "},
        {2, 3, 0.00001, "\n# 2   3 atoms   box 1e-05 A   "},
        {2, 3, -0.0, "\n# 2   3 atoms   box -0 A   "},
        {2, 3, 123456.7, "\n# 2   3 atoms   box 123457 A   "},
        {2147483648, 2147483647, 1.5, "\n# 2147483648   2147483647 atoms   box 1.5 A   "},
        {std::numeric_limits<std::int64_t>::max(), 1, std::numeric_limits<double>::infinity(),
         "\n# 9223372036854775807   1 atoms   box inf A   "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        const CapturedFile console;
        fuzzing::MemorySink sink;
        AveragedFrameWriter writer(sink);
        RunTranscript transcript;
        transcript.frameHeading(c.frame);
        transcript.atomCount(c.count);
        transcript.boxValue(c.box);
        transcript.layOut();
        ASSERT_TRUE(transcript.replay(console.file(), stderr, writer, "out", "in"));
        EXPECT_EQ(console.text(), c.expected);
    }
}

// Replaying stops at the first frame that cannot be written, after the
// report that came before it and with the reason.
TEST(RunTranscript, StopsAtAFrameThatCannotBeWritten) {
    const struct {
        std::size_t writeFailsAt;
        bool replayed;
        const char* console;
        const char* diagnostics;
        const char* output;
    } cases[] = {
        {fuzzing::never, true, "\n# 1   \n# 2   \n# 3   ", "blockavg: warning\n", "0\n\n0\n\n"},
        {3, false, "\n# 1   \n# 2   ",
         "blockavg: warning\nblockavg: error writing out: No space left on device\n", "0\n\n"},
        {0, false, "\n# 1   ", "blockavg: error writing out: No space left on device\n", ""},
    };
    for (const auto& c : cases) {
        const CapturedFile console;
        const CapturedFile diagnostics;
        fuzzing::MemorySink sink(c.writeFailsAt);
        AveragedFrameWriter writer(sink);
        RunTranscript transcript;
        const AveragedFrame frame;
        BlockAtoms none;
        transcript.frameHeading(1);
        transcript.addFrame(1, frame, none);
        transcript.frameHeading(2);
        transcript.say("warning");
        transcript.addFrame(2, frame, none);
        transcript.frameHeading(3);
        transcript.layOut();
        EXPECT_EQ(transcript.replay(console.file(), diagnostics.file(), writer, "out", "in"),
                  c.replayed);
        EXPECT_EQ(console.text(), c.console);
        EXPECT_EQ(diagnostics.text(), c.diagnostics);
        EXPECT_EQ(sink.bytes(), c.output);
    }
}

}  // namespace
}  // namespace blockavg
