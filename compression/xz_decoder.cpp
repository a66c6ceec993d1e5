// xz input (Debian's liblzma-dev), read here part by part as the xz format
// lays it out: streams one after another, as xz -d reads them, each a
// header, blocks, an index and a footer, then padding. A block whose header
// gives its sizes (as xz -T and pixz write them) is cut off as a unit,
// decoded whole by liblzma's block decoder on any thread and checked before
// any of its text is handed out; a block of unknown size (xz -T1 writes one
// per stream), or one that would take more memory in flight than the budget
// allows, is decoded in place and counts as checked at its end. The index is
// checked against the blocks and the footer against the header, as
// liblzma's own stream decoder does. Against that decoder on its threads,
// this keeps to the run's threads and gives each block's check its place.

#include <lzma.h>

#include <new>
#include <string>

#include "compression/decoder.hpp"

namespace blockavg {
namespace {

class XzUnit final : public Unit {
public:
    lzma_check check = LZMA_CHECK_NONE;
};

Problem problemOf(lzma_ret result, const char* place, std::uint64_t at) {
    switch (result) {
        case LZMA_MEM_ERROR:
            return {Fault::outOfMemory, "", place, at};
        case LZMA_OPTIONS_ERROR:
            return {Fault::unreadable, "uses options this build cannot read", place, at};
        case LZMA_DATA_ERROR:
        case LZMA_BUF_ERROR:
            return {Fault::damaged, "corrupt data or a wrong checksum", place, at};
        default:
            return {
                Fault::unreadable,
                "cannot be read (liblzma error " + std::to_string(static_cast<int>(result)) + ")",
                place, at};
    }
}

// A block decoder kept from unit to unit: liblzma reuses its dictionary
// when the next block needs one of the same size.
struct BlockDecoder {
    BlockDecoder() = default;
    BlockDecoder(const BlockDecoder&) = delete;
    BlockDecoder& operator=(const BlockDecoder&) = delete;
    ~BlockDecoder() { lzma_end(&stream); }
    lzma_stream stream = LZMA_STREAM_INIT;
};

class XzDecoder final : public Decoder {
public:
    explicit XzDecoder(std::uint64_t memoryBudget) : budget_(memoryBudget) {
        filters_[0].id = LZMA_VLI_UNKNOWN;
    }
    ~XzDecoder() override {
        lzma_index_hash_end(hash_, nullptr);
        lzma_filters_free(filters_, nullptr);
    }

    std::unique_ptr<Unit> newUnit() const override { return std::make_unique<XzUnit>(); }

    Step step(std::span<const unsigned char> in, std::uint64_t at, Flow flow, std::span<char> out,
              bool unitsInFlight, Unit& fresh) override {
        for (;;) {
            switch (part_) {
                case Part::streamHeader:
                    return streamHeader(in, at, flow);
                case Part::blockHeader:
                    if (!in.empty() && in[0] == 0) {
                        part_ = Part::index;
                        partAt_ = at;
                        continue;
                    }
                    return blockHeader(in, at, flow, unitsInFlight, fresh);
                case Part::block:
                    return blockInPlace(in, flow, out);
                case Part::index:
                    return index(in, flow);
                case Part::footer:
                    return footer(in, flow);
                case Part::padding: {
                    Step taken;
                    while (taken.used < in.size() && in[taken.used] == 0) {
                        ++taken.used;
                    }
                    padding_ += taken.used;
                    if (taken.used == in.size() && flow != Flow::ended) {
                        taken.event = Event::more;
                    } else if (padding_ % 4 != 0) {
                        return failure({Fault::damaged, "stream padding of a wrong size", "stream",
                                        streamAt_});
                    } else if (taken.used == in.size()) {
                        taken.event = Event::ended;
                    } else if (taken.used == 0) {
                        part_ = Part::streamHeader;
                        continue;
                    } else {
                        part_ = Part::streamHeader;
                    }
                    return taken;
                }
            }
        }
    }

