#include "trajectory/number_format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace blockavg {
namespace {

constexpr std::uint64_t million = 1'000'000;

// Below this magnitude every value prints as 0.000000 (it is far below the
// half-unit 5e-7, so no rounding question arises).
constexpr double negligibleMagnitude = 0x1p-30;
// Below this magnitude a value times 10^6 fits 63 bits.
constexpr double fastFixedLimit = 0x1p43;

// The 128-bit product of a 64-bit and a 32-bit factor, as high and low words.
struct Wide {
    std::uint64_t high;
    std::uint64_t low;
};

Wide multiply(std::uint64_t a, std::uint32_t b) noexcept {
    const std::uint64_t lowPart = (a & 0xffffffffu) * b;
    const std::uint64_t highPart = (a >> 32) * b;
    const std::uint64_t low = lowPart + (highPart << 32);
    const std::uint64_t carry = low < lowPart ? 1 : 0;
    return {(highPart >> 32) + carry, low};
}

// |value| * 10^6 rounded to an integer as printf rounds it: to nearest, ties
// to even, on the exact binary value. For negligibleMagnitude <= |value| <
// fastFixedLimit.
std::uint64_t scaledMicros(double magnitude) noexcept {
    std::uint64_t bits = 0;
    static_assert(sizeof bits == sizeof magnitude);
    std::memcpy(&bits, &magnitude, sizeof bits);
    // magnitude = significand * 2^exponent, exactly; it is normal here.
    const std::uint64_t significand =
        (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
    const int exponent = static_cast<int>(bits >> 52) - 1075;
    // The quotient and remainder of significand * 10^6 / 2^shift, where the
    // magnitude limits give 10 <= shift <= 82.
    const Wide product = multiply(significand, static_cast<std::uint32_t>(million));
    const int shift = -exponent;
    std::uint64_t quotient = 0;
    bool aboveHalf = false;
    bool exactlyHalf = false;
    if (shift < 64) {
        quotient = (product.low >> shift) | (product.high << (64 - shift));
        const std::uint64_t remainder = product.low & ((std::uint64_t{1} << shift) - 1);
        const std::uint64_t half = std::uint64_t{1} << (shift - 1);
        aboveHalf = remainder > half;
        exactlyHalf = remainder == half;
    } else if (shift == 64) {
        quotient = product.high;
        const std::uint64_t half = std::uint64_t{1} << 63;
        aboveHalf = product.low > half;
        exactlyHalf = product.low == half;
    } else {
        const int highShift = shift - 64;  // 1..18
        quotient = product.high >> highShift;
        const std::uint64_t remainderHigh = product.high & ((std::uint64_t{1} << highShift) - 1);
        const std::uint64_t halfHigh = std::uint64_t{1} << (highShift - 1);
        aboveHalf = remainderHigh > halfHigh || (remainderHigh == halfHigh && product.low != 0);
        exactlyHalf = remainderHigh == halfHigh && product.low == 0;
    }
    if (aboveHalf || (exactlyHalf && (quotient & 1) != 0)) {
        ++quotient;
    }
    return quotient;
}

// "00" to "99".
constexpr char digitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

char* writePair(char* out, std::uint64_t pair) noexcept {
    std::memcpy(out, digitPairs + 2 * pair, 2);
    return out + 2;
}

// Exactly six digits, leading zeros included; `value` is below 10^6.
char* writeSixDigits(char* out, std::uint64_t value) noexcept {
    out = writePair(out, value / 10000);
    out = writePair(out, value / 100 % 100);
    return writePair(out, value % 100);
}

}  // namespace

char* formatGeneral(char* out, double value) noexcept {
    return std::to_chars(out, out + maxFormattedNumberLength, value, std::chars_format::general, 6)
        .ptr;
}

char* formatFixed(char* out, double value) noexcept {
    const double magnitude = value < 0 ? -value : value;
    // NaN fails both comparisons and takes the general path.
    if (!(magnitude < fastFixedLimit)) {
        return std::to_chars(out, out + maxFormattedNumberLength, value, std::chars_format::fixed,
                             6)
            .ptr;
    }
    if (std::signbit(value)) {
        *out++ = '-';
    }
    const std::uint64_t micros = magnitude < negligibleMagnitude ? 0 : scaledMicros(magnitude);
    out = std::to_chars(out, out + maxFormattedNumberLength, micros / million).ptr;
    *out++ = '.';
    return writeSixDigits(out, micros % million);
}

char* formatInteger(char* out, std::int64_t value) noexcept {
    return std::to_chars(out, out + maxFormattedNumberLength, value).ptr;
}

}  // namespace blockavg
