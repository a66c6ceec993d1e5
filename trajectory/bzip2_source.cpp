// bzip2 input (Debian's libbz2-dev), streams one after another (as pbzip2
// writes them) read as one, as bzip2 -d reads them.

#include <bzlib.h>

#include <climits>
#include <string>
#include <utility>

#include "trajectory/compressed_input.hpp"
#include "trajectory/decompression.hpp"

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

class Bzip2Source final : public ByteSource {
public:
    Bzip2Source(ByteSource& raw, std::string start) : raw_(raw), input_(raw, std::move(start)) {
        startStream();
    }
    Bzip2Source(const Bzip2Source&) = delete;
    Bzip2Source& operator=(const Bzip2Source&) = delete;
    ~Bzip2Source() override { BZ2_bzDecompressEnd(&stream_); }

    std::ptrdiff_t readSome(char* buffer, std::size_t size) override {
        if (!error_.empty()) {
            return -1;
        }
        for (;;) {
            if (streamEnded_) {
                // A stream has ended: another may follow.
                if (input_.size() == 0 && !input_.refill()) {
                    return input_.finish(streamEnded_, "bzip2", error_);
                }
                BZ2_bzDecompressEnd(&stream_);
                startStream();
            }
            if (input_.size() == 0 && !input_.refill()) {
                return input_.finish(streamEnded_, "bzip2", error_);
            }
            const auto available =
                static_cast<unsigned int>(std::min<std::size_t>(input_.size(), UINT_MAX));
            const auto room = static_cast<unsigned int>(std::min<std::size_t>(size, UINT_MAX));
            stream_.next_in = const_cast<char*>(reinterpret_cast<const char*>(input_.data()));
            stream_.avail_in = available;
            stream_.next_out = buffer;
            stream_.avail_out = room;
            const int result = BZ2_bzDecompress(&stream_);
            input_.take(available - stream_.avail_in);
            if (result != BZ_OK && result != BZ_STREAM_END) {
                // The text before the damage comes first, however the bytes came.
                error_ = damage(result);
                return room > stream_.avail_out
                           ? static_cast<std::ptrdiff_t>(room - stream_.avail_out)
                           : -1;
            }
            streamEnded_ = result == BZ_STREAM_END;
            if (room > stream_.avail_out) {
                return static_cast<std::ptrdiff_t>(room - stream_.avail_out);
            }
        }
    }

    bool isSameFileAs(const std::string& path) const override { return raw_.isSameFileAs(path); }
    std::string errorMessage() const override { return error_; }
    bool checksItsBytes() const override { return true; }
    bool mayWait() const override { return raw_.mayWait(); }

private:
    void startStream() {
        stream_ = bz_stream{};
        if (BZ2_bzDecompressInit(&stream_, 0, 0) != BZ_OK) {
            throw std::bad_alloc();
        }
        streamEnded_ = false;
    }

    ByteSource& raw_;
    CompressedInput input_;
    bz_stream stream_{};
    bool streamEnded_ = false;
    std::string error_;
};

}  // namespace

std::unique_ptr<ByteSource> makeBzip2Source(ByteSource& raw, std::string start) {
    return std::make_unique<Bzip2Source>(raw, std::move(start));
}

}  // namespace blockavg
