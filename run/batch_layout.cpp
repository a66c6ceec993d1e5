#include "run/batch_layout.hpp"

#include <span>

#include "run/progress_report.hpp"
#include "xmol/averaged_frame_layout.hpp"

namespace blockavg {
namespace {

// Where the text a frame was made from ends: its last line's feed, or the
// input's end when that came first.
std::uint64_t textEndOf(const Batch& batch, const FramePiece& piece) {
    const BatchLines& lines = batch.lines;
    std::size_t end = lines.bytesEnd;
    if (piece.ending == FrameEnding::complete && piece.atomLines > 0) {
        end = lines.endWithFeed(piece.firstAtomLine + piece.atomLines - 1);
    } else if (piece.ending == FrameEnding::complete && piece.hasComment) {
        end = lines.endWithFeed(piece.commentLine);
    }
    return batch.textBegin + end - lines.bytesBegin;
}

}  // namespace

void layOutBatch(Batch& batch, std::int32_t blockLength) {
    LaidOut& text = batch.laidOut;
    text.clear();
    const SummedBatch& summed = batch.summed;
    const BatchFrames& frames = batch.frames;
    const BatchItems& items = batch.items;
    // Room for the text as it is most often (a line of the report, and an
    // atom line with a name of up to five bytes, each in 45), at once.
    const std::size_t usual = 45 * std::size_t{frames.closingLines} + 64 * summed.heads.size();
    if (text.frames.size() > 4 * usual + (std::size_t{8} << 20)) {
        std::vector<char>().swap(text.frames);  // grown for very long names
    }
    if (text.frames.size() < usual) {
        text.frames.resize(usual);
    }
    if (text.report.size() < 45 * std::size_t{frames.frameStarts} + 64) {
        text.report.resize(45 * std::size_t{frames.frameStarts} + 64);
    }
    ReportLayout report;
    std::size_t frame = 0;  // among the frames that start in the batch
    std::size_t head = 0;
    std::size_t reportOfFrame = 0;  // the report up to the line of the piece's frame
    for (std::size_t index = 0; index < summed.pieces; ++index) {
        const FramePiece& piece = frames.pieces[index];
        if (piece.startsFrame) {
            text.reportSize =
                report.line(piece.frameNumber, piece.count, items.comments[frame++].boxValue,
                            text.report, text.reportSize);
            reportOfFrame = text.reportSize;
        } else {
            reportOfFrame = 0;  // said with an earlier batch
        }
        if (!piece.closesBlock || piece.ending == FrameEnding::readError) {
            continue;
        }
        if (piece.startsFrame) {
            text.framesSize = layOutFrameHead(summed.heads[head++], text.frames, text.framesSize);
        }
        text.framesSize =
            layOutAtomLines(std::span(items.names).subspan(piece.firstName, piece.atomLines),
                            std::span(items.atoms).subspan(piece.firstAtom, piece.atomLines),
                            blockLength, text.frames, text.framesSize);
        const bool linesMissing =
            piece.ending == FrameEnding::inputEnded && summed.missingTo > summed.missingFrom;
        if (piece.ending != FrameEnding::continues && !linesMissing) {
            text.frameEnds.push_back(text.framesSize);
            text.frameTextEnds.push_back(textEndOf(batch, piece));
            text.reportBefore.push_back(reportOfFrame);
        }
    }
    // A frame begun here and ended later.
    text.reportBefore.push_back(reportOfFrame);
    if (summed.lastCountOnly) {
        const FramePiece& piece = frames.pieces[summed.pieces];
        text.reportSize =
            report.line(piece.frameNumber, piece.count, 0.0, text.report, text.reportSize, 2);
    } else if (frames.stopsAtCountLine && summed.pieces == frames.pieces.size()) {
        text.reportSize = report.line(frames.nextFrame, 0, 0.0, text.report, text.reportSize, 1);
    }
}

}  // namespace blockavg
