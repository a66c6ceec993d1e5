#pragma once

// Where averaged frames go: the output file, or anything else that takes
// bytes in order.

#include <string>
#include <string_view>

namespace blockavg {

class ByteSink {
public:
    ByteSink() = default;
    ByteSink(const ByteSink&) = delete;
    ByteSink& operator=(const ByteSink&) = delete;
    virtual ~ByteSink() = default;

    // Writes all of `bytes`: a whole frame when `endsFrame`, otherwise a
    // part of one, which counts as written only with the write that ends
    // its frame. False on failure, with errorMessage() telling why; the
    // sink then holds whole frames only, where it can be cut back.
    virtual bool write(std::string_view bytes, bool endsFrame) = 0;

    // Drops the parts written of a frame that will not be ended: the sink
    // is cut back to its last whole frame where it can be, and takes no
    // more writes.
    virtual void abandonFrame() noexcept = 0;

    // Why the last write() failed.
    virtual std::string errorMessage() const = 0;
};

}  // namespace blockavg
