// Micro-benchmarks of the item readers and of laying out averaged frames, on
// tokens and lines as simulation codes write them.
//
//   build/bench/bench/blockavg_micro [--benchmark_filter=REGEX]

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "numbers/number_format.hpp"
#include "xmol/averaged_frame_layout.hpp"
#include "xmol/xmol_items.hpp"

namespace {

using blockavg::LineCursor;

// Atom lines in the layouts met most: fixed-width MD output, plain
// space-separated output with more decimals, and Fortran-style exponents.
constexpr std::array<std::string_view, 8> atomLines = {
    "    O     1.507893     1.372949     1.381728",
    "    H     4.695966    -1.577085    21.513042",
    "   OW    12.345678   -10.000001     0.000123",
    "   CA   -31.250000     7.777777    -0.500000",
    "O 1.50789312 1.37294958 1.38172811",
    "H -14.69596604 1.57708512 21.51304277",
    "Ar  1.0000000000E+01  -3.4400000000E-02   5.2500000000E+00",
    "C\t0.125\t-7.5\t3.0625",
};

constexpr std::array<std::string_view, 6> wordTokens = {"    O", "H", "   OW", "CA", "Ar", "HW2"};
constexpr std::array<std::string_view, 6> integerTokens = {"2000",   "   216",  "3",
                                                           "108000", "1000000", "-17"};
constexpr std::array<std::string_view, 8> realTokens = {
    "    1.507893", "   -1.577085", "21.513042",  "1.50789312",
    "-14.69596604", "0.000123",     "-3.44E-002", "1.0000000000E+01"};

template <std::size_t N>
std::int64_t totalBytes(const std::array<std::string_view, N>& items) {
    std::int64_t bytes = 0;
    for (std::string_view item : items) {
        bytes += static_cast<std::int64_t>(item.size());
    }
    return bytes;
}

void BM_ReadWordItem(benchmark::State& state) {
    for (auto _ : state) {
        for (std::string_view token : wordTokens) {
            LineCursor cursor(token);
            std::string_view word;
            benchmark::DoNotOptimize(blockavg::readWordItem(cursor, word));
            benchmark::DoNotOptimize(word);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(wordTokens.size()));
    state.SetBytesProcessed(state.iterations() * totalBytes(wordTokens));
}
BENCHMARK(BM_ReadWordItem);

void BM_ReadIntegerItem(benchmark::State& state) {
    for (auto _ : state) {
        for (std::string_view token : integerTokens) {
            LineCursor cursor(token);
            std::int32_t value = 0;
            benchmark::DoNotOptimize(blockavg::readIntegerItem(cursor, value));
            benchmark::DoNotOptimize(value);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(integerTokens.size()));
    state.SetBytesProcessed(state.iterations() * totalBytes(integerTokens));
}
BENCHMARK(BM_ReadIntegerItem);

void BM_ReadRealItem(benchmark::State& state) {
    for (auto _ : state) {
        for (std::string_view token : realTokens) {
            LineCursor cursor(token);
            double value = 0.0;
            benchmark::DoNotOptimize(blockavg::readRealItem(cursor, value));
            benchmark::DoNotOptimize(value);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(realTokens.size()));
    state.SetBytesProcessed(state.iterations() * totalBytes(realTokens));
}
BENCHMARK(BM_ReadRealItem);

// A whole atom line the way the frame reader takes it: a name, then x, y, z.
void BM_ReadAtomLine(benchmark::State& state) {
    for (auto _ : state) {
        for (std::string_view line : atomLines) {
            LineCursor cursor(line);
            std::string_view name;
            double x = 0.0;
            double y = 0.0;
            double z = 0.0;
            const bool ok = blockavg::readWordItem(cursor, name) &&
                            blockavg::readRealItem(cursor, x) &&
                            blockavg::readRealItem(cursor, y) && blockavg::readRealItem(cursor, z);
            benchmark::DoNotOptimize(ok);
            benchmark::DoNotOptimize(name);
            benchmark::DoNotOptimize(x + y + z);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(atomLines.size()));
    state.SetBytesProcessed(state.iterations() * totalBytes(atomLines));
}
BENCHMARK(BM_ReadAtomLine);

// The three numbers of an averaged atom line in fixed notation.
void BM_FormatFixedAtomLine(benchmark::State& state) {
    constexpr std::array<double, 9> values = {1.5620983,   -1.58194612, 21.5873469,
                                              -31.25,      7.77777777,  0.000123456,
                                              123.4567891, -0.5,        40.58351234};
    char text[3 * blockavg::maxFormattedNumberLength];
    for (auto _ : state) {
        for (std::size_t i = 0; i < values.size(); i += 3) {
            char* end = blockavg::formatFixed(text, values[i]);
            end = blockavg::formatFixed(end, values[i + 1]);
            end = blockavg::formatFixed(end, values[i + 2]);
            benchmark::DoNotOptimize(end);
            benchmark::ClobberMemory();
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(values.size() / 3));
}
BENCHMARK(BM_FormatFixedAtomLine);

// One averaged frame of state.range(0) atoms laid out in memory, as the
// pool lays it out from a batch's sums.
void BM_LayOutAveragedFrame(benchmark::State& state) {
    const auto atomCount = static_cast<std::size_t>(state.range(0));
    std::vector<std::string_view> names(atomCount);
    std::vector<blockavg::Coordinates> sums(atomCount);
    for (std::size_t i = 0; i < atomCount; ++i) {
        names[i] = i % 3 == 0 ? "O" : "H";
        sums[i] = {100.0 * (1.5 + 0.37 * static_cast<double>(i % 13)),
                   100.0 * (-4.25 + 0.61 * static_cast<double>(i % 17)),
                   100.0 * (0.125 + 1.13 * static_cast<double>(i % 11))};
    }
    blockavg::FrameHead head;
    head.count = static_cast<std::int32_t>(atomCount);
    head.hasBox = true;
    head.stepLabel = "1000";
    head.boxSum = 4058.35;
    head.blockLength = 100;
    head.fixedNotation = true;
    std::vector<char> buffer;
    for (auto _ : state) {
        const std::size_t end = blockavg::layOutFrameHead(head, buffer, 0);
        benchmark::DoNotOptimize(
            blockavg::layOutAtomLines(names, sums, head.blockLength, buffer, end));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_LayOutAveragedFrame)->Arg(2000);

}  // namespace

BENCHMARK_MAIN();
