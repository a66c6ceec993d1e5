// Faults from outside the program: files that cannot be written or read,
// a working directory that disappears, a producer that dies mid-frame,
// enormous lines and unusual bytes. Each case runs the built blockavg and
// checks its exit status, what standard error names, and which files exist
// with which bytes, as README.md describes them.
//
// The faults are injected through POSIX facilities (FIFOs, /dev/full,
// fork and exec), so these tests are for POSIX systems: under Wine only the
// ones about unusual bytes and lines run.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.hpp"

namespace blockavg {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::runBlockavg;
using testing::runBlockavgMeasuringMemory;
using testing::ScratchDirectory;
using testing::shellQuoted;
using testing::testData;
using testing::writeFile;
using namespace std::chrono_literals;

#ifdef BLOCKAVG_SANITIZED
constexpr bool BLOCKAVG_SANITIZED_BUILD = true;
#else
constexpr bool BLOCKAVG_SANITIZED_BUILD = false;
#endif

// A shell command running in a child process, killed if the test leaves
// before it has ended (so that a failed assertion leaves no process behind).
class BackgroundCommand {
public:
    explicit BackgroundCommand(const std::string& command) : child_(::fork()) {
        if (child_ == 0) {
            // The command takes every signal at its default action, none
            // blocked, as a shell in the foreground would give them to it.
            for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
                ::signal(signalNumber, SIG_DFL);
            }
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    BackgroundCommand(const BackgroundCommand&) = delete;
    BackgroundCommand& operator=(const BackgroundCommand&) = delete;
    ~BackgroundCommand() {
        if (child_ > 0) {
            ::kill(child_, SIGKILL);
            int ignored = 0;
            ::waitpid(child_, &ignored, 0);
        }
    }

    void signal(int signalNumber) const { ::kill(child_, signalNumber); }

    // The exit status as a shell gives it (128 plus the signal for a command
    // a signal ended), or nothing if the command had not ended within
    // `limit` (it is killed then: a hang fails the test, not the suite).
    std::optional<int> wait(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (child_ > 0) {
            int waitStatus = 0;
            const pid_t ended = ::waitpid(child_, &waitStatus, WNOHANG);
            if (ended == child_) {
                child_ = -1;
                return WIFEXITED(waitStatus)     ? WEXITSTATUS(waitStatus)
                       : WIFSIGNALED(waitStatus) ? 128 + WTERMSIG(waitStatus)
                                                 : -1;
            }
            if ((ended < 0 && errno != EINTR) || std::chrono::steady_clock::now() > deadline) {
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        return std::nullopt;
    }

private:
    pid_t child_;
};

// The write end of a FIFO, once a reader has opened it; -1 if none did in time.
int openFifoForWriting(const fs::path& fifo, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const int descriptor = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (descriptor >= 0) {
            ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
            return descriptor;
        }
        if (errno != ENXIO || std::chrono::steady_clock::now() > deadline) {
            return -1;
        }
        std::this_thread::sleep_for(10ms);
    }
}

bool writeAll(int descriptor, const std::string& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t got = ::write(descriptor, bytes.data() + written, bytes.size() - written);
        if (got < 0 && errno != EINTR) {
            return false;
        }
        written += got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    return true;
}

// Waits until `path` holds `expected`; false if it did not within `limit`.
bool waitForContent(const fs::path& path, const std::string& expected,
                    std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code ignored;
        if (fs::is_regular_file(path, ignored) && readFile(path) == expected) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

constexpr const char* twoAtomFrame1 =
    "2\nafter 10 steps, BOX: 20.0\nO 1.0 2.0 3.0\nH 0.0 -1.0 0.5\n";
constexpr const char* twoAtomFrame2 =
    "2\nafter 20 steps, BOX: 22.0\nO 3.0 2.0 1.0\nH 1.0 -2.0 0.5\n";
constexpr const char* averagedFrame1 =
    "2\n after         10 steps,  BOX:  20 20 20\n"
    "    O     1.000000     2.000000     3.000000\n"
    "    H     0.000000    -1.000000     0.500000\n";
constexpr const char* averagedFrame2 =
    "2\n after         20 steps,  BOX:  22.000000 22.000000 22.000000\n"
    "    O     3.000000     2.000000     1.000000\n"
    "    H     1.000000    -2.000000     0.500000\n";

// One frame of `count` atoms named `name`, all at 1 2 3.
std::string frameOf(int count, const std::string& name) {
    std::string text = std::to_string(count) + "\nafter 1 steps, BOX: 20\n";
    for (int i = 0; i < count; ++i) {
        text += name + " 1 2 3\n";
    }
    return text;
}

// Output faults beyond the basic full disk and directory cases in
// end_to_end_test.cpp: a full disk hit by a frame larger than the write
// buffer or by a single name larger than it, a full disk that is never
// written to, and a working directory removed before the run.
TEST(FaultInjection, OutputThatCannotBeWritten) {
    BLOCKAVG_SKIP_UNDER_WINE("/dev/full and a removable working directory");
    const struct {
        const char* what;
        std::string input;
        const char* blockLength;
        bool outputOnFullDisk;
        bool removeWorkingDirectory;
        int status;
        std::string out;
        const char* message;  // in stderr; empty stderr when null
    } cases[] = {
        {"full disk, a frame larger than the write buffer", frameOf(3000, "Ar"), "1", true, false,
         1, "\n# 1   3000 atoms   box 20 A   ",
         "blockavg: error writing trajectory.xmol: No space left on device"},
        {"full disk, a name larger than the write buffer", frameOf(1, std::string(100'000, 'N')),
         "1", true, false, 1, "\n# 1   1 atoms   box 20 A   ",
         "blockavg: error writing trajectory.xmol: No space left on device"},
        {"full disk, no full block to write", frameOf(2, "Ar") + frameOf(2, "Ar"), "3", true, false,
         0, "\n# 1   2 atoms   box 20 A   \n# 2   2 atoms   box 20 A   \n# 3   ",
         "blockavg: note: INPUT has 2 frames, fewer than one block of 3; trajectory.xmol is "
         "empty"},
        {"working directory removed before the run", frameOf(2, "Ar"), "1", false, true, 1, "",
         "blockavg: cannot create trajectory.xmol: No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ScratchDirectory inputs;
        writeFile(inputs / "in.xyz", c.input);
        const ScratchDirectory directory;
        if (c.outputOnFullDisk) {
            fs::create_symlink("/dev/full", directory / "trajectory.xmol");
        }
        const auto result =
            runBlockavg(directory.path(), {(inputs / "in.xyz").string(), c.blockLength},
                        std::nullopt, c.removeWorkingDirectory ? "rmdir \"$PWD\" &&" : "");
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.out, c.out);
        if (c.message != nullptr) {
            const std::string message = std::regex_replace(
                std::string(c.message), std::regex("INPUT"), (inputs / "in.xyz").string());
            EXPECT_EQ(result.err, message + "\n");
        } else {
            EXPECT_EQ(result.err, "");
        }
        if (c.outputOnFullDisk) {
            EXPECT_TRUE(fs::is_symlink(directory / "trajectory.xmol"));
        }
        if (c.removeWorkingDirectory) {
            EXPECT_FALSE(fs::exists(directory.path()));
        }
    }
}

// The output file reaches a size limit after some frames (a disk that fills
// up mid-run): the run stops with status 1 at the frame that did not fit,
// and the file is cut back to the whole frames written before it.
TEST(FaultInjection, OutputFileSizeLimitReachedMidRun) {
    BLOCKAVG_SKIP_UNDER_WINE("ulimit -f");
    const struct {
        int atoms;
        int frames;
        std::size_t limitKib;  // ulimit -f
    } cases[] = {
        {10, 40, 1},
        // Frames of 1.3 MB, written in parts: the limit falls inside the
        // fourth, after its first part.
        {30'000, 5, 4096},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.atoms) + " atoms a frame");
        const std::string count = std::to_string(c.atoms);
        std::string input;
        std::vector<std::string> outputFrames;
        for (int frame = 1; frame <= c.frames; ++frame) {
            input += count + "\nafter " + std::to_string(frame) + " steps, BOX: 20\n";
            std::string written =
                count + "\n after         " + std::to_string(frame) +
                " steps,  BOX:  " + (frame == 1 ? "20 20 20" : "20.000000 20.000000 20.000000") +
                "\n";
            for (int atom = 0; atom < c.atoms; ++atom) {
                input += "Ar 1.5 2.25 -3.75\n";
                written += "   Ar     1.500000     2.250000    -3.750000\n";
            }
            outputFrames.push_back(written);
        }
        const ScratchDirectory directory;
        writeFile(directory / "in.xyz", input);
        // blockavg ignores SIGXFSZ itself, so writing past the limit fails
        // with EFBIG instead of killing it half-way through a frame.
        const auto result = runBlockavg(directory.path(), {"in.xyz", "1"}, std::nullopt,
                                        "ulimit -f " + std::to_string(2 * c.limitKib) + " &&");
        ASSERT_TRUE(result.output.has_value());

        // Whole frames up to the limit, and the report up to the frame that
        // could not be written.
        std::string whole;
        std::size_t keptFrames = 0;
        while (whole.size() + outputFrames[keptFrames].size() <= 1024 * c.limitKib) {
            whole += outputFrames[keptFrames++];
        }
        std::string out;
        for (std::size_t frame = 1; frame <= keptFrames + 1; ++frame) {
            out += "\n# " + std::to_string(frame) + "   " + count + " atoms   box 20 A   ";
        }
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "blockavg: error writing trajectory.xmol: File too large\n");
        EXPECT_EQ(result.out, out);
        EXPECT_TRUE(*result.output == whole)
            << result.output->size() << " bytes, not " << whole.size();
    }
}

// blockavg with its standard output on `console` (a pipe whose reader has
// gone, or a file), SIGPIPE at its default action as a shell gives it;
// standard error into `errPath`. The exit status, or minus the signal that
// ended it.
int runWithConsole(const fs::path& directory, const std::vector<std::string>& arguments,
                   bool closedPipe, const fs::path& errPath) {
    int pipeEnds[2] = {-1, -1};
    if (closedPipe && ::pipe(pipeEnds) != 0) {
        return -1000;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        const int console = closedPipe ? pipeEnds[1] : ::open("/dev/full", O_WRONLY);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = ::open("/dev/null", O_RDONLY);
        if (closedPipe) {
            ::close(pipeEnds[0]);
        }
        if (::chdir(directory.c_str()) != 0 || console < 0 || err < 0 || in < 0 ||
            ::dup2(console, 1) < 0 || ::dup2(err, 2) < 0 || ::dup2(in, 0) < 0) {
            ::_exit(126);
        }
        ::signal(SIGPIPE, SIG_DFL);
        std::vector<char*> argv{const_cast<char*>(testing::blockavgExecutable())};
        for (const std::string& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(testing::blockavgExecutable(), argv.data());
        ::_exit(127);
    }
    if (closedPipe) {
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
    }
    int waitStatus = 0;
    ::waitpid(child, &waitStatus, 0);
    return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -WTERMSIG(waitStatus);
}

// The progress report is not the product: a console that cannot take it
// (its reader gone, or a full disk behind a redirection) neither stops the
// averaging nor leaves trajectory.xmol cut short.
TEST(FaultInjection, ConsoleThatCannotTakeTheReport) {
    BLOCKAVG_SKIP_UNDER_WINE("fork, SIGPIPE and /dev/full");
    const std::string expected = readFile(testData("expected/worked_example_block_1.xmol"));
    for (const bool closedPipe : {true, false}) {
        SCOPED_TRACE(closedPipe ? "a pipe whose reader has gone" : "a full disk");
        const ScratchDirectory directory;
        writeFile(directory / "trajectory.xmol", "an earlier result\n");
        const ScratchDirectory captures;
        const int status =
            runWithConsole(directory.path(), {testData("worked_example.xyz").string(), "1"},
                           closedPipe, captures / "stderr");
        EXPECT_EQ(status, 0) << (status < 0 ? "ended by a signal" : "");
        EXPECT_EQ(readFile(captures / "stderr"), "");
        EXPECT_EQ(readFile(directory / "trajectory.xmol"), expected);
    }
}

// The working directory is removed while blockavg runs: the open
// trajectory.xmol lives on without a name, every frame still reaches it and
// the run succeeds. Seen through a descriptor opened before the removal.
TEST(FaultInjection, WorkingDirectoryRemovedWhileRunning) {
    BLOCKAVG_SKIP_UNDER_WINE("FIFOs");
    const ScratchDirectory inputs;
    const fs::path fifo = inputs / "producer.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const ScratchDirectory directory;
    BackgroundCommand run("cd " + shellQuoted(directory.path().string()) + " && exec " +
                          shellQuoted(testing::blockavgExecutable()) + " " +
                          shellQuoted(fifo.string()) + " 1 >" +
                          shellQuoted((inputs / "stdout").string()) + " 2>" +
                          shellQuoted((inputs / "stderr").string()) + " </dev/null");

    const int producer = openFifoForWriting(fifo, 30s);
    ASSERT_GE(producer, 0);
    ASSERT_TRUE(writeAll(producer, twoAtomFrame1));
    ASSERT_TRUE(waitForContent(directory / "trajectory.xmol", averagedFrame1, 30s));
    std::ifstream heldOutput(directory / "trajectory.xmol", std::ios::binary);
    ASSERT_TRUE(heldOutput.is_open());
    fs::remove_all(directory.path());
    ASSERT_FALSE(fs::exists(directory.path()));
    ASSERT_TRUE(writeAll(producer, twoAtomFrame2));
    ::close(producer);

    EXPECT_EQ(run.wait(30s), 0);
    EXPECT_EQ(readFile(inputs / "stderr"), "");
    EXPECT_EQ(readFile(inputs / "stdout"),
              "\n# 1   2 atoms   box 20 A   \n# 2   2 atoms   box 22 A   \n# 3   ");
    const std::string held((std::istreambuf_iterator<char>(heldOutput)),
                           std::istreambuf_iterator<char>());
    EXPECT_EQ(held, std::string(averagedFrame1) + averagedFrame2);
}

// blockavg reading the FIFO `producer.fifo` in `directory` at block length
// 1, its report and messages in the files stdout and stderr there.
// `shellSetup` runs in the shell just before blockavg starts, through
// `launcher` (taskset, say).
std::string fifoRun(const ScratchDirectory& directory, const std::string& shellSetup = {},
                    const std::string& launcher = {}) {
    return "cd " + shellQuoted(directory.path().string()) + " && " + shellSetup + " exec " +
           launcher + testing::blockavgCommand() + " producer.fifo 1 >stdout 2>stderr";
}

struct EndingSignal {
    const char* name;
    int number;
};

// Every signal that ends a process and that a user or a scheduler may send
// it, where the system has it (the faults a process causes itself are not
// among them).
std::vector<EndingSignal> endingSignals() {
    std::vector<EndingSignal> signals = {
        {"INT", SIGINT},   {"TERM", SIGTERM}, {"HUP", SIGHUP},   {"QUIT", SIGQUIT},
        {"USR1", SIGUSR1}, {"USR2", SIGUSR2}, {"ALRM", SIGALRM}, {"VTALRM", SIGVTALRM},
        {"PROF", SIGPROF}, {"XCPU", SIGXCPU},
    };
#ifdef SIGPOLL
    signals.push_back({"POLL", SIGPOLL});
#endif
#ifdef SIGPWR
    signals.push_back({"PWR", SIGPWR});
#endif
#ifdef SIGSTKFLT
    signals.push_back({"STKFLT", SIGSTKFLT});
#endif
#ifdef SIGRTMIN
    signals.push_back({"RTMIN", SIGRTMIN});
    signals.push_back({"RTMIN+1", SIGRTMIN + 1});
    signals.push_back({"RTMAX", SIGRTMAX});
#endif
    return signals;
}

// What a reader of the FIFO `descriptor` (opened without blocking) gets: at
// least `size` bytes, or what came within `limit`.
std::string readFromFifo(int descriptor, std::size_t size, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string got;
    char buffer[4096];
    while (got.size() < size && std::chrono::steady_clock::now() < deadline) {
        const ssize_t count =
            ::read(descriptor, buffer, std::min(sizeof buffer, size - got.size()));
        if (count > 0) {
            got.append(buffer, static_cast<std::size_t>(count));
        } else {
            std::this_thread::sleep_for(1ms);  // nothing yet, or no writer yet
        }
    }
    return got;
}

// Each of those signals while frames are coming in (after exactly two
// blocks, with a third frame begun): the file keeps its whole frames,
// standard error says how many, and the run ends as the signal ends a
// process (a shell sees 128 plus the signal). So too when the third frame
// is so large that slices of it are in the file already. A signal that the
// run was started to ignore leaves it running, and the next one ends it. A
// FIFO as trajectory.xmol cannot be cut back: the message says what its
// reader got (part of a frame from one far larger than the FIFO holds), and
// exactly that.
TEST(FaultInjection, AnInterruptedRunKeepsItsWholeFramesOrSaysWhatTheReaderGot) {
    BLOCKAVG_SKIP_UNDER_WINE("FIFOs and signals");
    const std::string twoFrames = std::string(averagedFrame1) + averagedFrame2;
    constexpr int largeFrameAtoms = 20'000;  // 920 kB averaged
    std::string largeFrame = std::to_string(largeFrameAtoms) +
                             "\n after         1 steps,  BOX:  20.000000 20.000000 20.000000\n";
    for (int atom = 0; atom < largeFrameAtoms; ++atom) {
        largeFrame += "   Ar     1.000000     2.000000     3.000000\n";
    }
    enum class Output { file, fileInSlices, fifoBetweenFrames, fifoInsideAFrame };
    struct Case {
        EndingSignal sent;
        bool ignoredAtStart;
        Output output;
    };
    std::vector<Case> cases;
    for (const EndingSignal& sent : endingSignals()) {
        cases.push_back({sent, false, Output::file});
    }
    cases.push_back({{"HUP", SIGHUP}, true, Output::file});
    cases.push_back({{"USR1", SIGUSR1}, true, Output::file});
    cases.push_back({{"TERM", SIGTERM}, false, Output::fileInSlices});
    cases.push_back({{"TERM", SIGTERM}, false, Output::fifoBetweenFrames});
    cases.push_back({{"INT", SIGINT}, false, Output::fifoInsideAFrame});
    for (const Case& c : cases) {
        const char* const outputs[] = {"a file", "a file, inside a frame written in slices",
                                       "a FIFO, between frames", "a FIFO, inside a frame"};
        SCOPED_TRACE(std::string("SIG") + c.sent.name + (c.ignoredAtStart ? ", ignored, " : ", ") +
                     outputs[static_cast<int>(c.output)]);
        const bool insideAFrame = c.output == Output::fifoInsideAFrame;
        const ScratchDirectory directory;
        ASSERT_EQ(::mkfifo((directory / "producer.fifo").c_str(), 0600), 0);
        int reader = -1;
        if (c.output == Output::fifoBetweenFrames || insideAFrame) {
            ASSERT_EQ(::mkfifo((directory / "trajectory.xmol").c_str(), 0600), 0);
            reader = ::open((directory / "trajectory.xmol").c_str(), O_RDONLY | O_NONBLOCK);
            ASSERT_GE(reader, 0);
        }
        // No core file for the signals whose default action writes one.
        std::string setup = "ulimit -c 0 &&";
        if (c.ignoredAtStart) {
            setup += " trap '' " + std::to_string(c.sent.number) + " &&";
        }
        BackgroundCommand run(fifoRun(directory, setup));
        const int producer = openFifoForWriting(directory / "producer.fifo", 30s);
        ASSERT_GE(producer, 0);
        // In pieces: three quarters of a frame of 100,000 atoms, 3.4 MB of
        // it averaged, against slices of a MiB.
        const std::string third = c.output == Output::fileInSlices
                                      ? frameOf(100'000, "Ar").substr(0, std::size_t{75'000} * 10)
                                      : "2\nafter 30 steps, BOX: 2";
        ASSERT_TRUE(writeAll(producer, std::string(twoAtomFrame1) + twoAtomFrame2 +
                                           (insideAFrame ? frameOf(largeFrameAtoms, "Ar") : "") +
                                           third));
        std::string got;
        if (c.output == Output::fileInSlices) {
            const fs::path output = directory / "trajectory.xmol";
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            std::error_code error;
            while (fs::file_size(output, error) < twoFrames.size() + (std::size_t{2} << 20) &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(1ms);
            }
            ASSERT_GE(fs::file_size(output), twoFrames.size() + (std::size_t{2} << 20));
        } else if (reader < 0) {
            ASSERT_TRUE(waitForContent(directory / "trajectory.xmol", twoFrames, 30s));
        } else {
            const std::size_t readBeforeSignal = twoFrames.size() + (insideAFrame ? 10'000 : 0);
            got = readFromFifo(reader, readBeforeSignal, 30s);
            ASSERT_EQ(got.size(), readBeforeSignal);
        }
        run.signal(c.sent.number);
        int ending = c.sent.number;
        if (c.ignoredAtStart) {
            EXPECT_EQ(run.wait(300ms), std::nullopt) << "the ignored signal ended the run";
            ending = SIGTERM;
            run.signal(ending);
        }
        EXPECT_EQ(run.wait(30s), 128 + ending);
        ::close(producer);
        const std::string err = readFile(directory / "stderr");
        if (reader < 0) {
            EXPECT_EQ(err, "blockavg: interrupted; trajectory.xmol holds 2 averaged frames\n");
            EXPECT_EQ(readFile(directory / "trajectory.xmol"), twoFrames);
            continue;
        }
        got += readFromFifo(reader, std::string::npos, 100ms);  // what is left
        ::close(reader);
        if (!insideAFrame) {
            EXPECT_EQ(
                err,
                "blockavg: interrupted; the reader of trajectory.xmol got 2 averaged frames\n");
            EXPECT_EQ(got, twoFrames);
            continue;
        }
        EXPECT_EQ(
            err,
            "blockavg: interrupted; the reader of trajectory.xmol got 2 whole averaged frames "
            "and part of the next\n");
        ASSERT_GT(got.size(), twoFrames.size());
        EXPECT_LT(got.size(), twoFrames.size() + largeFrame.size());
        EXPECT_EQ(got, (twoFrames + largeFrame).substr(0, got.size()));
    }
}

// A second run while the first is writing trajectory.xmol (its producer
// still going) is refused with status 1 and leaves the file as it is; the
// first run goes on to its end unaffected.
// A FIFO as trajectory.xmol that no one reads yet: the run says, after a
// second, that it waits for its reader, and then writes to it as to any.
TEST(FaultInjection, AFifoOutputWithoutAReaderIsSaidToWait) {
    BLOCKAVG_SKIP_UNDER_WINE("FIFOs");
    const ScratchDirectory directory;
    ASSERT_EQ(::mkfifo((directory / "trajectory.xmol").c_str(), 0600), 0);
    writeFile(directory / "in.xyz", readFile(testData("worked_example.xyz")));
    BackgroundCommand run("cd " + shellQuoted(directory.path().string()) + " && exec " +
                          testing::blockavgCommand() + " in.xyz 2 >stdout 2>stderr");
    const std::string waiting =
        "blockavg: note: trajectory.xmol is a FIFO that no one reads; waiting for its reader\n";
    ASSERT_TRUE(waitForContent(directory / "stderr", waiting, 30s));
    const int reader = ::open((directory / "trajectory.xmol").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const std::string expected = readFile(testData("expected/worked_example_block_2.xmol"));
    EXPECT_EQ(readFromFifo(reader, expected.size(), 30s), expected);
    EXPECT_EQ(run.wait(30s), 0);
    ::close(reader);
    EXPECT_EQ(readFile(directory / "stderr"), waiting);
}

TEST(FaultInjection, ASecondRunLeavesAFileThatIsBeingWritten) {
    BLOCKAVG_SKIP_UNDER_WINE("FIFOs");
    const ScratchDirectory directory;
    ASSERT_EQ(::mkfifo((directory / "producer.fifo").c_str(), 0600), 0);
    BackgroundCommand first(fifoRun(directory));
    const int producer = openFifoForWriting(directory / "producer.fifo", 30s);
    ASSERT_GE(producer, 0);
    ASSERT_TRUE(writeAll(producer, twoAtomFrame1));
    ASSERT_TRUE(waitForContent(directory / "trajectory.xmol", averagedFrame1, 30s));

    const auto second =
        runBlockavg(directory.path(), {testData("worked_example.xyz").string(), "1"});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.err,
              "blockavg: another run is writing trajectory.xmol; it was left as it is\n");
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.output, averagedFrame1);

    ASSERT_TRUE(writeAll(producer, twoAtomFrame2));
    ::close(producer);
    EXPECT_EQ(first.wait(30s), 0);
    EXPECT_EQ(readFile(directory / "trajectory.xmol"),
              std::string(averagedFrame1) + averagedFrame2);
    EXPECT_EQ(readFile(directory / "stderr"), "");
}

// A run that has ended waits for no producer: its FIFO's writer stays open,
// yet the run exits at once on every path that ends it (the 10 s bound only
// turns a hang into a failure), on one processor and on all. A compressed
// stream from a pipe is not read on after a stop to look for damage.
TEST(FaultInjection, ARunThatHasEndedWaitsForNoProducer) {
    BLOCKAVG_SKIP_UNDER_WINE("FIFOs");
    const std::string frames = std::string(twoAtomFrame1) + twoAtomFrame2;
    const std::string junk = std::string(twoAtomFrame1) + "junk\n" + twoAtomFrame2;
    const std::string stopWarning =
        "blockavg: warning: line 5 of producer.fifo is not an atom count; stopped reading there\n";
    const std::string fullDisk =
        "blockavg: error writing trajectory.xmol: No space left on device\n";
    const struct {
        const char* what;
        std::string text;
        bool gzip;
        bool damage;  // a byte of the compressed stream changed
        bool fullDisk;
        const char* setup;  // shell words before blockavg
        int status;
        std::string err;  // empty: only its first words are checked
    } cases[] = {
        {"write error", frames, false, false, true, "", 1, fullDisk},
        {"write error, gzip", frames, true, false, true, "", 1, fullDisk},
        {"not a count", junk, false, false, false, "", 0, stopWarning},
        {"not a count, gzip", junk, true, false, false, "", 0, stopWarning},
        {"damage", frames + frames + frames, true, true, false, "", 1, ""},
        {"a frame memory cannot hold", std::string(twoAtomFrame1) + "2147483647\nc\n", false, false,
         false, "ulimit -v 1048576 &&", 1, ""},
    };
    const bool haveTaskset = std::system("command -v taskset >/dev/null 2>&1") == 0;
    for (const auto& c : cases) {
        for (const bool oneProcessor : {false, true}) {
            if (oneProcessor && !haveTaskset) {
                continue;
            }
            SCOPED_TRACE(std::string(c.what) + (oneProcessor ? ", one processor" : ""));
            if (std::string(c.setup).find("ulimit -v") != std::string::npos &&
                (testing::runsUnderWrapper() || BLOCKAVG_SANITIZED_BUILD)) {
                continue;  // their allocators abort on exhausted memory
            }
            const ScratchDirectory directory;
            ASSERT_EQ(::mkfifo((directory / "producer.fifo").c_str(), 0600), 0);
            std::string bytes = c.text;
            if (c.gzip) {
                writeFile(directory / "text", c.text);
                ASSERT_TRUE(testing::shellMakes("gzip -c <\"$in\" >\"$out\"", directory / "text",
                                                directory / "text.gz"));
                bytes = readFile(directory / "text.gz");
                if (c.damage) {
                    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x55);
                }
            }
            if (c.fullDisk) {
                fs::create_symlink("/dev/full", directory / "trajectory.xmol");
            }
            BackgroundCommand run(fifoRun(directory, c.setup, oneProcessor ? "taskset -c 0 " : ""));
            const int producer = openFifoForWriting(directory / "producer.fifo", 30s);
            ASSERT_GE(producer, 0);
            ASSERT_TRUE(writeAll(producer, bytes));
            const std::optional<int> status = run.wait(10s);
            ::close(producer);
            ASSERT_TRUE(status.has_value()) << "still running with its producer open";
            EXPECT_EQ(*status, c.status);
            const std::string err = readFile(directory / "stderr");
            if (c.err.empty()) {
                EXPECT_EQ(err.rfind("blockavg: ", 0), 0u) << err;
            } else {
                EXPECT_EQ(err, c.err);
            }
            if (!c.fullDisk && !c.damage) {
                EXPECT_EQ(readFile(directory / "trajectory.xmol"), averagedFrame1);
            }
        }
    }
}

// A memory cgroup of its own below the test's, as a batch scheduler sets
// one up, with a limit; none where the machine does not let the test make
// one (not root, no memory controller, cgroup v2 without it delegated).
class MemoryCgroup {
public:
    explicit MemoryCgroup(std::uint64_t limit) {
        std::ifstream cgroups("/proc/self/cgroup");
        std::string line;
        while (std::getline(cgroups, line) && path_.empty()) {
            const std::size_t first = line.find(':');
            const std::size_t second = line.find(':', first + 1);
            const std::string controllers = line.substr(first + 1, second - first - 1);
            const std::string own = line.substr(second + 1);
            const std::string group = own + "/blockavg-test-" + std::to_string(::getpid());
            if (controllers.empty()) {
                make(std::string("/sys/fs/cgroup").append(group), "memory.max", limit);
            } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
                make(std::string("/sys/fs/cgroup/memory").append(group), "memory.limit_in_bytes",
                     limit);
            }
        }
    }
    MemoryCgroup(const MemoryCgroup&) = delete;
    MemoryCgroup& operator=(const MemoryCgroup&) = delete;
    ~MemoryCgroup() {
        if (!path_.empty()) {
            ::rmdir(path_.c_str());
        }
    }

    bool made() const { return !path_.empty(); }
    // Shell words that move the shell into the cgroup.
    std::string enter() const { return "echo $$ >" + shellQuoted(path_ + "/cgroup.procs") + " &&"; }

private:
    void make(const std::string& path, const char* limitFile, std::uint64_t limit) {
        if (::mkdir(path.c_str(), 0755) != 0) {
            return;
        }
        std::ofstream file(path + "/" + limitFile);
        file << limit << std::flush;
        if (!file) {
            ::rmdir(path.c_str());
            return;
        }
        path_ = path;
    }

    std::string path_;
};

// In a memory cgroup of 256 MiB, where no allocation fails and the kernel
// kills a process that overruns it, a damaged count line of a hundred
// million atoms is refused with a message, status 1, and frame 1 written.
TEST(FaultInjection, AFrameLargerThanTheMemoryCgroupAllows) {
    BLOCKAVG_SKIP_UNDER_WINE("a memory cgroup");
    if (testing::runsUnderWrapper() || BLOCKAVG_SANITIZED_BUILD) {
        GTEST_SKIP() << "a wrapper's or sanitizer's own memory would be limited too";
    }
    const MemoryCgroup cgroup(std::uint64_t{256} << 20);
    if (!cgroup.made()) {
        GTEST_SKIP() << "cannot make a memory cgroup here";
    }
    const ScratchDirectory directory;
    writeFile(directory / "in.xyz", "2\nx\nAr 1 2 3\nAr 4 5 6\n100000000\nx\nAr 1 1 1\n");
    const auto result =
        runBlockavg(directory.path(), {"in.xyz", "1"}, std::nullopt, cgroup.enter());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "\n# 1   2 atoms   box 1e+06 A   \n# 2   100000000 atoms   ");
    const std::regex message(
        "blockavg: cannot hold the 100000000 atoms of frame 2 of in\\.xyz: needs 7\\.5 GiB, "
        "(2[0-5][0-9]\\.[0-9]|[0-9]{1,2}\\.[0-9]) MiB available\n");
    EXPECT_TRUE(std::regex_match(result.err, message)) << result.err;
    EXPECT_EQ(result.output,
              "2\n\n   Ar     1.000000     2.000000     3.000000\n"
              "   Ar     4.000000     5.000000     6.000000\n");
}

// The memory a large frame takes stays within the 80 bytes an atom that
// blockavg checks against before holding one, and a few MiB, however many
// frames of it close a block: such a frame is handed over whole and laid
// out a part at a time.
TEST(LongSweeps, ALargeFrameTakesNoMoreThanTheCheckAllowsFor) {
    if (!BLOCKAVG_LONG_TESTS) {
        GTEST_SKIP() << "a long sweep: on with -DBLOCKAVG_LONG_TESTS=ON";
    }
#ifdef BLOCKAVG_SANITIZED
    GTEST_SKIP() << "the sanitizer runtime's own memory would be measured too";
#else
    constexpr int atoms = 1'000'000;
    const ScratchDirectory directory;
    {
        std::ofstream input(directory / "in.xyz", std::ios::binary);
        for (int frame = 1; frame <= 6; ++frame) {
            input << atoms << "\nafter " << frame << " steps, BOX: 20\n";
            for (int atom = 0; atom < atoms; ++atom) {
                input << "Ar 1.123456 2.123456 3.123456\n";
            }
        }
    }
    const auto measured = runBlockavgMeasuringMemory(directory.path(), {"in.xyz", "1"});
    if (!measured) {
        GTEST_SKIP() << "no peak-memory probe here";
    }
    RecordProperty("peak_kib_million_atom_frames", std::to_string(measured->peakKib));
    EXPECT_EQ(measured->status, 0);
    EXPECT_LT(measured->peakKib, 16L * 1024 + 80L * atoms / 1024) << "KiB";
#endif
}

// A producer that writes a frame and a half into a FIFO and exits: the
// second frame is completed from the last values read (the rest of the cut
// atom line, and the whole missing line), averaged, and the run warns.
TEST(FaultInjection, InputFifoWhoseWriterExitsMidFrame) {
    BLOCKAVG_SKIP_UNDER_WINE("FIFOs");
    const ScratchDirectory directory;
    const fs::path fifo = directory / "producer.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string frameAndAHalf =
        std::string(twoAtomFrame1) + "2\nafter 20 steps, BOX: 22.0\nO 3.0 2.";
    writeFile(directory / "half.xyz", frameAndAHalf);
    BackgroundCommand writer("exec cat " + shellQuoted((directory / "half.xyz").string()) + " >" +
                             shellQuoted(fifo.string()));

    const auto result = runBlockavg(directory.path(), {"producer.fifo", "1"});
    // Releases the writer should blockavg never have opened the FIFO.
    ::close(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK));
    EXPECT_EQ(writer.wait(30s), 0);

    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "\n# 1   2 atoms   box 20 A   \n# 2   2 atoms   box 22 A   ");
    EXPECT_EQ(result.err,
              "blockavg: warning: producer.fifo ends inside frame 2 of 2 atoms; its missing lines "
              "repeat earlier values\n");
    EXPECT_EQ(result.output,
              std::string(averagedFrame1) +
                  "2\n after         20 steps,  BOX:  22.000000 22.000000 22.000000\n"
                  "    O     3.000000     2.000000     0.500000\n"
                  "    O     3.000000     2.000000     0.500000\n");
}

// An input that opens but cannot be read: a read error, status 1, and the
// reason named; not the end of a short file. Reading /proc/self/mem from its
// start fails with EIO on Linux.
TEST(FaultInjection, InputThatCannotBeRead) {
    BLOCKAVG_SKIP_UNDER_WINE("/proc/self/mem");
    if (!fs::exists("/proc/self/mem")) {
        GTEST_SKIP() << "no /proc/self/mem to fail a read with";
    }
    const ScratchDirectory directory;
    const auto result = runBlockavg(directory.path(), {"/proc/self/mem", "1"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "\n# 1   ");
    EXPECT_EQ(result.err, "blockavg: error reading /proc/self/mem: Input/output error\n");
    EXPECT_EQ(result.output, "");
}

// A single line of 100 MB: read to its end in linear time and ended like any
// other count line that holds no count. The read buffer grows to hold it in
// place (doubling to 128 MiB, its pages moved rather than copied, and only
// those read into touched), so the peak is the line and little more: 101 MB
// measured.
TEST(LongSweeps, ASingleLineOf100Megabytes) {
    BLOCKAVG_SKIP_UNDER_WINE("ulimit -t");
    if (!BLOCKAVG_LONG_TESTS) {
        GTEST_SKIP() << "a long sweep: on with -DBLOCKAVG_LONG_TESTS=ON";
    }
    constexpr std::size_t lineSize = 100'000'000;
    const ScratchDirectory directory;
    const struct {
        const char* what;
        char filler;
        bool finalLineFeed;
        const char* err;
    } cases[] = {
        {"text and a line feed", 'x', true,
         "blockavg: warning: line 1 of in.xyz is not an atom count; stopped reading there\n"
         "blockavg: note: in.xyz has no frames; trajectory.xmol is empty\n"},
        {"text, no line feed", 'x', false,
         "blockavg: warning: line 1 of in.xyz is not an atom count; stopped reading there\n"
         "blockavg: note: in.xyz has no frames; trajectory.xmol is empty\n"},
        {"blanks and a line feed", ' ', true,
         "blockavg: note: in.xyz has no frames; trajectory.xmol is empty\n"},
    };
    char written = '\0';
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Each filler is written once, with a line feed; the case without
        // one cuts it off.
        if (c.filler != written) {
            writeFile(directory / "in.xyz", std::string(lineSize, c.filler) + "\n");
            written = c.filler;
        }
        if (!c.finalLineFeed) {
            fs::resize_file(directory / "in.xyz", lineSize);
        }
        const auto started = std::chrono::steady_clock::now();
        // A CPU-time limit turns a hang into a failure.
        const auto result =
            runBlockavg(directory.path(), {"in.xyz"}, std::nullopt, "ulimit -t 60 &&");
        const auto seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, "\n# 1   ");
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.output, "");
        EXPECT_LT(seconds.count(), 60.0);
#ifndef BLOCKAVG_SANITIZED  // the sanitizer runtime's own memory would be measured too
        if (&c != &cases[0]) {
            continue;  // one measurement is enough: the three lines take the same buffer
        }
        const auto measured = runBlockavgMeasuringMemory(directory.path(), {"in.xyz"});
        if (measured) {
            RecordProperty("peak_kib_100mb_line", std::to_string(measured->peakKib));
            EXPECT_EQ(measured->status, 0);
            EXPECT_LT(measured->peakKib, 1.15 * lineSize / 1024) << "KiB";
        }
#endif
    }
}

