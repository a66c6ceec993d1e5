#include "xmol/xmol_items.hpp"

#include <fast_float/fast_float.h>

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <system_error>

#include "numbers/eight_byte_scan.hpp"

namespace blockavg {
namespace {

constexpr bool isDigit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

// Moves the cursor to the next non-space byte; false when the line ends.
// Runs of plain spaces, the usual padding between columns, go eight bytes at
// a time.
inline bool skipSpace(LineCursor& cursor) noexcept {
    while (cursor.pos != cursor.end) {
        cursor.pos += eight_byte_scan::leadingSpaces(
            eight_byte_scan::load(cursor.begin, cursor.pos, cursor.end));
        if (cursor.pos == cursor.end) {
            return false;
        }
        if (!isItemSpace(*cursor.pos)) {
            return true;
        }
        ++cursor.pos;
    }
    return false;
}

// Powers of ten that doubles hold exactly.
constexpr double exactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                       1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int largestExactPower = 22;
constexpr std::uint64_t exactIntegerPowersOfTen[] = {1,      10,      100,      1000,     10000,
                                                     100000, 1000000, 10000000, 100000000};
constexpr std::uint64_t largestExactMantissa = std::uint64_t{1} << 53;

// The common case of a plain decimal, read without the general parser: digits with
// at most one point and an optional exponent, where the digits form an
// integer of at most 2^53 and the scale is a power of ten that a double holds
// exactly. Both operands of the one multiplication or division are then
// exact, so its result is the correctly rounded value, the same double
// fast_float gives. Anything else (more digits, a larger scale) returns
// false and is left to fast_float. `p` is at a digit, or at a point followed
// by one.
bool readPlainDecimal(const char* begin, const char*& p, const char* end, double& value) noexcept {
#if FLT_EVAL_METHOD != 0
    // Extended-precision arithmetic would round twice.
    (void)begin;
    (void)p;
    (void)end;
    (void)value;
    return false;
#else
    // The digits before and after the point, eight at a time, as one
    // integer; more than 19 of them might not fit and go to fast_float.
    constexpr int mostDigits = 19;
    const char* q = p;
    std::uint64_t mantissa = 0;
    int digitCount = 0;
    // Takes a run of digits; returns how many.
    const auto takeDigits = [&]() noexcept {
        const int before = digitCount;
        int taken = 0;
        do {
            const std::uint64_t word = eight_byte_scan::load(begin, q, end);
            taken = eight_byte_scan::leadingDigits(word);
            if (taken == 0) {
                break;
            }
            mantissa = mantissa * exactIntegerPowersOfTen[taken] +
                       eight_byte_scan::digitsValue(word, taken);
            q += taken;
            digitCount += taken;
        } while (taken == 8 && digitCount <= mostDigits);
        return digitCount - before;
    };
    // Integer parts are mostly short: a byte at a time until a run shows.
    for (int i = 0; i < 3 && q != end && isDigit(*q); ++i, ++q) {
        mantissa = mantissa * 10 + static_cast<unsigned char>(*q - '0');
        ++digitCount;
    }
    if (digitCount == 3) {
        takeDigits();
    }
    int fractionDigits = 0;
    if (q != end && *q == '.') {
        ++q;
        fractionDigits = takeDigits();
    }
    if (digitCount > mostDigits) {
        return false;
    }
    int exponent = 0;
    if (q != end && (*q == 'e' || *q == 'E')) {
        const char* e = q + 1;
        bool negativeExponent = false;
        if (e != end && (*e == '+' || *e == '-')) {
            negativeExponent = *e == '-';
            ++e;
        }
        if (e != end && isDigit(*e)) {
            for (; e != end && isDigit(*e); ++e) {
                if (exponent >= 10000) {
                    return false;
                }
                exponent = exponent * 10 + (*e - '0');
            }
            if (negativeExponent) {
                exponent = -exponent;
            }
            q = e;
        }
    }
    if (mantissa > largestExactMantissa) {
        return false;
    }
    const int scale = exponent - fractionDigits;
    if (mantissa == 0) {
        value = 0.0;
    } else if (scale >= 0 && scale <= largestExactPower) {
        value = static_cast<double>(mantissa) * exactPowersOfTen[scale];
    } else if (scale < 0 && scale >= -largestExactPower) {
        value = static_cast<double>(mantissa) / exactPowersOfTen[-scale];
    } else {
        return false;
    }
    p = q;
    return true;
#endif
}

}  // namespace

bool hasContent(std::string_view line) noexcept {
    for (const char c : line) {
        if (!isItemSpace(c)) {
            return true;
        }
    }
    return false;
}

bool readWordItem(LineCursor& cursor, std::string_view& word) noexcept {
    if (!skipSpace(cursor)) {
        return false;
    }
    const char* start = cursor.pos;
    while (cursor.pos != cursor.end && !isItemSpace(*cursor.pos)) {
        ++cursor.pos;
    }
    word = std::string_view(start, static_cast<std::size_t>(cursor.pos - start));
    return true;
}

bool readIntegerItem(LineCursor& cursor, std::int32_t& value) noexcept {
    if (!skipSpace(cursor)) {
        return false;
    }
    const char* p = cursor.pos;
    if (*p == '+' || *p == '-') {
        ++p;
    }
    if (p == cursor.end || !isDigit(*p)) {
        cursor.pos = p;
        return false;
    }
    // from_chars takes a minus sign but not a plus sign.
    const char* first = *cursor.pos == '-' ? cursor.pos : p;
    std::int32_t parsed = 0;
    const auto [next, error] = std::from_chars(first, cursor.end, parsed);
    cursor.pos = next;
    if (error != std::errc{}) {
        return false;
    }
    value = parsed;
    return true;
}

RealItem readReal(LineCursor& cursor) noexcept {
    if (!skipSpace(cursor)) {
        return {0.0, false};
    }
    const char* p = cursor.pos;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    // The sign is ours to take; what follows must start a plain decimal, so
    // that the parser sees no second sign, no "inf" or "nan".
    const bool startsNumber =
        p != cursor.end && (isDigit(*p) || (*p == '.' && p + 1 != cursor.end && isDigit(p[1])));
    if (!startsNumber) {
        cursor.pos = p;
        return {0.0, false};
    }
    double parsed = 0.0;
    if (readPlainDecimal(cursor.begin, p, cursor.end, parsed)) {
        cursor.pos = p;
        return {negative ? -parsed : parsed, true};
    }
    // Anything longer goes to fast_float, which rounds correctly, gives
    // infinity above the range of a double and zero below it.
    const auto result = fast_float::from_chars(p, cursor.end, parsed);
    cursor.pos = result.ptr;
    if (result.ec != std::errc{} || std::isinf(parsed)) {
        return {0.0, false};
    }
    return {negative ? -parsed : parsed, true};
}

}  // namespace blockavg
