// bzip2 decoded block by block on several threads against libbz2's own
// decoding in order: the same text, byte for byte, and the same failure,
// for crafted streams whose blocks hold a magic by chance, streams one after
// another, and damage.

#if BLOCKAVG_HAVE_BZIP2

#include <bzlib.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "compression/input_text.hpp"
#include "fuzz/memory_streams.hpp"

namespace {

using blockavg::fuzzing::MemorySource;

std::string bzip2(const std::string& text, int level) {
    std::string out(text.size() + text.size() / 100 + 700, '\0');
    auto size = static_cast<unsigned int>(out.size());
    const int result =
        BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(text.data()),
                                 static_cast<unsigned int>(text.size()), level, 0, 0);
    EXPECT_EQ(result, BZ_OK);
    out.resize(size);
    return out;
}

// Text of `size` bytes drawn from `alphabet`, so that every block's table
// of the bytes in use spells out the bits the alphabet was chosen for.
std::string textOf(const std::string& alphabet, std::size_t size) {
    std::string text(size, ' ');
    std::uint32_t state = 12345;
    for (char& byte : text) {
        state = state * 1103515245u + 12345u;
        byte = alphabet[(state >> 16) % alphabet.size()];
    }
    return text;
}

struct Decoded {
    std::string text;
    bool failed = false;
    std::string error;
};

Decoded decode(const std::string& bytes, unsigned threads, std::size_t chunk) {
    MemorySource source(bytes, chunk);
    blockavg::InputText input(source, threads);
    Decoded decoded;
    char buffer[65536];
    std::ptrdiff_t got = 0;
    while ((got = input.source().readSome(buffer, sizeof buffer)) > 0) {
        decoded.text.append(buffer, static_cast<std::size_t>(got));
    }
    decoded.failed = got < 0;
    decoded.error = decoded.failed ? input.source().errorMessage() : "";
    return decoded;
}

TEST(Bzip2Blocks, GiveTheTextAndFailuresOfTheSequentialDecoder) {
    // A block's table of bytes in use begins 105 bits after its magic: a
    // 16-bit map of the ranges of 16 bytes in use, then a 16-bit map of each.
    // Ranges 2, 3, 7, 9 and 15 (0x3141), then 0x5926 in range 2 and 0x5359
    // in range 3, spell the block magic; ranges 3, 5, 6, 7, 9, 10, 11 and 14
    // (0x1772), then 0x4538 and 0x5090, the end marker.
    const std::string blockMagicInside = "!#$'*-.13679;<?p\x90\xf0";
    const std::string endMarkerInside = "157:;<QSX[`p\x90\xa0\xb0\xe0";
    const std::string plain = textOf("0123456789 .-\nHOC", 700000);
    const std::string magic = textOf(blockMagicInside, 450000);
    const std::string marker = textOf(endMarkerInside, 450000);
    struct Case {
        const char* what;
        std::string bytes;
        std::string text;  // when whole
    };
    const std::string streams = bzip2(magic, 1) + bzip2("", 9) + bzip2(plain, 2);
    std::string damaged = bzip2(plain, 1);
    damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 0x10);
    const Case cases[] = {
        {"blocks of 100 kB", bzip2(plain, 1), plain},
        {"a block magic inside every block", bzip2(magic, 1), magic},
        {"an end marker inside every block", bzip2(marker, 1), marker},
        {"streams one after another, one empty", streams, magic + plain},
        {"cut short", bzip2(plain, 1).substr(0, 150000), ""},
        {"a byte changed in the middle", damaged, ""},
        {"bytes after the last stream", bzip2(plain, 1) + "trailing", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Decoded sequential = decode(c.bytes, 1, blockavg::fuzzing::never);
        if (!c.text.empty()) {
            ASSERT_FALSE(sequential.failed) << sequential.error;
            ASSERT_EQ(sequential.text, c.text);
        }
        for (const unsigned threads : {2u, 3u, 8u}) {
            for (const std::size_t chunk : {blockavg::fuzzing::never, std::size_t{4093}}) {
                SCOPED_TRACE(std::to_string(threads) + " threads, chunk " + std::to_string(chunk));
                const Decoded parallel = decode(c.bytes, threads, chunk);
                EXPECT_EQ(parallel.failed, sequential.failed);
                EXPECT_TRUE(parallel.text == sequential.text)
                    << parallel.text.size() << " bytes against " << sequential.text.size();
                if (sequential.failed && parallel.error != sequential.error) {
                    // Damage in a block is told with the block's number.
                    EXPECT_EQ(parallel.error.rfind("the bzip2 data is damaged in block ", 0), 0u)
                        << parallel.error;
                }
            }
        }
    }
}

}  // namespace

#endif
