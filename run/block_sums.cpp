#include "run/block_sums.hpp"

#include <cstdio>
#include <iterator>
#include <new>
#include <optional>

#include "host/available_memory.hpp"

namespace blockavg {
namespace {

// What the run holds per atom of its largest frame, in bytes, with room
// to spare: the sums (24) and the frame's share of the batches in flight.
constexpr std::uint64_t bytesPerAtom = 80;

// A size for messages, in binary units with one decimal ("5.2 GiB").
std::string humanSize(std::uint64_t bytes) {
    if (bytes < 1024) {
        return std::to_string(bytes) + " bytes";
    }
    constexpr const char* units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1023.95 && unit + 1 < std::size(units)) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

}  // namespace

bool BlockSums::add(Batch& batch) {
    SummedBatch& summed = batch.summed;
    summed.clear();
    const std::vector<FramePiece>& pieces = batch.frames.pieces;
    BatchItems& items = batch.items;
    std::size_t frame = 0;  // among the frames that start in the batch
    for (const FramePiece& piece : pieces) {
        if (piece.startsFrame) {
            const CommentItems& comment = items.comments[frame++];
            if (!holdAtoms(piece, summed)) {
                summed.lastCountOnly = true;
                return false;
            }
            boxSum_ += comment.boxValue;
            position_ = 0;
            if (piece.closesBlock) {
                summed.heads.push_back({piece.count, comment.boxTag == "BOX:", comment.stepLabel,
                                        boxSum_, blockLength_, notation_.next(piece.count)});
                boxSum_ = 0.0;
            }
        }
        Coordinates* const atoms = items.atoms.data() + piece.firstAtom;
        Coordinates* const into = sums_.data() + position_;
        if (piece.closesBlock) {
            for (std::uint32_t atom = 0; atom < piece.atomLines; ++atom) {
                into[atom].x += atoms[atom].x;
                into[atom].y += atoms[atom].y;
                into[atom].z += atoms[atom].z;
                atoms[atom] = into[atom];
                into[atom] = {};
            }
        } else {
            for (std::uint32_t atom = 0; atom < piece.atomLines; ++atom) {
                into[atom].x += atoms[atom].x;
                into[atom].y += atoms[atom].y;
                into[atom].z += atoms[atom].z;
            }
        }
        position_ += piece.atomLines;
        ++summed.pieces;
        switch (piece.ending) {
            case FrameEnding::continues:
                break;
            case FrameEnding::complete:
                ++framesRead_;
                break;
            case FrameEnding::inputEnded: {
                // The lines the input ended without, read as one empty line.
                // (A frame of no atoms may end inside its comment.)
                const auto missing = static_cast<std::size_t>(piece.missingLines);
                if (missing > 0) {
                    const Coordinates& atom = atoms[piece.atomLines];
                    for (std::size_t at = position_; at < position_ + missing; ++at) {
                        sums_[at].x += atom.x;
                        sums_[at].y += atom.y;
                        sums_[at].z += atom.z;
                    }
                    if (piece.closesBlock) {
                        summed.missingFrom = position_;
                        summed.missingTo = position_ + missing;
                        summed.missingName = items.names[piece.firstName + piece.atomLines];
                    }
                }
                summed.messages.push_back({Reporter::Kind::warning,
                                           input() + " ends inside frame " +
                                               std::to_string(piece.frameNumber) + " of " +
                                               std::to_string(piece.count) +
                                               " atoms; its missing lines repeat earlier values"});
                ++framesRead_;
                break;
            }
            case FrameEnding::readError:
                // Said once the batch is written (run/averaging_run.cpp).
                summed.abandonsFrame = piece.closesBlock;
                failed_ = true;
                break;
        }
    }
    stop(batch.frames, summed);
    return batch.frames.stop == InputStop::none;
}

// More atoms than memory can take (a damaged count line, most often) stop
// the run before they are held: a memory cgroup would otherwise kill the
// process, without a word, once the pages are touched.
bool BlockSums::holdAtoms(const FramePiece& piece, SummedBatch& summed) {
    const auto count = static_cast<std::size_t>(piece.count);
    const auto cannotHold = [&] {
        return "cannot hold the " + std::to_string(piece.count) + " atoms of frame " +
               std::to_string(piece.frameNumber) + " of " + input() + ": ";
    };
    if (count > sums_.size()) {
        const std::uint64_t needs = (count - sums_.size()) * bytesPerAtom;
        const std::optional<std::uint64_t> available = availableMemory();
        if (available && needs > *available) {
            summed.messages.push_back(
                {Reporter::Kind::error, cannotHold() + "needs " + humanSize(needs) + ", " +
                                            humanSize(*available) + " available"});
            failed_ = true;
            return false;
        }
    }
    // Beyond what a vector may hold, or what memory gives: the same.
    try {
        if (count > sums_.max_size()) {
            throw std::bad_alloc();
        }
        sums_.resize(count);
    } catch (const std::bad_alloc&) {
        summed.messages.push_back({Reporter::Kind::error, cannotHold() + "out of memory"});
        failed_ = true;
        return false;
    }
    return true;
}

// What the stop in the batch, if any, has to say.
void BlockSums::stop(const BatchFrames& frames, SummedBatch& summed) {
    const auto line = [&] { return "line " + std::to_string(frames.stopLine) + " of " + input(); };
    switch (frames.stop) {
        case InputStop::none:
        case InputStop::endOfInput:
            break;
        case InputStop::notACount:
            stoppedEarly_ = true;
            summed.messages.push_back(
                {Reporter::Kind::warning, line() + " is not an atom count; stopped reading there"});
            break;
        case InputStop::blankCountLine:
            stoppedEarly_ = true;
            summed.messages.push_back(
                {Reporter::Kind::warning,
                 line() + " is blank where an atom count belongs; stopped reading there"});
            break;
        case InputStop::readError:
            failed_ = true;
            break;
    }
}

}  // namespace blockavg
