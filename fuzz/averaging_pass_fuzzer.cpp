// libFuzzer target: the whole averaging pass over arbitrary bytes, in
// memory, with the properties of tests/support/in_memory_pass.hpp checked on every
// run. A broken property aborts, which libFuzzer reports as a crash.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tests/support/in_memory_pass.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = blockavg::fuzzing::checkFuzzInput(
        std::string_view(reinterpret_cast<const char*>(data), size));
    if (!problem.empty()) {
        std::fprintf(stderr, "property broken: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
