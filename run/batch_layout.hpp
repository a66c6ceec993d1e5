#pragma once

#include "run/batch.hpp"

namespace blockavg {

// Lays out a summed batch's text, on any thread: a report line for each
// frame that starts in it, then the heading where reading stopped; and
// the averaged frame of each block closed in it, from the sums that
// summing put in its items, or the part of such a frame that lies in it.
// Throws std::bad_alloc when the text cannot be held.
void layOutBatch(Batch& batch, std::int32_t blockLength);

}  // namespace blockavg
