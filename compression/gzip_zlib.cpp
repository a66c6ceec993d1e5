// gzip input inflated by zlib, for builds without ISA-L (the Windows
// build). The members and their headers are read in gzip_decoder.cpp, as
// with ISA-L; zlib inflates each member's raw deflate data, and the trailer
// (the CRC-32 and the length of the member's text) is checked here.

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <new>
#include <string>
#include <utility>

#include "compression/gzip_decoder.hpp"

namespace blockavg {
namespace {

class ZlibGzipDecoder final : public GzipDecoder {
public:
    ZlibGzipDecoder() {
        // Negative window bits: raw deflate data, no wrapper.
        if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) {
            throw std::bad_alloc();
        }
    }
    ~ZlibGzipDecoder() override { inflateEnd(&stream_); }

private:
    void startBody() override {
        inflateReset(&stream_);
        inBody_ = true;
        crc_ = crc32(0, Z_NULL, 0);
        length_ = 0;
        trailerGot_ = 0;
    }

    Inflated inflate(const unsigned char* in, std::size_t inSize, char* out,
                     std::size_t outSize) override {
        Inflated step;
        if (inBody_) {
            const auto available = static_cast<uInt>(std::min<std::size_t>(inSize, UINT_MAX));
            const auto room = static_cast<uInt>(std::min<std::size_t>(outSize, UINT_MAX));
            stream_.next_in = const_cast<Bytef*>(in);
            stream_.avail_in = available;
            stream_.next_out = reinterpret_cast<Bytef*>(out);
            stream_.avail_out = room;
            const int result = ::inflate(&stream_, Z_NO_FLUSH);
            step.used = available - stream_.avail_in;
            step.produced = room - stream_.avail_out;
            crc_ =
                crc32(crc_, reinterpret_cast<const Bytef*>(out), static_cast<uInt>(step.produced));
            length_ += static_cast<std::uint32_t>(step.produced);
            if (result == Z_MEM_ERROR) {
                throw std::bad_alloc();
            }
            if (result == Z_DATA_ERROR || result == Z_NEED_DICT || result == Z_STREAM_ERROR) {
                step.damage = stream_.msg != nullptr ? stream_.msg : "invalid data";
                return step;
            }
            if (result != Z_STREAM_END) {
                return step;  // Z_OK, or Z_BUF_ERROR: no progress without more
            }
            inBody_ = false;
        }
        // The trailer: the CRC-32, then the length modulo 2^32, least
        // significant byte first.
        while (trailerGot_ < sizeof trailer_ && step.used < inSize) {
            trailer_[trailerGot_++] = in[step.used++];
        }
        if (trailerGot_ < sizeof trailer_) {
            return step;
        }
        const auto field = [this](std::size_t at) {
            return std::uint32_t{trailer_[at]} | std::uint32_t{trailer_[at + 1]} << 8 |
                   std::uint32_t{trailer_[at + 2]} << 16 | std::uint32_t{trailer_[at + 3]} << 24;
        };
        if (field(0) != crc_ || field(4) != length_) {
            step.damage = "its checksum does not match";
            return step;
        }
        step.memberEnded = true;
        return step;
    }

    z_stream stream_{};
    bool inBody_ = false;
    uLong crc_ = 0;
    std::uint32_t length_ = 0;
    unsigned char trailer_[8] = {};
    std::size_t trailerGot_ = 0;
};

}  // namespace

std::unique_ptr<Decoder> makeGzipDecoder() { return std::make_unique<ZlibGzipDecoder>(); }

}  // namespace blockavg
