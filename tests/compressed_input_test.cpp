// Compressed input beyond the plain cases of end_to_end_test.cpp: formats
// blockavg refuses, every gzip header, bytes after the last gzip member,
// zstd's long windows, and compressed bytes that arrive through a pipe in
// pieces. Runs of the built blockavg, compared byte for byte.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "compression/decompression.hpp"
#include "tests/support/test_support.hpp"

namespace blockavg {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::replaced;
using testing::runBlockavg;
using testing::runBlockavgFedBy;
using testing::ScratchDirectory;
using testing::shellMakes;
using testing::shellQuoted;
using testing::testData;
using testing::writeFile;

// What blockavg writes of frames_250.xyz in blocks of 25.
const testing::RunResult& plainRun() {
    static const testing::RunResult plain = [] {
        const ScratchDirectory directory;
        return runBlockavg(directory.path(), {testData("frames_250.xyz").string(), "25"});
    }();
    return plain;
}

TEST(CompressedInput, TellsFormatsByTheirFirstBytesOnly) {
    using namespace std::string_literals;
    const std::string lzma8MiB = "\x5d\x00\x00\x80\x00"s + std::string(8, '\xff');
    struct Case {
        std::string start;
        bool complete;
        std::optional<Compression> expected;
    };
    const Case cases[] = {
        {"3\n comment\n", true, Compression::none},
        {"  3\n", false, Compression::none},
        {"\t12\r\n", false, Compression::none},
        {"3", false, std::nullopt},  // a second byte of zero would make it lzma
        {"3", true, Compression::none},
        {"\x1f", false, std::nullopt},
        {"\x1f\x8b\x08", false, Compression::gzip},
        {"\x1f\x9d\x90", false, Compression::compress},
        {"\x04\x22\x4d\x18", false, Compression::lz4},
        {"\x02\x21\x4c\x18", false, Compression::lz4},
        {"PK\x03\x04", false, Compression::zip},
        {"PK\x05\x06", false, Compression::zip},
        {"PK\x07\x08", false, Compression::zip},
        {"PK 3", true, Compression::none},
        {"7z\xbc\xaf\x27\x1c", false, Compression::sevenZip},
        {"7z\xbc\xaf\x27\x1d", true, Compression::none},
        {lzma8MiB, false, Compression::lzma},
        // A known size, and the dictionaries of lzma -1 (1 MiB) and -9 (64 MiB).
        {"\x5d\x00\x00\x10\x00\x40\x0d\x03\x00\x00\x00\x00\x00"s, false, Compression::lzma},
        {"\x5d\x00\x00\x00\x04"s + std::string(8, '\xff'), false, Compression::lzma},
        {"\x5d\x00\x00\x80"s, false, std::nullopt},
        // Not lzma: a properties byte of 225, a dictionary of 8 MiB + 1, a
        // size of 2^56.
        {"\xe1\x00\x00\x80\x00"s + std::string(8, '\xff'), true, Compression::none},
        {"\x5d\x01\x00\x80\x00"s + std::string(8, '\xff'), true, Compression::none},
        {"\x5d\x00\x00\x80\x00\x00\x00\x00\x00\x00\x00\x01\x00"s, true, Compression::none},
        {"\x5d\x00\x00\x80\x00\xff"s, true, Compression::none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.start));
        EXPECT_EQ(detectCompression(c.start, c.complete), c.expected);
    }
}

