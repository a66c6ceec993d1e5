#include "tests/support/in_memory_pass.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <vector>

#include "compression/decompression.hpp"
#include "run/averaging_run.hpp"
#include "tests/support/memory_streams.hpp"
#include "tests/support/reference_codecs.hpp"
#include "xmol/xmol_items.hpp"

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

std::vector<std::string_view> splitWords(std::string_view text) {
    std::vector<std::string_view> words;
    while (!text.empty()) {
        const std::size_t start = text.find_first_not_of(' ');
        if (start == std::string_view::npos) {
            break;
        }
        text.remove_prefix(start);
        const std::size_t end = std::min(text.find(' '), text.size());
        words.push_back(text.substr(0, end));
        text.remove_prefix(end);
    }
    return words;
}

std::string padded(std::string_view text, std::size_t width) {
    std::string result(text.size() < width ? width - text.size() : 0, ' ');
    result += text;
    return result;
}

// Whether `text` is a number as printf writes it in %.6f (fixed) or %g:
// formatting the value it reads as gives it back.
bool isPrintedNumber(std::string_view text, bool fixed) {
    if (text == "nan" || text == "-nan") {
        return true;
    }
    double value = 0.0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return false;
    }
    char again[512];
    const int length = std::snprintf(again, sizeof again, fixed ? "%.6f" : "%g", value);
    return length > 0 && std::string_view(again, static_cast<std::size_t>(length)) == text;
}

bool isCount(std::string_view text, std::int32_t& count) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    return !text.empty() && text[0] != '-' && error == std::errc() &&
           end == text.data() + text.size();
}

// An atom line: the name right-aligned in 5 columns, then three numbers in
// %.6f right-aligned in 12, one space apart. Names hold no spaces and may
// be empty (before any name was read).
bool isAtomLine(std::string_view line) {
    std::vector<std::string_view> words = splitWords(line);
    if (words.size() == 3) {
        words.insert(words.begin(), std::string_view());
    }
    if (words.size() != 4) {
        return false;
    }
    std::string expected = padded(words[0], 5);
    for (std::size_t at = 1; at < 4; ++at) {
        if (!isPrintedNumber(words[at], true)) {
            return false;
        }
        expected += ' ';
        expected += padded(words[at], 12);
    }
    return line == expected;
}

// A comment line: empty, or the step label and the box average three
// times, in %.6f once an atom line has been written and in %g before.
bool isCommentLine(std::string_view line, bool fixed) {
    constexpr std::string_view opening = " after         ";
    constexpr std::string_view middle = " steps,  BOX:  ";
    if (line.empty()) {
        return true;
    }
    if (line.substr(0, opening.size()) != opening) {
        return false;
    }
    line.remove_prefix(opening.size());
    line.remove_prefix(std::min(line.find(' '), line.size()));  // the step label
    if (line.substr(0, middle.size()) != middle) {
        return false;
    }
    line.remove_prefix(middle.size());
    const std::vector<std::string_view> box = splitWords(line);
    return box.size() == 3 && box[0] == box[1] && box[1] == box[2] &&
           line.size() == 3 * box[0].size() + 2 && isPrintedNumber(box[0], fixed);
}

// One line of the progress report: "# FRAME   COUNT atoms   box BOX A   ",
// cut short after the heading or the count.
struct ReportLine {
    std::int32_t count = -1;  // -1: none
    bool hasBox = false;
};

