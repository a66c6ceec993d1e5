// zstd input (Debian's libzstd-dev), frames one after another read as one
// stream, as zstd -d reads them, with windows up to 2 GiB. A frame's text
// counts as checked once the frame has ended: libzstd has then compared its
// checksum, when the frame has one (zstd writes one unless told
// --no-check).

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <new>
#include <string>

#include "compression/decoder.hpp"

namespace blockavg {
namespace {

class ZstdDecoder final : public Decoder {
public:
    ZstdDecoder() : stream_(ZSTD_createDStream()) {
        if (stream_ == nullptr) {
            throw std::bad_alloc();
        }
        // Windows up to 2 GiB, as zstd --long=31 writes and zstd -d --long=31
        // reads (the library's default stops at 128 MiB). The decoder takes
        // memory as large as the window only for a frame that needs it.
        const int windowLogMax = sizeof(std::size_t) >= 8 ? 31 : 30;
        ZSTD_DCtx_setParameter(stream_, ZSTD_d_windowLogMax, windowLogMax);
    }
    ~ZstdDecoder() override { ZSTD_freeDStream(stream_); }

    Step step(std::span<const unsigned char> in, std::uint64_t at, Flow flow, std::span<char> out,
              bool /*unitsInFlight*/, Unit& /*fresh*/) override {
        Step taken;
        if (in.empty() && flow == Flow::ended && frameEnded_) {
            taken.event = Event::ended;
            return taken;
        }
        // At most one step of a frame at a time (a block's header, its
        // bytes, the checksum), as the library asks, and none while text it
        // holds may wait to be given: a call that fails counts none of the
        // text it gave, so the text before damage is then every block's
        // before it, however the input arrived.
        const std::size_t given = textWaits_ ? 0 : std::min(in.size(), nextStep_);
        ZSTD_inBuffer input{in.data(), given, 0};
        ZSTD_outBuffer output{out.data(), out.size(), 0};
        // Without input the library may still hold text to give.
        const std::size_t result = ZSTD_decompressStream(stream_, &output, &input);
        taken.used = input.pos;
        taken.produced = output.pos;
        textWaits_ = !out.empty() && output.pos == out.size();
        nextStep_ = result == 0 || ZSTD_isError(result) != 0 ? 1 : result;
        if (ZSTD_isError(result) != 0) {
            taken.event = Event::failed;
            if (ZSTD_getErrorCode(result) == ZSTD_error_memory_allocation) {
                taken.problem = {Fault::outOfMemory,
                                 "a frame takes as much memory as its window, which zstd --long "
                                 "makes up to 2 GiB",
                                 "frame", frameAt_};
            } else {
                taken.problem = {Fault::damaged, ZSTD_getErrorName(result), "frame", frameAt_};
            }
            return taken;
        }
        // A frame ends whole, and so its checksum passed, where the library
        // returns 0 for the text it gave or the bytes it took.
        if (result == 0 && (!frameEnded_ || taken.used > 0 || taken.produced > 0)) {
            frameEnded_ = true;
            frameAt_ = at + taken.used;
            taken.event = Event::checked;
        } else if (taken.used > 0) {
            frameEnded_ = false;
        }
        if (taken.event == Event::going && taken.produced == 0 && taken.used == in.size()) {
            taken.event = Event::more;
            if (flow == Flow::ended) {
                taken.event = frameEnded_ ? Event::ended : Event::failed;
                taken.problem = {Fault::cutShort, "", "frame", frameAt_};
            }
        }
        return taken;
    }

private:
    ZSTD_DStream* stream_;
    bool frameEnded_ = true;    // between frames
    std::size_t nextStep_ = 1;  // the input the library asks for next
    bool textWaits_ = false;    // the last call filled the text's room
    std::uint64_t frameAt_ = 0;
};

}  // namespace

std::unique_ptr<Decoder> makeZstdDecoder() { return std::make_unique<ZstdDecoder>(); }

}  // namespace blockavg
