#include "io/output_file.hpp"

#include <cerrno>
#include <system_error>

// What the platforms share: counting what was sent and what counts as
// written. The descriptor calls are in io/posix/ and io/win32/.

namespace blockavg {

void OutputFile::countSent(std::size_t sent, std::span<const std::size_t> frameEnds,
                           std::size_t& endsPassed) noexcept {
    std::size_t passed = endsPassed;
    while (passed < frameEnds.size() && frameEnds[passed] <= sent) {
        ++passed;
    }
    if (passed > endsPassed) {
        framesSent_ += static_cast<std::int64_t>(passed - endsPassed);
        wholeEnd_ = sentBefore_ + static_cast<std::int64_t>(frameEnds[passed - 1]);
        endsPassed = passed;
    }
    if (!truncatable_) {
        // What a FIFO's reader was sent is its own: it counts at once.
        if (committed().writes != framesSent_) {
            publish({wholeEnd_, framesSent_});
        }
        sentOfNext_ = sentBefore_ + static_cast<std::int64_t>(sent) - wholeEnd_;
    }
}

void OutputFile::commit() noexcept {
    // On Windows a console control handler, on a thread of its own, reads
    // what is committed under this lock; on POSIX systems nothing else takes
    // it, and a signal handler never does.
    const std::lock_guard<std::mutex> lock(writing_);
    if (truncatable_ && committed().writes != framesSent_) {
        publish({wholeEnd_, framesSent_});
    }
}

void OutputFile::resetCounts() noexcept {
    committed_[0] = {};
    current_.store(0);
    sentBefore_ = 0;
    wholeEnd_ = 0;
    framesSent_ = 0;
    sentOfNext_ = 0;
    cutBack_ = false;
    error_ = 0;
}

void OutputFile::abandonAt(SinkPlace place) noexcept {
    {
        const std::lock_guard<std::mutex> lock(writing_);
        if (truncatable_ && place.frames < committed().writes) {
            publish({place.bytes, place.frames});
        }
    }
    cutBack();
}

std::string OutputFile::errorMessage() const {
    return std::generic_category().message(error_ != 0 ? error_ : EIO);
}

}  // namespace blockavg
