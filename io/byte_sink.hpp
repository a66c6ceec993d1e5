#pragma once

// Where averaged frames go: the output file, or anything else that takes
// bytes in order. A frame counts as written only once it has been sent
// whole and committed, so that however a run ends, what a sink that can be
// cut back holds is whole frames.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace blockavg {

// A place in what a sink was sent: the end of its first `frames` frames,
// `bytes` bytes in.
struct SinkPlace {
    std::int64_t frames = 0;
    std::int64_t bytes = 0;
};

class ByteSink {
public:
    ByteSink() = default;
    ByteSink(const ByteSink&) = delete;
    ByteSink& operator=(const ByteSink&) = delete;
    virtual ~ByteSink() = default;

    // Sends all of `bytes` on. `frameEnds` are the places in them, in order,
    // where frames end: the bytes before the first end a frame that earlier
    // writes began, those after the last begin one that a later write ends.
    // False on failure, with errorMessage() telling why; the frames sent
    // whole before it are counted.
    virtual bool write(std::string_view bytes, std::span<const std::size_t> frameEnds) = 0;

    // How many frames have been sent whole.
    virtual std::int64_t framesSent() const noexcept = 0;

    // The frames sent whole count as written: a cut back keeps them. A
    // sink that cannot be cut back (a FIFO, whose reader has what it was
    // sent) counts them as they go, and this does nothing.
    virtual void commit() noexcept = 0;

    // Whether frames count as written only once committed, rather than as
    // soon as they have gone out.
    virtual bool countsOnCommit() const noexcept = 0;

    // After a failure, or a frame that will not be ended: cuts the sink
    // back to its written frames where it can be, and takes no more writes.
    virtual void abandon() noexcept = 0;

    // The same, back to `place`, the end of a frame written earlier (damage
    // found in the input those after it were made from).
    virtual void abandonAt(SinkPlace place) noexcept = 0;

    // Why the last write() failed.
    virtual std::string errorMessage() const = 0;
};

}  // namespace blockavg
