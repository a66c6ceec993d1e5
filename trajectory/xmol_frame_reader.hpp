#pragma once

// Reads an XMOL (XYZ) trajectory one line at a time, by line kind: a count
// line, a comment line, then one atom line per atom. Reading is lenient: an
// item that cannot be read leaves its slot at the value last read, and a
// failed item fails the rest of its line. Only a count line that yields no
// count is a signal to the caller.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "trajectory/input_file.hpp"
#include "trajectory/reading_slots.hpp"

namespace blockavg {

class XmolFrameReader {
public:
    XmolFrameReader() = default;
    XmolFrameReader(const XmolFrameReader&) = delete;
    XmolFrameReader& operator=(const XmolFrameReader&) = delete;

    // Opens the named file, or standard input for "-". On failure the reader
    // is failed and errorMessage() gives the reason.
    bool open(const std::string& path);
    // Reads `bytes` rather than a file, at most `chunkSize` of them per read
    // (see InputFile::openBytes), starting with a read buffer of
    // `bufferSize` bytes (0: the usual size) so that short inputs can
    // exercise buffer growth. The caller keeps the bytes alive while reading.
    bool openBytes(std::string_view bytes, std::size_t chunkSize = static_cast<std::size_t>(-1),
                   std::size_t bufferSize = 0);
    void close() noexcept;

    // True once a line read has found nothing left (or the input could not be
    // opened or read). Reaching the end of a last line without a line feed
    // does not count as failed.
    bool failed() const noexcept { return state_ == State::failed; }

    // The count line: one integer item, which must not be negative.
    bool readCountLine(std::int32_t& count);
    // The comment line: word, step label, word, box tag, box value.
    void readCommentLine();
    // The atom line: name, x, y, z.
    void readAtomLine();

    const ReadingSlots& slots() const noexcept { return slots_; }

    // Beyond the lenient reading, for the caller's reports:
    // the input failed because it could not be read (not because it ended),
    bool hasReadError() const noexcept { return !error_.empty(); }
    const std::string& errorMessage() const noexcept { return error_; }
    // whether `path` names the input file itself,
    bool isReading(const std::string& path) const { return input_.isSameFileAs(path); }
    // the number of lines read so far (the last one read included),
    std::uint64_t lineNumber() const noexcept { return lineNumber_; }
    // whether the last line read holds anything but white space,
    bool lastLineHasContent() const noexcept;
    // and whether anything but white space is left to read. Consumes the
    // white space it passes over.
    bool hasContentAhead();

private:
    enum class State { good, atEnd, failed };

    std::string_view readLine();
    bool startReading(std::size_t bufferSize);
    bool refill();
    void failWith(std::string message);

    InputFile input_;
    State state_ = State::failed;
    bool endOfData_ = false;

    // Unread data is buffer_[begin_, end_); buffer_[begin_, scanned_) is
    // known to hold no line feed.
    std::vector<char> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::size_t scanned_ = 0;
    std::string_view line_;
    std::uint64_t lineNumber_ = 0;

    ReadingSlots slots_;
    std::string error_;
};

}  // namespace blockavg
