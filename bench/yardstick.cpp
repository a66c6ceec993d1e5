// The bare loop blockavg is measured against: read the file in large blocks,
// find line ends with memchr and parse the three coordinates of every atom
// line with std::from_chars, summing them so that none of the work can be
// optimised away. No slots, no averaging, no output file, no report: what is
// left is the cost of reading and parsing alone.
//
//   yardstick FILE    prints "LINES ATOM_LINES SUM"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

namespace {

constexpr std::size_t blockSize = std::size_t{1} << 20;

const char* skipSpace(const char* p, const char* end) {
    while (p != end && (*p == ' ' || *p == '\t' || *p == '\r')) {
        ++p;
    }
    return p;
}

const char* skipWord(const char* p, const char* end) {
    while (p != end && *p != ' ' && *p != '\t' && *p != '\r') {
        ++p;
    }
    return p;
}

struct Totals {
    long long lines = 0;
    long long atomLines = 0;
    long long atomsLeft = 0;  // atom lines still to come in this frame
    bool commentNext = false;
    double sum = 0.0;

    void line(const char* p, const char* end) {
        ++lines;
        if (atomsLeft > 0) {
            --atomsLeft;
            ++atomLines;
            p = skipWord(skipSpace(p, end), end);
            for (int i = 0; i < 3; ++i) {
                double value = 0.0;
                p = skipSpace(p, end);
                const auto [next, error] = std::from_chars(p, end, value);
                if (error != std::errc{}) {
                    return;
                }
                sum += value;
                p = next;
            }
        } else if (commentNext) {
            commentNext = false;
        } else {
            p = skipSpace(p, end);
            long long count = 0;
            std::from_chars(p, end, count);
            atomsLeft = count;
            commentNext = true;
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: yardstick FILE\n");
        return 2;
    }
    std::FILE* file = std::fopen(argv[1], "rb");
    if (file == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::vector<char> buffer(blockSize);
    std::size_t kept = 0;  // bytes of an unfinished line at the buffer start
    Totals totals;
    for (;;) {
        if (kept == buffer.size()) {
            buffer.resize(buffer.size() * 2);
        }
        const std::size_t got = std::fread(buffer.data() + kept, 1, buffer.size() - kept, file);
        if (got == 0) {
            break;
        }
        const char* p = buffer.data();
        const char* const end = buffer.data() + kept + got;
        while (const char* eol = static_cast<const char*>(std::memchr(p, '\n', end - p))) {
            totals.line(p, eol);
            p = eol + 1;
        }
        kept = static_cast<std::size_t>(end - p);
        std::memmove(buffer.data(), p, kept);
    }
    if (kept > 0) {
        totals.line(buffer.data(), buffer.data() + kept);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        std::fprintf(stderr, "%s: read error\n", argv[1]);
        return 1;
    }
    std::printf("%lld %lld %.17g\n", totals.lines, totals.atomLines, totals.sum);
    return 0;
}
