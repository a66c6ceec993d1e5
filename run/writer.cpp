#include "run/writer.hpp"

#include <algorithm>

#include "xmol/averaged_frame_layout.hpp"

namespace blockavg {
namespace {

// A frame up to this size goes out in one write; a larger one in slices
// of about this size.
constexpr std::size_t sliceBytes = std::size_t{1} << 20;

// Drops a buffer's memory once it has grown past what frames of up to a
// slice need: a frame with a very long name leaves it no larger for good.
void release(std::vector<char>& buffer) noexcept {
    if (buffer.capacity() > 2 * sliceBytes) {
        std::vector<char>().swap(buffer);
    } else {
        buffer.clear();
    }
}

}  // namespace

// The report is not the product: a console that cannot take it (a closed
// pipe, a full disk behind a redirection) does not stop the run.
void Writer::reportUpTo(std::size_t end) noexcept {
    if (end > reportOut_) {
        std::fwrite(laidOut_->report.data() + reportOut_, 1, end - reportOut_, report_);
        std::fflush(report_);
        reportOut_ = end;
    }
}

bool Writer::writeBatch(const Batch& batch) {
    laidOut_ = &batch.laidOut;
    reportOut_ = 0;
    if (!writeFrames(batch.laidOut)) {
        return false;
    }
    reportUpTo(batch.laidOut.reportSize);
    for (const Message& message : batch.summed.messages) {
        messages_.report(message.kind, message.text);
    }
    if (batch.summed.abandonsFrame) {
        abandonFrame();
    }
    return true;
}

bool Writer::writeFrames(const LaidOut& text) {
    const std::string_view all(text.frames.data(), text.framesSize);
    const std::span<const std::size_t> ends = text.frameEnds;
    std::size_t done = 0;
    std::size_t endsDone = 0;
    // The rest of a frame begun before.
    if (!begun_.empty() || inSlices_) {
        const bool ended = !ends.empty();
        const std::size_t end = ended ? ends[0] : all.size();
        if (inSlices_) {
            if (!send(all.substr(0, end), ended ? std::span(&end, 1) : ends.first(0), 0)) {
                return false;
            }
        } else {
            begun_.insert(begun_.end(), all.begin(),
                          all.begin() + static_cast<std::ptrdiff_t>(end));
            const std::size_t size = begun_.size();
            if (ended || size >= sliceBytes) {
                if (!send(std::string_view(begun_.data(), size),
                          ended ? std::span(&size, 1) : ends.first(0), 0)) {
                    return false;
                }
                inSlices_ = true;
                release(begun_);
            }
        }
        if (!ended) {
            return true;
        }
        inSlices_ = false;
        done = end;
        endsDone = 1;
    }
    // Whole frames, and the start of one that a later batch ends.
    const std::size_t wholeEnd = endsDone < ends.size() ? ends.back() : done;
    const std::size_t rest = all.size() - wholeEnd;
    ends_.clear();
    for (std::size_t end = endsDone; end < ends.size(); ++end) {
        ends_.push_back(ends[end] - done);
    }
    // The whole frames first, in a write of their own: they count as
    // written as soon as it is done, not once a large slice is out too.
    if (wholeEnd > done && !send(all.substr(done, wholeEnd - done), ends_, endsDone)) {
        return false;
    }
    if (rest >= sliceBytes) {
        if (!send(all.substr(wholeEnd), std::span<const std::size_t>(), ends.size())) {
            return false;
        }
        inSlices_ = true;
        return true;
    }
    begun_.assign(all.begin() + static_cast<std::ptrdiff_t>(wholeEnd), all.end());
    return true;
}

bool Writer::send(std::string_view bytes, std::span<const std::size_t> ends, std::size_t firstEnd) {
    if (output_.countsOnCommit() || ends.size() <= 1) {
        return sendTogether(bytes, ends, firstEnd);
    }
    // An output whose reader has each frame as soon as it goes out (a FIFO)
    // gets them one a write, each after its report line.
    std::size_t from = 0;
    for (std::size_t end = 0; end < ends.size(); ++end) {
        const std::size_t to = ends[end];
        const std::size_t length = to - from;
        if (!sendTogether(bytes.substr(from, length), std::span(&length, 1), firstEnd + end)) {
            return false;
        }
        from = to;
    }
    return from == bytes.size() ||
           sendTogether(bytes.substr(from), std::span<const std::size_t>(), firstEnd + ends.size());
}

bool Writer::sendTogether(std::string_view bytes, std::span<const std::size_t> ends,
                          std::size_t firstEnd) {
    // The report line of the first frame these bytes end goes out before
    // them. The frames count as written as soon as they have gone out, so
    // that an interruption keeps them, and then the report follows: up to
    // the last frame they end, or to the one that failed.
    const std::vector<std::size_t>& reportBefore = laidOut_->reportBefore;
    reportUpTo(reportBefore[firstEnd]);
    const std::int64_t before = output_.framesSent();
    const bool sent = output_.write(bytes, ends);
    output_.commit();
    const auto whole = static_cast<std::size_t>(output_.framesSent() - before);
    for (std::size_t end = 0; end < whole; ++end) {
        frameWritten(laidOut_->frameTextEnds[firstEnd + end],
                     {before + static_cast<std::int64_t>(end) + 1,
                      bytesOut_ + static_cast<std::int64_t>(ends[end])});
    }
    bytesOut_ += static_cast<std::int64_t>(bytes.size());
    reportUpTo(reportBefore[std::min(firstEnd + whole - (sent && whole > 0 ? 1 : 0),
                                     reportBefore.size() - 1)]);
    if (!sent) {
        output_.abandon();
        release(begun_);
        inSlices_ = false;
        messages_.error("error writing " + std::string(outputName_) + ": " +
                        output_.errorMessage());
    }
    return sent;
}

bool Writer::finishFrame(std::string_view name, std::span<const Coordinates> sums,
                         std::int32_t blockLength, std::uint64_t textEnd) {
    // The frame's report line is out: nothing more must go before it.
    LaidOut noReport;
    noReport.reportBefore.push_back(0);
    noReport.frameTextEnds.push_back(textEnd);
    laidOut_ = &noReport;
    reportOut_ = 0;
    missing_.assign(begun_.begin(), begun_.end());
    release(begun_);
    std::size_t size = missing_.size();
    bool sent = true;
    // Each line repeats the name: as many as make about a slice at a time.
    const std::size_t linesAtATime = std::max<std::size_t>(1, sliceBytes / (name.size() + 45));
    for (std::size_t first = 0; sent && first < sums.size(); first += linesAtATime) {
        const std::size_t count = std::min(linesAtATime, sums.size() - first);
        size = layOutAtomLines(name, sums.subspan(first, count), blockLength, missing_, size);
        const bool last = first + count == sums.size();
        if (last || size >= sliceBytes) {
            sent = send(std::string_view(missing_.data(), size),
                        last ? std::span(&size, 1) : std::span<const std::size_t>(), 0);
            inSlices_ = sent && !last;
            size = 0;
        }
    }
    laidOut_ = nullptr;
    release(missing_);
    return sent;
}

void Writer::frameWritten(std::uint64_t textEnd, SinkPlace place) noexcept {
    const std::uint64_t checked = input_.checkedBytes();
    if (checked > checkedSeen_) {
        // The unit whose text lay beyond the checked part has passed.
        checked_ = latest_;
        checkedSeen_ = checked;
    }
    latest_ = place;
    if (textEnd <= checked) {
        checked_ = place;
    }
}

Writer::Kept Writer::framesWritten() noexcept {
    if (input_.checkedBytes() > checkedSeen_) {
        checked_ = latest_;
        checkedSeen_ = input_.checkedBytes();
    }
    return {latest_.frames, latest_.frames - checked_.frames, false};
}

Writer::Kept Writer::cutBackToChecked() noexcept {
    Kept kept = framesWritten();
    release(begun_);
    inSlices_ = false;
    kept.cutBack = output_.countsOnCommit();
    output_.abandonAt(checked_);
    if (kept.cutBack) {
        kept.frames -= kept.unchecked;
        kept.unchecked = 0;
    }
    return kept;
}

void Writer::abandonFrame() noexcept {
    release(begun_);
    if (inSlices_) {
        output_.abandon();
        inSlices_ = false;
    }
}

}  // namespace blockavg
