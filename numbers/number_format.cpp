#include "numbers/number_format.hpp"

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

// |value| * 10^6 rounded as scaledMicros rounds it, for any magnitude below
// fastFixedLimit. Below 8589 the product in double precision is within
// 2^-21 of the exact one (its unit in the last place is at most 2^-20), so
// unless it lies within 2^-20 of a half, rounding it gives the same integer
// at the cost of one multiplication; near-halves take the exact route.
std::uint64_t micros(double magnitude) noexcept {
    if (magnitude < 8589.0) {
        const double product = magnitude * 1e6;
        const auto whole = static_cast<std::uint64_t>(product);
        const double pastHalf = (product - static_cast<double>(whole)) - 0.5;
        if (std::fabs(pastHalf) > 0x1p-20) {
            return whole + (pastHalf > 0 ? 1 : 0);
        }
    }
    return magnitude < negligibleMagnitude ? 0 : scaledMicros(magnitude);
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
    const std::uint64_t scaled = micros(magnitude);
    out = std::to_chars(out, out + maxFormattedNumberLength, scaled / million).ptr;
    *out++ = '.';
    return writeSixDigits(out, scaled % million);
}

char* formatFixedField(char* out, double value, std::size_t width) noexcept {
    const double magnitude = value < 0 ? -value : value;
    // The common case, a number below 100 in a field of at least 10 columns,
    // is written in place from the field's end: the last two integer digits
    // always, then the sign, or a space, over a leading zero.
    if (magnitude < 100.0 && width >= 10) {
        const std::uint64_t scaled = micros(magnitude);
        const std::uint64_t integer = scaled / million;
        if (integer < 100) {
            std::memset(out, ' ', width);
            char* const end = out + width;
            writeSixDigits(end - 6, scaled % million);
            end[-7] = '.';
            writePair(end - 9, integer);
            char* const first = integer < 10 ? end - 8 : end - 9;
            first[-1] = std::signbit(value) ? '-' : ' ';
            return end;
        }
    }
    char digits[maxFormattedNumberLength];
    const auto length = static_cast<std::size_t>(formatFixed(digits, value) - digits);
    if (length < width) {
        std::memset(out, ' ', width - length);
        out += width - length;
    }
    std::memcpy(out, digits, length);
    return out + length;
}

char* formatInteger(char* out, std::int64_t value) noexcept {
    return std::to_chars(out, out + maxFormattedNumberLength, value).ptr;
}

}  // namespace blockavg
