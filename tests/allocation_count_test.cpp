// No allocation per line: once the first frames have been read, the averaging
// run reuses its buffers, records and strings. Counted by replacing the
// global operator new of this test executable, so it has one of its own.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "run/averaging_run.hpp"
#include "tests/support/memory_streams.hpp"

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
std::atomic<long> failingAllocation{-1};  // the counted allocation that fails, if any

void* countedAllocation(std::size_t size) noexcept {
    if (counting.load(std::memory_order_relaxed) &&
        allocations.fetch_add(1, std::memory_order_relaxed) ==
            failingAllocation.load(std::memory_order_relaxed)) {
        return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

void* operator new(std::size_t size) {
    if (void* memory = countedAllocation(size)) {
        return memory;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return countedAllocation(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return countedAllocation(size);
}
// GCC takes the free() below for a mismatch with operator new, which is what
// a replacement operator delete must do; the pair here matches.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* memory) noexcept { std::free(memory); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
void operator delete[](void* memory) noexcept { ::operator delete(memory); }
void operator delete(void* memory, std::size_t) noexcept { ::operator delete(memory); }
void operator delete[](void* memory, std::size_t) noexcept { ::operator delete(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { ::operator delete(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { ::operator delete(memory); }

namespace blockavg {
namespace {

#ifdef _WIN32
constexpr const char* nullDevice = "NUL";
#else
constexpr const char* nullDevice = "/dev/null";
#endif

// Frames of four atoms, two of them with names too long for a string's
// inline storage, and a step label as long: those allocate when first
// read and must be reused afterwards.
std::string trajectory(int frames) {
    std::string text;
    for (int frame = 1; frame <= frames; ++frame) {
        const std::string step = std::to_string(1'000'000'000 + frame);
        text += "4\nafter run-" + step + "-step-of-the-production-run steps, BOX: 12.5\n";
        text += "O " + std::to_string(frame % 7) + ".25 -2.5 3.125\n";
        text += "hydrogen-atom-number-one 0.75 -1.5 2.25\n";
        text += "hydrogen-atom-number-two -0.75 1.5 -2.25\n";
        text += "Cl " + std::to_string(frame) + " 0 0\n";
    }
    return text;
}

// Allocations made by one averaging run over `frames` frames that arrive
// `chunkSize` bytes at a time.
long allocationsForRun(int frames, std::size_t chunkSize) {
    const std::string input = trajectory(frames);
    fuzzing::MemorySource source(input, chunkSize);
    fuzzing::MemorySink sink;
    std::FILE* console = std::fopen(nullDevice, "w");
    EXPECT_NE(console, nullptr);
    Reporter messages(console);
    const RunStreams streams{source, "in.xyz", sink, "trajectory.xmol", console, messages};
    RunSettings settings;
    settings.blockLength = 5;
    allocations = 0;
    counting = true;
    const bool succeeded = averageTrajectory(streams, settings);
    counting = false;
    std::fclose(console);
    EXPECT_TRUE(succeeded);
    EXPECT_GT(sink.bytes().size(), 0u);
    return allocations;
}

// Once the buffers, records and strings that frames need have been made,
// more frames cost no allocation: not per line, not per frame, not per
// batch. Buffers that grow by doubling to their largest size account for a
// few more in a longer run; 2000 more frames of four atoms would make
// thousands more if anything were allocated per line or per frame.
TEST(AllocationCount, DoesNotGrowWithTheNumberOfFrames) {
    for (const std::size_t chunkSize : {fuzzing::never, std::size_t{4096}}) {
        SCOPED_TRACE(std::to_string(chunkSize) + " bytes per read");
        const long thousandFrames = allocationsForRun(1000, chunkSize);
        const long threeThousandFrames = allocationsForRun(3000, chunkSize);
        RecordProperty("allocations_1000_frames", std::to_string(thousandFrames));
        RecordProperty("allocations_3000_frames", std::to_string(threeThousandFrames));
        EXPECT_GT(thousandFrames, 0) << "the counting operator new is not in use";
        EXPECT_LE(threeThousandFrames - thousandFrames, 30);
    }
}

// A temporary file's text, once written.
std::string textOf(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text.push_back(static_cast<char>(c));
    }
    std::fclose(file);
    return text;
}

struct Outcome {
    bool succeeded;
    std::string output;
    std::string console;
    std::string diagnostics;
};

// A run over `input` in which the allocation numbered `failing` fails (none
// for -1); `made` receives how many allocations the run made.
Outcome runFailingAt(const std::string& input, unsigned threads, std::size_t batchBytes,
                     long failing, long& made) {
    fuzzing::MemorySource source(input, 4096);
    fuzzing::MemorySink sink;
    sink.reserve(input.size());
    std::FILE* console = std::tmpfile();
    std::FILE* diagnostics = std::tmpfile();
    EXPECT_TRUE(console != nullptr && diagnostics != nullptr);
    Reporter messages(diagnostics);
    const RunStreams streams{source, "in.xyz", sink, "trajectory.xmol", console, messages};
    RunSettings settings;
    settings.blockLength = 5;
    settings.threads = threads;
    settings.batchBytes = batchBytes;
    allocations = 0;
    failingAllocation = failing;
    counting = true;
    // As blockavg's main does when memory runs out outside the steps.
    bool succeeded = false;
    try {
        succeeded = averageTrajectory(streams, settings);
    } catch (const std::bad_alloc&) {
        messages.error("out of memory");
    }
    counting = false;
    failingAllocation = -1;
    made = allocations;
    return {succeeded, sink.bytes(), textOf(console), textOf(diagnostics)};
}

// Memory running out at any allocation of a run, on any thread: the run
// ends with status 1 and an out-of-memory message, or carries on (a thread
// that cannot be started leaves its work to the others); it never crashes,
// and the output holds only whole averaged frames. In batches of a KB the
// steps in order of later batches run while an earlier one fails.
TEST(AllocationCount, EveryAllocationThatFailsEndsTheRunCleanly) {
    struct Case {
        int frames;
        unsigned threads;
        std::size_t batchBytes;  // 0: the run's own
    };
    for (const Case& c : {Case{200, 1, 0}, Case{200, 3, 0}, Case{60, 1, 1000}, Case{60, 3, 1000}}) {
        const std::string input = trajectory(c.frames);
        long made = 0;
        const Outcome whole = runFailingAt(input, c.threads, c.batchBytes, -1, made);
        ASSERT_TRUE(whole.succeeded);
        for (long failing = 0; failing < made; ++failing) {
            SCOPED_TRACE(std::to_string(c.threads) + " threads, batches of " +
                         std::to_string(c.batchBytes) + ", allocation " + std::to_string(failing) +
                         " fails");
            long ignored = 0;
            const Outcome result = runFailingAt(input, c.threads, c.batchBytes, failing, ignored);
            if (result.succeeded) {
                EXPECT_EQ(result.output, whole.output);
                EXPECT_EQ(result.console, whole.console);
                continue;
            }
            EXPECT_NE(result.diagnostics.find("out of memory"), std::string::npos)
                << result.diagnostics;
            EXPECT_EQ(whole.output.compare(0, result.output.size(), result.output), 0);
            EXPECT_TRUE(result.output.empty() || result.output.back() == '\n');
        }
    }
}

}  // namespace
}  // namespace blockavg
