// xz input (Debian's liblzma-dev), streams one after another read as one,
// as xz -d reads them. With more than one processor, liblzma's threaded
// decoder takes the blocks whose headers give their sizes (what xz -T0,
// xz -T2 and pixz write) on as many threads, in order; a stream of one block
// (xz -T1) decodes on one of them, as before.

#include <lzma.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

#include "compression/decompressing_source.hpp"
#include "compression/decompression.hpp"

namespace blockavg {
namespace {

std::string damage(lzma_ret code) {
    switch (code) {
        case LZMA_MEM_ERROR:
            return "out of memory while reading the xz data";
        case LZMA_FORMAT_ERROR:
            return "the xz data is damaged (no xz header where one belongs)";
        case LZMA_OPTIONS_ERROR:
            return "the xz data uses options this build cannot read";
        case LZMA_DATA_ERROR:
            return "the xz data is damaged (corrupt data or a wrong checksum)";
        case LZMA_BUF_ERROR:
            return "the xz stream is cut short";
        default:
            return "the xz data cannot be read (liblzma error " +
                   std::to_string(static_cast<int>(code)) + ")";
    }
}

class XzSource final : public DecompressingSource {
public:
    XzSource(ByteSource& raw, std::string start, unsigned threads)
        : DecompressingSource(raw, std::move(start)) {
        lzma_ret started = LZMA_OK;
        if (threads > 1) {
            lzma_mt options{};
            options.flags = LZMA_CONCATENATED;
            options.threads = threads;
            // Each thread holds a block's text and its dictionary: up to a
            // quarter of the memory (as xz -d takes); a block that needs more
            // is decoded on one thread instead, never refused.
            options.memlimit_threading = std::max<std::uint64_t>(lzma_physmem() / 4, 64u << 20);
            options.memlimit_stop = UINT64_MAX;
            started = lzma_stream_decoder_mt(&stream_, &options);
        } else {
            started = lzma_stream_decoder(&stream_, UINT64_MAX, LZMA_CONCATENATED);
        }
        if (started != LZMA_OK) {
            throw std::bad_alloc();
        }
    }
    XzSource(const XzSource&) = delete;
    XzSource& operator=(const XzSource&) = delete;
    ~XzSource() override { lzma_end(&stream_); }

    std::ptrdiff_t readSome(char* buffer, std::size_t size) override {
        if (failed()) {
            return -1;
        }
        if (ended_) {
            return 0;
        }
        for (;;) {
            lzma_action action = LZMA_RUN;
            if (compressedSize() == 0 && !refill()) {
                if (failed()) {
                    return -1;
                }
                action = LZMA_FINISH;  // the decoder tells whether the stream was whole
            }
            stream_.next_in = compressed();
            stream_.avail_in = compressedSize();
            stream_.next_out = reinterpret_cast<std::uint8_t*>(buffer);
            stream_.avail_out = size;
            const lzma_ret result = lzma_code(&stream_, action);
            take(compressedSize() - stream_.avail_in);
            const std::size_t produced = size - stream_.avail_out;
            if (result == LZMA_STREAM_END) {
                ended_ = true;
                return static_cast<std::ptrdiff_t>(produced);
            }
            if (result != LZMA_OK) {
                return damaged(damage(result), produced);
            }
            if (produced > 0) {
                return static_cast<std::ptrdiff_t>(produced);
            }
        }
    }

private:
    lzma_stream stream_ = LZMA_STREAM_INIT;
    bool ended_ = false;
};

}  // namespace

std::unique_ptr<ByteSource> makeXzSource(ByteSource& raw, std::string start, unsigned threads) {
    return std::make_unique<XzSource>(raw, std::move(start), threads);
}

}  // namespace blockavg
