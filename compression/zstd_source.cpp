// zstd input (Debian's libzstd-dev), frames one after another read as one
// stream, as zstd -d reads them, with windows up to 2 GiB.

#include <zstd.h>
#include <zstd_errors.h>

#include <string>
#include <utility>

#include "compression/decompressing_source.hpp"
#include "compression/decompression.hpp"

namespace blockavg {
namespace {

class ZstdSource final : public DecompressingSource {
public:
    ZstdSource(ByteSource& raw, std::string start)
        : DecompressingSource(raw, std::move(start)), stream_(ZSTD_createDStream()) {
        if (stream_ == nullptr) {
            throw std::bad_alloc();
        }
        // Windows up to 2 GiB, as zstd --long=31 writes and zstd -d --long=31
        // reads (the library's default stops at 128 MiB). The decoder takes
        // memory as large as the window only for a frame that needs it.
        const int windowLogMax = sizeof(std::size_t) >= 8 ? 31 : 30;
        if (ZSTD_isError(ZSTD_DCtx_setParameter(stream_, ZSTD_d_windowLogMax, windowLogMax)) != 0) {
            ZSTD_freeDStream(stream_);
            throw std::bad_alloc();
        }
    }
    ZstdSource(const ZstdSource&) = delete;
    ZstdSource& operator=(const ZstdSource&) = delete;
    ~ZstdSource() override { ZSTD_freeDStream(stream_); }

    std::ptrdiff_t readSome(char* buffer, std::size_t size) override {
        if (failed()) {
            return -1;
        }
        for (;;) {
            if (compressedSize() == 0 && !refill()) {
                return finish(frameEnded_, "zstd");
            }
            ZSTD_inBuffer in{compressed(), compressedSize(), 0};
            ZSTD_outBuffer out{buffer, size, 0};
            const std::size_t result = ZSTD_decompressStream(stream_, &out, &in);
            take(in.pos);
            if (ZSTD_isError(result) != 0) {
                if (ZSTD_getErrorCode(result) == ZSTD_error_memory_allocation) {
                    return damaged(
                        "out of memory while reading the zstd data (a frame takes as much "
                        "memory as its window, which zstd --long makes up to 2 GiB)",
                        out.pos);
                }
                return damaged(
                    std::string("the zstd data is damaged (") + ZSTD_getErrorName(result) + ")",
                    out.pos);
            }
            frameEnded_ = result == 0;
            if (out.pos > 0) {
                return static_cast<std::ptrdiff_t>(out.pos);
            }
        }
    }

private:
    ZSTD_DStream* stream_;
    bool frameEnded_ = false;
};

}  // namespace

std::unique_ptr<ByteSource> makeZstdSource(ByteSource& raw, std::string start,
                                           unsigned /*threads*/) {
    return std::make_unique<ZstdSource>(raw, std::move(start));
}

}  // namespace blockavg
