#include "tests/support/reference_codecs.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#if BLOCKAVG_FUZZ_ZLIB
#include <zlib.h>
#endif
#if BLOCKAVG_HAVE_ZSTD
#include <zstd.h>
#include <zstd_errors.h>
#endif
#if BLOCKAVG_HAVE_XZ
#include <lzma.h>
#endif
#if BLOCKAVG_HAVE_BZIP2
#include <bzlib.h>
#endif

namespace blockavg::fuzzing {
namespace {

// More text than this is more than a fuzz input may make (the checks skip
// inputs of more than 1 MiB of text).
constexpr std::size_t textLimit = std::size_t{4} << 20;

// Where the text goes: counted, not kept.
struct Scratch {
    std::vector<unsigned char> buffer = std::vector<unsigned char>(std::size_t{1} << 16);
    std::size_t total = 0;
    bool full(std::size_t produced) {
        total += produced;
        return total > textLimit;
    }
};

#if BLOCKAVG_FUZZ_ZLIB
WholeDecode gzip(std::string_view bytes) {
    Scratch scratch;
    const auto* next = reinterpret_cast<const Bytef*>(bytes.data());
    std::size_t left = bytes.size();
    for (;;) {
        z_stream stream{};
        // 16 + 15: a gzip wrapper, zlib reading the header and the trailer.
        if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) {
            return WholeDecode::tooLarge;
        }
        stream.next_in = const_cast<Bytef*>(next);
        stream.avail_in = static_cast<uInt>(left);
        int result = Z_OK;
        while (result == Z_OK) {
            stream.next_out = scratch.buffer.data();
            stream.avail_out = static_cast<uInt>(scratch.buffer.size());
            result = inflate(&stream, Z_NO_FLUSH);
            if (scratch.full(scratch.buffer.size() - stream.avail_out)) {
                inflateEnd(&stream);
                return WholeDecode::tooLarge;
            }
        }
        next = stream.next_in;
        left = stream.avail_in;
        inflateEnd(&stream);
        if (result != Z_STREAM_END) {
            return WholeDecode::damaged;
        }
        // Another member starts with 1f 8b; anything else is passed over,
        // but for a member with one of its identifying bytes damaged.
        if (left > 2 && (next[0] == 0x1f) != (next[1] == 0x8b) && next[2] == 0x08) {
            return WholeDecode::damaged;
        }
        if (left == 0 || next[0] != 0x1f || (left > 1 && next[1] != 0x8b)) {
            return WholeDecode::whole;
        }
    }
}
#endif

#if BLOCKAVG_HAVE_ZSTD
WholeDecode zstd(std::string_view bytes) {
    Scratch scratch;
    ZSTD_DCtx* context = ZSTD_createDCtx();
    // A smaller limit than blockavg's: frames that need more memory than a
    // fuzz run may take are skipped, not decoded.
    ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, 26);
    ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
    WholeDecode decoded = WholeDecode::whole;
    for (;;) {
        ZSTD_outBuffer out{scratch.buffer.data(), scratch.buffer.size(), 0};
        const std::size_t result = ZSTD_decompressStream(context, &out, &in);
        if (ZSTD_isError(result) != 0) {
            decoded = ZSTD_getErrorCode(result) == ZSTD_error_frameParameter_windowTooLarge
                          ? WholeDecode::tooLarge
                          : WholeDecode::damaged;
            break;
        }
        if (scratch.full(out.pos)) {
            decoded = WholeDecode::tooLarge;
            break;
        }
        // No progress with input left means the output must be taken.
        if (in.pos == in.size && out.pos < out.size) {
            decoded = result == 0 ? WholeDecode::whole : WholeDecode::damaged;
            break;
        }
    }
    ZSTD_freeDCtx(context);
    return decoded;
}
#endif

#if BLOCKAVG_HAVE_XZ
WholeDecode xz(std::string_view bytes) {
    Scratch scratch;
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_stream_decoder(&stream, std::uint64_t{256} << 20, LZMA_CONCATENATED) != LZMA_OK) {
        return WholeDecode::tooLarge;
    }
    stream.next_in = reinterpret_cast<const std::uint8_t*>(bytes.data());
    stream.avail_in = bytes.size();
    lzma_ret result = LZMA_OK;
    while (result == LZMA_OK) {
        stream.next_out = scratch.buffer.data();
        stream.avail_out = scratch.buffer.size();
        result = lzma_code(&stream, LZMA_FINISH);
        if (scratch.full(scratch.buffer.size() - stream.avail_out)) {
            result = LZMA_MEMLIMIT_ERROR;
        }
    }
    lzma_end(&stream);
    if (result == LZMA_STREAM_END) {
        return WholeDecode::whole;
    }
    return result == LZMA_MEMLIMIT_ERROR || result == LZMA_MEM_ERROR ? WholeDecode::tooLarge
                                                                     : WholeDecode::damaged;
}
#endif