// Formats blockavg does not read, and compressed data inside compressed
// data: refused with status 1 before trajectory.xmol is touched, and the
// command the message offers gives the plain run's result.
TEST(CompressedInput, RefusesWhatItDoesNotReadAndOffersACommandThatWorks) {
    struct Case {
        const char* what;
        const char* make;  // from $in to $out
        const char* is;    // the message after "INPUT is "
        const char* fromFile;
        const char* fromStandardInput;
    };
    const Case cases[] = {
        {"lz4", "lz4 -q -c <\"$in\" >\"$out\"", "compressed with lz4", "lz4 -dc IN",
         "... | lz4 -dc"},
        {"zip", "zip -q - \"$in\" >\"$out\"", "compressed with zip", "unzip -p IN", "... | funzip"},
        {"lzma", "xz --format=lzma -c <\"$in\" >\"$out\"", "compressed with lzma", "xz -dc IN",
         "... | xz -dc"},
        {"compress", "compress -c <\"$in\" >\"$out\"", "compressed with compress (.Z)",
         "gzip -dc IN", "... | gzip -dc"},
        {"7z", "7z a -bd -bso0 -t7z \"$out.7z\" \"$in\" && mv \"$out.7z\" \"$out\"",
         "compressed with 7z", "7z x -so IN", "7z x -so FILE"},
        {"gzip inside gzip", "gzip -c <\"$in\" | gzip -c >\"$out\"", "gzip data inside gzip",
         "gzip -dc IN", "... | gzip -dc"},
        {"zstd inside zstd", "zstd -q -c <\"$in\" | zstd -q -c >\"$out\"", "zstd data inside zstd",
         "zstd -dc IN", "... | zstd -dc"},
        {"bzip2 inside xz", "bzip2 -c <\"$in\" | xz -c >\"$out\"", "bzip2 data inside xz",
         "xz -dc IN", "... | xz -dc"},
        {"lz4 inside gzip", "lz4 -q -c <\"$in\" | gzip -c >\"$out\"", "lz4 data inside gzip",
         "gzip -dc IN | lz4 -dc", "... | gzip -dc | lz4 -dc"},
    };
    const std::string earlier = "an earlier result\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ScratchDirectory inputs;
        const fs::path input = inputs / "input";
        if (!shellMakes(c.make, testData("frames_250.xyz"), input)) {
            GTEST_SKIP() << "cannot run " << c.make;
        }
        for (const bool fromFile : {true, false}) {
            const ScratchDirectory directory;
            writeFile(directory / "trajectory.xmol", earlier);
            const auto result = fromFile ? runBlockavg(directory.path(), {input.string(), "25"})
                                         : runBlockavg(directory.path(), {"-", "25"}, input);
            const std::string command =
                fromFile ? replaced(c.fromFile, "IN", input.string()) : c.fromStandardInput;
            EXPECT_EQ(result.status, 1);
            EXPECT_EQ(result.out, "");
            EXPECT_EQ(result.err, "blockavg: " + (fromFile ? input.string() : "standard input") +
                                      " is " + c.is +
                                      ", which blockavg does not read; decompress it first, "
                                      "e.g. `" +
                                      command + " | blockavg - 25`\n");
            EXPECT_EQ(result.output, earlier);
        }
        // The command offered, with the built blockavg.
        const ScratchDirectory directory;
        std::string command = replaced(c.fromFile, "IN", shellQuoted(input.string()));
        command = replaced(command, "FILE", shellQuoted(input.string()));
        const auto offered = runBlockavgFedBy(directory.path(), {"-", "25"}, command);
        EXPECT_EQ(offered.status, 0) << offered.err;
        EXPECT_EQ(offered.out, plainRun().out);
        EXPECT_EQ(offered.output, plainRun().output);
    }
}

// gzip's CRC-32, bit by bit (RFC 1952, 8).
std::uint32_t crc32(const std::string& bytes) {
    std::uint32_t crc = 0xffffffffu;
    for (const char byte : bytes) {
        crc ^= static_cast<unsigned char>(byte);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? 0xedb88320u ^ (crc >> 1) : crc >> 1;
        }
    }
    return ~crc;
}

std::string littleEndian16(std::uint32_t value) {
    return {static_cast<char>(value & 0xff), static_cast<char>((value >> 8) & 0xff)};
}

// A gzip member of `text` whose header has the flags `flags` with their
// fields: gzip's own member of it, its header written anew.
std::string gzipMember(const std::string& text, unsigned flags, const ScratchDirectory& scratch) {
    writeFile(scratch / "text", text);
    if (!shellMakes("gzip -n -c <\"$in\" >\"$out\"", scratch / "text", scratch / "member")) {
        return {};
    }
    const std::string member = readFile(scratch / "member");
    std::string header = member.substr(0, 10);
    header[3] = static_cast<char>(flags);
    if ((flags & 0x04) != 0) {
        // A subfield as bgzip writes it ("BC", the member's size less one),
        // and one of two bytes.
        const std::string extra = std::string("BC") + littleEndian16(2) + littleEndian16(0) + "ab" +
                                  littleEndian16(2) + "xy";
        header += littleEndian16(static_cast<std::uint32_t>(extra.size())) + extra;
    }
    if ((flags & 0x08) != 0) {
        header += std::string("frames.xyz") + '\0';
    }
    if ((flags & 0x10) != 0) {
        header += std::string("a comment, and another: \xe9t\xe9") + '\0';
    }
    if ((flags & 0x02) != 0) {
        header += littleEndian16(crc32(header));
    }
    return header + member.substr(10);
}

// The empty member that ends a BGZF file.
const std::string bgzfEnd(
    "\x1f\x8b\x08\x04\x00\x00\x00\x00\x00\xff\x06\x00\x42\x43\x02\x00\x1b\x00"
    "\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00",
    28);

