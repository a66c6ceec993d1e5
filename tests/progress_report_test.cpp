#include "app/progress_report.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <string>

namespace blockavg {
namespace {

// What the report writes for one frame, read back from a temporary file.
std::string reported(std::int64_t frame, std::int32_t count, double box) {
    std::FILE* console = std::tmpfile();
    if (console == nullptr) {
        ADD_FAILURE() << "cannot create a temporary file";
        return {};
    }
    ProgressReport report(console);
    report.frameHeading(frame);
    report.atomCount(count);
    report.boxValue(box);
    report.flush();
    std::rewind(console);
    std::string text;
    for (int c = std::fgetc(console); c != EOF; c = std::fgetc(console)) {
        text.push_back(static_cast<char>(c));
    }
    std::fclose(console);
    return text;
}

TEST(ProgressReport, WritesOneLinePerFrame) {
    const struct {
        std::int64_t frame;
        std::int32_t count;
        double box;
        std::string expected;
    } cases[] = {
        {17, 64, 24.5, "\n# 17   64 atoms   box 24.5 A   "},
        {1, 0, 1000000.0, "\n# 1   0 atoms   box 1e+06 A   "},
        {2, 3, 0.0001, "\n# 2   3 atoms   box 0.0001 A   "},
        {2, 3, 0.00001, "\n# 2   3 atoms   box 1e-05 A   "},
        {2, 3, -0.0, "\n# 2   3 atoms   box -0 A   "},
        {2, 3, 35.2182, "\n# 2   3 atoms   box 35.2182 A   "},
        {2, 3, 123456.7, "\n# 2   3 atoms   box 123457 A   "},
        {2147483647, 2147483647, 1.5, "\n# 2147483647   2147483647 atoms   box 1.5 A   "},
        {2147483648, 1, 1.5, "\n# 2147483648   1 atoms   box 1.5 A   "},
        {std::numeric_limits<std::int64_t>::max(), 1, std::numeric_limits<double>::infinity(),
         "\n# 9223372036854775807   1 atoms   box inf A   "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(reported(c.frame, c.count, c.box), c.expected);
    }
}

}  // namespace
}  // namespace blockavg
