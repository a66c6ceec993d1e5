#include "io/background_source.hpp"

#include <algorithm>
#include <exception>
#include <new>

#include "io/ending_signals.hpp"

namespace blockavg {
namespace {

constexpr std::size_t bufferCount = 4;
constexpr std::size_t bufferSize = std::size_t{1} << 20;

}  // namespace

BackgroundSource::BackgroundSource(ByteSource& inner, bool ownThread) : inner_(inner) {
    buffers_.resize(ownThread ? bufferCount : 1);
    for (Buffer& buffer : buffers_) {
        buffer.bytes.resize(bufferSize);
    }
    if (ownThread) {
        try {
            const EndingSignalsBlocked blocked;
            thread_ = std::thread([this] { readAhead(); });
        } catch (const std::exception&) {
            buffers_.resize(1);  // read as the reader asks
        }
    }
}

BackgroundSource::~BackgroundSource() {
    stopReading();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void BackgroundSource::stopReading() noexcept {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    inner_.stopReading();
}

void BackgroundSource::fill(std::unique_lock<std::mutex>& lock) {
    Buffer& buffer = buffers_[nextToFill_];
    lock.unlock();
    std::ptrdiff_t got = -1;
    bool outOfMemory = false;
    try {
        got = inner_.readSome(buffer.bytes.data(), buffer.bytes.size());
    } catch (const std::bad_alloc&) {
        // A decompressor's memory ran out: the reader is told on its own
        // thread, as it would be with no thread here.
        outOfMemory = true;
    }
    lock.lock();
    if (outOfMemory) {
        innerFailed_ = true;
        outOfMemory_ = true;
    } else if (got <= 0) {
        innerEnded_ = got == 0;
        innerFailed_ = got < 0;
        if (innerFailed_) {
            error_ = inner_.errorMessage();
        }
    } else {
        buffer.size = static_cast<std::size_t>(got);
        nextToFill_ = (nextToFill_ + 1) % buffers_.size();
        ++filled_;
    }
    changed_.notify_all();
}

void BackgroundSource::readAhead() {
    std::unique_lock lock(mutex_);
    while (!innerEnded_ && !innerFailed_) {
        changed_.wait(lock, [this] { return stopping_ || filled_ < buffers_.size(); });
        if (stopping_) {
            return;
        }
        fill(lock);
    }
}

std::ptrdiff_t BackgroundSource::readSome(char* buffer, std::size_t size) {
    std::unique_lock lock(mutex_);
    if (stopping_) {
        return 0;
    }
    if (!thread_.joinable() && filled_ == 0 && !innerEnded_ && !innerFailed_) {
        fill(lock);
    }
    changed_.wait(lock, [this] { return filled_ > 0 || innerEnded_ || innerFailed_ || stopping_; });
    if (stopping_) {
        return 0;
    }
    if (filled_ == 0) {
        if (outOfMemory_) {
            throw std::bad_alloc();
        }
        endGiven_ = !innerFailed_;
        return innerFailed_ ? -1 : 0;
    }
    const Buffer& filled = buffers_[nextToRead_];
    const std::size_t count = std::min(size, filled.size - readOffset_);
    // The buffer being read is not refilled until it is done, so the copy
    // needs no lock.
    lock.unlock();
    std::copy_n(filled.bytes.data() + readOffset_, count, buffer);
    lock.lock();
    readOffset_ += count;
    if (readOffset_ == filled.size) {
        readOffset_ = 0;
        nextToRead_ = (nextToRead_ + 1) % buffers_.size();
        --filled_;
        changed_.notify_all();
    }
    return static_cast<std::ptrdiff_t>(count);
}

std::string BackgroundSource::errorMessage() const { return error_; }

std::string BackgroundSource::endNote() const {
    // Only once the reader has been given the end (however far the thread
    // read ahead), and the lock orders the inner source's note before it.
    const std::lock_guard lock(mutex_);
    return endGiven_ ? inner_.endNote() : std::string();
}

}  // namespace blockavg