// Every combination of the header's flags, in every member; BGZF; bytes
// after the last member; damaged headers.
TEST(CompressedInput, ReadsEveryGzipHeaderAndWarnsOfBytesAfterTheLastMember) {
    const ScratchDirectory scratch;
    const std::string text = readFile(testData("frames_250.xyz"));
    const std::string head = text.substr(0, 7000);
    const std::string tail = text.substr(7000);
    if (gzipMember(head, 0, scratch).empty()) {
        GTEST_SKIP() << "no gzip";
    }
    struct Case {
        std::string what;
        std::string bytes;
        std::string warning;  // after "blockavg: warning: INPUT "
        std::string error;    // after "blockavg: error reading INPUT: "
    };
    std::vector<Case> cases;
    for (unsigned flags = 0; flags < 32; ++flags) {
        cases.push_back({"flags " + std::to_string(flags),
                         gzipMember(head, flags, scratch) + gzipMember(tail, 31 - flags, scratch),
                         "", ""});
    }
    std::string bgzf;
    for (std::size_t at = 0; at < text.size(); at += 4096) {
        bgzf += gzipMember(text.substr(at, 4096), 0x04, scratch);
    }
    cases.push_back({"BGZF", bgzf + bgzfEnd, "", ""});
    const std::string whole = gzipMember(text, 0, scratch);
    cases.push_back({"zeros after the last member", whole + std::string(1000, '\0'), "", ""});
    cases.push_back({"other bytes after the last member", whole + std::string(3, '\0') + "tar\n",
                     "has 7 bytes after its last gzip member that are not gzip data; they were "
                     "ignored",
                     ""});
    cases.push_back({"a byte after the last member", whole + "\n",
                     "has 1 byte after its last gzip member that is not gzip data; it was "
                     "ignored",
                     ""});
    // Damage in a second member keeps the frames of the first, whole one.
    const std::string second = " in the member at byte " + std::to_string(whole.size()) +
                               "; trajectory.xmol holds the 10 averaged frames made before it";
    std::string badCrc = gzipMember(head, 0x0a, scratch);
    badCrc[21] = static_cast<char>(badCrc[21] ^ 1);  // the header checksum
    cases.push_back({"a wrong header checksum", whole + badCrc, "",
                     "the gzip data is damaged (its header checksum does not match)" + second});
    // A member whose first byte is damaged is not taken for bytes after the
    // last member.
    cases.push_back({"a member's identifying byte damaged", whole + "\x4a" + whole.substr(1), "",
                     "the gzip data is damaged (a member's header that is not one)" + second});
    std::string reserved = whole;
    reserved[3] = '\x20';
    cases.push_back({"a reserved flag", reserved, "",
                     "the gzip data is damaged (a header with unknown flags) in the member at "
                     "byte 0; trajectory.xmol holds no averaged frames"});
    std::string method = whole;
    method[2] = '\x07';
    cases.push_back({"another method", whole + method, "",
                     "the gzip data uses a compression method other than deflate; "
                     "trajectory.xmol holds the 10 averaged frames made before it"});
    cases.push_back({"a header cut short", whole + gzipMember(head, 0x18, scratch).substr(0, 15),
                     "", "the gzip stream is cut short"});
    const bool gzipTests =
        std::system("gzip -t /dev/null 2>/dev/null; gzip --version >/dev/null") == 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path input = scratch / "in.gz";
        writeFile(input, c.bytes);
        if (gzipTests && c.error.empty()) {
            // What gzip itself makes of the file.
            EXPECT_EQ(std::system(("gzip -dc " + shellQuoted(input.string()) +
                                   " 2>/dev/null | cmp -s - " +
                                   shellQuoted(testData("frames_250.xyz").string()))
                                      .c_str()),
                      0);
        }
        const ScratchDirectory directory;
        const auto result = runBlockavg(directory.path(), {input.string(), "25"});
        if (!c.error.empty()) {
            EXPECT_EQ(result.status, 1);
            EXPECT_EQ(result.err,
                      "blockavg: error reading " + input.string() + ": " + c.error + "\n");
            // The frames before the damage (a whole first member) stay.
            ASSERT_TRUE(result.output.has_value());
            EXPECT_EQ(plainRun().output->compare(0, result.output->size(), *result.output), 0);
            continue;
        }
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, plainRun().out);
        EXPECT_EQ(result.output, plainRun().output);
        EXPECT_EQ(result.err, c.warning.empty() ? ""
                                                : "blockavg: warning: " + input.string() + " " +
                                                      c.warning + "\n");
    }
}

