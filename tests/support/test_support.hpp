#pragma once

// Scratch directories, whole-file reads and writes, and runs of the built
// blockavg executable for the tests.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace blockavg::testing {

// A fresh directory, removed with everything in it when the object goes.
class ScratchDirectory {
public:
    ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ~ScratchDirectory();

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);

struct RunResult {
    int status = -1;  // exit status, or -1 when the process did not exit normally
    std::string out;
    std::string err;
    std::optional<std::string> output;  // trajectory.xmol, if it exists as a file
};

// The shell words that start blockavg: the built executable, preceded by the
// value of the environment variable BLOCKAVG_TEST_WRAPPER when that is set
// (for instance "valgrind --error-exitcode=1 -q"), so that every run in the
// end-to-end tests can go through a checking tool.
std::string blockavgCommand();

// Whether BLOCKAVG_TEST_WRAPPER is set.
bool runsUnderWrapper();

// The blockavg the tests run: the built one, or a script that runs a
// Windows build under Wine (BLOCKAVG_TEST_WINDOWS_EXECUTABLE in
// tests/CMakeLists.txt).
const char* blockavgExecutable();

// Whether that is the Windows build under Wine: then what needs POSIX
// (FIFOs, signals, ulimit, /dev/full) is skipped.
bool runsUnderWine();

// Text from blockavg's standard output or standard error, with CR LF read as
// LF under Wine, where the console keeps Windows's text mode.
std::string consoleText(std::string text);

// Runs blockavg with `arguments` in `directory`; standard input comes from
// `standardInput` (a path) or is empty. `shellSetup` runs in the shell just
// before blockavg starts (a ulimit, say). Standard output and standard error
// are read as consoleText().
RunResult runBlockavg(const std::filesystem::path& directory,
                      const std::vector<std::string>& arguments,
                      const std::optional<std::filesystem::path>& standardInput = std::nullopt,
                      const std::string& shellSetup = {});

// Runs blockavg with `arguments` in `directory`, its standard input a pipe
// that the shell command `writer` writes into; `shellSetup` runs first.
RunResult runBlockavgFedBy(const std::filesystem::path& directory,
                           const std::vector<std::string>& arguments, const std::string& writer,
                           const std::string& shellSetup = {});

// `text` as one shell word.
std::string shellQuoted(const std::string& text);

// `text` with every `from` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to);

// Runs the shell command `command` with $in and $out set, its errors
// silenced; false when it fails (a tool missing, say).
bool shellMakes(const std::string& command, const std::filesystem::path& in,
                const std::filesystem::path& out);

// Where the index of the last xz stream of `bytes` begins: its footer gives
// the index's size. The byte before it ends the last block's check.
std::size_t xzIndexStart(const std::string& bytes);

// Exit status and peak resident set size of one run of blockavg.
struct PeakMemoryRun {
    int status = -1;
    long peakKib = 0;
};

// Runs blockavg with `arguments` in `directory` through the peak-memory
// probe, its standard streams on the null device. Nothing where the probe is
// not built (it needs POSIX), or under Wine (it would measure Wine).
std::optional<PeakMemoryRun> runBlockavgMeasuringMemory(const std::filesystem::path& directory,
                                                        const std::vector<std::string>& arguments);

std::filesystem::path testData(const std::string& name);

// A trajectory of 40-atom frames whose coordinates wander, `frames` long.
std::string wanderingTrajectory(int frames);

}  // namespace blockavg::testing

// Skips the rest of a test under Wine, saying which POSIX facility it needs.
#define BLOCKAVG_SKIP_UNDER_WINE(facility)                                          \
    do {                                                                            \
        if (::blockavg::testing::runsUnderWine()) {                                 \
            GTEST_SKIP() << "needs " << (facility) << ", which Wine does not give"; \
        }                                                                           \
    } while (false)
