#include "tests/support/test_support.hpp"

#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

namespace blockavg::testing {
namespace fs = std::filesystem;

namespace {

const char* wrapper() {
    const char* value = std::getenv("BLOCKAVG_TEST_WRAPPER");
    return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
    return text;
}

bool shellMakes(const std::string& command, const fs::path& in, const fs::path& out) {
    const std::string line = "in=" + shellQuoted(in.string()) +
                             " out=" + shellQuoted(out.string()) + "; { " + command +
                             "; } 2>/dev/null";
    return std::system(line.c_str()) == 0;
}

std::size_t xzIndexStart(const std::string& bytes) {
    const std::size_t footer = bytes.size() - 12;
    std::uint32_t backward = 0;
    for (int byte = 3; byte >= 0; --byte) {
        backward = backward << 8 | static_cast<unsigned char>(bytes[footer + 4 + byte]);
    }
    return footer - (std::size_t{backward} + 1) * 4;
}

std::string blockavgCommand() {
    const char* prefix = wrapper();
    const std::string executable = shellQuoted(blockavgExecutable());
    return prefix != nullptr ? std::string(prefix) + " " + executable : executable;
}

bool runsUnderWrapper() { return wrapper() != nullptr; }

std::string consoleText(std::string text) {
    if (runsUnderWine()) {
        std::size_t kept = 0;
        for (std::size_t at = 0; at < text.size(); ++at) {
            if (!(text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n')) {
                text[kept++] = text[at];
            }
        }
        text.resize(kept);
    }
    return text;
}

ScratchDirectory::ScratchDirectory() {
    std::random_device entropy;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate =
            fs::temp_directory_path() / ("blockavg-test-" + std::to_string(entropy()));
        if (fs::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a scratch directory");
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

namespace {

// The words of blockavg with `arguments`, its output streams into
// `captures`.
std::string blockavgIn(const std::vector<std::string>& arguments,
                       const ScratchDirectory& captures) {
    std::string command = blockavgCommand();
    for (const std::string& argument : arguments) {
        command += " " + shellQuoted(argument);
    }
    return command + " >" + shellQuoted((captures / "stdout").string()) + " 2>" +
           shellQuoted((captures / "stderr").string());
}

// Runs `command`, then collects what blockavgIn() captured and the output.
RunResult runShellOnce(const fs::path& directory, const std::string& command,
                       const ScratchDirectory& captures) {
    RunResult result;
    const int waitStatus = std::system(command.c_str());
    if (waitStatus != -1 && WIFEXITED(waitStatus)) {
        result.status = WEXITSTATUS(waitStatus);
    }
    result.out = consoleText(readFile(captures / "stdout"));
    result.err = consoleText(readFile(captures / "stderr"));
    const fs::path output = directory / "trajectory.xmol";
    if (fs::is_regular_file(fs::symlink_status(output))) {
        result.output = readFile(output);
    }
    return result;
}

// Wine now and then fails a launch before blockavg.exe runs, with status 1
// and "wine: failed to map the shared user data: c0000018" (conflicting
// addresses) on its err channel, which the wrapper keeps quiet: about once
// in 2,500 launches on a loaded machine. blockavg itself never ends with
// status 1 without a message, which every failing row checks on Linux, so
// under Wine a run that ends so, with no report and trajectory.xmol as it
// was, is launched once more, and the test log says so.
RunResult runShell(const fs::path& directory, const std::string& command,
                   const ScratchDirectory& captures) {
    const fs::path output = directory / "trajectory.xmol";
    std::optional<std::string> before;
    if (runsUnderWine() && fs::is_regular_file(fs::symlink_status(output))) {
        before = readFile(output);
    }
    RunResult result = runShellOnce(directory, command, captures);
    if (runsUnderWine() && result.status == 1 && result.out.empty() && result.err.empty() &&
        result.output == before) {
        std::fprintf(stderr, "note: Wine failed a launch of blockavg.exe; launching it again: %s\n",
                     command.c_str());
        result = runShellOnce(directory, command, captures);
    }
    return result;
}

}  // namespace

RunResult runBlockavg(const fs::path& directory, const std::vector<std::string>& arguments,
                      const std::optional<fs::path>& standardInput, const std::string& shellSetup) {
    const ScratchDirectory captures;
    const std::string command = "cd " + shellQuoted(directory.string()) + " && " + shellSetup +
                                " exec " + blockavgIn(arguments, captures) + " <" +
                                shellQuoted(standardInput ? standardInput->string() : "/dev/null");
    return runShell(directory, command, captures);
}

RunResult runBlockavgFedBy(const fs::path& directory, const std::vector<std::string>& arguments,
                           const std::string& writer, const std::string& shellSetup) {
    const ScratchDirectory captures;
    const std::string command = "cd " + shellQuoted(directory.string()) + " && " + shellSetup +
                                " { " + writer + "; } | " + blockavgIn(arguments, captures);
    return runShell(directory, command, captures);
}

std::optional<PeakMemoryRun> runBlockavgMeasuringMemory(const fs::path& directory,
                                                        const std::vector<std::string>& arguments) {
#ifdef BLOCKAVG_PEAK_MEMORY_PROBE
    if (runsUnderWine()) {
        return std::nullopt;
    }
    const ScratchDirectory captures;
    const fs::path resultPath = captures / "result";
    std::string command = "cd " + shellQuoted(directory.string()) + " && exec " +
                          shellQuoted(BLOCKAVG_PEAK_MEMORY_PROBE) + " " +
                          shellQuoted(resultPath.string()) + " " +
                          shellQuoted(blockavgExecutable());
    for (const std::string& argument : arguments) {
        command += " " + shellQuoted(argument);
    }
    command += " </dev/null >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("the peak-memory probe failed: " + command);
    }
    std::istringstream result(readFile(resultPath));
    PeakMemoryRun run;
    result >> run.status >> run.peakKib;
    return run;
#else
    (void)directory;
    (void)arguments;
    return std::nullopt;
#endif
}

fs::path testData(const std::string& name) { return fs::path(BLOCKAVG_TEST_DATA) / name; }

std::string wanderingTrajectory(int frames) {
    std::string text;
    std::uint32_t state = 7;
    for (int frame = 0; frame < frames; ++frame) {
        text += "40\nstep " + std::to_string(frame) + " box 21.5\n";
        for (int atom = 0; atom < 40; ++atom) {
            text += atom % 3 == 0 ? "O" : "H";
            for (int axis = 0; axis < 3; ++axis) {
                state = state * 1103515245u + 12345u;
                text += " " + std::to_string(static_cast<int>(state >> 20) % 2000 - 1000) + "." +
                        std::to_string((state >> 8) % 1000);
            }
            text += "\n";
        }
    }
    return text;
}

}  // namespace blockavg::testing