    void decode(Unit& unit) const override {
        auto& xz = static_cast<XzUnit&>(unit);
        lzma_filter filters[LZMA_FILTERS_MAX + 1];
        lzma_block block{};
        block.version = 1;
        block.check = xz.check;
        block.filters = filters;
        block.header_size = lzma_block_header_size_decode(unit.bytes[0]);
        // The header was read whole when the unit was cut.
        if (lzma_block_header_decode(&block, nullptr, unit.bytes.data()) != LZMA_OK) {
            throw std::bad_alloc();
        }
        std::unique_ptr<BlockDecoder> decoder = decoders_.take();
        lzma_stream& stream = decoder->stream;
        lzma_ret result = lzma_block_decoder(&stream, &block);
        lzma_filters_free(filters, nullptr);
        stream.next_in = unit.bytes.data() + block.header_size;
        stream.avail_in = unit.bytes.size() - block.header_size;
        while (result == LZMA_OK) {
            std::size_t room = 0;
            stream.next_out = reinterpret_cast<std::uint8_t*>(unit.text.room(room));
            stream.avail_out = room;
            result = lzma_code(&stream, LZMA_RUN);
            unit.text.wrote(room - stream.avail_out);
            if (result == LZMA_OK && stream.avail_in == 0 && stream.avail_out > 0) {
                result = LZMA_DATA_ERROR;  // it wants more than its header said
            }
        }
        unit.whole = result == LZMA_STREAM_END && stream.avail_in == 0;
        decoders_.give(std::move(decoder));
        if (result == LZMA_MEM_ERROR) {
            throw std::bad_alloc();
        }
        if (!unit.whole) {
            unit.problem =
                problemOf(result == LZMA_STREAM_END ? LZMA_DATA_ERROR : result, "block", unit.at);
        }
    }

private:
    enum class Part : std::uint8_t { streamHeader, blockHeader, block, index, footer, padding };

    static Step failure(const Problem& problem) {
        Step taken;
        taken.event = Event::failed;
        taken.problem = problem;
        return taken;
    }

    // More bytes than `in` holds are needed: more, or none come.
    Step needs(Flow flow) const {
        if (flow == Flow::ended) {
            return failure({Fault::cutShort, "", "stream", partAt_});
        }
        Step taken;
        taken.event = Event::more;
        return taken;
    }

    Step streamHeader(std::span<const unsigned char> in, std::uint64_t at, Flow flow) {
        partAt_ = streamAt_ = at;
        if (in.size() < LZMA_STREAM_HEADER_SIZE) {
            return needs(flow);
        }
        const lzma_ret result = lzma_stream_header_decode(&flags_, in.data());
        if (result == LZMA_FORMAT_ERROR) {
            return failure({Fault::damaged, "no xz header where one belongs", "stream", at});
        }
        if (result == LZMA_DATA_ERROR) {
            return failure({Fault::damaged, "its header checksum does not match", "stream", at});
        }
        if (result != LZMA_OK) {
            return failure(problemOf(result, "stream", at));
        }
        hash_ = lzma_index_hash_init(hash_, nullptr);
        if (hash_ == nullptr) {
            throw std::bad_alloc();
        }
        part_ = Part::blockHeader;
        Step taken;
        taken.used = LZMA_STREAM_HEADER_SIZE;
        return taken;
    }

    Step blockHeader(std::span<const unsigned char> in, std::uint64_t at, Flow flow,
                     bool unitsInFlight, Unit& fresh) {
        partAt_ = at;
        if (in.empty() || in.size() < lzma_block_header_size_decode(in[0])) {
            return needs(flow);
        }
        lzma_filters_free(filters_, nullptr);
        block_ = lzma_block{};
        block_.version = 1;
        block_.check = flags_.check;
        block_.filters = filters_;
        block_.header_size = lzma_block_header_size_decode(in[0]);
        const lzma_ret result = lzma_block_header_decode(&block_, nullptr, in.data());
        if (result == LZMA_DATA_ERROR) {
            return failure(
                {Fault::damaged, "its block header checksum does not match", "block", at});
        }
        if (result != LZMA_OK) {
            return failure(problemOf(result, "block", at));
        }
        Step taken;
        // A block of known size, within the budget, is a unit once all of it
        // is here; at the end of the input, one cut short is read in place.
        // (A header may give one size and not the other; sums that would
        // overflow are over the budget.)
        const lzma_vli total = lzma_block_total_size(&block_);
        const std::uint64_t size = block_.uncompressed_size;
        const std::uint64_t memory = lzma_raw_decoder_memusage(filters_);
        if (total != 0 && total != LZMA_VLI_UNKNOWN && size != LZMA_VLI_UNKNOWN &&
            total <= budget_ && size <= budget_ - total && memory <= budget_ - total - size) {
            const std::uint64_t cost = total + size + memory;
            if (in.size() >= total || flow != Flow::ended) {
                if (in.size() < total) {
                    taken.event = Event::more;
                    return taken;
                }
                if (lzma_index_hash_append(hash_, lzma_block_unpadded_size(&block_),
                                           block_.uncompressed_size) != LZMA_OK) {
                    return failure(
                        {Fault::damaged, "a block larger than the format allows", "block", at});
                }
                auto& unit = static_cast<XzUnit&>(fresh);
                unit.bytes.assign(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(total));
                unit.at = at;
                unit.cost = cost;
                unit.check = flags_.check;
                taken.used = static_cast<std::size_t>(total);
                taken.event = Event::unit;
                return taken;
            }
        }
        if (unitsInFlight) {
            taken.event = Event::waits;
            return taken;
        }
        const lzma_ret started = lzma_block_decoder(&inPlace_.stream, &block_);
        lzma_filters_free(filters_, nullptr);
        if (started != LZMA_OK) {
            return failure(problemOf(started, "block", at));
        }
        part_ = Part::block;
        taken.used = block_.header_size;
        return taken;
    }