#if BLOCKAVG_HAVE_BZIP2
WholeDecode bzip2(std::string_view bytes) {
    Scratch scratch;
    const char* next = bytes.data();
    std::size_t left = bytes.size();
    // Zeros after a stream pad the file.
    while (left > 0 && std::any_of(next, next + left, [](char byte) { return byte != 0; })) {
        bz_stream stream{};
        if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) {
            return WholeDecode::tooLarge;
        }
        stream.next_in = const_cast<char*>(next);
        stream.avail_in = static_cast<unsigned int>(left);
        int result = BZ_OK;
        while (result == BZ_OK) {
            stream.next_out = reinterpret_cast<char*>(scratch.buffer.data());
            stream.avail_out = static_cast<unsigned int>(scratch.buffer.size());
            const unsigned int before = stream.avail_in;
            result = BZ2_bzDecompress(&stream);
            const std::size_t produced = scratch.buffer.size() - stream.avail_out;
            if (scratch.full(produced)) {
                result = BZ_MEM_ERROR;
            } else if (result == BZ_OK && stream.avail_in == 0 && produced == 0 && before == 0) {
                result = BZ_UNEXPECTED_EOF;  // cut short
            }
        }
        next = stream.next_in;
        left = stream.avail_in;
        BZ2_bzDecompressEnd(&stream);
        if (result == BZ_MEM_ERROR) {
            return WholeDecode::tooLarge;
        }
        if (result != BZ_STREAM_END) {
            return WholeDecode::damaged;
        }
    }
    return WholeDecode::whole;
}
#endif

// One part of the text.
std::string_view part(std::string_view text, std::size_t units, std::size_t unit) {
    const std::size_t size = text.size() / units;
    return unit + 1 < units ? text.substr(unit * size, size) : text.substr(unit * size);
}

std::string encodePart(Compression compression, std::string_view text, bool sized) {
    std::string out(text.size() + text.size() / 2 + 1024, '\0');
    switch (compression) {
#if BLOCKAVG_FUZZ_ZLIB
        case Compression::gzip: {
            z_stream stream{};
            // 16 + 15: a gzip wrapper, with its trailer.
            if (deflateInit2(&stream, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) !=
                Z_OK) {
                return {};
            }
            stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
            stream.avail_in = static_cast<uInt>(text.size());
            stream.next_out = reinterpret_cast<Bytef*>(out.data());
            stream.avail_out = static_cast<uInt>(out.size());
            const int result = deflate(&stream, Z_FINISH);
            out.resize(stream.total_out);
            deflateEnd(&stream);
            return result == Z_STREAM_END ? out : std::string();
        }
#endif
#if BLOCKAVG_HAVE_ZSTD
        case Compression::zstd: {
            ZSTD_CCtx* context = ZSTD_createCCtx();
            ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
            const std::size_t size =
                ZSTD_compress2(context, out.data(), out.size(), text.data(), text.size());
            ZSTD_freeCCtx(context);
            if (ZSTD_isError(size) != 0) {
                return {};
            }
            out.resize(size);
            return out;
        }
#endif
#if BLOCKAVG_HAVE_XZ
        case Compression::xz: {
            lzma_stream stream = LZMA_STREAM_INIT;
            std::size_t size = 0;
            if (sized) {
                // The one-call encoder knows the sizes and writes them.
                if (lzma_easy_buffer_encode(1, LZMA_CHECK_CRC64, nullptr,
                                            reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size(),
                                            reinterpret_cast<std::uint8_t*>(out.data()), &size,
                                            out.size()) != LZMA_OK) {
                    return {};
                }
            } else {
                if (lzma_easy_encoder(&stream, 1, LZMA_CHECK_CRC64) != LZMA_OK) {
                    return {};
                }
                stream.next_in = reinterpret_cast<const std::uint8_t*>(text.data());
                stream.avail_in = text.size();
                stream.next_out = reinterpret_cast<std::uint8_t*>(out.data());
                stream.avail_out = out.size();
                const lzma_ret result = lzma_code(&stream, LZMA_FINISH);
                size = stream.total_out;
                lzma_end(&stream);
                if (result != LZMA_STREAM_END) {
                    return {};
                }
            }
            out.resize(size);
            return out;
        }
#endif
#if BLOCKAVG_HAVE_BZIP2
        case Compression::bzip2: {
            auto size = static_cast<unsigned int>(out.size());
            if (BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(text.data()),
                                         static_cast<unsigned int>(text.size()), 1, 0,
                                         0) != BZ_OK) {
                return {};
            }
            out.resize(size);
            return out;
        }
#endif
        default:
            break;
    }
    (void)sized;
    return {};
}

}  // namespace

std::string encodeWhole(Compression compression, std::string_view text, std::size_t units,
                        bool sized) {
    std::string encoded;
    for (std::size_t unit = 0; unit < units; ++unit) {
        const std::string piece = encodePart(compression, part(text, units, unit), sized);
        if (piece.empty()) {
            return {};
        }
        encoded += piece;
    }
    return encoded;
}

WholeDecode decodeWhole(Compression compression, std::string_view bytes) {
    switch (compression) {
#if BLOCKAVG_FUZZ_ZLIB
        case Compression::gzip:
            return gzip(bytes);
#endif
#if BLOCKAVG_HAVE_ZSTD
        case Compression::zstd:
            return zstd(bytes);
#endif
#if BLOCKAVG_HAVE_XZ
        case Compression::xz:
            return xz(bytes);
#endif
#if BLOCKAVG_HAVE_BZIP2
        case Compression::bzip2:
            return bzip2(bytes);
#endif
        default:
            break;
    }
    return WholeDecode::unchecked;
}

}  // namespace blockavg::fuzzing
