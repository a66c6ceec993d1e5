// bzip2 input decoded a block at a time on several threads. A stream is a
// header ("BZh" and the block size), blocks that each begin with a 48-bit
// magic at any bit, and an end marker (another magic) with the checksum of
// the whole stream; streams may follow one another (pbzip2, lbzip2). Each
// block is cut at the next magic, wrapped as a stream of its own (a header
// before it, an end marker with its own checksum after it) and decoded by
// libbz2, which checks the block's checksum. The stream's checksum is
// checked over the blocks in order. A magic that turns up by chance inside
// a block leaves two pieces that fail to decode: they are joined and decoded
// again, so the text is libbz2's own, byte for byte.

#include <bzlib.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "compression/decompression.hpp"
#include "compression/unit_source.hpp"

namespace blockavg {
namespace {

constexpr std::uint64_t blockMagic = 0x314159265359;
constexpr std::uint64_t endMagic = 0x177245385090;
constexpr std::uint64_t magicMask = (std::uint64_t{1} << 48) - 1;

// A block of 900 kB of text takes about that much compressed, a little more
// for text that does not compress at all; a piece larger than this is no
// block, whatever follows.
constexpr std::size_t mostBlockBytes = std::size_t{2} << 20;

std::uint64_t bitsAt(const unsigned char* bytes, std::uint64_t bit, unsigned count) noexcept {
    std::uint64_t value = 0;
    for (unsigned at = 0; at < count; ++at, ++bit) {
        value = value << 1 | ((bytes[bit / 8] >> (7 - bit % 8)) & 1u);
    }
    return value;
}

// The first bit from `from` on, and before `end`, where a magic begins, or
// `end`; `isEnd` tells which magic.
std::uint64_t findMagic(const unsigned char* bytes, std::uint64_t from, std::uint64_t end,
                        bool& isEnd) noexcept {
    if (end < from + 48) {
        return end;
    }
    // The 64 bits up to and with byte `at`; a magic that ends within byte
    // `at` lies in them at one of 8 shifts.
    std::size_t at = static_cast<std::size_t>(from / 8);
    std::uint64_t window = 0;
    for (std::size_t back = at; back < at + 6; ++back) {
        window = window << 8 | bytes[back];
    }
    at += 5;
    for (; (at + 1) * 8 <= end; ++at) {
        if (at > from / 8 + 5) {
            window = window << 8 | bytes[at];
        }
        for (int shift = 7; shift >= 0; --shift) {
            const std::uint64_t candidate = (window >> shift) & magicMask;
            if (candidate != blockMagic && candidate != endMagic) {
                continue;
            }
            const std::uint64_t bit = (at + 1) * 8 - static_cast<unsigned>(shift) - 48;
            if (bit >= from && bit + 48 <= end) {
                isEnd = candidate == endMagic;
                return bit;
            }
        }
    }
    return end;
}

class BitWriter {
public:
    explicit BitWriter(std::vector<unsigned char>& out) : out_(out) { out_.clear(); }
    // The low `count` bits of `value`, at most 56.
    void put(std::uint64_t value, unsigned count) {
        held_ = held_ << count | (value & ((std::uint64_t{1} << count) - 1));
        for (filled_ += count; filled_ >= 8; filled_ -= 8) {
            out_.push_back(static_cast<unsigned char>(held_ >> (filled_ - 8)));
        }
    }
    // `count` bits of `bytes` from bit `from` on.
    void copy(const unsigned char* bytes, std::uint64_t from, std::uint64_t count) {
        out_.reserve(out_.size() + static_cast<std::size_t>(count / 8) + 16);
        const unsigned shift = static_cast<unsigned>(from % 8);
        std::size_t at = static_cast<std::size_t>(from / 8);
        for (; count >= 8; count -= 8, ++at) {
            const unsigned pair =
                static_cast<unsigned>(bytes[at]) << 8 | (shift > 0 ? bytes[at + 1] : 0u);
            put(pair >> (8 - shift), 8);
        }
        put(bitsAt(bytes, std::uint64_t{at} * 8 + shift, static_cast<unsigned>(count)),
            static_cast<unsigned>(count));
    }
    void finish() {
        if (filled_ > 0) {
            put(0, 8 - filled_);
        }
    }

private:
    std::vector<unsigned char>& out_;
    std::uint64_t held_ = 0;
    unsigned filled_ = 0;
};

// libbz2's tables for a block (3.6 MB at the largest block size), kept by
// each thread from block to block: memory freed and taken again costs its
// page faults each time, about a third of decoding a block.
class KeptTables {
public:
    KeptTables() = default;
    KeptTables(const KeptTables&) = delete;
    KeptTables& operator=(const KeptTables&) = delete;
    ~KeptTables() {
        for (const Kept& kept : kept_) {
            std::free(kept.memory);
        }
    }
    static void* allocate(void* opaque, int count, int size) {
        auto& self = *static_cast<KeptTables*>(opaque);
        const std::size_t bytes = static_cast<std::size_t>(count) * static_cast<std::size_t>(size);
        for (Kept& kept : self.kept_) {
            if (kept.bytes == bytes && !kept.inUse) {
                kept.inUse = true;
                return kept.memory;
            }
        }
        void* memory = std::malloc(bytes);
        if (memory != nullptr) {
            try {
                self.kept_.push_back({memory, bytes, true});
            } catch (const std::bad_alloc&) {
                std::free(memory);
                return nullptr;
            }
        }
        return memory;
    }
    // cppcheck-suppress constParameter ; libbz2's bzfree takes void*
    static void release(void* opaque, void* memory) {
        auto& self = *static_cast<KeptTables*>(opaque);
        for (Kept& kept : self.kept_) {
            if (kept.memory == memory) {
                kept.inUse = false;
            }
        }
    }

private:
    struct Kept {
        void* memory;       // cppcheck-suppress unusedStructMember
        std::size_t bytes;  // cppcheck-suppress unusedStructMember
        bool inUse;         // cppcheck-suppress unusedStructMember
    };
    std::vector<Kept> kept_;
};

// As the sequential decoder words it (bzip2_source.cpp).
std::string damage(int code) {
    switch (code) {
        case BZ_MEM_ERROR:
            return "out of memory while reading the bzip2 data";
        case BZ_DATA_ERROR_MAGIC:
            return "the bzip2 data is damaged (no bzip2 header where one belongs)";
        case BZ_DATA_ERROR:
        case BZ_OK:  // the block ends before its bits do
            return "the bzip2 data is damaged (corrupt data or a wrong checksum)";
        default:
            return "the bzip2 data cannot be read (libbz2 error " + std::to_string(code) + ")";
    }
}

// Decodes the unit's bits wrapped as a stream of their own: a header, and,
// `withEnd`, an end marker carrying the block's own checksum. The text goes
// into the unit's; returns libbz2's last answer, and whether it took every
// byte (`allTaken`) or wanted more than there were.
int decodeWrapped(CompressedUnit& unit, bool withEnd, bool& allTaken) {
    thread_local std::vector<unsigned char> wrapped;
    BitWriter writer(wrapped);
    writer.put(0x425a6800u | static_cast<unsigned char>(unit.level), 32);
    writer.copy(unit.bytes.data(), unit.firstBit, unit.bitLength);
    if (withEnd) {
        writer.put(endMagic, 48);
        writer.put(unit.unitCheck, 32);
    }
    writer.finish();

    thread_local KeptTables tables;
    bz_stream stream{};
    stream.bzalloc = KeptTables::allocate;
    stream.bzfree = KeptTables::release;
    stream.opaque = &tables;
    if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) {
        throw std::bad_alloc();
    }
    stream.next_in = reinterpret_cast<char*>(wrapped.data());
    stream.avail_in = static_cast<unsigned int>(wrapped.size());
    int result = BZ_OK;
    while (result == BZ_OK) {
        std::size_t room = 0;
        char* const into = unit.text.room(room);
        stream.next_out = into;
        stream.avail_out = static_cast<unsigned int>(std::min<std::size_t>(room, UINT_MAX));
        const unsigned int before = stream.avail_out;
        result = BZ2_bzDecompress(&stream);
        unit.text.wrote(before - stream.avail_out);
        if (result == BZ_OK && stream.avail_in == 0 && stream.avail_out > 0) {
            break;  // it wants bits past the end of the unit
        }
    }
    allTaken = stream.avail_in == 0;
    BZ2_bzDecompressEnd(&stream);
    return result;
}

class Bzip2Blocks final : public UnitFormat {
public:
    Cut cut(const unsigned char* bytes, std::size_t size, bool ended, bool full,
            CompressedUnit& unit, std::size_t& used) override {
        const std::uint64_t end = std::uint64_t{size} * 8;
        if (!inStream_) {
            // A stream's header, at a byte: anything else, and the end, are
            // the sequential decoder's to tell about.
            if (size == 0 && ended) {
                return Cut::end;
            }
            if (size < 4 + 10) {
                return ended ? Cut::sequential : Cut::more;
            }
            if (bytes[0] != 'B' || bytes[1] != 'Z' || bytes[2] != 'h' || bytes[3] < '1' ||
                bytes[3] > '9') {
                return Cut::sequential;
            }
            const std::uint64_t magic = bitsAt(bytes, 32, 48);
            if (magic != blockMagic && magic != endMagic) {
                return Cut::sequential;
            }
            level_ = static_cast<char>(bytes[3]);
            inStream_ = true;
            bit_ = 32;
        }
        unit.level = level_;
        if (end < bit_ + 80) {
            return ended ? cutAtEnd(bytes, size, true, unit, used) : Cut::more;
        }
        if (bitsAt(bytes, bit_, 48) == endMagic) {
            // The end of the stream: its checksum, then bits to a byte.
            unit.endsStream = true;
            unit.streamCheck = static_cast<std::uint32_t>(bitsAt(bytes, bit_ + 48, 32));
            used = static_cast<std::size_t>((bit_ + 80 + 7) / 8);
            inStream_ = false;
            bit_ = 0;
            return Cut::unit;
        }
        // A block, up to the next magic that is no end marker by chance.
        std::uint64_t from = bit_ + 80;
        for (;;) {
            bool isEnd = false;
            const std::uint64_t next = findMagic(bytes, from, end, isEnd);
            if (next == end) {
                if (ended) {
                    return cutAtEnd(bytes, size, true, unit, used);
                }
                if (full || end - bit_ > 8 * mostBlockBytes) {
                    // No block is this long: damage, told as such.
                    return cutAtEnd(bytes, size, false, unit, used);
                }
                return Cut::more;
            }
            if (isEnd) {
                // A true end marker has its checksum, then the end of the
                // input or another stream's header.
                const std::uint64_t after = (next + 80 + 7) / 8 * 8;
                if (after + 32 + 48 > end && !ended) {
                    return full ? cutAtEnd(bytes, size, false, unit, used) : Cut::more;
                }
                const bool streamFollows =
                    after + 32 <= end && bitsAt(bytes, after, 24) == 0x425a68;  // "BZh"
                if (after < end && !streamFollows) {
                    // Other bytes after it: the stream's end with bytes after
                    // it only if no magic follows; otherwise one by chance.
                    bool ignored = false;
                    if (findMagic(bytes, next + 1, end, ignored) != end) {
                        from = next + 1;
                        continue;
                    }
                    if (!ended && !full) {
                        return Cut::more;
                    }
                }
            }
            takeBits(bytes, next, unit, used);
            return Cut::unit;
        }
    }