// --help and --version whose text cannot be written fail, as GNU tools do.
TEST(FaultInjection, HelpAndVersionOnAFullDisk) {
    BLOCKAVG_SKIP_UNDER_WINE("/dev/full");
    for (const char* flag : {"--help", "--version"}) {
        SCOPED_TRACE(flag);
        const ScratchDirectory directory;
        const std::string command = "cd " + shellQuoted(directory.path().string()) + " && " +
                                    testing::blockavgCommand() + " " + flag +
                                    " >/dev/full 2>stderr; echo $? >status";
        ASSERT_EQ(std::system(command.c_str()), 0);
        EXPECT_EQ(readFile(directory / "status"), "1\n");
        EXPECT_EQ(readFile(directory / "stderr"),
                  "blockavg: error writing standard output: No space left on device\n");
    }
}

// An input with no line end in sight (/dev/zero gives NUL bytes without
// end) stops at 256 MiB of one line with a read error that names the line,
// instead of taking memory until none is left.
TEST(FaultInjection, ALineLongerThan256MiB) {
    BLOCKAVG_SKIP_UNDER_WINE("/dev/zero and ulimit -t");
    if (!fs::exists("/dev/zero")) {
        GTEST_SKIP() << "no /dev/zero";
    }
    const ScratchDirectory directory;
    writeFile(directory / "trajectory.xmol", "an earlier result\n");
    const auto result =
        runBlockavg(directory.path(), {"/dev/zero", "1"}, std::nullopt, "ulimit -t 60 &&");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "\n# 1   ");
    EXPECT_EQ(result.err, "blockavg: error reading /dev/zero: line 1 is longer than 256 MiB\n");
    EXPECT_EQ(result.output, "");
