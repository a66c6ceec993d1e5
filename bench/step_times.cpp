// Where the averaging pass spends its time: runs it over a file, as
// blockavg would, with a given number of threads, and prints the seconds
// spent in each step of the pipeline, summed over threads, then the wall
// time. Reading, summing and writing take batches in order; their share of
// the total bounds the speed-up more threads can give (Amdahl's law).
//
//   step_times FILE [BLOCK_LENGTH [THREADS]]
//   prints: reading parsing summing formatting writing wall
//   then:   in-order share: P %

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "io/file_source.hpp"
#include "io/output_file.hpp"
#include "run/averaging_run.hpp"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: step_times FILE [BLOCK_LENGTH [THREADS]]\n");
        return 2;
    }
    blockavg::FileSource input;
    if (!input.open(argv[1])) {
        std::fprintf(stderr, "cannot open %s: %s\n", argv[1], input.errorMessage().c_str());
        return 1;
    }
    blockavg::OutputFile output;
    std::FILE* console = std::fopen("/dev/null", "w");
    if (output.open("/dev/null") != blockavg::OutputFile::OpenResult::opened ||
        console == nullptr) {
        std::fprintf(stderr, "cannot open /dev/null\n");
        return 1;
    }
    blockavg::RunSettings settings;
    settings.blockLength = argc > 2 ? std::atoi(argv[2]) : 100;
    settings.threads = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 1;
    const blockavg::RunStreams streams{input, argv[1], output, "/dev/null", console, stderr};
    blockavg::RunTimes times;
    const auto started = std::chrono::steady_clock::now();
    const bool succeeded = blockavg::averageTrajectory(streams, settings, &times);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%.4f %.4f %.4f %.4f %.4f %.4f\n", times.reading, times.parsing, times.summing,
                times.formatting, times.writing, wall);
    const double inOrder = times.reading + times.summing + times.writing;
    const double all = inOrder + times.parsing + times.formatting;
    std::printf("in-order share: %.1f %%\n", all > 0.0 ? 100.0 * inOrder / all : 0.0);
    std::fclose(console);
    return succeeded ? 0 : 1;
}
