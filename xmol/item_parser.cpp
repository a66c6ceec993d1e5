#include "xmol/item_parser.hpp"

#include <algorithm>

#include "xmol/xmol_items.hpp"

namespace blockavg {
namespace {

constexpr std::uint32_t notYet = static_cast<std::uint32_t>(-1);

}  // namespace

void parseItems(const BatchLines& lines, const BatchFrames& frames, BatchItems& items) {
    items.comments.resize(frames.frameStarts);
    items.atoms.resize(frames.atomLines);
    items.names.resize(frames.closingLines);

    // The values as this batch sets them, and where each was first read.
    CommentItems comment;
    std::uint32_t firstStepLabel = notYet;
    std::uint32_t firstBoxTag = notYet;
    std::uint32_t firstBoxValue = notYet;
    // Apart, not as Coordinates: a copy of three values just stored one by
    // one would wait for them to reach memory.
    std::string_view name;
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    std::uint32_t firstName = notYet;
    std::uint32_t firstX = notYet;
    std::uint32_t firstY = notYet;
    std::uint32_t firstZ = notYet;
    std::uint32_t frame = 0;
    std::uint32_t namesStored = 0;
    std::uint32_t firstNameStored = notYet;

    for (const FramePiece& piece : frames.pieces) {
        if (piece.startsFrame) {
            // A missing comment line reads like an empty one.
            std::string_view word;
            if (piece.hasComment) {
                LineCursor cursor(lines.line(piece.commentLine));
                if (readWordItem(cursor, word) && readWordItem(cursor, word)) {
                    comment.stepLabel = word;
                    firstStepLabel = std::min(firstStepLabel, frame);
                    if (readWordItem(cursor, word) && readWordItem(cursor, word)) {
                        comment.boxTag = word;
                        firstBoxTag = std::min(firstBoxTag, frame);
                        if (readRealItem(cursor, comment.boxValue)) {
                            firstBoxValue = std::min(firstBoxValue, frame);
                        }
                    }
                }
            }
            items.comments[frame++] = comment;
        }
        Coordinates* const atoms = items.atoms.data() + piece.firstAtom;
        std::string_view* const names =
            piece.closesBlock ? items.names.data() + piece.firstName : nullptr;
        // The lines the input ended without read as one empty line.
        const std::uint32_t itemCount = piece.atomLines + (piece.missingLines > 0 ? 1 : 0);
        for (std::uint32_t n = 0; n < itemCount; ++n) {
            const std::uint32_t index = piece.firstAtom + n;
            LineCursor cursor(n < piece.atomLines ? lines.line(piece.firstAtomLine + n)
                                                  : std::string_view());
            if (readWordItem(cursor, name)) {
                firstName = std::min(firstName, index);
                if (readRealItem(cursor, x)) {
                    firstX = std::min(firstX, index);
                    if (readRealItem(cursor, y)) {
                        firstY = std::min(firstY, index);
                        if (readRealItem(cursor, z)) {
                            firstZ = std::min(firstZ, index);
                        }
                    }
                }
            }
            atoms[n].x = x;
            atoms[n].y = y;
            atoms[n].z = z;
            if (names != nullptr) {
                names[n] = name;
                if (firstName != notYet) {
                    firstNameStored = std::min(firstNameStored, namesStored);
                }
                ++namesStored;
            }
        }
    }
    OpenItems& open = items.open;
    open.stepLabels = std::min(firstStepLabel, frame);
    open.boxTags = std::min(firstBoxTag, frame);
    open.boxValues = std::min(firstBoxValue, frame);
    open.names = std::min(firstNameStored, namesStored);
    open.x = std::min(firstX, frames.atomLines);
    open.y = std::min(firstY, frames.atomLines);
    open.z = std::min(firstZ, frames.atomLines);
    open.atomName = firstName == notYet;
    items.lastName = name;
}

}  // namespace blockavg
