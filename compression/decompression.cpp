#include "compression/decompression.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "compression/decompressing_source.hpp"
#include "host/available_memory.hpp"

namespace blockavg {
namespace {

// How a format's stream starts. In a pattern, '?' stands for the block size
// digit of bzip2 ('1' to '9'), or the last digit of a zstd skippable frame;
// `then` holds bytes one of which must follow, if any.
struct Signature {
    Compression compression;
    std::string_view start;
    std::array<std::string_view, 2> then;
};

using namespace std::string_view_literals;

constexpr std::array<Signature, 12> signatures = {{
    {Compression::gzip, "\x1f\x8b"sv, {""sv, ""sv}},
    {Compression::zstd, "\x28\xb5\x2f\xfd"sv, {""sv, ""sv}},
    // A zstd skippable frame: a first byte from 0x50 to 0x5f, written '?'.
    {Compression::zstd, "?\x2a\x4d\x18"sv, {""sv, ""sv}},
    {Compression::xz, "\xfd\x37\x7a\x58\x5a\x00"sv, {""sv, ""sv}},
    // "BZh", the block size, then a block or the end of the stream.
    {Compression::bzip2, "BZh?"sv, {"\x31\x41\x59\x26\x53\x59"sv, "\x17\x72\x45\x38\x50\x90"sv}},
    // An lz4 frame, and the legacy format of lz4 -l.
    {Compression::lz4, "\x04\x22\x4d\x18"sv, {""sv, ""sv}},
    {Compression::lz4, "\x02\x21\x4c\x18"sv, {""sv, ""sv}},
    // A zip entry, an empty archive, an archive split in parts.
    {Compression::zip, "PK\x03\x04"sv, {""sv, ""sv}},
    {Compression::zip, "PK\x05\x06"sv, {""sv, ""sv}},
    {Compression::zip, "PK\x07\x08"sv, {""sv, ""sv}},
    {Compression::sevenZip, "7z\xbc\xaf\x27\x1c"sv, {""sv, ""sv}},
    {Compression::compress, "\x1f\x9d"sv, {""sv, ""sv}},
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

enum class Match { no, maybe, yes };

// The lzma format of lzma and xz --format=lzma has no magic number: a
// 13-byte header of the coder's properties (a byte below 225), the
// dictionary size (four bytes, least significant first) and the text's size
// (eight bytes, all 0xff when unknown). It is told by the values such tools
// write: a dictionary of 2^n or 3 * 2^(n-1) bytes from 4 KiB to 1.5 GiB (so
// a second byte of zero, which no text has: 5d 00 00 80 00 for 8 MiB), and
// a size that is unknown or below 2^48.
Match matchesLzma(std::string_view start) noexcept {
    const auto byte = [start](std::size_t at) { return static_cast<unsigned char>(start[at]); };
    if (start.empty()) {
        return Match::maybe;
    }
    if (byte(0) >= 225 || (start.size() > 1 && byte(1) != 0)) {
        return Match::no;
    }
    if (start.size() < 5) {
        return Match::maybe;
    }
    const std::uint32_t dictionary = std::uint32_t{byte(1)} | std::uint32_t{byte(2)} << 8 |
                                     std::uint32_t{byte(3)} << 16 | std::uint32_t{byte(4)} << 24;
    bool plausible = false;
    for (int bits = 12; bits <= 30; ++bits) {
        const std::uint32_t power = std::uint32_t{1} << bits;
        plausible = plausible || dictionary == power || dictionary == power + power / 2;
    }
    if (!plausible) {
        return Match::no;
    }
    if (start.size() < 13) {
        return Match::maybe;
    }
    const std::string_view size = start.substr(5, 8);
    const bool unknown = size.find_first_not_of('\xff') == std::string_view::npos;
    return unknown || (byte(11) == 0 && byte(12) == 0) ? Match::yes : Match::no;
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
    // The same, for a source it owns (a decompressor's text).
    ReplayingSource(std::unique_ptr<ByteSource> owned, std::string start, std::ptrdiff_t last)
        : ReplayingSource(*owned, std::move(start), last) {
        owned_ = std::move(owned);
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
    // The bytes given again are the raw source's first ones.
    bool readsAtOffsets() const override { return last_ >= 0 && raw_.readsAtOffsets(); }
    std::ptrdiff_t readAt(std::uint64_t offset, char* buffer, std::size_t size) override {
        return raw_.readAt(offset, buffer, size);
    }
    bool mayWait() const override { return raw_.mayWait(); }
    std::uint64_t bytesTaken() const noexcept override { return raw_.bytesTaken(); }
    bool bytesWaiting() override { return given_ < start_.size() || raw_.bytesWaiting(); }
    std::ptrdiff_t readNow(char* buffer, std::size_t size) override {
        return given_ < start_.size() || last_ <= 0 ? readSome(buffer, size)
                                                    : raw_.readNow(buffer, size);
    }
    std::uint64_t checkedBytes() const noexcept override { return raw_.checkedBytes(); }
    bool damaged() const override { return raw_.damaged(); }
    bool decodes() const override { return raw_.decodes(); }
    std::string endNote() const override { return raw_.endNote(); }
    void stopReading(std::uint64_t onceChecked) noexcept override { raw_.stopReading(onceChecked); }
    void shareWork(unsigned helpers, const std::function<void()>& wake) override {
        raw_.shareWork(helpers, wake);
    }
    bool workWaiting() const noexcept override { return raw_.workWaiting(); }
    bool takeWork() override { return raw_.takeWork(); }

private:
    std::unique_ptr<ByteSource> owned_;
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
    switch (matchesLzma(start)) {
        case Match::yes:
            return Compression::lzma;
        case Match::maybe:
            undecided = true;
            break;
        case Match::no:
            break;
    }
    if (undecided && !complete) {
        return std::nullopt;
    }
    return Compression::none;
}

// By Compression's order: each one's name, and the command that writes its
// text to standard output, from a file named after it or from standard
// input (gzip reads compress's format, xz lzma's; funzip gives the first
// entry of a zip archive on standard input; 7z reads files only).
struct Tool {
    const char* name;
    const char* fromFile;
    const char* fromStandardInput;
};
constexpr Tool tools[] = {
    {"plain", "cat", "cat"},
    {"gzip", "gzip -dc", "gzip -dc"},
    {"zstd", "zstd -dc", "zstd -dc"},
    {"xz", "xz -dc", "xz -dc"},
    {"bzip2", "bzip2 -dc", "bzip2 -dc"},
    {"lz4", "lz4 -dc", "lz4 -dc"},
    {"zip", "unzip -p", "funzip"},
    {"lzma", "xz -dc", "xz -dc"},
    {"compress (.Z)", "gzip -dc", "gzip -dc"},
    {"7z", "7z x -so", ""},
};

const char* compressionName(Compression compression) noexcept {
    return tools[static_cast<int>(compression)].name;
}

bool isReadFormat(Compression compression) noexcept {
    return compression == Compression::gzip || compression == Compression::zstd ||
           compression == Compression::xz || compression == Compression::bzip2;
}

std::string decompressCommand(Compression compression, const std::string& path) {
    const Tool& tool = tools[static_cast<int>(compression)];
    return path.empty() ? tool.fromStandardInput : tool.fromFile + (" " + path);
}

bool canDecompress(Compression compression) noexcept {
    // By Compression's order: none, gzip, zstd, xz, bzip2.
    constexpr bool available[] = {true, BLOCKAVG_HAVE_GZIP, BLOCKAVG_HAVE_ZSTD, BLOCKAVG_HAVE_XZ,
                                  BLOCKAVG_HAVE_BZIP2};
    return compression == Compression::none ||
           (isReadFormat(compression) && available[static_cast<int>(compression)]);
}

std::unique_ptr<ByteSource> decompressingSource(Compression compression, ByteSource& raw,
                                                const std::string& start) {
    // What units in flight may hold: a quarter of what the process may
    // still take, as xz -d allows its threads; a unit that needs more is
    // decoded in place.
    const std::optional<std::uint64_t> available = availableMemory();
    const std::uint64_t budget = available ? *available / 4 : std::uint64_t{256} << 20;
    std::unique_ptr<Decoder> decoder;
    switch (compression) {
#if BLOCKAVG_HAVE_GZIP
        case Compression::gzip:
            decoder = makeGzipDecoder();
            break;
#endif
#if BLOCKAVG_HAVE_ZSTD
        case Compression::zstd:
            decoder = makeZstdDecoder();
            break;
#endif
#if BLOCKAVG_HAVE_XZ
        case Compression::xz:
            decoder = makeXzDecoder(budget);
            break;
#endif
#if BLOCKAVG_HAVE_BZIP2
        case Compression::bzip2:
            decoder = makeBzip2Decoder();
            break;
#endif
        default:
            return std::make_unique<ReplayingSource>(raw, start, 1);
    }
    return std::make_unique<DecompressingSource>(raw, start, std::move(decoder),
                                                 compressionName(compression), budget);
}

namespace {

// Reads the first bytes of `source` until they tell their compression;
// `got` is what the last read gave.
Compression readStart(ByteSource& source, std::string& start, std::ptrdiff_t& got) {
    // Enough to tell any format by; a pipe is read only as far as needed.
    constexpr std::size_t enough = 16;
    got = 1;
    std::optional<Compression> compression;
    while (!(compression = detectCompression(start, false))) {
        char bytes[enough];
        got = source.readSome(bytes, enough - start.size());
        if (got <= 0) {
            return *detectCompression(start, true);
        }
        start.append(bytes, static_cast<std::size_t>(got));
    }
    return *compression;
}

}  // namespace

DecodedInput openText(ByteSource& raw) {
    std::string start;
    std::ptrdiff_t got = 1;
    DecodedInput text;
    text.compression = readStart(raw, start, got);
    if (text.compression == Compression::none) {
        text.source = std::make_unique<ReplayingSource>(raw, std::move(start), got);
        return text;
    }
    if (!canDecompress(text.compression)) {
        return text;
    }
    // The text's first bytes, to tell whether it is compressed again;
    // they are handed out again before the rest.
    std::unique_ptr<ByteSource> decoded = decompressingSource(text.compression, raw, start);
    std::string textStart;
    text.inner = readStart(*decoded, textStart, got);
    if (text.inner != Compression::none) {
        return text;
    }
    text.source = std::make_unique<ReplayingSource>(std::move(decoded), std::move(textStart), got);
    return text;
}

}  // namespace blockavg