// What bgzip writes (Debian's tabix), and zstd's long windows: zstd --long=31
// from a pipe declares a window of 2 GiB, whatever the size.
TEST(CompressedInput, ReadsBgzipFilesAndZstdWindowsUpTo2GiB) {
    const std::string commands[] = {"zstd -q --long=27", "zstd -q --long=28", "zstd -q --long=31",
                                    "bgzip"};
    for (const std::string& command : commands) {
        SCOPED_TRACE(command);
        const ScratchDirectory inputs;
        const fs::path input = inputs / "in";
        if (!shellMakes(command + " -c <\"$in\" >\"$out\"", testData("frames_250.xyz"), input)) {
            GTEST_SKIP() << "cannot run " << command;
        }
        const ScratchDirectory directory;
        const auto result = runBlockavg(directory.path(), {input.string(), "25"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, plainRun().out);
        EXPECT_EQ(result.output, plainRun().output);
        // ulimit -v would bound Wine itself, which cannot start under it.
        if (command != "zstd -q --long=31" || testing::runsUnderWrapper() ||
            testing::runsUnderWine()) {
            continue;
        }
#ifndef BLOCKAVG_SANITIZED  // the sanitizers reserve more address space than this
        // Without the memory for its window: out of memory, not damage.
        const ScratchDirectory small;
        const auto limited =
            runBlockavg(small.path(), {input.string(), "25"}, std::nullopt, "ulimit -v 1000000;");
        EXPECT_EQ(limited.status, 1);
        EXPECT_EQ(limited.err, "blockavg: error reading " + input.string() +
                                   ": cannot hold the zstd frame at byte 0: out of memory (a frame "
                                   "takes as much memory as its window, which zstd --long makes up "
                                   "to 2 GiB)\n");
#endif
    }
}

// Each format through a real pipe whose writer hands out a few bytes at a
// time with pauses between (inside a magic number, a header, a block):
// the same run as from the file, byte for byte.
TEST(CompressedInput, ReadsCompressedBytesThatArriveThroughAPipeInPieces) {
    struct Format {
        const char* what;
        const char* make;
        bool bytesAfter = false;  // the warning of bytes after the last member, at the end
    };
    const Format formats[] = {
        {"plain", "cat <\"$in\" >\"$out\""},
        {"gzip with bytes after it", "gzip -c <\"$in\" >\"$out\" && printf 'more' >>\"$out\"",
         true},
        {"gzip", "gzip -c <\"$in\" >\"$out\""},
        {"two gzip members", "split -n 2 --filter='gzip -c' <\"$in\" >\"$out\""},
        {"gzip with a name", "cp \"$in\" \"$out.xyz\" && gzip -c \"$out.xyz\" >\"$out\""},
        {"zstd", "zstd -q -c <\"$in\" >\"$out\""},
        {"two zstd frames", "split -n 2 --filter='zstd -q -c' <\"$in\" >\"$out\""},
        {"xz", "xz -c <\"$in\" >\"$out\""},
        {"bzip2", "bzip2 -c <\"$in\" >\"$out\""},
    };
    // Where the pieces end: in the first bytes, in a header, further on,
    // and in the last bytes (a trailer, a checksum).
    const std::vector<std::size_t> cuts = {1, 3, 12, 40, 700, 5000};
    const std::vector<std::size_t> cutsFromTheEnd = {9, 5, 1};
    for (const char* name : {"frames_250.xyz", "truncated.xyz"}) {
        SCOPED_TRACE(name);
        const ScratchDirectory plainDirectory;
        const auto plain = runBlockavg(plainDirectory.path(), {testData(name).string(), "1"});
        for (const Format& format : formats) {
            SCOPED_TRACE(format.what);
            const ScratchDirectory inputs;
            const fs::path input = inputs / "in";
            if (!shellMakes(format.make, testData(name), input)) {
                GTEST_SKIP() << "cannot run " << format.make;
            }
            const std::string file = shellQuoted(input.string());
            const std::size_t size = fs::file_size(input);
            std::vector<std::size_t> ends;
            ends.reserve(cuts.size() + cutsFromTheEnd.size());
            for (const std::size_t cut : cuts) {
                ends.push_back(std::min(cut, size));
            }
            for (const std::size_t cut : cutsFromTheEnd) {
                ends.push_back(std::max(size - std::min(cut, size), ends.back()));
            }
            std::string writer;
            std::size_t from = 1;
            for (const std::size_t end : ends) {
                writer += "tail -c +" + std::to_string(from) + " " + file + " | head -c " +
                          std::to_string(end + 1 - from) + "; sleep 0.05; ";
                from = end + 1;
            }
            writer += "tail -c +" + std::to_string(from) + " " + file;
            const ScratchDirectory directory;
            const auto piped = runBlockavgFedBy(directory.path(), {"-", "1"}, writer);
            EXPECT_EQ(piped.status, plain.status);
            EXPECT_EQ(piped.out, plain.out);
            EXPECT_EQ(piped.output, plain.output);
            EXPECT_EQ(piped.err,
                      replaced(plain.err, testData(name).string(), "standard input") +
                          (format.bytesAfter ? "blockavg: warning: standard input has 4 bytes "
                                               "after its last gzip member that are not gzip "
                                               "data; they were ignored\n"
                                             : ""));
        }
    }
}

}  // namespace
}  // namespace blockavg
