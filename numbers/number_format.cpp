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

// magnitude * factor rounded to an integer as printf rounds it: to nearest,
// ties to even, on the exact binary value. For a normal magnitude whose
// exponent gives 10 <= shift <= 82 below (negligibleMagnitude <= magnitude
// < fastFixedLimit does for the factor 10^6), and a result below 2^64.
std::uint64_t scaledExactly(double magnitude, std::uint32_t factor) noexcept {
    std::uint64_t bits = 0;
    static_assert(sizeof bits == sizeof magnitude);
    std::memcpy(&bits, &magnitude, sizeof bits);
    // magnitude = significand * 2^exponent, exactly; it is normal here.
    const std::uint64_t significand =
        (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
    const int exponent = static_cast<int>(bits >> 52) - 1075;
    // The quotient and remainder of significand * factor / 2^shift.
    const Wide product = multiply(significand, factor);
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

// |value| * 10^6 rounded as scaledExactly rounds it, for any magnitude below
// fastFixedLimit. Below 8589 the product in double precision is the exact
// one rounded to the nearest double (its unit in the last place is at most
// 2^-20), and every half, k + 0.5, is a double there: so the rounded
// product lies on the same side of a half as the exact one, or on the half
// itself, and rounding it gives the same integer at the cost of one
// multiplication. Only a product on a half needs the exact route; the
// margin of 2^-20 around halves sends a few more that way than it must,
// which costs nothing measurable (1,199,740 doubles within 3 ulps of a
// half-millionth rounded alike with no margin at all).
std::uint64_t micros(double magnitude) noexcept {
    if (magnitude < 8589.0) {
        const double product = magnitude * 1e6;
        const auto whole = static_cast<std::uint64_t>(product);
        const double pastHalf = (product - static_cast<double>(whole)) - 0.5;
        if (std::fabs(pastHalf) > 0x1p-20) {
            return whole + (pastHalf > 0 ? 1 : 0);
        }
    }
    return magnitude < negligibleMagnitude
               ? 0
               : scaledExactly(magnitude, static_cast<std::uint32_t>(million));
}

// 10^-4 to 10^5, as near as a double comes.
constexpr double decimalPowers[] = {1e-4, 1e-3, 1e-2, 1e-1, 1e0, 1e1, 1e2, 1e3, 1e4, 1e5};

constexpr std::uint32_t powersOfTen[] = {1,      10,      100,      1000,      10000,
                                         100000, 1000000, 10000000, 100000000, 1000000000};

// %g of a magnitude in [1e-4, 1e6) that prints in fixed notation: its six
// significant digits, trailing zeros and a bare point dropped. False when
// rounding takes it out of fixed notation (999999.5 prints 1e+06).
bool formatGeneralFixed(char*& out, double magnitude) noexcept {
    // The decimal exponent, guessed from the magnitude and then set by the
    // rounded digits: a power of ten that is not exact in binary, and a
    // carry (9.999996 rounds to 10.0000), move it by one.
    int exponent = 5;
    while (exponent > -4 && magnitude < decimalPowers[exponent + 4]) {
        --exponent;
    }
    std::uint64_t digits = scaledExactly(magnitude, powersOfTen[5 - exponent]);
    if (digits < 100000 && exponent > -4) {
        --exponent;
        digits = scaledExactly(magnitude, powersOfTen[5 - exponent]);
    }
    if (digits >= 1000000) {
        if (exponent == 5) {
            return false;
        }
        ++exponent;
        digits = scaledExactly(magnitude, powersOfTen[5 - exponent]);
    }
    if (digits < 100000) {
        return false;
    }
    auto decimals = static_cast<std::size_t>(5 - exponent);
    const std::uint64_t unit = powersOfTen[decimals];
    out = std::to_chars(out, out + maxFormattedNumberLength, digits / unit).ptr;
    std::uint64_t fraction = digits % unit;
    if (fraction == 0) {
        return true;
    }
    while (fraction % 10 == 0) {
        fraction /= 10;
        --decimals;
    }
    *out++ = '.';
    for (std::size_t place = decimals; place-- > 0;) {
        out[place] = static_cast<char>('0' + fraction % 10);
        fraction /= 10;
    }
    out += decimals;
    return true;
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
    const double magnitude = value < 0 ? -value : value;
    // NaN fails the comparisons and takes the standard library's path.
    if (magnitude >= 1e-4 && magnitude < 1e6) {
        char* const start = out;
        if (value < 0) {
            *out++ = '-';
        }
        if (formatGeneralFixed(out, magnitude)) {
            return out;
        }
        out = start;
    }
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
