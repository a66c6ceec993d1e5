#include "trajectory/xmol_items.hpp"

#include <charconv>
#include <system_error>

namespace blockavg {
namespace {

constexpr bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }

// Moves the cursor to the next non-space byte; false when the line ends.
bool skipSpace(LineCursor& cursor) noexcept {
    while (cursor.pos != cursor.end && isItemSpace(*cursor.pos)) {
        ++cursor.pos;
    }
    return cursor.pos != cursor.end;
}

// For a number that std::from_chars found out of range: whether it is too
// small for a double (rather than too large). Compares the decimal exponent
// of the leading nonzero digit with zero; out-of-range values lie hundreds of
// orders of magnitude from it, so a saturated estimate is enough.
bool isTooSmall(const char* first, const char* last) noexcept {
    constexpr long long saturation = 1'000'000'000;
    const char* p = first;
    // Integer digits from the first nonzero one on.
    long long integerDigits = 0;
    for (; p != last && isDigit(*p); ++p) {
        if ((integerDigits > 0 || *p != '0') && integerDigits < saturation) {
            ++integerDigits;
        }
    }
    // Without an integer part, the zeros after the point before a nonzero digit.
    long long fractionZeros = 0;
    if (p != last && *p == '.') {
        ++p;
        bool seenNonzero = false;
        for (; p != last && isDigit(*p); ++p) {
            seenNonzero = seenNonzero || *p != '0';
            if (!seenNonzero && fractionZeros < saturation) {
                ++fractionZeros;
            }
        }
    }
    const long long leadExponent = integerDigits > 0 ? integerDigits - 1 : -(fractionZeros + 1);
    long long exponent = 0;
    if (p != last && (*p == 'e' || *p == 'E')) {
        ++p;
        bool negative = false;
        if (p != last && (*p == '+' || *p == '-')) {
            negative = *p == '-';
            ++p;
        }
        for (; p != last && isDigit(*p); ++p) {
            if (exponent < saturation) {
                exponent = exponent * 10 + (*p - '0');
            }
        }
        if (negative) {
            exponent = -exponent;
        }
    }
    return leadExponent + exponent < 0;
}

}  // namespace

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

bool readRealItem(LineCursor& cursor, double& value) noexcept {
    if (!skipSpace(cursor)) {
        return false;
    }
    const char* p = cursor.pos;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    // The sign is ours to take; what follows must start a plain decimal, so
    // that from_chars sees no second sign, no "inf" or "nan".
    const bool startsNumber =
        p != cursor.end && (isDigit(*p) || (*p == '.' && p + 1 != cursor.end && isDigit(p[1])));
    if (!startsNumber) {
        cursor.pos = p;
        return false;
    }
    double parsed = 0.0;
    const auto [next, error] = std::from_chars(p, cursor.end, parsed, std::chars_format::general);
    cursor.pos = next;
    if (error == std::errc::result_out_of_range) {
        if (!isTooSmall(p, next)) {
            return false;
        }
        parsed = 0.0;
    } else if (error != std::errc{}) {
        return false;
    }
    value = negative ? -parsed : parsed;
    return true;
}

}  // namespace blockavg
