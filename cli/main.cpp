// blockavg INPUT [BLOCK_LENGTH]
//
// Averages every BLOCK_LENGTH consecutive frames of an XMOL trajectory into
// one frame of "trajectory.xmol" in the current directory.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <system_error>

#include "cli/command_line.hpp"
#include "cli/shown_name.hpp"
#include "cli/standard_streams.hpp"
#include "compression/decompression.hpp"
#include "host/ending_signals.hpp"
#include "host/large_allocations.hpp"
#include "host/processor_count.hpp"
#include "io/file_source.hpp"
#include "io/interruption.hpp"
#include "io/output_file.hpp"
#include "io/reporter.hpp"
#include "run/averaging_run.hpp"

namespace {

enum ExitStatus : int { exitSuccess = 0, exitFailure = 1, exitUsage = 2 };

// The output always goes here, in the current directory.
constexpr const char* outputFileName = "trajectory.xmol";

constexpr const char* helpText =
    "\n"
    "Block-averages an XMOL (XYZ) trajectory: every BLOCK_LENGTH consecutive\n"
    "frames (default 100) become one frame of averaged atom positions and box\n"
    "length in trajectory.xmol in the current directory, which replaces an\n"
    "earlier one. Frames after the last full block are read and reported,\n"
    "but not written: a note on standard error says how many there were.\n"
    "\n"
    "  INPUT          the trajectory to read, or - for standard input; it may\n"
    "                 be compressed with gzip, zstd, xz or bzip2, which its\n"
    "                 first bytes tell\n"
    "  BLOCK_LENGTH   frames per averaged frame, at least 1 (default 100)\n"
    "\n"
    "A progress line per frame goes to standard output; while standard error\n"
    "is a terminal and standard output is not, a line there tells how far the\n"
    "run is. A run locks trajectory.xmol while it writes it: a second run in\n"
    "the same directory stops and leaves the file alone. However a run ends,\n"
    "trajectory.xmol holds whole averaged frames only, none made from\n"
    "compressed data that failed its check.\n"
    "\n"
    "Exit status:\n"
    "  0          done (warnings and notes go to standard error)\n"
    "  1          the input could not be read or is compressed in a way\n"
    "             blockavg does not read; trajectory.xmol could not be written,\n"
    "             is the input, standard output or standard error, or is\n"
    "             locked by another run; a frame needs more memory than\n"
    "             blockavg may have, or memory ran out\n"
    "  2          bad usage\n"
    "  128+N      ended by signal N: 130 for Ctrl-C (SIGINT), 143 for SIGTERM\n";

// The status after --help or --version: as GNU tools do, a failure when the
// text could not be written (a full disk, a closed pipe).
int standardOutputWritten(blockavg::Reporter& messages) {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        messages.error(std::string("error writing standard output: ") +
                       std::generic_category().message(errno != 0 ? errno : EIO));
        return exitFailure;
    }
    return exitSuccess;
}

// Why an input whose compression blockavg cannot read is refused, with a
// command that decompresses it for `blockavg -`, with the block length the
// user gave.
std::string refusal(const blockavg::DecodedInput& text, const std::string& inputPath,
                    const std::string& inputName, std::int32_t blockLength) {
    using namespace blockavg;
    const Compression outer = text.compression;
    const Compression inner = text.inner;
    const std::string path = inputPath == "-" ? std::string() : shellWord(inputPath);
    const std::string blockArgument =
        blockLength != defaultBlockLength ? " " + std::to_string(blockLength) : "";
    if (inner == Compression::none && isReadFormat(outer)) {
        const std::string format = compressionName(outer);
        return inputName + ": cannot read " + format + "-compressed input: this build has no " +
               format + " support; decompress it first, e.g. `" + (path.empty() ? "... | " : "") +
               decompressCommand(outer, path) + " | blockavg -" + blockArgument + "`";
    }
    // The outer layer first when the text inside is compressed again; then
    // the layer that blockavg cannot read itself, if it cannot.
    std::string command = inner != Compression::none ? decompressCommand(outer, path) : "";
    const Compression layer = inner != Compression::none ? inner : outer;
    bool fromPipe = path.empty();  // the command reads what the user pipes in
    if (!canDecompress(layer)) {
        const std::string step = decompressCommand(layer, command.empty() ? path : "");
        if (!step.empty()) {
            command = command.empty() ? step : command + " | " + step;
        } else {  // a tool that reads only files (7z)
            fromPipe = fromPipe && !command.empty();
            command =
                (command.empty() ? "" : command + " >FILE && ") + decompressCommand(layer, "FILE");
        }
    }
    const std::string what =
        inner != Compression::none
            ? std::string(compressionName(inner)) + " data inside " + compressionName(outer)
            : std::string("compressed with ") + compressionName(outer);
    return inputName + " is " + what +
           ", which blockavg does not read; decompress it first, e.g. `" +
           (fromPipe ? "... | " : "") + command + " | blockavg -" + blockArgument + "`";
}

