#include "xmol/batch_lines.hpp"

#include <bit>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define BLOCKAVG_SSE2 1
#endif

namespace blockavg {
namespace {

// The line feeds among 64 bytes, as bits.
#ifdef BLOCKAVG_SSE2
std::uint64_t lineFeedsIn64(const char* at) noexcept {
    const __m128i lineFeed = _mm_set1_epi8('\n');
    std::uint64_t mask = 0;
    for (std::ptrdiff_t part = 0; part < 4; ++part) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16 * part));
        const auto bits =
            static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, lineFeed)));
        mask |= std::uint64_t{bits} << (16 * part);
    }
    return mask;
}
#endif

// A line that begins with up to nine digits: their value, which a count
// line's integer item would read; -1 for any other line.
std::int32_t countAt(const char* at, const char* end) noexcept {
    std::int32_t value = 0;
    int digits = 0;
    for (; at != end && static_cast<unsigned char>(*at - '0') < 10; ++at, ++digits) {
        if (digits == 9) {
            return -1;
        }
        value = value * 10 + (*at - '0');
    }
    return digits > 0 ? value : -1;
}

}  // namespace

void BatchLines::findEnds() {
    const char* const text = bytes.data();
    std::size_t at = bytesBegin;
    const std::size_t end = bytesEnd;
    // The ends are written through a pointer of our own, the room made
    // before each block.
    std::size_t found = 0;
    const auto makeRoom = [&](std::size_t more) {
        if (ends_.size() < found + more) {
            ends_.resize(2 * ends_.size() + more);
        }
        return ends_.data();
    };
#ifdef BLOCKAVG_SSE2
    // Sixteen bytes a comparison; each line feed found costs a few
    // instructions more.
    for (; end - at >= 64; at += 64) {
        LineEnd* const out = makeRoom(64);
        for (std::uint64_t mask = lineFeedsIn64(text + at); mask != 0; mask &= mask - 1) {
            out[found++].end =
                static_cast<std::uint32_t>(at + static_cast<std::size_t>(std::countr_zero(mask)));
        }
    }
#endif
    while (const void* lineFeed = std::memchr(text + at, '\n', end - at)) {
        const auto place = static_cast<std::size_t>(static_cast<const char*>(lineFeed) - text);
        makeRoom(1)[found++].end = static_cast<std::uint32_t>(place);
        at = place + 1;
    }
    // The counts of the lines that begin among the bytes: all but the first.
    LineEnd* const out = ends_.data();
    if (found > 0) {
        out[0].count = -1;
    }
    for (std::size_t index = 1; index < found; ++index) {
        out[index].count = countAt(text + out[index - 1].end + 1, text + out[index].end);
    }
    size_ = found;
}

void BatchLines::addEnd(std::uint32_t end) {
    if (ends_.size() == size_) {
        ends_.resize(2 * ends_.size() + 1);
    }
    ends_[size_++] = {end, -1};
}

void BatchLines::moveEnds(std::uint32_t by) noexcept {
    for (std::size_t index = 0; index < size_; ++index) {
        ends_[index].end += by;
    }
}

}  // namespace blockavg
