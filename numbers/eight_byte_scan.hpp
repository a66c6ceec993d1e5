#pragma once

// Eight bytes of a line at a time, as one 64-bit word: the leading run of
// digits or spaces, and the value of up to eight digits, without a branch
// per byte. The first byte of the text is always the lowest byte of the
// word, whatever the machine's byte order.

#include <bit>
#include <cstdint>
#include <cstring>

namespace blockavg::eight_byte_scan {

inline constexpr std::uint64_t everyByte(std::uint8_t b) noexcept {
    return std::uint64_t{0x0101010101010101} * b;
}

// The bytes at [p, end), at most eight; missing bytes read as NUL. `begin`
// is where the readable text starts: nothing before it or from `end` on is
// touched.
inline std::uint64_t load(const char* begin, const char* p, const char* end) noexcept {
    const auto available = end - p;
    if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t word = 0;
        if (available >= 8) {
            std::memcpy(&word, p, 8);
            return word;
        }
        if (available > 0 && end - begin >= 8) {
            // Near the end of the text: the eight bytes that end there,
            // shifted down. One load, where a shorter copy would stall.
            std::memcpy(&word, end - 8, 8);
            return word >> (8 * (8 - available));
        }
    }
    std::uint64_t word = 0;
    for (int i = 0; i < 8 && i < available; ++i) {
        word |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
    }
    return word;
}

// How many of the word's bytes, from the first, are decimal digits (0-8).
inline int leadingDigits(std::uint64_t word) noexcept {
    // A byte's top bit is set in the flags when the byte is below '0' (the
    // subtraction wraps) or above '9' (the addition reaches 0x80). Bytes
    // after the first non-digit may be flagged wrongly through a borrow or a
    // carry; only the first flag counts.
    const std::uint64_t flags =
        ((word - everyByte('0')) | (word + everyByte(0x46))) & everyByte(0x80);
    return flags == 0 ? 8 : std::countr_zero(flags) / 8;
}

// How many of the word's bytes, from the first, are spaces (0-8).
inline int leadingSpaces(std::uint64_t word) noexcept {
    const std::uint64_t others = word ^ everyByte(' ');
    return others == 0 ? 8 : std::countr_zero(others) / 8;
}

// The value of the word's first `count` bytes (1-8), all decimal digits.
inline std::uint32_t digitsValue(std::uint64_t word, int count) noexcept {
    // Align the digits to the top of the word, so that the bytes below them
    // act as leading zeros, then combine neighbours: pairs, fours, eight.
    std::uint64_t digits = (word - everyByte('0')) << (8 * (8 - count));
    digits = digits * 10 + (digits >> 8);
    constexpr std::uint64_t pairMask = 0x000000FF000000FF;
    constexpr std::uint64_t highPairs = 100 + (std::uint64_t{1000000} << 32);
    constexpr std::uint64_t lowPairs = 1 + (std::uint64_t{10000} << 32);
    digits = ((digits & pairMask) * highPairs + ((digits >> 16) & pairMask) * lowPairs) >> 32;
    return static_cast<std::uint32_t>(digits);
}

}  // namespace blockavg::eight_byte_scan