bool parseReportLine(std::string_view line, std::int64_t frame, ReportLine& parsed) {
    const std::string heading = "# " + std::to_string(frame) + "   ";
    if (line.substr(0, heading.size()) != heading) {
        return false;
    }
    line.remove_prefix(heading.size());
    if (line.empty()) {
        return true;
    }
    constexpr std::string_view atoms = " atoms   ";
    const std::size_t atomsAt = line.find(atoms);
    if (atomsAt == std::string_view::npos || !isCount(line.substr(0, atomsAt), parsed.count)) {
        return false;
    }
    line.remove_prefix(atomsAt + atoms.size());
    if (line.empty()) {
        return true;
    }
    constexpr std::string_view boxOpening = "box ";
    constexpr std::string_view boxClosing = " A   ";
    if (line.size() < boxOpening.size() + boxClosing.size() ||
        line.substr(0, boxOpening.size()) != boxOpening ||
        line.substr(line.size() - boxClosing.size()) != boxClosing) {
        return false;
    }
    parsed.hasBox = true;
    return isPrintedNumber(
        line.substr(boxOpening.size(), line.size() - boxOpening.size() - boxClosing.size()), false);
}

// Checks the progress report; returns its frames, or sets `problem`.
std::vector<ReportLine> parseReport(std::string_view console, std::string& problem) {
    std::vector<ReportLine> frames;
    if (console.empty() || console[0] != '\n') {
        problem = "the report does not start with a line feed";
        return frames;
    }
    console.remove_prefix(1);
    const std::vector<std::string_view> lines = splitLines(console);
    for (std::size_t at = 0; at < lines.size(); ++at) {
        ReportLine line;
        if (!parseReportLine(lines[at], static_cast<std::int64_t>(at + 1), line)) {
            problem = "report line " + std::to_string(at + 1) + " is malformed";
            return frames;
        }
        if (!line.hasBox && at + 1 < lines.size()) {
            problem = "report line " + std::to_string(at + 1) + " is cut short";
            return frames;
        }
        frames.push_back(line);
    }
    return frames;
}

// Checks that `output` is nothing but whole averaged frames; returns the
// count of each, or sets `problem`.
std::vector<std::int32_t> parseOutput(std::string_view output, std::string& problem) {
    std::vector<std::int32_t> counts;
    if (!output.empty() && output.back() != '\n') {
        problem = "output does not end with a line feed";
        return counts;
    }
    const std::vector<std::string_view> lines = splitLines(output);
    bool fixed = false;
    std::size_t at = 0;
    while (at < lines.size()) {
        std::int32_t count = 0;
        if (!isCount(lines[at], count)) {
            problem = "output line " + std::to_string(at + 1) + " is not a count line";
            return counts;
        }
        if (at + 1 >= lines.size()) {
            problem =
                "output ends before the comment line of frame " + std::to_string(counts.size() + 1);
            return counts;
        }
        if (!isCommentLine(lines[at + 1], fixed)) {
            problem = "output line " + std::to_string(at + 2) + " is not a comment line";
            return counts;
        }
        if (lines.size() - at - 2 < static_cast<std::size_t>(count)) {
            problem = "output frame " + std::to_string(counts.size() + 1) + " lacks atom lines";
            return counts;
        }
        for (std::size_t atom = at + 2; atom < at + 2 + static_cast<std::size_t>(count); ++atom) {
            if (!isAtomLine(lines[atom])) {
                problem = "output line " + std::to_string(atom + 1) + " is not an atom line";
                return counts;
            }
        }
        fixed = fixed || count > 0;
        at += 2 + static_cast<std::size_t>(count);
        counts.push_back(count);
    }
    return counts;
}

}  // namespace

PassResult runInMemory(std::string_view input, const PassSettings& settings) {
    MemorySource source(input, settings.chunkSize, settings.readFailsAt);
    MemorySink sink(settings.writeFailsAt);
    MemoryStream console;
    MemoryStream diagnostics;
    RunSettings run;
    run.blockLength = settings.blockLength;
    run.threads = settings.threads;
    run.batchBytes = settings.batchBytes;
    // As blockavg reads a file: compressed input is told by its first bytes.
    const DecodedInput text = openText(source);
    PassResult result;
    Reporter messages(diagnostics.file());
    if (text.source == nullptr) {
        messages.error("in.xyz: refused (a compression blockavg does not read)");
        result.status = 1;
    } else {
        const RunStreams streams{*text.source,      "in.xyz",       sink,
                                 "trajectory.xmol", console.file(), messages};
        // As blockavg's main does when memory runs out outside the steps.
        try {
            result.status = averageTrajectory(streams, run) ? 0 : 1;
        } catch (const std::bad_alloc&) {
            messages.error("out of memory");
            result.status = 1;
        }
    }
    result.output = sink.bytes();
    result.console = console.take();
    result.diagnostics = diagnostics.take();
    return result;
}

