// bzip2 input (Debian's libbz2-dev), decoded a block at a time on any
// thread. A stream is a header ("BZh" and the block size), blocks that each
// begin with a 48-bit magic at any bit, and an end marker (another magic)
// with the checksum of the whole stream; streams may follow one another
// (pbzip2, lbzip2). Each block is cut at the next magic, wrapped as a stream
// of its own (a header before it, an end marker with its own checksum after
// it) and decoded by libbz2, which checks the block's checksum; the
// stream's checksum is checked over the blocks in order. A magic that turns
// up by chance inside a block leaves two parts that fail to decode: they
// are joined and decoded again. Decoding block by block on two processors
// runs 1.9 times as fast as libbz2 in order on one, and costs nothing on
// one: so one way serves every thread count, and no damaged block's text is
// handed out.

#include <bzlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "compression/decoder.hpp"

namespace blockavg {
namespace {

constexpr std::uint64_t blockMagic = 0x314159265359;
constexpr std::uint64_t endMagic = 0x177245385090;
constexpr std::uint64_t magicMask = (std::uint64_t{1} << 48) - 1;

class Bzip2Unit final : public Unit {
public:
    std::uint32_t firstBit = 0;     // the unit starts inside its first byte
    std::uint64_t bitLength = 0;    // and ends inside its last
    std::uint64_t cutLength = 0;    // bitLength as cut, once joined
    bool endsStream = false;        // the end of a stream
    std::uint32_t streamCheck = 0;  // that stream's checksum
    std::uint64_t streamAt = 0;     // where the stream begins
    char level = '9';               // the stream's block size
    bool cutShort = false;          // the input ended inside it
    bool broken = false;            // it cannot be whole, joined or not
    std::uint32_t blockCheck = 0;   // the block's own checksum
};

// A block of 900 kB of text takes about that much compressed, a little more
// for text that does not compress at all; a stretch of bits longer than this is no
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

// libbz2's tables for a block (3.6 MB at the largest block size), kept from
// block to block.
class KeptTables {
public:
    KeptTables() { kept_.reserve(4); }
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
        // libbz2 holds three tables at most at once; a block of another
        // size (streams of other levels follow one another) takes the place
        // of one not in use.
        void* memory = std::malloc(bytes);
        if (memory == nullptr) {
            return nullptr;
        }
        for (Kept& kept : self.kept_) {
            if (!kept.inUse) {
                std::free(kept.memory);
                kept = {memory, bytes, true};
                return memory;
            }
        }
        if (self.kept_.size() == self.kept_.capacity()) {
            std::free(memory);
            return nullptr;
        }
        self.kept_.push_back({memory, bytes, true});
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

Problem problemOf(int code, const Bzip2Unit& unit) {
    switch (code) {
        case BZ_MEM_ERROR:
            return {Fault::outOfMemory, "", "block", unit.at};
        case BZ_DATA_ERROR_MAGIC:
            return {Fault::damaged, "no bzip2 header where one belongs", "block", unit.at};
        case BZ_DATA_ERROR:
        case BZ_OK:  // the block ends before its bits do
            return {Fault::damaged, "corrupt data or a wrong checksum", "block", unit.at};
        default:
            return {Fault::unreadable, "cannot be read (libbz2 error " + std::to_string(code) + ")",
                    "block", unit.at};
    }
}

// Decodes the unit's bits wrapped as a stream of their own: a header, and,
// `withEnd`, an end marker carrying the block's own checksum. The text goes
// into the unit's; returns libbz2's last answer, and whether it took every
// byte (`allTaken`) or wanted more than there were.
struct Workspace {
    KeptTables tables;
    std::vector<unsigned char> wrapped;
};

int decodeWrapped(Bzip2Unit& unit, bool withEnd, bool& allTaken, Workspace& workspace) {
    std::vector<unsigned char>& wrapped = workspace.wrapped;
    BitWriter writer(wrapped);
    writer.put(0x425a6800u | static_cast<unsigned char>(unit.level), 32);
    writer.copy(unit.bytes.data(), unit.firstBit, unit.bitLength);
    if (withEnd) {
        writer.put(endMagic, 48);
        writer.put(unit.blockCheck, 32);
    }
    writer.finish();

    bz_stream stream{};
    stream.bzalloc = KeptTables::allocate;
    stream.bzfree = KeptTables::release;
    stream.opaque = &workspace.tables;
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

class Bzip2Decoder final : public Decoder {
public:
    std::unique_ptr<Unit> newUnit() const override { return std::make_unique<Bzip2Unit>(); }

    Step step(std::span<const unsigned char> in, std::uint64_t at, Flow flow,
              std::span<char> /*out*/, bool /*unitsInFlight*/, Unit& fresh) override {
        const unsigned char* const bytes = in.data();
        const std::size_t size = in.size();
        const std::uint64_t end = std::uint64_t{size} * 8;
        const bool ended = flow == Flow::ended;
        // No block is this long: bytes beyond it are not read before a unit
        // is cut.
        const bool full = size >= 2 * mostBlockBytes;
        auto& unit = static_cast<Bzip2Unit&>(fresh);
        Step more;
        more.event = Event::more;
        if (!inStream_) {
            // A stream's header, at a byte: "BZh", the block size, a magic.
            if (size == 0) {
                more.event = ended ? Event::ended : Event::more;
                return more;
            }
            if (bytes[0] == 0 || padded_) {
                // Zeros after a stream (a file padded to a tape's or a
                // disk's block) end the input; other bytes after them do not.
                padded_ = true;
                const auto* const other =
                    std::find_if(bytes, bytes + size, [](unsigned char byte) { return byte != 0; });
                if (other != bytes + size) {
                    return failure({Fault::damaged, "no bzip2 header where one belongs", "stream",
                                    at + static_cast<std::uint64_t>(other - bytes)});
                }
                more.used = size;
                more.event = ended ? Event::ended : Event::more;
                return more;
            }
            constexpr unsigned char header[] = {'B', 'Z', 'h'};
            const bool maybe = std::equal(bytes, bytes + std::min<std::size_t>(size, 3), header) &&
                               (size < 4 || (bytes[3] >= '1' && bytes[3] <= '9'));
            if (maybe && size < 4 + 10) {
                return ended ? failure({Fault::cutShort, "", "stream", at}) : more;
            }
            const std::uint64_t magic = maybe ? bitsAt(bytes, 32, 48) : 0;
            if (magic != blockMagic && magic != endMagic) {
                return failure({Fault::damaged, "no bzip2 header where one belongs", "stream", at});
            }
            level_ = static_cast<char>(bytes[3]);
            inStream_ = true;
            cutCheck_ = 0;
            bit_ = 32;
            streamAt_ = at;
        }
        unit.level = level_;
        unit.streamAt = streamAt_;
        if (end < bit_ + 80) {
            return ended ? cutAtEnd(in, at, true, unit) : more;
        }
        if (bitsAt(bytes, bit_, 48) == endMagic) {
            // The end of the stream: its checksum, then bits to a byte.
            unit.bytes.clear();
            unit.at = at + bit_ / 8;
            unit.cost = 0;
            unit.firstBit = 0;
            unit.bitLength = unit.cutLength = 0;
            unit.endsStream = true;
            unit.streamCheck = static_cast<std::uint32_t>(bitsAt(bytes, bit_ + 48, 32));
            unit.cutShort = unit.broken = false;
            Step taken;
            taken.used = static_cast<std::size_t>((bit_ + 80 + 7) / 8);
            taken.event = Event::unit;
            inStream_ = false;
            bit_ = 0;
            return taken;
        }
        // A block, up to the next magic that is no end marker by chance.
        std::uint64_t from = bit_ + 80;
        for (;;) {
            bool isEnd = false;
            const std::uint64_t next = findMagic(bytes, from, end, isEnd);
            if (next == end) {
                if (ended) {
                    return cutAtEnd(in, at, true, unit);
                }
                if (full || end - bit_ > 8 * mostBlockBytes) {
                    // No block is this long: damage, told as such.
                    return cutAtEnd(in, at, false, unit);
                }
                return more;
            }
            if (isEnd) {
                // A true end marker has its checksum, then the end of the
                // input or another stream's header. One whose checksum is the
                // one the blocks' own checks make is the end whatever follows
                // it, and, while the producer has nothing more to give, is
                // taken at once.
                const std::uint64_t after = (next + 80 + 7) / 8 * 8;
                const bool agrees =
                    after <= end && bitsAt(bytes, next + 48, 32) ==
                                        combined(cutCheck_, bitsAt(bytes, bit_ + 48, 32));
                const bool idle = flow == Flow::idle && agrees;
                if (after + 32 + 48 > end && !ended && !idle) {
                    return full ? cutAtEnd(in, at, false, unit) : more;
                }
                const bool streamFollows =
                    after + 32 <= end && bitsAt(bytes, after, 24) == 0x425a68;  // "BZh"
                if (after < end && !streamFollows && !agrees) {
                    // Other bytes after it: the stream's end with bytes after
                    // it only if no magic follows; otherwise one by chance.
                    bool ignored = false;
                    if (findMagic(bytes, next + 1, end, ignored) != end) {
                        from = next + 1;
                        continue;
                    }
                    if (!ended && !full && !idle) {
                        return more;
                    }
                }
            }
            return takeBits(in, at, next, unit);
        }
    }

    void decode(Unit& unit) const override {
        auto& block = static_cast<Bzip2Unit&>(unit);
        if (block.endsStream) {
            block.whole = true;  // an end marker has no text
            return;
        }
        if (block.bitLength < 80) {
            block.problem = problemOf(BZ_DATA_ERROR, block);
            return;
        }
        block.blockCheck =
            static_cast<std::uint32_t>(bitsAt(block.bytes.data(), block.firstBit + 48, 32));
        bool allTaken = false;
        std::unique_ptr<Workspace> workspace = workspaces_.take();
        const int result = decodeWrapped(block, true, allTaken, *workspace);
        workspaces_.give(std::move(workspace));
        block.whole = result == BZ_STREAM_END && allTaken;
        if (!block.whole) {
            block.problem = problemOf(result, block);
        }
    }

    Verdict inOrder(Unit& unit, const Unit* next) override {
        auto& block = static_cast<Bzip2Unit&>(unit);
        if (block.endsStream) {
            const bool right = block.streamCheck == streamCheck_;
            streamCheck_ = 0;
            if (!right) {
                block.whole = false;
                block.problem = {Fault::damaged, "its stream checksum does not match", "stream",
                                 block.streamAt};
            }
            return Verdict::handOut;
        }
        if (block.whole) {
            streamCheck_ = combined(streamCheck_, block.blockCheck);
            return Verdict::handOut;
        }
        if (next != nullptr && !static_cast<const Bzip2Unit*>(next)->endsStream && !block.broken &&
            block.bytes.size() <= mostBlockBytes && block.problem.fault != Fault::outOfMemory) {
            return Verdict::join;  // a magic by chance, most likely
        }
        if (block.cutLength != 0) {
            // Joined in vain: the block as it was cut is the damaged one.
            block.bitLength = block.cutLength;
            block.bytes.resize(
                static_cast<std::size_t>((block.firstBit + block.bitLength + 7) / 8));
            block.cutLength = 0;
            block.cutShort = block.broken = false;
            block.problem = problemOf(BZ_DATA_ERROR, block);
        }
        if (block.cutShort) {
            // The input's last bits: what libbz2 gives of them in order.
            block.text.clear();
            bool allTaken = false;
            std::unique_ptr<Workspace> workspace = workspaces_.take();
            const int result = decodeWrapped(block, false, allTaken, *workspace);
            workspaces_.give(std::move(workspace));
            block.problem = result == BZ_OK || result == BZ_STREAM_END
                                ? Problem{Fault::cutShort, "", "block", block.at}
                                : problemOf(result, block);
        }
        return Verdict::handOut;
    }

    void join(Unit& unit, const Unit& next) const override {
        auto& block = static_cast<Bzip2Unit&>(unit);
        const auto& following = static_cast<const Bzip2Unit&>(next);
        if (block.cutLength == 0) {
            block.cutLength = block.bitLength;
        }
        const std::uint64_t endBit = block.firstBit + block.bitLength;
        block.bytes.resize(static_cast<std::size_t>(endBit / 8));
        block.bytes.insert(block.bytes.end(), following.bytes.begin(), following.bytes.end());
        block.bitLength += following.bitLength;
        block.cutShort = following.cutShort;
        block.broken = following.broken;
    }

    bool guessesEnds() const override { return true; }  // a block magic may come by chance

private:
    static Step failure(const Problem& problem) {
        Step taken;
        taken.event = Event::failed;
        taken.problem = problem;
        return taken;
    }

    // A stream's checksum, from those of its blocks so far and the next.
    static std::uint32_t combined(std::uint32_t stream, std::uint64_t block) {
        return (stream << 1 | stream >> 31) ^ static_cast<std::uint32_t>(block);
    }

    // The bits from bit_ up to `next` make a unit; the next begins there.
    Step takeBits(std::span<const unsigned char> in, std::uint64_t at, std::uint64_t next,
                  Bzip2Unit& unit) {
        const auto first = static_cast<std::size_t>(bit_ / 8);
        const auto last = static_cast<std::size_t>((next + 7) / 8);
        unit.bytes.assign(in.begin() + static_cast<std::ptrdiff_t>(first),
                          in.begin() + static_cast<std::ptrdiff_t>(last));
        unit.at = at + first;
        // Its bytes, and its text: up to 100 kB per step of the block size.
        unit.cost = unit.bytes.size() + 100000 * std::uint64_t(unit.level - '0');
        unit.firstBit = static_cast<std::uint32_t>(bit_ % 8);
        unit.bitLength = next - bit_;
        if (unit.bitLength >= 80) {
            cutCheck_ = combined(cutCheck_, bitsAt(in.data(), bit_ + 48, 32));
        }
        unit.cutLength = 0;
        unit.endsStream = false;
        unit.cutShort = unit.broken = false;
        Step taken;
        taken.used = static_cast<std::size_t>(next / 8);
        taken.event = Event::unit;
        bit_ = next % 8;
        return taken;
    }

    // The input ends before the stream does (`ended`), or no magic comes
    // where one must: the rest is one last unit, which cannot decode whole.
    Step cutAtEnd(std::span<const unsigned char> in, std::uint64_t at, bool ended,
                  Bzip2Unit& unit) {
        const std::uint64_t end = std::uint64_t{in.size()} * 8;
        Step taken;
        if (end > bit_) {
            taken = takeBits(in, at, end, unit);
        } else {
            unit.bytes.clear();
            unit.at = at;
            unit.cost = 0;
            unit.firstBit = 0;
            unit.bitLength = unit.cutLength = 0;
            unit.endsStream = false;
            taken.event = Event::unit;
        }
        unit.cutShort = ended;
        unit.broken = true;
        taken.used = in.size();
        bit_ = 0;
        inStream_ = false;
        return taken;
    }

    // The cutter's, on the reader.
    bool inStream_ = false;
    char level_ = '9';
    std::uint64_t bit_ = 0;  // where the next unit begins, in the bytes given next
    std::uint64_t streamAt_ = 0;
    bool padded_ = false;         // zeros came after the last stream
    std::uint32_t cutCheck_ = 0;  // the stream's checksum, by the checks of the blocks cut
    // The checker's, on the reader.
    std::uint32_t streamCheck_ = 0;
    mutable Workspaces<Workspace> workspaces_;
};

}  // namespace

std::unique_ptr<Decoder> makeBzip2Decoder() { return std::make_unique<Bzip2Decoder>(); }

}  // namespace blockavg
