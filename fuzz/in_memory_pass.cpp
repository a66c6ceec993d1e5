#include "fuzz/in_memory_pass.hpp"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "app/averaging_run.hpp"
#include "trajectory/averaged_frame_writer.hpp"
#include "trajectory/xmol_frame_reader.hpp"

namespace blockavg::fuzzing {
namespace {

// A FILE* writing into memory, whose bytes are taken once it is done.
class MemoryStream {
public:
    MemoryStream() : file_(open_memstream(&data_, &size_)) {
        if (file_ == nullptr) {
            throw std::runtime_error("open_memstream failed");
        }
    }
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;
    ~MemoryStream() {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
        std::free(data_);
    }

    std::FILE* file() const noexcept { return file_; }

    std::string take() {
        std::fclose(file_);
        file_ = nullptr;
        return std::string(data_, size_);
    }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        lines.push_back(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}

bool isNumber(std::string_view text) {
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

bool isCount(std::string_view text, std::int32_t& count) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    return !text.empty() && text[0] != '-' && error == std::errc() &&
           end == text.data() + text.size();
}

// An atom line: a name right-aligned in 5 columns, then three numbers
// right-aligned in at least 12, one space apart. Names hold no spaces.
bool isAtomLine(std::string_view line) {
    if (line.size() < 5 + 3 * 13) {
        return false;
    }
    for (int field = 0; field < 3; ++field) {
        const std::size_t space = line.rfind(' ');
        if (space == std::string_view::npos || !isNumber(line.substr(space + 1))) {
            return false;
        }
        line = line.substr(0, space);
        while (!line.empty() && line.back() == ' ') {
            line.remove_suffix(1);
        }
    }
    return true;
}

// Checks that `output` is nothing but whole averaged frames; returns their
// number, or -1 with `problem` set.
long countWholeFrames(std::string_view output, std::string& problem) {
    if (!output.empty() && output.back() != '\n') {
        problem = "output does not end with a line feed";
        return -1;
    }
    const std::vector<std::string_view> lines = splitLines(output);
    long frames = 0;
    std::size_t at = 0;
    while (at < lines.size()) {
        std::int32_t count = 0;
        if (!isCount(lines[at], count)) {
            problem = "output line " + std::to_string(at + 1) + " is not a count line";
            return -1;
        }
        if (at + 1 >= lines.size()) {
            problem = "output ends before the comment line of frame " + std::to_string(frames + 1);
            return -1;
        }
        const std::string_view comment = lines[at + 1];
        if (!comment.empty() && (comment.substr(0, 15) != " after         " ||
                                 comment.find(" steps,  BOX:  ") == std::string_view::npos)) {
            problem = "output line " + std::to_string(at + 2) + " is not a comment line";
            return -1;
        }
        if (lines.size() - at - 2 < static_cast<std::size_t>(count)) {
            problem = "output frame " + std::to_string(frames + 1) + " lacks atom lines";
            return -1;
        }
        for (std::size_t atom = at + 2; atom < at + 2 + static_cast<std::size_t>(count); ++atom) {
            if (!isAtomLine(lines[atom])) {
                problem = "output line " + std::to_string(atom + 1) + " is not an atom line";
                return -1;
            }
        }
        at += 2 + static_cast<std::size_t>(count);
        ++frames;
    }
    return frames;
}

long countOccurrences(std::string_view text, std::string_view part) {
    long found = 0;
    for (std::size_t at = text.find(part); at != std::string_view::npos;
         at = text.find(part, at + part.size())) {
        ++found;
    }
    return found;
}

}  // namespace

PassResult runInMemory(std::string_view input, const PassSettings& settings) {
    MemoryStream output;
    MemoryStream console;
    MemoryStream diagnostics;
    PassResult result;
    {
        XmolFrameReader reader;
        AveragedFrameWriter writer;
        AveragingRun run("in.xyz", outputFileName, settings.blockLength, console.file(),
                         diagnostics.file());
        run.limitAtoms(settings.atomLimit);
        if (reader.openBytes(input, settings.chunkSize, settings.bufferSize)) {
            writer.openStream(output.file());
            result.status = run.run(reader, writer);
        } else {
            std::fprintf(diagnostics.file(), "blockavg: cannot open in.xyz: %s\n",
                         reader.errorMessage().c_str());
            result.status = exitFailure;
        }
    }
    result.output = output.take();
    result.console = console.take();
    result.diagnostics = diagnostics.take();
    return result;
}

std::string checkFuzzInput(std::string_view data) {
    if (data.size() < 2) {
        return {};
    }
    // Byte 0 picks the block length, byte 1 how the input arrives: its low
    // half the bytes per read (0: all at once), its high half the initial
    // read buffer (0: the usual size, k: 2^(k-1) bytes).
    PassSettings settings;
    settings.blockLength = 1 + static_cast<unsigned char>(data[0]) % 32;
    const auto delivery = static_cast<unsigned char>(data[1]);
    if ((delivery & 0x0f) != 0) {
        settings.chunkSize = delivery & 0x0f;
    }
    if ((delivery >> 4) != 0) {
        settings.bufferSize = std::size_t{1} << ((delivery >> 4) - 1);
    }
    settings.atomLimit = fuzzAtomLimit;
    const std::string_view input = data.substr(2);

    const PassResult result = runInMemory(input, settings);
    if (result.status != exitSuccess && result.status != exitFailure) {
        return "exit status " + std::to_string(result.status);
    }
    // In memory nothing fails to read or write: the only failure left is a
    // frame over the atom limit.
    const bool overLimit = result.diagnostics.find(": out of memory\n") != std::string::npos;
    if ((result.status == exitFailure) != overLimit) {
        return "exit status " + std::to_string(result.status) +
               " with diagnostics: " + result.diagnostics;
    }
    for (const std::string_view line : splitLines(result.diagnostics)) {
        if (line.substr(0, 10) != "blockavg: ") {
            return "diagnostic line without the program name: " + std::string(line);
        }
    }

    std::string problem;
    const long written = countWholeFrames(result.output, problem);
    if (written < 0) {
        return problem;
    }
    // Every frame that got as far as its box value was read to its end, and
    // every full block of such frames was written.
    const long framesRead = countOccurrences(result.console, "box ");
    if (written != framesRead / settings.blockLength) {
        return std::to_string(written) + " frames written for " + std::to_string(framesRead) +
               " frames read in blocks of " + std::to_string(settings.blockLength);
    }

    // How the bytes arrive must not change anything.
    if (settings.chunkSize != PassSettings{}.chunkSize || settings.bufferSize != 0) {
        PassSettings whole = settings;
        whole.chunkSize = PassSettings{}.chunkSize;
        whole.bufferSize = 0;
        const PassResult reference = runInMemory(input, whole);
        if (reference.status != result.status || reference.output != result.output ||
            reference.console != result.console || reference.diagnostics != result.diagnostics) {
            return "result depends on how the input arrives (" + std::to_string(delivery & 0x0f) +
                   " bytes per read, buffer code " + std::to_string(delivery >> 4) + ")";
        }
    }
    return {};
}

}  // namespace blockavg::fuzzing