std::string leftOverNote(std::string_view inputName, std::size_t frames, std::size_t blockLength) {
    const std::string start = "blockavg: note: ";
    const std::string input(inputName);
    const std::string block = "a block of " + std::to_string(blockLength);
    const std::size_t left = frames % blockLength;
    if (frames == 0) {
        return start + input + " has no frames; trajectory.xmol is empty";
    }
    if (frames < blockLength) {
        return start + input + " has " + std::to_string(frames) +
               (frames == 1 ? " frame" : " frames") + ", fewer than one block of " +
               std::to_string(blockLength) + "; trajectory.xmol is empty";
    }
    if (left == 0) {
        return {};
    }
    if (left == 1) {
        return start + "the last frame of " + input + " does not fill " + block +
               " and was not averaged";
    }
    return start + "the last " + std::to_string(left) + " frames of " + input + " do not fill " +
           block + " and were not averaged";
}

namespace {

// The text of an input, decompressed if it is compressed: at most 1 MiB of
// it, and a line that announces too many atoms in place of more, so that a
// compressed input cannot take the fuzzer's memory either. `refused` when
// blockavg refuses the input's compression.
std::string textOf(std::string_view input, bool& refused) {
    constexpr std::size_t most = std::size_t{1} << 20;
    // A byte at a time: a decompressor then gives all the text it can
    // before any damage, as much as any way of delivering the bytes would.
    MemorySource source(input, 1);
    const DecodedInput text = openText(source);
    refused = text.source == nullptr;
    if (text.compression == Compression::none || text.source == nullptr) {
        return std::string(input);
    }
    std::string bytes;
    char buffer[4096];
    std::ptrdiff_t got = 0;
    while (bytes.size() <= most && (got = text.source->readSome(buffer, sizeof buffer)) > 0) {
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes.size() > most ? std::to_string(fuzzAtomLimit + 1) : bytes;
}

// Whether any line would announce more than fuzzAtomLimit atoms if it were
// read as a count line.
bool announcesManyAtoms(const std::string& input) {
    for (const std::string_view line : splitLines(input)) {
        LineCursor cursor(line);
        std::int32_t count = 0;
        if (readIntegerItem(cursor, count) && count > fuzzAtomLimit) {
            return true;
        }
    }
    return false;
}

// Text compressed by the format's own library, one byte of it damaged: the
// run keeps no averaged frame made from the damaged data. It fails with
// trajectory.xmol a byte prefix of the plain text's, or succeeds with its
// very bytes (a field no check covers). Byte 0 picks the format (its low
// three bits: gzip, zstd, xz of blocks whose headers give their sizes, xz
// of blocks that do not, bzip2) and the number of units (the next two:
// 1 to 4), bytes 1 to 3 where the damage goes and byte 4 what it does to
// the byte; the text follows.
std::string checkDamage(std::string_view data, const PassSettings& settings) {
    if (data.size() < 5) {
        return {};
    }
    constexpr Compression formats[] = {Compression::gzip, Compression::zstd, Compression::xz,
                                       Compression::xz, Compression::bzip2};
    const auto choice = static_cast<unsigned char>(data[0]);
    if (choice % 8 >= std::size(formats)) {
        return {};
    }
    const Compression compression = formats[choice % 8];
    const std::size_t units = 1 + (choice >> 3) % 4;
    std::size_t at = 0;
    for (std::size_t byte = 3; byte >= 1; --byte) {
        at = at << 8 | static_cast<unsigned char>(data[byte]);
    }
    const auto bits = static_cast<unsigned char>(data[4] == 0 ? 0x55 : data[4]);
    const std::string_view text = data.substr(5);
    if (announcesManyAtoms(std::string(text))) {
        return {};
    }
    std::string damaged = encodeWhole(compression, text, units, choice % 8 == 2);
    if (damaged.empty()) {
        return {};
    }
    at %= damaged.size();
    damaged[at] = static_cast<char>(damaged[at] ^ bits);
    // Damage to the signature leaves input that is not taken for compressed.
    if (detectCompression(damaged, true) != compression) {
        return {};
    }
    const PassResult plain = runInMemory(text, settings);
    const PassResult result = runInMemory(damaged, settings);
    const std::string where = std::string(compressionName(compression)) + " of " +
                              std::to_string(units) + " units, byte " + std::to_string(at) + ": ";
    if (result.status == 0) {
        return result.output == plain.output && result.console == plain.console
                   ? std::string()
                   : where + "damage gave another result and status 0";
    }
    if (result.status != 1 || plain.output.compare(0, result.output.size(), result.output) != 0) {
        return where +
               "damage left frames that the plain text does not give: " + result.diagnostics;
    }
    return {};
}

}  // namespace

std::string checkFuzzInput(std::string_view data) {
    if (data.size() < 2) {
        return {};
    }
    // Byte 0 picks the block length (its low five bits) and the bytes read
    // per batch (its high three: the run's own choice, or from one byte up),
    // byte 1 how the input arrives and is worked on: its low half the bytes
    // per read (0: all at once), three bits the number of threads (1 to 8),
    // and its high bit whether the rest is text to compress and damage.
    PassSettings settings;
    settings.blockLength = 1 + static_cast<unsigned char>(data[0]) % 32;
    constexpr std::size_t batchSizes[] = {0, 1, 2, 3, 7, 16, 64, 4096};
    settings.batchBytes = batchSizes[static_cast<unsigned char>(data[0]) >> 5];
    const auto delivery = static_cast<unsigned char>(data[1]);
    if ((delivery & 0x0f) != 0) {
        settings.chunkSize = delivery & 0x0f;
    }
    settings.threads = 1 + (delivery >> 4) % 8;
    if ((delivery & 0x80) != 0) {
        return checkDamage(data.substr(2), settings);
    }
    const std::string_view input = data.substr(2);
    // Whether the stream is damaged, from a decode of the whole buffer by
    // the format's library itself, before blockavg's decompressors see it.
    const Compression compression = *detectCompression(input, true);
    const WholeDecode decoded =
        isReadFormat(compression) ? decodeWhole(compression, input) : WholeDecode::unchecked;
    if (decoded == WholeDecode::tooLarge) {
        return {};
    }
    bool refused = false;
    if (announcesManyAtoms(textOf(input, refused))) {
        return {};
    }

    const PassResult result = runInMemory(input, settings);
    if (refused) {
        // A compression blockavg does not read: refused before any output.
        return result.status == 1 && result.output.empty() && result.console.empty() &&
                       splitLines(result.diagnostics).size() == 1
                   ? std::string()
                   : "a refused compression gave status " + std::to_string(result.status) +
                         " and diagnostics: " + result.diagnostics;
    }
    // In memory nothing fails to read or write, and no frame is too large
    // to hold: every run of text succeeds. A compressed stream may be
    // damaged: then a read error, the last message, says so, exactly when
    // the whole-buffer decode fails.
    const bool compressed = compression != Compression::none;
    const std::vector<std::string_view> messages = splitLines(result.diagnostics);
    const bool damaged = result.status == 1 && compressed && !messages.empty() &&
                         messages.back().rfind("blockavg: error reading in.xyz: ", 0) == 0;
    if (result.status != 0 && !damaged) {
        return "exit status " + std::to_string(result.status) +
               " with diagnostics: " + result.diagnostics;
    }
    // A compressed stream that stopped at a count line is read on to the
    // end of the unit the line lies in, and no further: damage after it
    // goes unseen.
    const bool compressedStop =
        compressed && result.diagnostics.find("; stopped reading there") != std::string::npos;
    const bool unseenAfterAStop = compressedStop && !damaged;
    if (decoded != WholeDecode::unchecked && damaged != (decoded == WholeDecode::damaged) &&
        !unseenAfterAStop) {
        return std::string(damaged ? "blockavg calls the stream damaged, a whole-buffer decode "
                                     "reads it whole: "
                                   : "a whole-buffer decode finds the stream damaged, blockavg "
                                     "reads it whole: ") +
               result.diagnostics;
    }
    for (const std::string_view line : splitLines(result.diagnostics)) {
        if (line.substr(0, 10) != "blockavg: ") {
            return "diagnostic line without the program name: " + std::string(line);
        }
    }

    std::string problem;
    const std::vector<std::int32_t> written = parseOutput(result.output, problem);
    if (!problem.empty()) {
        return problem;
    }
    const std::vector<ReportLine> report = parseReport(result.console, problem);
    if (!problem.empty()) {
        return problem;
    }
    // Every frame that got as far as its box value was read to its end, and
    // every full block of such frames was written with the count of its
    // last frame.
    std::size_t framesRead = 0;
    while (framesRead < report.size() && report[framesRead].hasBox) {
        ++framesRead;
    }
    // A frame that a damaged stream cut off got its box value but no end;
    // and damage cuts the output back to the frames made before it.
    const auto blocks = static_cast<std::size_t>(settings.blockLength);
    if (damaged ? written.size() > framesRead / blocks : written.size() != framesRead / blocks) {
        return std::to_string(written.size()) + " frames written for " +
               std::to_string(framesRead) + " frames read in blocks of " +
               std::to_string(settings.blockLength);
    }
    // A run that went well notes the frames after its last full block, as
    // its last message; one that failed does not.
    const std::string_view lastMessage = messages.empty() ? std::string_view() : messages.back();
    const std::string expectedNote =
        result.status == 0 ? leftOverNote("in.xyz", framesRead, blocks) : "";
    const bool noted = lastMessage.rfind("blockavg: note: ", 0) == 0;
    if (expectedNote.empty() ? noted : lastMessage != expectedNote) {
        return "last message \"" + std::string(lastMessage) + "\" where the note is \"" +
               expectedNote + "\"";
    }
    for (std::size_t frame = 0; frame < written.size(); ++frame) {
        const std::size_t last = (frame + 1) * static_cast<std::size_t>(settings.blockLength) - 1;
        if (written[frame] != report[last].count) {
            return "output frame " + std::to_string(frame + 1) + " has " +
                   std::to_string(written[frame]) + " atoms, its last input frame " +
                   std::to_string(report[last].count);
        }
    }
    // How the bytes arrive and how many threads work on them must not
    // change anything. Where a damaged gzip, xz or bzip2 stream's text
    // ends depends on where its decompressor finds the damage, which can
    // depend on how the compressed bytes arrive: there only the threads
    // may not.
    if (settings.chunkSize != PassSettings{}.chunkSize || settings.threads != 1 ||
        settings.batchBytes != 0) {
        PassSettings whole = settings;
        if (!damaged || compression == Compression::zstd) {
            whole.chunkSize = PassSettings{}.chunkSize;
        }
        whole.threads = 1;
        whole.batchBytes = 0;
        const PassResult reference = runInMemory(input, whole);
        const bool same = reference.status == result.status && reference.output == result.output &&
                          reference.console == result.console &&
                          reference.diagnostics == result.diagnostics;
        if (!same) {
            return "result depends on how the input arrives (" + std::to_string(delivery & 0x0f) +
                   " bytes per read, " + std::to_string(settings.batchBytes) + " a batch, " +
                   std::to_string(settings.threads) + " threads)";
        }
    }
    return {};
}

}  // namespace blockavg::fuzzing
