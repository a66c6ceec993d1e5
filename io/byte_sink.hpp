#pragma once

// Where averaged frames go: the output file, or anything else that takes
// bytes in order.

#include <string>
#include <string_view>

namespace blockavg {

class ByteSink {
public:
    ByteSink() = default;
    ByteSink(const ByteSink&) = delete;
    ByteSink& operator=(const ByteSink&) = delete;
    virtual ~ByteSink() = default;

    // Writes all of `bytes`. False on failure, with errorMessage() telling why.
    virtual bool write(std::string_view bytes) = 0;

    // Why the last write() failed.
    virtual std::string errorMessage() const = 0;
};

}  // namespace blockavg
