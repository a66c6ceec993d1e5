// blockavg INPUT [BLOCK_LENGTH]
//
// Averages every BLOCK_LENGTH consecutive frames of an XMOL trajectory into
// one frame of "trajectory.xmol" in the current directory.

#include <csignal>
#include <cstdio>

#include "app/averaging_run.hpp"
#include "app/command_line.hpp"
#include "app/standard_streams.hpp"
#include "trajectory/averaged_frame_writer.hpp"

namespace {

constexpr const char* helpText =
    "\n"
    "Block-averages an XMOL (XYZ) trajectory: every BLOCK_LENGTH consecutive\n"
    "frames (default 100) become one frame of averaged atom positions and box\n"
    "length in trajectory.xmol in the current directory. Frames after the\n"
    "last full block are read and reported but not written.\n"
    "\n"
    "  INPUT          the trajectory to read, or - for standard input\n"
    "  BLOCK_LENGTH   frames per averaged frame, at least 1 (default 100)\n"
    "\n"
    "A progress line per frame goes to standard output.\n"
    "Exit status: 0 done; 1 the input could not be read, trajectory.xmol could\n"
    "not be written or is the input itself, or memory ran out; 2 bad usage.\n";

}  // namespace

int main(int argc, char* argv[]) {
    using namespace blockavg;
    keepStandardStreamsOpen();
#ifdef SIGPIPE
    // A console whose reader has gone (blockavg run.xyz | head) must not end
    // the run: SIGPIPE would kill it with trajectory.xmol emptied or cut
    // short. Writes to the console then fail, which the report ignores.
    // (POSIX only; Windows has no SIGPIPE.)
    std::signal(SIGPIPE, SIG_IGN);
#endif
    const CommandLine command = parseCommandLine(argc, argv);
    switch (command.action) {
        case CommandAction::showHelp:
            std::fputs(usageText().c_str(), stdout);
            std::fputs(helpText, stdout);
            return exitSuccess;
        case CommandAction::showVersion:
            std::fputs("blockavg " BLOCKAVG_VERSION "\n", stdout);
            return exitSuccess;
        case CommandAction::usageError:
            std::fprintf(stderr, "blockavg: %s\n%s", command.error.c_str(), usageText().c_str());
            return exitUsage;
        case CommandAction::run:
            break;
    }
    AveragingRun run(command.inputPath, outputFileName, command.blockLength, stdout, stderr);
    return run.run();
}
