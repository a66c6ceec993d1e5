#pragma once

// Writes averaged frames in this tool's own XMOL layout:
//
//   count
//    after         STEP steps,  BOX:  A A A      (empty unless the tag is "BOX:")
//   NAME XXXXXXXXXXXX YYYYYYYYYYYY ZZZZZZZZZZZZ  (name width 5, numbers width 12)
//
// Numbers use general notation (%g) until the first atom line of the run has
// been written and fixed notation with 6 decimals (%.6f) from then on, box
// averages included. Each frame reaches the file as soon as it is complete.

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "trajectory/atom_record.hpp"
#include "trajectory/number_format.hpp"

namespace blockavg {

inline constexpr const char* outputFileName = "trajectory.xmol";

class AveragedFrameWriter {
public:
    AveragedFrameWriter() = default;
    AveragedFrameWriter(const AveragedFrameWriter&) = delete;
    AveragedFrameWriter& operator=(const AveragedFrameWriter&) = delete;
    ~AveragedFrameWriter();

    // Creates or empties the file. False, with errorMessage(), on failure.
    bool open(const std::string& path);
    // Writes into `stream`, which the caller owns: close() flushes it but
    // leaves it open.
    void openStream(std::FILE* stream);

    // Writes one frame of averages (every sum divided by blockLength, which
    // is at least 1) and flushes it to the file. False once any write has
    // failed; nothing more is written then.
    bool writeAveragedFrame(std::int32_t count, std::string_view boxTag, std::string_view stepLabel,
                            double boxSum, std::int32_t blockLength, const AtomList& atoms);

    // Flushes and closes. False if that, or any earlier write, failed.
    bool close();

    bool hasFailed() const noexcept { return !error_.empty(); }
    const std::string& errorMessage() const noexcept { return error_; }

private:
    void append(std::string_view text);
    void appendPadded(std::string_view text, std::size_t width);
    void appendNumber(double value, std::size_t width);
    void appendAtomLine(const AtomRecord& atom, double divisor);
    void drain();
    void startWriting(std::FILE* file, bool owned);
    void fail(int errorNumber);

    std::FILE* file_ = nullptr;
    bool ownsFile_ = false;
    std::vector<char> buffer_;
    std::size_t used_ = 0;
    bool fixedNotation_ = false;
    std::array<char, maxFormattedNumberLength> digits_{};  // one formatted number
    std::string error_;
};

}  // namespace blockavg
