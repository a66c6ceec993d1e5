#include "compression/gzip_decoder.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

namespace blockavg {
namespace {

// The header's flags (RFC 1952, 2.3.1).
constexpr unsigned char flagHeaderCrc = 0x02;
constexpr unsigned char flagExtra = 0x04;
constexpr unsigned char flagName = 0x08;
constexpr unsigned char flagComment = 0x10;
constexpr unsigned char flagsReserved = 0xe0;

constexpr std::array<std::uint32_t, 256> crcTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int bit = 0; bit < 8; ++bit) {
            c = (c & 1) != 0 ? 0xedb88320u ^ (c >> 1) : c >> 1;
        }
        table[n] = c;
    }
    return table;
}();

}  // namespace

std::uint32_t gzipCrc32(std::uint32_t crc, const unsigned char* bytes, std::size_t size) noexcept {
    crc = ~crc;
    for (std::size_t at = 0; at < size; ++at) {
        crc = crcTable[(crc ^ bytes[at]) & 0xff] ^ (crc >> 8);
    }
    return ~crc;
}

void GzipHeaderReader::reset() noexcept {
    field_ = Field::fixed;
    got_ = 0;
    extraLength_ = 0;
    crc_ = 0;
    headerCrc_ = 0;
    problem_ = "";
    unreadable_ = false;
}

bool GzipHeaderReader::advance(Field after) {
    const unsigned char flags = fixed_[3];
    got_ = 0;
    switch (after) {
        case Field::fixed:
            if ((flags & flagExtra) != 0) {
                field_ = Field::extraLength;
                return true;
            }
            [[fallthrough]];
        case Field::extraLength:
        case Field::extra:
            if ((flags & flagName) != 0) {
                field_ = Field::name;
                return true;
            }
            [[fallthrough]];
        case Field::name:
            if ((flags & flagComment) != 0) {
                field_ = Field::comment;
                return true;
            }
            [[fallthrough]];
        case Field::comment:
            if ((flags & flagHeaderCrc) != 0) {
                field_ = Field::headerCrc;
                return true;
            }
            [[fallthrough]];
        case Field::headerCrc:
            break;
    }
    return false;
}

GzipHeaderReader::Result GzipHeaderReader::read(const unsigned char* bytes, std::size_t size,
                                                std::size_t& used) {
    used = 0;
    while (used < size) {
        const unsigned char byte = bytes[used];
        if (field_ != Field::headerCrc) {
            crc_ = gzipCrc32(crc_, &byte, 1);
        }
        ++used;
        switch (field_) {
            case Field::fixed:
                if ((got_ == 0 && byte != 0x1f) || (got_ == 1 && byte != 0x8b)) {
                    --used;
                    return Result::notGzip;
                }
                fixed_[got_++] = byte;
                if (got_ < sizeof fixed_) {
                    continue;
                }
                if (fixed_[2] != 8) {
                    problem_ = "uses a compression method other than deflate";
                    unreadable_ = true;
                    return Result::damaged;
                }
                if ((fixed_[3] & flagsReserved) != 0) {
                    problem_ = "a header with unknown flags";
                    return Result::damaged;
                }
                break;
            case Field::extraLength:
                extraLength_ |= std::size_t{byte} << (8 * got_);
                if (++got_ < 2) {
                    continue;
                }
                if (extraLength_ > 0) {
                    field_ = Field::extra;
                    got_ = 0;
                    continue;
                }
                break;
            case Field::extra:
                if (++got_ < extraLength_) {
                    continue;
                }
                break;
            case Field::name:
            case Field::comment:
                if (byte != 0) {
                    continue;
                }
                break;
            case Field::headerCrc:
                headerCrc_ = static_cast<std::uint16_t>(headerCrc_ | (byte << (8 * got_)));
                if (++got_ < 2) {
                    continue;
                }
                if (headerCrc_ != (crc_ & 0xffff)) {
                    problem_ = "its header checksum does not match";
                    return Result::damaged;
                }
                break;
        }
        if (!advance(field_)) {
            return Result::done;
        }
    }
    return Result::more;
}

Decoder::Step GzipDecoder::failure(Fault fault, std::string detail) const {
    Step taken;
    taken.event = Event::failed;
    taken.problem = {fault, std::move(detail), "member", memberAt_};
    return taken;
}

