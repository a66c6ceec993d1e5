#include "trajectory/xmol_frame_reader.hpp"

#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

#include "trajectory/xmol_items.hpp"

namespace blockavg {
namespace {

// Large enough that reading costs little per byte, small enough to stay in
// cache while its lines are parsed. Longer lines grow the buffer.
constexpr std::size_t initialBufferSize = std::size_t{1} << 18;

std::string systemReason(int errorNumber) { return std::generic_category().message(errorNumber); }

}  // namespace

bool XmolFrameReader::open(const std::string& path) {
    if (!input_.open(path)) {
        failWith(systemReason(input_.errorNumber()));
        return false;
    }
    return startReading(initialBufferSize);
}

bool XmolFrameReader::openBytes(std::string_view bytes, std::size_t chunkSize,
                                std::size_t bufferSize) {
    input_.openBytes(bytes, chunkSize);
    return startReading(bufferSize == 0 ? initialBufferSize : bufferSize);
}

// Sets up the buffer for a freshly opened input.
bool XmolFrameReader::startReading(std::size_t bufferSize) {
    try {
        buffer_.assign(bufferSize, '\0');
    } catch (const std::bad_alloc&) {
        input_.close();
        failWith(systemReason(ENOMEM));
        return false;
    }
    begin_ = end_ = scanned_ = 0;
    endOfData_ = false;
    state_ = State::good;
    error_.clear();
    return true;
}

void XmolFrameReader::close() noexcept { input_.close(); }

void XmolFrameReader::failWith(std::string message) {
    state_ = State::failed;
    error_ = std::move(message);
    line_ = {};
}

// Moves the unread data to the front of the buffer, grows the buffer when
// the data fills it, and reads more. False when nothing more could be read.
bool XmolFrameReader::refill() {
    if (begin_ > 0) {
        const std::size_t kept = end_ - begin_;
        std::memmove(buffer_.data(), buffer_.data() + begin_, kept);
        end_ = kept;
        scanned_ -= begin_;
        begin_ = 0;
    }
    if (end_ == buffer_.size()) {
        try {
            buffer_.resize(buffer_.size() * 2);
        } catch (const std::bad_alloc&) {
            failWith("line " + std::to_string(lineNumber_ + 1) + " is too long to hold in memory");
            return false;
        }
    }
    const std::ptrdiff_t got = input_.readSome(buffer_.data() + end_, buffer_.size() - end_);
    if (got < 0) {
        failWith(systemReason(input_.errorNumber()));
        return false;
    }
    if (got == 0) {
        endOfData_ = true;
    }
    end_ += static_cast<std::size_t>(got);
    return got > 0;
}

// Takes the bytes up to the next line feed. A read that finds nothing left
// fails the input and yields an empty line.
std::string_view XmolFrameReader::readLine() {
    if (state_ != State::good) {
        state_ = State::failed;
        line_ = {};
        return line_;
    }
    for (;;) {
        const char* data = buffer_.data();
        const void* lineFeed = std::memchr(data + scanned_, '\n', end_ - scanned_);
        if (lineFeed != nullptr) {
            const auto at = static_cast<std::size_t>(static_cast<const char*>(lineFeed) - data);
            line_ = std::string_view(data + begin_, at - begin_);
            begin_ = scanned_ = at + 1;
            ++lineNumber_;
            return line_;
        }
        scanned_ = end_;
        if (endOfData_) {
            if (begin_ == end_) {
                state_ = State::failed;
                line_ = {};
                return line_;
            }
            line_ = std::string_view(data + begin_, end_ - begin_);
            begin_ = scanned_ = end_;
            state_ = State::atEnd;
            ++lineNumber_;
            return line_;
        }
        if (!refill() && state_ == State::failed) {
            return line_;
        }
    }
}

bool XmolFrameReader::readCountLine(std::int32_t& count) {
    LineCursor cursor(readLine());
    std::int32_t value = 0;
    if (!readIntegerItem(cursor, value) || value < 0) {
        return false;
    }
    count = value;
    return true;
}

void XmolFrameReader::readCommentLine() {
    LineCursor cursor(readLine());
    std::string_view word;
    if (!readWordItem(cursor, word) || !readWordItem(cursor, word)) {
        return;
    }
    slots_.stepLabel.assign(word);
    if (!readWordItem(cursor, word) || !readWordItem(cursor, word)) {
        return;
    }
    slots_.boxTag.assign(word);
    readRealItem(cursor, slots_.boxValue);
}

void XmolFrameReader::readAtomLine() {
    LineCursor cursor(readLine());
    std::string_view name;
    if (!readWordItem(cursor, name)) {
        return;
    }
    slots_.atomName.assign(name);
    if (readRealItem(cursor, slots_.atomX) && readRealItem(cursor, slots_.atomY)) {
        readRealItem(cursor, slots_.atomZ);
    }
}

bool XmolFrameReader::lastLineHasContent() const noexcept {
    for (const char c : line_) {
        if (!isItemSpace(c)) {
            return true;
        }
    }
    return false;
}

bool XmolFrameReader::hasContentAhead() {
    if (state_ != State::good) {
        return false;
    }
    line_ = {};  // a refill below may move what it points at
    for (;;) {
        for (; begin_ < end_; ++begin_) {
            if (!isItemSpace(buffer_[begin_])) {
                scanned_ = begin_;
                return true;
            }
        }
        scanned_ = begin_;
        if (endOfData_ || !refill()) {
            return false;
        }
    }
}

}  // namespace blockavg
