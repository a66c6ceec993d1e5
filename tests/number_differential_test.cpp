// The fast paths for reading and printing numbers against the standard
// library's conversions, over many generated cases: every result must be the
// same double, the same bytes and the same cursor position.
//
// A million cases of each kind with the long sweeps on (BLOCKAVG_LONG_TESTS),
// a few thousand otherwise; BLOCKAVG_DIFFERENTIAL_COUNT in the environment
// sets the number for long runs outside the test suite.

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <system_error>

#include "numbers/number_format.hpp"
#include "xmol/xmol_items.hpp"

namespace blockavg {
namespace {

long caseCount() {
    if (const char* text = std::getenv("BLOCKAVG_DIFFERENTIAL_COUNT")) {
        return std::atol(text);
    }
    if (!BLOCKAVG_LONG_TESTS) {
        return 20'000;
    }
#ifdef BLOCKAVG_SANITIZED
    return 100'000;
#else
    return 1'000'000;
#endif
}

std::uint64_t bitsOf(double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// What readRealItem must do, built on the standard from_chars alone: the sign by hand, a
// digit (or a point and a digit) next, then from_chars. Out-of-range values
// are left out: they never take the fast path, and the table tests cover them.
struct Reference {
    bool inRange;
    bool ok;
    double value;
    std::size_t consumed;
};

Reference referenceRead(const std::string& text) {
    const char* p = text.data();
    const char* end = p + text.size();
    while (p != end && isItemSpace(*p)) {
        ++p;
    }
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    if (p == end || !(isDigit(*p) || (*p == '.' && p + 1 != end && isDigit(p[1])))) {
        return {true, false, 0.0, static_cast<std::size_t>(p - text.data())};
    }
    double parsed = 0.0;
    const auto [next, error] = std::from_chars(p, end, parsed, std::chars_format::general);
    if (error == std::errc::result_out_of_range) {
        return {false, false, 0.0, 0};
    }
    return {true, error == std::errc{}, negative ? -parsed : parsed,
            static_cast<std::size_t>(next - text.data())};
}

class NumberSamples {
public:
    explicit NumberSamples(std::uint64_t seed) : random_(seed) {}

    std::uint64_t below(std::uint64_t bound) { return random_() % bound; }

    void appendDigits(std::string& text, std::uint64_t count) {
        for (std::uint64_t i = 0; i < count; ++i) {
            text += static_cast<char>('0' + below(10));
        }
    }

    // A decimal of the shapes simulation codes print, and far beyond them:
    // signs, leading zeros, up to 30 digits on either side of the point,
    // exponents, and what may follow a number on a line.
    std::string decimal() {
        std::string text;
        if (below(4) == 0) {
            text += below(2) == 0 ? '-' : '+';
        }
        text.append(below(4) == 0 ? below(4) : 0, '0');
        appendDigits(text, below(3) == 0 ? below(31) : below(4));
        if (below(5) != 0) {
            text += '.';
            appendDigits(text, below(3) == 0 ? below(31) : below(10));
        }
        if (text.find_first_of("0123456789") == std::string::npos) {
            text += static_cast<char>('0' + below(10));
        }
        if (below(4) == 0) {
            text += below(2) == 0 ? 'e' : 'E';
            const std::uint64_t sign = below(3);
            if (sign != 0) {
                text += sign == 1 ? '-' : '+';
            }
            appendDigits(text, below(5));
        }
        static const char* const tails[] = {"", "", "", " 1.5", "x", ".", "e", "e+", "-2", "\t"};
        text += tails[below(std::size(tails))];
        return text;
    }

    // Bytes from a number's alphabet, in any order.
    std::string jumble() {
        static constexpr char alphabet[] = "0123456789012345678901234567890..eE+- ";
        std::string text;
        const std::uint64_t length = 1 + below(30);
        for (std::uint64_t i = 0; i < length; ++i) {
            text += alphabet[below(sizeof alphabet - 1)];
        }
        return text;
    }

    // Integers around 2^53, where the fast path hands over to from_chars,
    // with the point somewhere among their digits.
    std::string nearExactLimit() {
        const std::uint64_t limit = std::uint64_t{1} << 53;
        const std::string digits = std::to_string(limit - 3 + below(7));
        const std::size_t point = below(digits.size() + 1);
        return digits.substr(0, point) + "." + digits.substr(point);
    }

    // A double of any bit pattern.
    double anyDouble() {
        const std::uint64_t bits = random_();
        double value = 0.0;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    // A double of a coordinate's or a sum's magnitude, either sign.
    double coordinate() {
        const auto exponent = static_cast<int>(below(80)) - 40;
        const double fraction = static_cast<double>(random_() >> 11) * 0x1p-53;
        const double value = std::ldexp(fraction, exponent);
        return below(2) == 0 ? value : -value;
    }

    // Averages of six-decimal inputs, and doubles that end in an exact half
    // of the last printed digit (k / 2^j), where rounding ties to even.
    double average() {
        const auto micros = static_cast<double>(below(2'000'000'000'000));
        return micros / 1e6 / static_cast<double>(1 + below(100));
    }
    double tie() {
        return static_cast<double>(below(100'000'000)) /
               static_cast<double>(std::uint64_t{1} << below(12));
    }

private:
    std::mt19937_64 random_;
};

TEST(NumberDifferential, ReadRealItemMatchesFromChars) {
    NumberSamples samples(20261208);
    const long count = caseCount();
    long mismatches = 0;
    for (long i = 0; i < count && mismatches < 10; ++i) {
        const std::uint64_t kind = samples.below(8);
        const std::string text = kind < 5   ? samples.decimal()
                                 : kind < 7 ? samples.jumble()
                                            : samples.nearExactLimit();
        const Reference expected = referenceRead(text);
        if (!expected.inRange) {
            continue;
        }
        LineCursor cursor(text);
        double value = -777.25;
        const bool ok = readRealItem(cursor, value);
        const bool same =
            ok == expected.ok && (!ok || (bitsOf(value) == bitsOf(expected.value) &&
                                          cursor.pos == text.data() + expected.consumed));
        if (!same) {
            ++mismatches;
            ADD_FAILURE() << "\"" << text << "\": read " << ok << " " << value << " up to "
                          << cursor.pos - text.data() << "; from_chars " << expected.ok << " "
                          << expected.value << " up to " << expected.consumed;
        }
    }
}

// Formats each edge, its neighbours and their negatives, then `count`
// generated doubles of every kind with a neighbour towards `towards`, until
// ten mismatches.
template <typename Check>
void checkEdgesAndSamples(std::span<const double> edges, NumberSamples& samples, long count,
                          const long& mismatches, double towards, const Check& check) {
    for (const double edge : edges) {
        for (const double value :
             {edge, std::nextafter(edge, 0.0), std::nextafter(edge, INFINITY)}) {
            check(value);
            check(-value);
        }
    }
    for (long i = 0; i < count && mismatches < 10; ++i) {
        const std::uint64_t kind = samples.below(4);
        const double value = kind == 0   ? samples.anyDouble()
                             : kind == 1 ? samples.coordinate()
                             : kind == 2 ? samples.average()
                                         : samples.tie();
        check(value);
        check(std::nextafter(value, towards));
    }
}

TEST(NumberDifferential, FixedNotationMatchesToChars) {
    NumberSamples samples(8122026);
    const long count = caseCount();
    long mismatches = 0;
    const auto check = [&](double value) {
        char fast[maxFormattedNumberLength];
        char standard[maxFormattedNumberLength];
        const std::string_view got(fast, static_cast<std::size_t>(formatFixed(fast, value) - fast));
        const auto result =
            std::to_chars(standard, standard + sizeof standard, value, std::chars_format::fixed, 6);
        const std::string_view want(standard, static_cast<std::size_t>(result.ptr - standard));
        if (got != want) {
            ++mismatches;
            ADD_FAILURE() << std::hexfloat << value << ": " << got << " instead of " << want;
        }
        // Right-aligned in the writer's 12 columns.
        char field[maxFormattedNumberLength + 12];
        const std::string_view gotField(
            field, static_cast<std::size_t>(formatFixedField(field, value, 12) - field));
        const std::string wantField =
            std::string(want.size() < 12 ? 12 - want.size() : 0, ' ') + std::string(want);
        if (gotField != wantField) {
            ++mismatches;
            ADD_FAILURE() << std::hexfloat << value << ": \"" << gotField << "\" instead of \""
                          << wantField << "\"";
        }
    };
    const double edges[] = {
        0.0, 5e-7, 0x1p-30,    0x1p-11,   0x1p43,       0x1p53,         0.5,          1.5,
        2.5, 1e-6, 0.0078125,  9.9999995, 0.9999995,    999999.9999995, 1e300,        INFINITY,
        NAN, 10.0, 99.9999995, 100.0,     9999.9999995, 8589.0,         8588.9999995, 1.0000005};
    checkEdgesAndSamples(edges, samples, count, mismatches, 0.0, check);
}

TEST(NumberDifferential, GeneralNotationMatchesToChars) {
    NumberSamples samples(9122026);
    const long count = caseCount();
    long mismatches = 0;
    const auto check = [&](double value) {
        char fast[maxFormattedNumberLength];
        char standard[maxFormattedNumberLength];
        const std::string_view got(fast,
                                   static_cast<std::size_t>(formatGeneral(fast, value) - fast));
        const auto result = std::to_chars(standard, standard + sizeof standard, value,
                                          std::chars_format::general, 6);
        const std::string_view want(standard, static_cast<std::size_t>(result.ptr - standard));
        if (got != want) {
            ++mismatches;
            ADD_FAILURE() << std::hexfloat << value << ": " << got << " instead of " << want;
        }
    };
    // The ends of fixed notation, the powers of ten between them, carries
    // into the next digit, and ties of the sixth digit.
    const double edges[] = {1e-4,     1e-3,     1e-2,     0.1,      1.0,          10.0,
                            100.0,    1000.0,   1e4,      1e5,      1e6,          999999.5,
                            999998.5, 99999.95, 9.999995, 0.5,      0.0099999995, 0.00009999995,
                            123456.5, 1.234565, 0.0,      INFINITY, NAN};
    checkEdgesAndSamples(edges, samples, count, mismatches, INFINITY, check);
}

}  // namespace
}  // namespace blockavg
