// Compressed input from a producer that keeps its pipe open, as a running
// simulation does: every unit that has arrived whole is decoded and its
// frames written at once, damage fails the run at once, and bytes after the
// last gzip member hold back only the verdict on them.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#if BLOCKAVG_HAVE_XZ
#include <lzma.h>
#endif

#include "compression/decompression.hpp"
#include "run/averaging_run.hpp"
#include "tests/support/in_memory_pass.hpp"
#include "tests/support/memory_streams.hpp"
#include "tests/support/test_support.hpp"

namespace blockavg {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::ScratchDirectory;
using testing::writeFile;

// Long enough for any machine; the runs that pass take well under a second.
constexpr auto deadline = std::chrono::seconds(60);

// Polls `done` every 20 ms until it holds or the deadline passes.
template <class Condition>
bool within(Condition done) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::optional<std::string> compressed(const std::string& command, const std::string& text) {
    const ScratchDirectory scratch;
    writeFile(scratch / "in", text);
    if (!testing::shellMakes(command + " <\"$in\" >\"$out\"", scratch / "in", scratch / "out")) {
        return std::nullopt;
    }
    return readFile(scratch / "out");
}

// The built blockavg reading a FIFO that the test writes and keeps open.
class LiveRun {
public:
    LiveRun() {
        fifo_ = directory_ / "producer.fifo";
        if (::mkfifo(fifo_.c_str(), 0600) != 0) {
            throw std::runtime_error("mkfifo failed");
        }
        const std::string command = "cd '" + directory_.path().string() + "' && (" +
                                    testing::blockavgCommand() +
                                    " producer.fifo 10 >stdout 2>stderr; echo $? >status) &";
        if (std::system(command.c_str()) != 0) {
            throw std::runtime_error("cannot start blockavg");
        }
        producer_.open(fifo_, std::ios::binary);
    }
    void feed(const std::string& bytes) { producer_ << bytes << std::flush; }
    void close() { producer_.close(); }
    std::string output() const {
        const fs::path path = directory_ / "trajectory.xmol";
        return fs::exists(path) ? readFile(path) : std::string();
    }
    std::optional<std::string> status() const {
        const fs::path path = directory_ / "status";
        const std::string status = fs::exists(path) ? readFile(path) : std::string();
        return status.empty() ? std::nullopt : std::optional(status);
    }
    std::string err() const { return readFile(directory_ / "stderr"); }

private:
    ScratchDirectory directory_;
    fs::path fifo_;
    std::ofstream producer_;
};

TEST(LivePipe, WritesEveryUnitThatHasArrivedAndFailsAtDamage) {
    BLOCKAVG_SKIP_UNDER_WINE("FIFOs");
    const std::string text = testing::wanderingTrajectory(600);
    const ScratchDirectory plainDirectory;
    writeFile(plainDirectory / "in", text);
    const auto plain =
        testing::runBlockavg(plainDirectory.path(), {(plainDirectory / "in").string(), "10"});
    ASSERT_EQ(plain.status, 0);
    const struct {
        const char* what;
        const char* command;
        const char* after;  // bytes after the compressed ones
        std::size_t (*damageAt)(const std::string& bytes);
        const char* warning;  // once the pipe has closed
    } cases[] = {
        {"bzip2 of several blocks", "bzip2 -1 -c", "", nullptr, ""},
        {"gzip", "gzip -c", "", nullptr, ""},
        {"gzip with other bytes after it", "gzip -c", "not a count\n", nullptr,
         "blockavg: warning: producer.fifo has 12 bytes after its last gzip member that are not "
         "gzip data; they were ignored\n"},
        {"zstd", "zstd -q -c", "", nullptr, ""},
        {"damaged bzip2", "bzip2 -1 -c", "", [](const std::string& b) { return b.size() / 3; }, ""},
        // After the last block the producer may send another stream.
        {"xz of many blocks, the last one's check damaged", "xz -T2 --block-size=64KiB -c", "",
         [](const std::string& b) { return testing::xzIndexStart(b) - 1; }, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::optional<std::string> bytes = compressed(c.command, text);
        if (!bytes) {
            GTEST_SKIP() << "cannot run " << c.command;
        }
        if (c.damageAt != nullptr) {
            const std::size_t at = c.damageAt(*bytes);
            (*bytes)[at] = static_cast<char>((*bytes)[at] ^ 0x55);
        }
        LiveRun run;
        run.feed(*bytes + c.after);
        if (c.damageAt != nullptr) {
            // The run ends with the pipe still open.
            EXPECT_TRUE(within([&] { return run.status().has_value(); }));
            EXPECT_EQ(run.status(), "1\n");
            EXPECT_EQ(plain.output->compare(0, run.output().size(), run.output()), 0);
            run.close();
            continue;
        }
        EXPECT_TRUE(within([&] { return run.output() == *plain.output; }))
            << run.output().size() << " bytes of " << plain.output->size();
        EXPECT_FALSE(run.status().has_value());
        run.close();
        EXPECT_TRUE(within([&] { return run.status().has_value(); }));
        EXPECT_EQ(run.status(), "0\n");
        EXPECT_EQ(run.err(), c.warning);
    }
}

#if BLOCKAVG_HAVE_XZ
// An xz stream of one block whose header gives the size of its text and
// not its own, as the format allows (xz itself writes both or neither).
std::string xzGivingOnlyTheTextSize(const std::string& text) {
    std::string out(text.size() + text.size() / 50 + 4096, '\0');
    auto* const bytes = reinterpret_cast<std::uint8_t*>(out.data());
    lzma_stream_flags flags{};
    flags.check = LZMA_CHECK_CRC32;
    EXPECT_EQ(lzma_stream_header_encode(&flags, bytes), LZMA_OK);
    std::size_t at = LZMA_STREAM_HEADER_SIZE;
    lzma_options_lzma options{};
    lzma_lzma_preset(&options, 1);
    lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_block block{};
    block.check = flags.check;
    block.filters = filters;
    block.compressed_size = LZMA_VLI_UNKNOWN;
    block.uncompressed_size = text.size();
    EXPECT_EQ(lzma_block_header_size(&block), LZMA_OK);
    EXPECT_EQ(lzma_block_header_encode(&block, bytes + at), LZMA_OK);
    at += block.header_size;
    lzma_stream stream = LZMA_STREAM_INIT;
    EXPECT_EQ(lzma_block_encoder(&stream, &block), LZMA_OK);
    stream.next_in = reinterpret_cast<const std::uint8_t*>(text.data());
    stream.avail_in = text.size();
    stream.next_out = bytes + at;
    stream.avail_out = out.size() - at;
    EXPECT_EQ(lzma_code(&stream, LZMA_FINISH), LZMA_STREAM_END);
    at += stream.total_out;
    lzma_end(&stream);
    lzma_index* const index = lzma_index_init(nullptr);
    EXPECT_EQ(lzma_index_append(index, nullptr, lzma_block_unpadded_size(&block),
                                block.uncompressed_size),
              LZMA_OK);
    EXPECT_EQ(lzma_index_buffer_encode(index, bytes, &at, out.size()), LZMA_OK);
    flags.backward_size = lzma_index_size(index);
    lzma_index_end(index, nullptr);
    EXPECT_EQ(lzma_stream_footer_encode(&flags, bytes + at), LZMA_OK);
    out.resize(at + LZMA_STREAM_HEADER_SIZE);
    return out;
}

// Such a block is read as it arrives, not held until the input ends.
TEST(LivePipe, ReadsAnXzBlockOfUnknownLengthAsItArrives) {
    BLOCKAVG_SKIP_UNDER_WINE("FIFOs");
    const std::string text = testing::wanderingTrajectory(600);
    const std::string bytes = xzGivingOnlyTheTextSize(text);
    const ScratchDirectory plainDirectory;
    writeFile(plainDirectory / "in", text);
    const auto plain =
        testing::runBlockavg(plainDirectory.path(), {(plainDirectory / "in").string(), "10"});
    ASSERT_EQ(plain.status, 0);
    LiveRun run;
    run.feed(bytes);
    EXPECT_TRUE(within([&] { return run.output() == *plain.output; }))
        << run.output().size() << " bytes of " << plain.output->size();
    run.close();
    EXPECT_TRUE(within([&] { return run.status().has_value(); }));
    EXPECT_EQ(run.status(), "0\n");
    EXPECT_EQ(run.err(), "");
}
#endif

// A source that gives its bytes, then waits as a producer that keeps its
// pipe open, until the test lets it end.
class OpenPipe final : public ByteSource {
public:
    explicit OpenPipe(std::string bytes) : bytes_(std::move(bytes)) {}
    std::ptrdiff_t readSome(char* buffer, std::size_t size) override {
        if (given_ < bytes_.size()) {
            const std::size_t count = std::min({size, bytes_.size() - given_, chunk});
            std::copy_n(bytes_.data() + given_, count, buffer);
            given_ += count;
            return static_cast<std::ptrdiff_t>(count);
        }
        std::unique_lock lock(mutex_);
        ended_.wait(lock, [this] { return closed_; });
        return 0;
    }
    bool isSameFileAs(const std::string&) const override { return false; }
    std::string errorMessage() const override { return "no error"; }
    bool bytesWaiting() override { return given_ < bytes_.size(); }
    void stopReading(std::uint64_t) noexcept override { close(); }
    void close() noexcept {
        const std::lock_guard lock(mutex_);
        closed_ = true;
        ended_.notify_all();
    }

private:
    static constexpr std::size_t chunk = 65536;
    std::string bytes_;
    std::size_t given_ = 0;
    std::mutex mutex_;
    std::condition_variable ended_;
    bool closed_ = false;
};

// What the run has written so far, safe to look at from another thread.
class WatchedSink final : public ByteSink {
public:
    bool write(std::string_view bytes, std::span<const std::size_t> frameEnds) override {
        const std::lock_guard lock(mutex_);
        return sink_.write(bytes, frameEnds);
    }
    std::int64_t framesSent() const noexcept override { return sink_.framesSent(); }
    void commit() noexcept override {
        const std::lock_guard lock(mutex_);
        sink_.commit();
    }
    bool countsOnCommit() const noexcept override { return true; }
    void abandon() noexcept override {
        const std::lock_guard lock(mutex_);
        sink_.abandon();
    }
    void abandonAt(SinkPlace place) noexcept override {
        const std::lock_guard lock(mutex_);
        sink_.abandonAt(place);
    }
    std::string errorMessage() const override { return sink_.errorMessage(); }
    std::string bytes() {
        const std::lock_guard lock(mutex_);
        return sink_.bytes();
    }

private:
    std::mutex mutex_;
    fuzzing::MemorySink sink_;
};

// bzip2 blocks from a pipe left open, on as many threads as a large machine
// has: every block's frames are written before the pipe closes.
TEST(LivePipe, WritesEveryBzip2BlockThatHasArrivedOnManyThreads) {
    const std::string text = testing::wanderingTrajectory(600);
    const std::optional<std::string> bytes = compressed("bzip2 -1 -c", text);
    if (!bytes) {
        GTEST_SKIP() << "no bzip2";
    }
    fuzzing::PassSettings plainSettings;
    plainSettings.blockLength = 10;
    const fuzzing::PassResult plain = fuzzing::runInMemory(text, plainSettings);
    for (const unsigned threads : {2u, 8u}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        OpenPipe pipe(*bytes);
        const DecodedInput input = openText(pipe);
        ASSERT_NE(input.source, nullptr);
        WatchedSink sink;
        std::FILE* const null = std::fopen("/dev/null", "w");
        ASSERT_NE(null, nullptr);
        Reporter messages(null);
        const RunStreams streams{*input.source, "in", sink, "trajectory.xmol", null, messages};
        RunSettings settings;
        settings.blockLength = 10;
        settings.threads = threads;
        bool succeeded = false;
        std::thread run([&] { succeeded = averageTrajectory(streams, settings); });
        EXPECT_TRUE(within([&] { return sink.bytes() == plain.output; }))
            << sink.bytes().size() << " bytes of " << plain.output.size();
        pipe.close();
        run.join();
        EXPECT_TRUE(succeeded);
        std::fclose(null);
    }
}

}  // namespace
}  // namespace blockavg