// Opens the input, then the output, and runs. The input goes first, so that
// a mistyped path leaves an earlier result in place.
int averageInto(const std::string& inputPath, std::int32_t blockLength,
                blockavg::Reporter& messages) {
    using namespace blockavg;
    const std::string inputName = inputPath == "-" ? "standard input" : shownName(inputPath);
    FileSource file;
    if (!file.open(inputPath)) {
        messages.error("cannot open " + inputName + ": " + file.errorMessage());
        return exitFailure;
    }
    if (file.isSameFileAs(outputFileName)) {
        messages.error(std::string(outputFileName) +
                       " is the input; writing it would destroy it before it is read");
        return exitFailure;
    }
    // Nor may the report or the messages go into the frames (blockavg in.xyz
    // >trajectory.xmol). Standard error may be the file: the message is still
    // written there, where it was sent, but blockavg neither empties the file
    // nor writes a frame. Descriptors 1 and 2 on every platform.
    const struct {
        int descriptor;
        const char* problem;
    } consoles[] = {
        {1, " is standard output; the report would be written into its frames"},
        {2, " is standard error; messages would be written into its frames"},
    };
    for (const auto& console : consoles) {
        if (isSameFile(console.descriptor, outputFileName)) {
            messages.error(outputFileName + std::string(console.problem));
            return exitFailure;
        }
    }
    // Compressed input is told by its first bytes, and read through its
    // decompressor.
    const DecodedInput text = openText(file);
    if (text.source == nullptr) {
        messages.error(refusal(text, inputPath, inputName, blockLength));
        return exitFailure;
    }
    ByteSource& input = *text.source;
    // One run at a time writes the output: a second one leaves it alone.
    OutputFile output;
    OutputFile::OpenResult opened = output.open(outputFileName);
    if (opened == OutputFile::OpenResult::noReaderYet) {
        messages.note(std::string(outputFileName) +
                      " is a FIFO that no one reads; waiting for "
                      "its reader");
        opened = output.open(outputFileName, true);
    }
    switch (opened) {
        case OutputFile::OpenResult::opened:
        case OutputFile::OpenResult::noReaderYet:
            break;
        case OutputFile::OpenResult::lockedByAnother:
            messages.error(std::string("another run is writing ") + outputFileName +
                           "; it was left as it is");
            return exitFailure;
        case OutputFile::OpenResult::failed:
            messages.error(std::string("cannot create ") + outputFileName + ": " +
                           output.errorMessage());
            return exitFailure;
    }
    // Until the output is closed, an ending signal cuts it back and says
    // what it holds; from then on, and when an exception leaves, ending
    // signals wait for the exit.
    cutBackOnInterruption(output, outputFileName);
    struct Closing {
        ~Closing() {
            holdEndingSignals();
            stopCuttingBack();
        }
    } closing;
    const RunStreams streams{input, inputName, output, outputFileName, stdout, messages};
    RunSettings settings;
    settings.blockLength = blockLength;
    settings.threads = usableProcessorCount();
    settings.inputSize = file.size();
    // How far the run is, on a terminal that shows nothing else.
    messages.showProgress(isTerminal(2) && !isTerminal(1));
    bool succeeded = averageTrajectory(streams, settings);
    if (!output.close() && succeeded) {
        messages.error(std::string("error writing ") + outputFileName + ": " +
                       output.errorMessage());
        succeeded = false;
    }
    return succeeded ? exitSuccess : exitFailure;
}

}  // namespace

int main(int argc, char* argv[]) {
    using namespace blockavg;
    keepStandardStreamsOpen();
    returnLargeBlocksWhenFreed();
#ifdef SIGPIPE
    // A console whose reader has gone (blockavg run.xyz | head) must not end
    // the run: SIGPIPE would kill it with trajectory.xmol emptied or cut
    // short. Writes to the console then fail, which the report ignores.
    // (POSIX only; Windows has no SIGPIPE.)
    std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef SIGXFSZ
    // Past a file size limit (ulimit -f) a write then fails with EFBIG,
    // and the output is cut back to its last whole frame, rather than the
    // process being killed half-way through one.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    Reporter messages(stderr);
    // Memory that runs out outside the run's steps, or a system error that
    // no step turned into an outcome, ends here, said as every message is.
    try {
        const CommandLine command = parseCommandLine(argc, argv);
        switch (command.action) {
            case CommandAction::showHelp:
                std::fputs(usageText().c_str(), stdout);
                std::fputs(helpText, stdout);
                return standardOutputWritten(messages);
            case CommandAction::showVersion:
                std::fputs("blockavg " BLOCKAVG_VERSION "\n", stdout);
                return standardOutputWritten(messages);
            case CommandAction::usageError: {
                std::string usage = usageText();
                usage.pop_back();  // its last line feed ends the message
                messages.error(command.error + "\n" + usage);
                return exitUsage;
            }
            case CommandAction::run:
                break;
        }
        return averageInto(command.inputPath, command.blockLength, messages);
    } catch (const std::exception& failure) {
        const auto* system = dynamic_cast<const std::system_error*>(&failure);
        messages.error(system != nullptr ? system->code().message() : "out of memory");
        return exitFailure;
    }
}
