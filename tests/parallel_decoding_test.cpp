// Compressed input decoded on several threads against the same library's
// decoding in order: the same text, byte for byte, and the same failure, read
// whole and in odd chunks. bzip2: crafted streams whose blocks hold a magic
// by chance, streams one after another, damage. xz: streams of many blocks,
// one of them damaged.

#include <gtest/gtest.h>

#if BLOCKAVG_HAVE_BZIP2
#include <bzlib.h>
#endif
#if BLOCKAVG_HAVE_XZ
#include <lzma.h>
#endif

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "compression/decompression.hpp"
#include "tests/support/in_memory_pass.hpp"
#include "tests/support/memory_streams.hpp"
#include "tests/support/test_support.hpp"

namespace {

using blockavg::fuzzing::MemorySource;

#if BLOCKAVG_HAVE_BZIP2
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

#endif

struct Decoded {
    std::string text;
    bool failed = false;
    std::string error;
};

// The text as the reader gets it, with `threads` - 1 threads taking on the
// decoding beside it.
Decoded decode(const std::string& bytes, unsigned threads, std::size_t chunk) {
    MemorySource source(bytes, chunk);
    const blockavg::DecodedInput input = blockavg::openText(source);
    blockavg::ByteSource& text = *input.source;
    std::atomic<bool> done{false};
    std::vector<std::thread> helpers;
    if (threads > 1) {
        text.shareWork(threads - 1, [] {});
        for (unsigned helper = 1; helper < threads; ++helper) {
            helpers.emplace_back([&] {
                while (!done.load()) {
                    if (!text.takeWork()) {
                        std::this_thread::yield();
                    }
                }
            });
        }
    }
    Decoded decoded;
    char buffer[65536];
    std::ptrdiff_t got = 0;
    while ((got = text.readSome(buffer, sizeof buffer)) > 0) {
        decoded.text.append(buffer, static_cast<std::size_t>(got));
    }
    done = true;
    for (std::thread& helper : helpers) {
        helper.join();
    }
    text.shareWork(0, {});
    decoded.failed = got < 0;
    decoded.error = decoded.failed ? text.errorMessage() : "";
    return decoded;
}

#if BLOCKAVG_HAVE_BZIP2
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
                EXPECT_EQ(parallel.error, sequential.error);
            }
        }
    }
}

#endif

#if BLOCKAVG_HAVE_XZ
// Blocks of `blockSize` bytes of text, as xz -T2 writes them.
std::string xzBlocks(const std::string& text, std::uint64_t blockSize) {
    lzma_mt options{};
    options.threads = 1;
    options.block_size = blockSize;
    options.preset = 1;
    options.check = LZMA_CHECK_CRC64;
    lzma_stream stream = LZMA_STREAM_INIT;
    EXPECT_EQ(lzma_stream_encoder_mt(&stream, &options), LZMA_OK);
    std::string out(text.size() + text.size() / 50 + 4096, '\0');
    stream.next_in = reinterpret_cast<const std::uint8_t*>(text.data());
    stream.avail_in = text.size();
    stream.next_out = reinterpret_cast<std::uint8_t*>(out.data());
    stream.avail_out = out.size();
    EXPECT_EQ(lzma_code(&stream, LZMA_FINISH), LZMA_STREAM_END);
    out.resize(stream.total_out);
    lzma_end(&stream);
    return out;
}

TEST(XzBlocks, GiveTheTextOfTheSequentialDecoderAndKeepTheBlocksBeforeDamage) {
    constexpr std::uint64_t blockSize = 65536;
    const std::string plain = textOf("0123456789 .-\nHOC", 700000);
    const std::string blocks = xzBlocks(plain, blockSize);
    std::string damaged = blocks;
    damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 0x10);
    struct Case {
        const char* what;
        std::string bytes;
        bool whole;
    };
    const Case cases[] = {
        {"blocks of 64 KiB", blocks, true},
        {"streams one after another, one empty", xzBlocks("", blockSize) + blocks + blocks, true},
        {"a byte changed in a middle block", damaged, false},
        {"cut short", blocks.substr(0, blocks.size() - 100), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Decoded sequential = decode(c.bytes, 1, blockavg::fuzzing::never);
        ASSERT_EQ(sequential.failed, !c.whole) << sequential.error;
        EXPECT_GE(sequential.text.size(), 2 * blockSize);  // the damage is past a few blocks
        for (const unsigned threads : {2u, 3u, 8u}) {
            for (const std::size_t chunk : {blockavg::fuzzing::never, std::size_t{4093}}) {
                SCOPED_TRACE(std::to_string(threads) + " threads, chunk " + std::to_string(chunk));
                const Decoded parallel = decode(c.bytes, threads, chunk);
                EXPECT_EQ(parallel.failed, sequential.failed);
                EXPECT_EQ(parallel.error, sequential.error);
                if (c.whole) {
                    EXPECT_TRUE(parallel.text == sequential.text);
                    continue;
                }
                // Every block before the damaged one is given, as in order.
                EXPECT_EQ(sequential.text.compare(0, parallel.text.size(), parallel.text), 0);
                EXPECT_GE(parallel.text.size(), sequential.text.size() / blockSize * blockSize);
            }
        }
    }
}
#endif

// The whole run gives the plain text's bytes from every parallel decoder,
// on any number of threads, read from a file or as a pipe hands it out.
TEST(ParallelDecoding, GivesThePlainTextsOutputOnEveryThreadCount) {
    const std::string plain = blockavg::testing::wanderingTrajectory(1000);
    blockavg::fuzzing::PassSettings settings;
    settings.blockLength = 7;
    const blockavg::fuzzing::PassResult expected = blockavg::fuzzing::runInMemory(plain, settings);
    ASSERT_EQ(expected.status, 0) << expected.diagnostics;
    const std::string half = plain.substr(0, plain.size() / 2);
    std::vector<std::string> inputs;
#if BLOCKAVG_HAVE_BZIP2
    inputs.push_back(bzip2(half, 1) + bzip2(plain.substr(half.size()), 2));
#endif
#if BLOCKAVG_HAVE_XZ
    inputs.push_back(xzBlocks(plain, 100000));
#endif
    for (const std::string& input : inputs) {
        for (const unsigned threads : {1u, 2u, 3u, 8u}) {
            for (const std::size_t chunk : {blockavg::fuzzing::never, std::size_t{65536}}) {
                SCOPED_TRACE(std::to_string(threads) + " threads, chunk " + std::to_string(chunk));
                settings.threads = threads;
                settings.chunkSize = chunk;
                const blockavg::fuzzing::PassResult got =
                    blockavg::fuzzing::runInMemory(input, settings);
                EXPECT_EQ(got.status, expected.status);
                EXPECT_TRUE(got.output == expected.output);
                EXPECT_EQ(got.console, expected.console);
                EXPECT_EQ(got.diagnostics, expected.diagnostics);
            }
        }
    }
}

}  // namespace