Decoder::Step GzipDecoder::step(std::span<const unsigned char> in, std::uint64_t at, Flow flow,
                                std::span<char> out, bool /*unitsInFlight*/, Unit& /*fresh*/) {
    if (in.empty() && phase_ != Phase::body) {
        Step taken;
        taken.event = Event::more;
        return flow == Flow::ended ? atTheEnd(out) : taken;
    }
    Step taken;
    switch (phase_) {
        case Phase::between: {
            // Bytes that are no member pass over with a note, but for one
            // whose identifying bytes are right but for one, with deflate's
            // method after them: a member damaged there.
            if (in.size() < 3 && flow != Flow::ended) {
                taken.event = Event::more;
                return taken;
            }
            constexpr unsigned char start[] = {0x1f, 0x8b, 0x08};
            int same = 0;
            for (std::size_t byte = 0; byte < std::min<std::size_t>(in.size(), 3); ++byte) {
                same += in[byte] == start[byte] ? 1 : 0;
            }
            memberAt_ = at;
            if (same == 2 && in.size() >= 3 && in[2] == 0x08) {
                return failure(Fault::damaged, "a member's header that is not one");
            }
            header_.reset();
            phase_ = Phase::header;
            [[fallthrough]];
        }
        case Phase::header: {
            const GzipHeaderReader::Result result = header_.read(in.data(), in.size(), taken.used);
            if (result == GzipHeaderReader::Result::damaged) {
                return failure(header_.unreadable() ? Fault::unreadable : Fault::damaged,
                               header_.problem());
            }
            if (result == GzipHeaderReader::Result::notGzip) {
                // Not another member: the rest is passed over. A 0x1f taken
                // may have come in an earlier read.
                phase_ = Phase::trailing;
                trailing_ = header_.identifyingBytesTaken();
                trailingData_ = trailing_ > 0;
            } else if (result == GzipHeaderReader::Result::done) {
                startBody();
                phase_ = Phase::body;
            }
            return taken;
        }
        case Phase::body:
            return inflateStep(in, flow, out);
        case Phase::trailing:
            trailingData_ =
                trailingData_ ||
                std::any_of(in.begin(), in.end(), [](unsigned char byte) { return byte != 0; });
            trailing_ += in.size();
            taken.used = in.size();
            return taken;
    }
    return taken;
}

Decoder::Step GzipDecoder::inflateStep(std::span<const unsigned char> in, Flow flow,
                                       std::span<char> out) {
    if (in.empty() && flow == Flow::ended) {
        return atTheEnd(out);
    }
    // Without input the library may still hold text to give.
    const Inflated inflated = inflate(in.data(), in.size(), out.data(), out.size());
    Step taken;
    taken.used = inflated.used;
    taken.produced = inflated.produced;
    if (!inflated.damage.empty()) {
        Step failed = failure(inflated.fault, inflated.damage);
        failed.used = taken.used;
        failed.produced = taken.produced;
        return failed;
    }
    if (inflated.memberEnded) {
        phase_ = Phase::between;
        taken.event = Event::checked;
    } else if (inflated.produced == 0 && inflated.used == in.size()) {
        taken.event = Event::more;
    }
    return taken;
}

Decoder::Step GzipDecoder::atTheEnd(std::span<char> out) {
    Step taken;
    switch (phase_) {
        case Phase::body: {
            // The library may hold the last of the data: a call without
            // input gives it out, or shows that the member was cut short.
            const Inflated inflated = inflate(nullptr, 0, out.data(), out.size());
            taken.produced = inflated.produced;
            if (!inflated.damage.empty()) {
                Step failed = failure(inflated.fault, inflated.damage);
                failed.produced = taken.produced;
                return failed;
            }
            if (inflated.memberEnded) {
                phase_ = Phase::between;
                taken.event = Event::checked;
                return taken;
            }
            if (taken.produced > 0) {
                return taken;
            }
            return failure(Fault::cutShort, "");
        }
        case Phase::header:
            return failure(Fault::cutShort, "");
        case Phase::trailing:
            if (trailingData_) {
                note_ = trailing_ == 1
                            ? std::string(
                                  "has 1 byte after its last gzip member that is not "
                                  "gzip data; it was ignored")
                            : "has " + std::to_string(trailing_) +
                                  " bytes after its last gzip member that are not gzip data; "
                                  "they were ignored";
            }
            [[fallthrough]];
        case Phase::between:
            break;
    }
    taken.event = Event::ended;
    return taken;
}

}  // namespace blockavg
