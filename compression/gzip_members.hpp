#pragma once

// What the gzip sources share, whichever library inflates: the members one
// after another, each header read here as RFC 1952 has it (every flag, in
// any combination, the header checksum checked), and what follows the last
// member. Zero bytes there (as tar and some writers leave) are passed over
// in silence; any other bytes are passed over with a note for a warning.
// The library inflates each member's deflate data and checks its trailer.

#include <cstddef>
#include <cstdint>
#include <string>

#include "compression/decompressing_source.hpp"

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
    // with problem() saying why.
    Result read(const unsigned char* bytes, std::size_t size, std::size_t& used);

    const char* problem() const noexcept { return problem_; }
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
};

// The CRC-32 of gzip (and of the header checksum), carried on over `bytes`.
std::uint32_t gzipCrc32(std::uint32_t crc, const unsigned char* bytes, std::size_t size) noexcept;

class GzipMembersSource : public DecompressingSource {
public:
    std::ptrdiff_t readSome(char* buffer, std::size_t size) final;
    std::string endNote() const final { return note_; }

protected:
    GzipMembersSource(ByteSource& raw, std::string start);

    // What one call of the library did on a member's deflate data and
    // trailer.
    struct Inflated {
        std::size_t used = 0;      // compressed bytes taken
        std::size_t produced = 0;  // text bytes written
        bool memberEnded = false;  // the trailer read and found right
        std::string damage;        // why the data cannot be inflated, if so
    };

    // Starts the library on a member's deflate data.
    virtual void startBody() = 0;
    // Inflates from `in` into `out`. `in` is empty at the end of the input,
    // to take out what the library still holds.
    virtual Inflated inflate(const unsigned char* in, std::size_t inSize, char* out,
                             std::size_t outSize) = 0;

private:
    enum class Phase { header, body, between, trailing };

    std::ptrdiff_t atTheEnd(char* buffer, std::size_t size);

    Phase phase_ = Phase::header;
    GzipHeaderReader header_;
    std::uint64_t trailing_ = 0;  // bytes after the last member
    bool trailingData_ = false;   // any of them other than zero
    std::string note_;
};

}  // namespace blockavg
