// bzip2 input (Debian's libbz2-dev), streams one after another (as pbzip2
// writes them) read as one, as bzip2 -d reads them.

#include <bzlib.h>

#include <climits>
#include <string>
#include <utility>

#include "compression/decompressing_source.hpp"
#include "compression/decompression.hpp"

namespace blockavg {
namespace {

std::string damage(int code) {
    switch (code) {
        case BZ_MEM_ERROR:
            return "out of memory while reading the bzip2 data";
        case BZ_DATA_ERROR:
            return "the bzip2 data is damaged (corrupt data or a wrong checksum)";
        case BZ_DATA_ERROR_MAGIC:
            return "the bzip2 data is damaged (no bzip2 header where one belongs)";
        default:
            return "the bzip2 data cannot be read (libbz2 error " + std::to_string(code) + ")";
    }
}

class Bzip2Source final : public DecompressingSource {
public:
    Bzip2Source(ByteSource& raw, std::string start) : DecompressingSource(raw, std::move(start)) {
        startStream();
    }
    Bzip2Source(const Bzip2Source&) = delete;
    Bzip2Source& operator=(const Bzip2Source&) = delete;
    ~Bzip2Source() override { BZ2_bzDecompressEnd(&stream_); }

    std::ptrdiff_t readSome(char* buffer, std::size_t size) override {
        if (failed()) {
            return -1;
        }
        for (;;) {
            if (compressedSize() == 0 && !refill()) {
                return finish(streamEnded_, "bzip2");
            }
            if (streamEnded_) {
                // A stream has ended and another follows.
                BZ2_bzDecompressEnd(&stream_);
                startStream();
            }
            const auto available =
                static_cast<unsigned int>(std::min<std::size_t>(compressedSize(), UINT_MAX));
            const auto room = static_cast<unsigned int>(std::min<std::size_t>(size, UINT_MAX));
            stream_.next_in = const_cast<char*>(reinterpret_cast<const char*>(compressed()));
            stream_.avail_in = available;
            stream_.next_out = buffer;
            stream_.avail_out = room;
            const int result = BZ2_bzDecompress(&stream_);
            take(available - stream_.avail_in);
            const std::size_t produced = room - stream_.avail_out;
            if (result != BZ_OK && result != BZ_STREAM_END) {
                return damaged(damage(result), produced);
            }
            streamEnded_ = result == BZ_STREAM_END;
            if (produced > 0) {
                return static_cast<std::ptrdiff_t>(produced);
            }
        }
    }

private:
    void startStream() {
        stream_ = bz_stream{};
        if (BZ2_bzDecompressInit(&stream_, 0, 0) != BZ_OK) {
            throw std::bad_alloc();
        }
        streamEnded_ = false;
    }

    bz_stream stream_{};
    bool streamEnded_ = false;
};

}  // namespace

std::unique_ptr<ByteSource> makeBzip2Source(ByteSource& raw, std::string start, unsigned threads) {
    if (threads > 1) {
        return makeBzip2BlocksSource(raw, start, threads);
    }
    return std::make_unique<Bzip2Source>(raw, std::move(start));
}

}  // namespace blockavg