    Step blockInPlace(std::span<const unsigned char> in, Flow flow, std::span<char> out) {
        lzma_stream& stream = inPlace_.stream;
        stream.next_in = in.data();
        stream.avail_in = in.size();
        stream.next_out = reinterpret_cast<std::uint8_t*>(out.data());
        stream.avail_out = out.size();
        const lzma_ret result = lzma_code(&stream, LZMA_RUN);
        Step taken;
        taken.used = in.size() - stream.avail_in;
        taken.produced = out.size() - stream.avail_out;
        if (result == LZMA_STREAM_END) {
            if (lzma_index_hash_append(hash_, lzma_block_unpadded_size(&block_),
                                       block_.uncompressed_size) != LZMA_OK) {
                taken.event = Event::failed;
                taken.problem = {Fault::damaged, "a block larger than the format allows", "block",
                                 partAt_};
                return taken;
            }
            part_ = Part::blockHeader;
            taken.event = Event::checked;
        } else if (result != LZMA_OK && result != LZMA_BUF_ERROR) {
            taken.event = Event::failed;
            taken.problem = problemOf(result, "block", partAt_);
        } else if (taken.used == in.size() && taken.produced < out.size()) {
            // (Called again without progress, liblzma says so: more is needed.)
            const Step more = needs(flow);
            taken.event = more.event;
            taken.problem = more.problem;
        }
        return taken;
    }

    Step index(std::span<const unsigned char> in, Flow flow) {
        std::size_t position = 0;
        const lzma_ret result = lzma_index_hash_decode(hash_, in.data(), &position, in.size());
        Step taken;
        taken.used = position;
        if (result == LZMA_STREAM_END) {
            part_ = Part::footer;
        } else if (result == LZMA_OK || result == LZMA_BUF_ERROR) {
            const Step more = needs(flow);
            taken.event = more.event;
            taken.problem = more.problem;
        } else {
            taken.event = Event::failed;
            taken.problem = {Fault::damaged, "its index does not match its blocks", "index",
                             partAt_};
        }
        return taken;
    }

    Step footer(std::span<const unsigned char> in, Flow flow) {
        if (in.size() < LZMA_STREAM_HEADER_SIZE) {
            return needs(flow);
        }
        lzma_stream_flags footer{};
        const lzma_ret result = lzma_stream_footer_decode(&footer, in.data());
        if (result != LZMA_OK || lzma_index_hash_size(hash_) != footer.backward_size ||
            lzma_stream_flags_compare(&flags_, &footer) != LZMA_OK) {
            return failure(result == LZMA_OPTIONS_ERROR
                               ? problemOf(result, "stream", streamAt_)
                               : Problem{Fault::damaged, "its footer does not match its header",
                                         "stream", streamAt_});
        }
        part_ = Part::padding;
        padding_ = 0;
        Step taken;
        taken.used = LZMA_STREAM_HEADER_SIZE;
        return taken;
    }

    const std::uint64_t budget_;
    Part part_ = Part::streamHeader;
    std::uint64_t streamAt_ = 0;  // where the stream being read begins
    std::uint64_t partAt_ = 0;    // and its part being read
    lzma_stream_flags flags_{};
    lzma_index_hash* hash_ = nullptr;
    lzma_filter filters_[LZMA_FILTERS_MAX + 1];
    lzma_block block_{};
    BlockDecoder inPlace_;  // the block decoded in place
    std::uint64_t padding_ = 0;
    mutable Workspaces<BlockDecoder> decoders_;
};

}  // namespace

std::unique_ptr<Decoder> makeXzDecoder(std::uint64_t memoryBudget) {
    return std::make_unique<XzDecoder>(memoryBudget);
}

}  // namespace blockavg
