#pragma once

// Compressed trajectories, told by their first bytes, never by their name:
// gzip (one member or several in a row), zstd, xz and bzip2. Each format
// has a decoder of its own (compression/decoder.hpp) that the one
// decompressing source drives over the raw source's bytes to hand out the
// trajectory text. A build without a format's library says so when it meets
// such input. Formats blockavg does not read (lz4, zip, lzma,
// compress, 7z), and compressed data inside compressed data, are told too,
// so that they are refused rather than read as text.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "io/byte_source.hpp"

namespace blockavg {

enum class Compression { none, gzip, zstd, xz, bzip2, lz4, zip, lzma, compress, sevenZip };

// The compression that the first bytes of an input show; nothing while
// `start` is too short to tell and more bytes may come (`complete` false).
std::optional<Compression> detectCompression(std::string_view start, bool complete) noexcept;

// "gzip", "zstd", "xz", "bzip2", "lz4", "zip", "lzma", "compress (.Z)" or "7z".
const char* compressionName(Compression compression) noexcept;

// Whether blockavg reads the format where its library is there: gzip,
// zstd, xz and bzip2.
bool isReadFormat(Compression compression) noexcept;

// Whether this build can read the format.
bool canDecompress(Compression compression) noexcept;

// A command that writes the text of `compression`-compressed input to
// standard output: of the file `path` (already one shell word), or of
// standard input when `path` is empty. Empty when the format's tool cannot read
// standard input (7z).
std::string decompressCommand(Compression compression, const std::string& path);

// The text of a compressed input: `start` holds the bytes already read from
// `raw`. Only for a format canDecompress() accepts. A damaged or cut-short
// stream is a read error that names the format, what was wrong and where
// (compression/decompressing_source.hpp).
std::unique_ptr<ByteSource> decompressingSource(Compression compression, ByteSource& raw,
                                                const std::string& start);

// The text of `raw`: reads its first bytes to tell the compression, then
// hands out the text through the matching source. Compressed input has the
// first bytes of its text read too, to tell whether they are compressed
// again (`inner`). `source` is empty when this build cannot read the
// compression found, or the text is compressed again. A read error while
// the first bytes are read comes out of the text source at its place.
struct DecodedInput {
    Compression compression = Compression::none;
    Compression inner = Compression::none;
    std::unique_ptr<ByteSource> source;
};
DecodedInput openText(ByteSource& raw);

}  // namespace blockavg