    void decode(CompressedUnit& unit) const override {
        unit.whole = unit.endsStream;  // an end marker has no text
        unit.damage.clear();
        unit.text.clear();
        if (unit.endsStream || unit.bitLength < 80) {
            return;
        }
        unit.unitCheck =
            static_cast<std::uint32_t>(bitsAt(unit.bytes.data(), unit.firstBit + 48, 32));
        bool allTaken = false;
        const int result = decodeWrapped(unit, true, allTaken);
        if (result == BZ_STREAM_END && allTaken) {
            unit.whole = true;
        } else {
            unit.damage = damage(result);
        }
    }

    Verdict check(CompressedUnit& unit, const CompressedUnit* next) override {
        if (unit.endsStream) {
            const bool right = unit.streamCheck == streamCheck_;
            streamCheck_ = 0;
            if (!right) {
                unit.damage = "the bzip2 data is damaged (corrupt data or a wrong checksum)";
            }
            return Verdict::handOut;
        }
        if (unit.whole) {
            streamCheck_ = (streamCheck_ << 1 | streamCheck_ >> 31) ^ unit.unitCheck;
            return Verdict::handOut;
        }
        if (next != nullptr && !next->endsStream && !unit.broken &&
            unit.bytes.size() <= mostBlockBytes) {
            return Verdict::joinNext;  // a magic by chance, most likely
        }
        if (unit.cutLength != 0) {
            // Joined in vain: the text is the block's own up to its damage,
            // as the sequential decoder gives it.
            unit.bitLength = unit.cutLength;
            unit.bytes.resize(static_cast<std::size_t>((unit.firstBit + unit.bitLength + 7) / 8));
            unit.cutLength = 0;
            unit.cutShort = unit.broken = false;
            decode(unit);
        }
        // The text and message are those of libbz2 reading on in order from
        // the block's start: for the last piece of the input, exactly that
        // decode; for a block with more after it, damage within the block.
        if (unit.cutShort) {
            decodeInOrder(unit);
        } else {
            unit.damage = damage(BZ_DATA_ERROR);
        }
        return Verdict::handOut;
    }

