#include "trajectory/averaged_frame_writer.hpp"

#include <cerrno>
#include <cstring>
#include <system_error>

#include "trajectory/number_format.hpp"

namespace blockavg {
namespace {

constexpr std::size_t bufferSize = std::size_t{64} << 10;
constexpr std::size_t nameWidth = 5;
constexpr std::size_t coordinateWidth = 12;
constexpr std::size_t fieldCopySize = 16;
static_assert(fieldCopySize >= coordinateWidth && fieldCopySize <= maxFormattedNumberLength);

// Pads `text` on the left to `width` columns at `out`; returns the end.
// Atom names are a few bytes: a byte loop beats two library calls.
char* putPadded(char* out, std::string_view text, std::size_t width) noexcept {
    for (std::size_t padding = text.size(); padding < width; ++padding) {
        *out++ = ' ';
    }
    if (text.size() > 16) {
        std::memcpy(out, text.data(), text.size());
        return out + text.size();
    }
    for (const char c : text) {
        *out++ = c;
    }
    return out;
}

}  // namespace

AveragedFrameWriter::~AveragedFrameWriter() { close(); }

bool AveragedFrameWriter::open(const std::string& path) {
    close();
    errno = 0;
    // Binary mode: the same bytes on every system (no CR LF on Windows).
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        fail(errno != 0 ? errno : EACCES);
        return false;
    }
    startWriting(file, true);
    return true;
}

void AveragedFrameWriter::openStream(std::FILE* stream) {
    close();
    startWriting(stream, false);
}

void AveragedFrameWriter::startWriting(std::FILE* file, bool owned) {
    file_ = file;
    ownsFile_ = owned;
    buffer_.assign(bufferSize, '\0');
    used_ = 0;
    fixedNotation_ = false;
    error_.clear();
}

void AveragedFrameWriter::fail(int errorNumber) {
    if (error_.empty()) {
        error_ = std::generic_category().message(errorNumber != 0 ? errorNumber : EIO);
    }
}

// Hands the buffered bytes to the file.
void AveragedFrameWriter::drain() {
    if (used_ == 0 || hasFailed()) {
        used_ = 0;
        return;
    }
    errno = 0;
    if (std::fwrite(buffer_.data(), 1, used_, file_) != used_) {
        fail(errno);
    }
    used_ = 0;
}

void AveragedFrameWriter::append(std::string_view text) {
    if (text.size() > buffer_.size() - used_) {
        drain();
        if (text.size() > buffer_.size()) {
            // Larger than the whole buffer (a very long name): write it as is.
            errno = 0;
            if (!hasFailed() && std::fwrite(text.data(), 1, text.size(), file_) != text.size()) {
                fail(errno);
            }
            return;
        }
    }
    std::memcpy(buffer_.data() + used_, text.data(), text.size());
    used_ += text.size();
}

void AveragedFrameWriter::appendPadded(std::string_view text, std::size_t width) {
    static constexpr char spaces[] = "                ";
    if (text.size() < width) {
        append(std::string_view(spaces, width - text.size()));
    }
    append(text);
}

void AveragedFrameWriter::appendNumber(double value, std::size_t width) {
    char digits[maxFormattedNumberLength];
    const char* end = fixedNotation_ ? formatFixed(digits, value) : formatGeneral(digits, value);
    appendPadded(std::string_view(digits, static_cast<std::size_t>(end - digits)), width);
}

// One atom line, formatted straight into the buffer.
void AveragedFrameWriter::appendAtomLine(const AtomRecord& atom, double divisor) {
    const std::size_t longestLine =
        nameWidth + atom.name.size() + 3 * (1 + maxFormattedNumberLength) + 1;
    if (longestLine > buffer_.size() - used_) {
        drain();
        if (longestLine > buffer_.size()) {
            // A name too long for the buffer: piece by piece.
            appendPadded(atom.name, nameWidth);
            for (const double sum : {atom.x, atom.y, atom.z}) {
                append(" ");
                appendNumber(sum / divisor, coordinateWidth);
            }
            append("\n");
            return;
        }
    }
    char* const start = buffer_.data() + used_;
    char* out = putPadded(start, atom.name, nameWidth);
    for (const double sum : {atom.x, atom.y, atom.z}) {
        *out++ = ' ';
        char* const digits = digits_.data();
        const auto length = static_cast<std::size_t>(formatFixed(digits, sum / divisor) - digits);
        if (length <= coordinateWidth) {
            // Fixed-size copies, which compile to a few stores: sixteen
            // spaces, then sixteen bytes of which the number is the first
            // `length`. What lands past the field is overwritten next or
            // lies beyond the end of the data.
            std::memset(out, ' ', fieldCopySize);
            std::memcpy(out + (coordinateWidth - length), digits, fieldCopySize);
            out += coordinateWidth;
        } else {
            std::memcpy(out, digits, length);
            out += length;
        }
    }
    *out++ = '\n';
    used_ += static_cast<std::size_t>(out - start);
}

bool AveragedFrameWriter::writeAveragedFrame(std::int32_t count, std::string_view boxTag,
                                             std::string_view stepLabel, double boxSum,
                                             std::int32_t blockLength, const AtomList& atoms) {
    if (file_ == nullptr || hasFailed()) {
        return false;
    }
    const double divisor = static_cast<double>(blockLength);
    char digits[maxFormattedNumberLength];

    append(
        std::string_view(digits, static_cast<std::size_t>(formatInteger(digits, count) - digits)));
    append("\n");

    if (boxTag == "BOX:") {
        const double boxAverage = boxSum / divisor;
        append(" after         ");
        append(stepLabel);
        append(" steps,  BOX:  ");
        appendNumber(boxAverage, 0);
        append(" ");
        appendNumber(boxAverage, 0);
        append(" ");
        appendNumber(boxAverage, 0);
    }
    append("\n");

    for (const AtomRecord& atom : atoms) {
        fixedNotation_ = true;
        appendAtomLine(atom, divisor);
    }

    drain();
    errno = 0;
    if (!hasFailed() && std::fflush(file_) != 0) {
        fail(errno);
    }
    return !hasFailed();
}

bool AveragedFrameWriter::close() {
    if (file_ == nullptr) {
        return !hasFailed();
    }
    drain();
    errno = 0;
    // A stream the caller handed over stays open for the caller; it is only flushed.
    int status = 0;
    if (ownsFile_) {
        status = std::fclose(file_);
    } else {
        status = std::fflush(file_);
    }
    if (status != 0) {
        fail(errno);
    }
    file_ = nullptr;
    return !hasFailed();
}

}  // namespace blockavg
