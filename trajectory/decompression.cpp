#include "trajectory/decompression.hpp"

#include <algorithm>
#include <array>
#include <utility>

namespace blockavg {
namespace {

// How a format's stream starts. In a pattern, '?' stands for the block size
// digit of bzip2 ('1' to '9'), `alternatives` for bytes that may follow.
struct Signature {
    Compression compression;
    std::string_view start;
    std::array<std::string_view, 2> then;
};

using namespace std::string_view_literals;

constexpr std::array<Signature, 5> signatures = {{
    {Compression::gzip, "\x1f\x8b"sv, {""sv, ""sv}},
    {Compression::zstd, "\x28\xb5\x2f\xfd"sv, {""sv, ""sv}},
    // A zstd skippable frame: a first byte from 0x50 to 0x5f, written '?'.
    {Compression::zstd, "?\x2a\x4d\x18"sv, {""sv, ""sv}},
    {Compression::xz, "\xfd\x37\x7a\x58\x5a\x00"sv, {""sv, ""sv}},
    // "BZh", the block size, then a block or the end of the stream.
    {Compression::bzip2, "BZh?"sv, {"\x31\x41\x59\x26\x53\x59"sv, "\x17\x72\x45\x38\x50\x90"sv}},
}};

bool byteMatches(Compression compression, char pattern, char byte) noexcept {
    if (pattern != '?') {
        return pattern == byte;
    }
    const auto value = static_cast<unsigned char>(byte);
    return compression == Compression::bzip2 ? value >= '1' && value <= '9'
                                             : value >= 0x50 && value <= 0x5f;
}

// Whether `start` matches `pattern` as far as both go; `whole` when all of
// the pattern was there.
bool matches(Compression compression, std::string_view pattern, std::string_view start,
             bool& whole) noexcept {
    const std::size_t length = std::min(pattern.size(), start.size());
    for (std::size_t at = 0; at < length; ++at) {
        if (!byteMatches(compression, pattern[at], start[at])) {
            return false;
        }
    }
    whole = start.size() >= pattern.size();
    return true;
}

// The input as it is: the bytes read to tell its format, then the rest,
// or the end or the error that reading them met.
class ReplayingSource final : public ByteSource {
public:
    ReplayingSource(ByteSource& raw, std::string start, std::ptrdiff_t last)
        : raw_(raw), start_(std::move(start)), last_(last) {
        if (last_ < 0) {
            error_ = raw_.errorMessage();
        }
    }

    std::ptrdiff_t readSome(char* buffer, std::size_t size) override {
        if (given_ == start_.size()) {
            // A terminal's end of input is not for good: it is kept here.
            return last_ > 0 ? raw_.readSome(buffer, size) : last_;
        }
        const std::size_t count = std::min(size, start_.size() - given_);
        std::copy_n(start_.data() + given_, count, buffer);
        given_ += count;
        return static_cast<std::ptrdiff_t>(count);
    }
    bool isSameFileAs(const std::string& path) const override { return raw_.isSameFileAs(path); }
    std::string errorMessage() const override {
        return error_.empty() ? raw_.errorMessage() : error_;
    }
    bool mayWait() const override { return raw_.mayWait(); }
    bool checksItsBytes() const override { return raw_.checksItsBytes(); }
    std::string endNote() const override { return raw_.endNote(); }

private:
    ByteSource& raw_;
    std::string start_;
    std::ptrdiff_t last_;  // what the last read gave: positive, 0 at the end, -1 on an error
    std::string error_;
    std::size_t given_ = 0;
};

}  // namespace

std::optional<Compression> detectCompression(std::string_view start, bool complete) noexcept {
    bool undecided = false;
    for (const Signature& signature : signatures) {
        bool whole = false;
        if (!matches(signature.compression, signature.start, start, whole)) {
            continue;
        }
        if (!whole) {
            undecided = true;
            continue;
        }
        if (signature.then[0].empty()) {
            return signature.compression;
        }
        const std::string_view rest = start.substr(signature.start.size());
        for (const std::string_view then : signature.then) {
            if (matches(signature.compression, then, rest, whole)) {
                if (whole) {
                    return signature.compression;
                }
                undecided = true;
            }
        }
    }
    if (undecided && !complete) {
        return std::nullopt;
    }
    return Compression::none;
}

const char* compressionName(Compression compression) noexcept {
    switch (compression) {
        case Compression::gzip:
            return "gzip";
        case Compression::zstd:
            return "zstd";
        case Compression::xz:
            return "xz";
        case Compression::bzip2:
            return "bzip2";
        case Compression::none:
            break;
    }
    return "plain";
}

bool canDecompress(Compression compression) noexcept {
    // By Compression's order: none, gzip, zstd, xz, bzip2.
    constexpr bool available[] = {true, BLOCKAVG_HAVE_GZIP, BLOCKAVG_HAVE_ZSTD, BLOCKAVG_HAVE_XZ,
                                  BLOCKAVG_HAVE_BZIP2};
    return available[static_cast<int>(compression)];
}

std::unique_ptr<ByteSource> decompressingSource(Compression compression, ByteSource& raw,
                                                std::string start) {
    switch (compression) {
#if BLOCKAVG_HAVE_GZIP
        case Compression::gzip:
            return makeGzipSource(raw, std::move(start));
#endif
#if BLOCKAVG_HAVE_ZSTD
        case Compression::zstd:
            return makeZstdSource(raw, std::move(start));
#endif
#if BLOCKAVG_HAVE_XZ
        case Compression::xz:
            return makeXzSource(raw, std::move(start));
#endif
#if BLOCKAVG_HAVE_BZIP2
        case Compression::bzip2:
            return makeBzip2Source(raw, std::move(start));
#endif
        default:
            break;
    }
    return std::make_unique<ReplayingSource>(raw, std::move(start), 1);
}

DecodedInput openText(ByteSource& raw) {
    // Enough to tell any format by; a pipe is read only as far as needed.
    constexpr std::size_t enough = 16;
    std::string start;
    std::ptrdiff_t got = 1;
    std::optional<Compression> compression;
    while (!(compression = detectCompression(start, false))) {
        char bytes[enough];
        got = raw.readSome(bytes, enough - start.size());
        if (got <= 0) {
            compression = detectCompression(start, true);
            break;
        }
        start.append(bytes, static_cast<std::size_t>(got));
    }
    DecodedInput text;
    text.compression = *compression;
    if (text.compression == Compression::none) {
        text.source = std::make_unique<ReplayingSource>(raw, std::move(start), got);
    } else if (canDecompress(text.compression)) {
        text.source = decompressingSource(text.compression, raw, std::move(start));
    }
    return text;
}

}  // namespace blockavg
