#pragma once

// The one owner of the rule that a field that cannot be read repeats the
// last value read. It holds the values last read, from their start values
// on, and gives each batch's open items (xmol/item_parser.hpp) the values
// held before the batch, then holds the batch's last values; batches must
// come to it in input order. Until a coordinate has been read it is -123,
// until a box value has been read it is 1000000.

#include <string>
#include <string_view>

#include "xmol/item_parser.hpp"

namespace blockavg {

class LastValues {
public:
    void resolve(BatchItems& items);

private:
    std::string stepLabel_;
    std::string boxTag_;
    double boxValue_ = 1000000.0;
    std::string atomName_;
    Coordinates atom_{-123.0, -123.0, -123.0};
};

}  // namespace blockavg