    void join(CompressedUnit& unit, const CompressedUnit& next) const override {
        if (unit.cutLength == 0) {
            unit.cutLength = unit.bitLength;
        }
        const std::uint64_t endBit = unit.firstBit + unit.bitLength;
        unit.bytes.resize(static_cast<std::size_t>(endBit / 8));
        unit.bytes.insert(unit.bytes.end(), next.bytes.begin(), next.bytes.end());
        unit.bitLength += next.bitLength;
        unit.cutShort = next.cutShort;
        unit.broken = next.broken;
        unit.text.clear();
    }

    std::unique_ptr<ByteSource> sequential(ByteSource& raw, std::string start) override {
        return makeBzip2Source(raw, std::move(start), 1);
    }

private:
    // Decodes the unit as a stream of its own with no end: what libbz2 gives
    // of it and says of it when the input ends there.
    static void decodeInOrder(CompressedUnit& unit) {
        unit.text.clear();
        bool allTaken = false;
        const int result = decodeWrapped(unit, false, allTaken);
        unit.damage = result == BZ_OK || result == BZ_STREAM_END ? "the bzip2 stream is cut short"
                                                                 : damage(result);
    }

    // The bits from bit_ up to `next` make a unit; the next begins there.
    void takeBits(const unsigned char* bytes, std::uint64_t next, CompressedUnit& unit,
                  std::size_t& used) {
        const auto first = static_cast<std::size_t>(bit_ / 8);
        const auto last = static_cast<std::size_t>((next + 7) / 8);
        unit.bytes.assign(bytes + first, bytes + last);
        unit.firstBit = static_cast<std::uint32_t>(bit_ % 8);
        unit.bitLength = next - bit_;
        used = static_cast<std::size_t>(next / 8);
        bit_ = next % 8;
    }

    // The input ends before the stream does (`ended`), or no magic comes
    // where one must: the rest is one last piece, which cannot decode whole.
    Cut cutAtEnd(const unsigned char* bytes, std::size_t size, bool ended, CompressedUnit& unit,
                 std::size_t& used) {
        const std::uint64_t end = std::uint64_t{size} * 8;
        if (end > bit_) {
            takeBits(bytes, end, unit, used);
        } else {
            unit.bytes.clear();
            unit.bitLength = 0;
        }
        unit.cutShort = ended;
        unit.broken = true;
        used = size;
        bit_ = 0;
        inStream_ = false;
        return Cut::unit;
    }

    // The cutter's, on the reader.
    bool inStream_ = false;
    char level_ = '9';
    std::uint64_t bit_ = 0;  // where the next unit begins, in the bytes given next
    // The checker's, on the reader.
    std::uint32_t streamCheck_ = 0;
};

}  // namespace

std::unique_ptr<ByteSource> makeBzip2BlocksSource(ByteSource& raw, const std::string& start,
                                                  unsigned threads) {
    return std::make_unique<UnitSource>(raw, start, std::make_unique<Bzip2Blocks>(), threads,
                                        2 * mostBlockBytes);
}

}  // namespace blockavg
