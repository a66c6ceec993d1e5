#include "io/reporter.hpp"

namespace blockavg {

void Reporter::report(Kind kind, std::string_view message) noexcept {
    constexpr const char* openings[] = {"blockavg: ", "blockavg: warning: ", "blockavg: note: "};
    std::fputs(openings[static_cast<int>(kind)], stream_);
    std::fwrite(message.data(), 1, message.size(), stream_);
    std::fputc('\n', stream_);
    std::fflush(stream_);
}

}  // namespace blockavg