#ifndef BLOCKAVG_SANITIZED  // the sanitizer runtime's own memory would be measured too
    // The cap costs the line it holds and little more: 259 MiB measured.
    const auto measured = runBlockavgMeasuringMemory(directory.path(), {"/dev/zero", "1"});
    if (measured) {
        RecordProperty("peak_kib_dev_zero", std::to_string(measured->peakKib));
        EXPECT_EQ(measured->status, 1);
        EXPECT_LT(measured->peakKib, 300 * 1024) << "KiB";
    }
#endif
}

// The limit is exact, whatever the batches: a line of 256 MiB is read (and
// here not taken for a count), one byte more is an error. Either costs about
// the line: 261 MiB measured.
TEST(LongSweeps, TheLongestLineAllowedIs256MiB) {
    BLOCKAVG_SKIP_UNDER_WINE("ulimit -t");
    if (!BLOCKAVG_LONG_TESTS) {
        GTEST_SKIP() << "a long sweep: on with -DBLOCKAVG_LONG_TESTS=ON";
    }
    constexpr std::size_t longest = std::size_t{256} << 20;
    const ScratchDirectory directory;
    for (const std::size_t length : {longest, longest + 1}) {
        SCOPED_TRACE(length);
        // A frame first, so that the long line starts inside a batch.
        writeFile(directory / "in.xyz",
                  std::string(twoAtomFrame1) + std::string(length, 'x') + "\n");
        const auto result =
            runBlockavg(directory.path(), {"in.xyz", "1"}, std::nullopt, "ulimit -t 60 &&");
        EXPECT_EQ(result.output, averagedFrame1);
        if (length == longest) {
            EXPECT_EQ(result.status, 0);
            EXPECT_EQ(result.err,
                      "blockavg: warning: line 5 of in.xyz is not an atom count; stopped reading "
                      "there\n");
        } else {
            EXPECT_EQ(result.status, 1);
            EXPECT_EQ(result.err,
                      "blockavg: error reading in.xyz: line 5 is longer than 256 MiB\n");
        }
#ifndef BLOCKAVG_SANITIZED  // the sanitizer runtime's own memory would be measured too
        const auto measured = runBlockavgMeasuringMemory(directory.path(), {"in.xyz", "1"});
        if (measured) {
            EXPECT_EQ(measured->status, length == longest ? 0 : 1);
            EXPECT_LT(measured->peakKib, 300 * 1024) << "KiB";
        }
#endif
    }
}

