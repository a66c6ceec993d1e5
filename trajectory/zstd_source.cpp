// zstd input (Debian's libzstd-dev), frames one after another read as one
// stream, as zstd -d reads them.

#include <zstd.h>

#include <string>
#include <utility>

#include "trajectory/compressed_input.hpp"
#include "trajectory/decompression.hpp"

namespace blockavg {
namespace {

class ZstdSource final : public ByteSource {
public:
    ZstdSource(ByteSource& raw, std::string start)
        : raw_(raw), input_(raw, std::move(start)), stream_(ZSTD_createDStream()) {
        if (stream_ == nullptr) {
            throw std::bad_alloc();
        }
    }
    ZstdSource(const ZstdSource&) = delete;
    ZstdSource& operator=(const ZstdSource&) = delete;
    ~ZstdSource() override { ZSTD_freeDStream(stream_); }

    std::ptrdiff_t readSome(char* buffer, std::size_t size) override {
        if (!error_.empty()) {
            return -1;
        }
        for (;;) {
            if (input_.size() == 0 && !input_.refill()) {
                return input_.finish(frameEnded_, "zstd", error_);
            }
            ZSTD_inBuffer in{input_.data(), input_.size(), 0};
            ZSTD_outBuffer out{buffer, size, 0};
            const std::size_t result = ZSTD_decompressStream(stream_, &out, &in);
            input_.take(in.pos);
            if (ZSTD_isError(result) != 0) {
                // The text before the damage comes first, however the bytes came.
                error_ =
                    std::string("the zstd data is damaged (") + ZSTD_getErrorName(result) + ")";
                return out.pos > 0 ? static_cast<std::ptrdiff_t>(out.pos) : -1;
            }
            frameEnded_ = result == 0;
            if (out.pos > 0) {
                return static_cast<std::ptrdiff_t>(out.pos);
            }
        }
    }

    bool isSameFileAs(const std::string& path) const override { return raw_.isSameFileAs(path); }
    std::string errorMessage() const override { return error_; }
    bool checksItsBytes() const override { return true; }
    bool mayWait() const override { return raw_.mayWait(); }

private:
    ByteSource& raw_;
    CompressedInput input_;
    ZSTD_DStream* stream_;
    bool frameEnded_ = false;
    std::string error_;
};

}  // namespace

std::unique_ptr<ByteSource> makeZstdSource(ByteSource& raw, std::string start) {
    return std::make_unique<ZstdSource>(raw, std::move(start));
}

}  // namespace blockavg
