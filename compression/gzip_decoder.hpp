#pragma once

// gzip input, whichever library inflates it (ISA-L in gzip_isal.cpp, zlib
// in gzip_zlib.cpp): the members one after another, each header read here
// as RFC 1952 has it (every flag, in any combination, the header checksum
// checked), and what follows the last member. Zero bytes there (as tar and
// some writers leave) are passed over in silence; any other bytes are
// passed over with a note for a warning.

#include <cstddef>
#include <cstdint>
#include <string>

#include "compression/decoder.hpp"

namespace blockavg {

// A gzip member's header, read as its bytes come.
class GzipHeaderReader {
public:
    enum class Result { more, done, notGzip, damaged };

    // Starts on a new header.
    void reset() noexcept;

    // Reads from `bytes`, taking `used` of them: `done` at the end of the
    // header, `more` when all were taken and more are needed, `notGzip`
    // when they do not start with gzip's two identifying bytes, `damaged`
    // with problem() saying what is wrong (or, when unreadable(), what the
    // data does that blockavg cannot read).
    Result read(const unsigned char* bytes, std::size_t size, std::size_t& used);

    const char* problem() const noexcept { return problem_; }
    bool unreadable() const noexcept { return unreadable_; }
    // After `notGzip`: how many identifying bytes (0x1f) were taken, in
    // this read or in earlier ones.
    std::size_t identifyingBytesTaken() const noexcept { return got_; }

private:
    enum class Field { fixed, extraLength, extra, name, comment, headerCrc };

    // The field after `field`, as the flags have them; false after the last.
    bool advance(Field after);

    Field field_ = Field::fixed;
    unsigned char fixed_[10] = {};
    std::size_t got_ = 0;  // bytes of the current field read
    std::size_t extraLength_ = 0;
    std::uint32_t crc_ = 0;  // of the header's bytes so far
    std::uint16_t headerCrc_ = 0;
    const char* problem_ = "";
    bool unreadable_ = false;
};

// The CRC-32 of gzip (and of the header checksum), carried on over `bytes`.
std::uint32_t gzipCrc32(std::uint32_t crc, const unsigned char* bytes, std::size_t size) noexcept;

// The members one after another: their headers read here, their deflate
// data inflated by the library of a subclass, which checks each member's
// trailer (its CRC-32 and size): a member's text counts as checked once its
// trailer has been found right.
class GzipDecoder : public Decoder {
public:
    Step step(std::span<const unsigned char> in, std::uint64_t at, Flow flow, std::span<char> out,
              bool unitsInFlight, Unit& fresh) final;
    std::string endNote() const final { return note_; }

protected:
    // What one call of the library did on a member's deflate data and
    // trailer.
    struct Inflated {
        std::size_t used = 0;      // compressed bytes taken
        std::size_t produced = 0;  // text bytes written
        bool memberEnded = false;  // the trailer read and found right
        Fault fault = Fault::damaged;
        std::string damage;  // what is wrong with the data, if anything
    };

    // Starts the library on a member's deflate data.
    virtual void startBody() = 0;
    // Inflates from `in` into `out`. `in` is empty at the end of the input,
    // to take out what the library still holds.
    virtual Inflated inflate(const unsigned char* in, std::size_t inSize, char* out,
                             std::size_t outSize) = 0;

private:
    enum class Phase { header, body, between, trailing };

    Step inflateStep(std::span<const unsigned char> in, Flow flow, std::span<char> out);
    Step atTheEnd(std::span<char> out);
    Step failure(Fault fault, std::string detail) const;

    Phase phase_ = Phase::header;
    GzipHeaderReader header_;
    std::uint64_t memberAt_ = 0;  // where the member being read begins
    std::uint64_t trailing_ = 0;  // bytes after the last member
    bool trailingData_ = false;   // any of them other than zero
    std::string note_;
};

}  // namespace blockavg