// Names and step labels are runs of bytes: NUL bytes and bytes that are not
// UTF-8 are kept as they are, the name column pads by bytes, and a name of
// any length is written whole.
TEST(FaultInjection, NulAndNonUtf8BytesInNamesAreKept) {
    using namespace std::string_literals;
    // Longer than the writer's buffer, so written around it.
    const std::string longName(100'000, 'N');
    const std::string input =
        "5\nafter 7\0x steps, BOX: 3\n"
        "\0 1 2 3\n"
        "A\0B 1 2 3\n"
        "\xff\xfe\x80 1 2 3\n"
        "\xc3\x85\xa0\x85\xc0\xaf 1 2 3\n"s +
        longName + " 1 2 3\n";
    const std::string expected =
        "5\n after         7\0x steps,  BOX:  3 3 3\n"
        "    \0     1.000000     2.000000     3.000000\n"
        "  A\0B     1.000000     2.000000     3.000000\n"
        "  \xff\xfe\x80     1.000000     2.000000     3.000000\n"
        "\xc3\x85\xa0\x85\xc0\xaf     1.000000     2.000000     3.000000\n"s +
        longName + "     1.000000     2.000000     3.000000\n";
    const ScratchDirectory directory;
    writeFile(directory / "in.xyz", input);
    const auto result = runBlockavg(directory.path(), {"in.xyz", "1"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "\n# 1   5 atoms   box 3 A   \n# 2   ");
    EXPECT_EQ(result.output, expected);
}

// 400-character comment lines: words past the box length are ignored, a
// long step label is copied whole, and a long box tag is not "BOX:".
TEST(FaultInjection, FourHundredCharacterCommentLines) {
    const std::string longLabel(382, '7');
    const struct {
        const char* what;
        std::string comment;
        std::string writtenComment;
    } cases[] = {
        {"trailing words", "after 5 steps, BOX: 9.5 " + std::string(376, 'w'),
         " after         5 steps,  BOX:  9.5 9.5 9.5"},
        {"a long step label", "after " + longLabel + " s, BOX: 9.5",
         " after         " + longLabel + " steps,  BOX:  9.5 9.5 9.5"},
        {"a long box tag", "after 5 steps, BOX:" + std::string(377, ':') + " 9.5", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(c.comment.size(), 400u);
        const ScratchDirectory directory;
        writeFile(directory / "in.xyz", "1\n" + c.comment + "\nAr 1 2 3\n");
        const auto result = runBlockavg(directory.path(), {"in.xyz", "1"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, "\n# 1   1 atoms   box 9.5 A   \n# 2   ");
        EXPECT_EQ(result.output,
                  "1\n" + c.writtenComment + "\n   Ar     1.000000     2.000000     3.000000\n");
    }
}

// 10,000 frames without atoms: 100 averaged frames of the default block
// length, each a count of 0 and a comment line. No atom line is ever
// written, so the box stays in general notation throughout.
TEST(FaultInjection, TenThousandFramesWithoutAtoms) {
    std::string input;
    std::string out;
    std::string expected;
    for (int frame = 1; frame <= 10'000; ++frame) {
        const char* box = frame % 2 == 1 ? "10.25" : "10.75";
        input += "0\nafter " + std::to_string(10 * frame) + " steps, BOX: " + box + "\n";
        out += "\n# " + std::to_string(frame) + "   0 atoms   box " + box + " A   ";
        if (frame % 100 == 0) {
            expected += "0\n after         " + std::to_string(10 * frame) +
                        " steps,  BOX:  10.5 10.5 10.5\n";
        }
    }
    out += "\n# 10001   ";
    const ScratchDirectory directory;
    writeFile(directory / "in.xyz", input);
    const auto result = runBlockavg(directory.path(), {"in.xyz"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, out);
    EXPECT_EQ(result.output, expected);
}

}  // namespace
}  // namespace blockavg
