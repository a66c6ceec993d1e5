// Where the averaging pass spends its processor time: runs it over a file,
// as blockavg would, with a given number of threads, and prints the seconds
// each step took, summed over threads, then the wall time. Walking frames,
// summing and writing take the batches one at a time, in input order (and
// reading too, for input that must be read in order); their share of all
// the time bounds the speed-up more threads can give (Amdahl's law):
// 1 / share.
//
//   step_times FILE [BLOCK_LENGTH [THREADS]]
//   prints: reading lines walking parsing summing layout writing wall
//   then:   in-order share: P %
//
// The averaged frames go to a regular file in the temporary directory, as
// trajectory.xmol would (removed at the end), and the report to /dev/null.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "compression/decompression.hpp"
#include "io/file_source.hpp"
#include "io/output_file.hpp"
#include "run/averaging_run.hpp"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: step_times FILE [BLOCK_LENGTH [THREADS]]\n");
        return 2;
    }
    blockavg::FileSource file;
    if (!file.open(argv[1])) {
        std::fprintf(stderr, "cannot open %s: %s\n", argv[1], file.errorMessage().c_str());
        return 1;
    }
    const unsigned threads = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 1;
    const blockavg::DecodedInput text = blockavg::openText(file);
    if (text.source == nullptr) {
        std::fprintf(stderr, "%s: a compression this build does not read\n", argv[1]);
        return 1;
    }
    const std::filesystem::path outputPath =
        std::filesystem::temp_directory_path() /
        ("step_times-" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".xmol");
    blockavg::OutputFile output;
    std::FILE* report = std::fopen("/dev/null", "w");
    if (output.open(outputPath.string()) != blockavg::OutputFile::OpenResult::opened ||
        report == nullptr) {
        std::fprintf(stderr, "cannot open %s or /dev/null\n", outputPath.string().c_str());
        return 1;
    }
    blockavg::RunSettings settings;
    settings.blockLength = argc > 2 ? std::atoi(argv[2]) : 100;
    settings.threads = threads;
    blockavg::Reporter messages(stderr);
    const blockavg::RunStreams streams{*text.source,        argv[1], output,
                                       outputPath.string(), report,  messages};
    blockavg::RunTimes times;
    const auto started = std::chrono::steady_clock::now();
    const bool succeeded = blockavg::averageTrajectory(streams, settings, &times);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%.4f %.4f %.4f %.4f %.4f %.4f %.4f %.4f\n", times.reading, times.findingLines,
                times.walking, times.parsing, times.summing, times.layingOut, times.writing, wall);
    const double all = times.total();
    std::printf("in-order share: %.1f %%\n", all > 0.0 ? 100.0 * times.inOrder() / all : 0.0);
    std::fclose(report);
    output.close();
    std::filesystem::remove(outputPath);
    return succeeded ? 0 : 1;
}
