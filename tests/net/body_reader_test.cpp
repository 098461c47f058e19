#include "net/body_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Serves the given chunks in turn, then an end of data (or a failure).
struct ScriptedSource {
    std::vector<std::string> chunks;
    bool failAtEnd = false;
    unsigned long failCode = 0;
    size_t next = 0;
    std::vector<std::uint32_t> capacities;

    ChunkSource AsSource() {
        return [this](unsigned char* buffer, std::uint32_t capacity) {
            capacities.push_back(capacity);
            ChunkRead read;
            if (next < chunks.size()) {
                const std::string& chunk = chunks[next++];
                std::memcpy(buffer, chunk.data(), chunk.size());
                read.ok = true;
                read.count = static_cast<std::uint32_t>(chunk.size());
            } else if (failAtEnd) {
                read.errorCode = failCode;
            } else {
                read.ok = true;
            }
            return read;
        };
    }
};

struct Outcome {
    bool ok;
    std::vector<unsigned char> body;
    unsigned long error;
    std::vector<std::int32_t> progress;
};

Outcome Read(ScriptedSource& source, std::uint64_t announced, std::uint32_t chunkSize = 65536) {
    Outcome run{false, {'o', 'l', 'd'}, 999, {}};
    run.ok = ReadPackageBody(source.AsSource(), chunkSize, announced, run.body, run.error,
                             [&run](std::int32_t p) { run.progress.push_back(p); });
    return run;
}

std::vector<unsigned char> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

}  // namespace

TEST(PackageBody, ProgressFollowsAnnouncedLength) {
    ScriptedSource source{{std::string(600, 'a'), std::string(400, 'b')}};
    const Outcome run = Read(source, 1000);
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(run.error, 0u);
    EXPECT_EQ(run.body, Bytes(std::string(600, 'a') + std::string(400, 'b')));
    EXPECT_EQ(run.progress, (std::vector<std::int32_t>{42, 70}));
    EXPECT_EQ(source.capacities, (std::vector<std::uint32_t>{65536, 65536, 65536}));
}

TEST(PackageBody, NoAnnouncedLengthPublishesNothing) {
    ScriptedSource source{{"uno", "dos"}};
    const Outcome run = Read(source, 0);
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(run.body, Bytes("unodos"));
    EXPECT_TRUE(run.progress.empty());
}

TEST(PackageBody, LongerThanAnnouncedFails) {
    // One byte past the announced length, in the chunk that ends it or after it.
    for (const std::vector<std::string>& chunks : {std::vector<std::string>{std::string(1000, 'x'), "y"},
                                                   std::vector<std::string>{std::string(1001, 'x')}}) {
        ScriptedSource source{chunks};
        const Outcome run = Read(source, 1000);
        EXPECT_FALSE(run.ok);
        EXPECT_EQ(run.error, BodyTooLarge);
        EXPECT_TRUE(run.body.empty());
    }
}

TEST(PackageBody, ShorterThanAnnouncedFails) {
    ScriptedSource source{{std::string(600, 'a')}};
    const Outcome run = Read(source, 1000);
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.error, BodyCutShort);
    EXPECT_TRUE(run.body.empty());
    EXPECT_EQ(run.progress, (std::vector<std::int32_t>{42}));
}

TEST(PackageBody, FailedReadFailsWithItsCode) {
    ScriptedSource source{{std::string(100, 'a')}, true, 12152};
    const Outcome run = Read(source, 0);
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.error, 12152u);
    EXPECT_TRUE(run.body.empty());
}

TEST(PackageBody, FailedReadAfterTheWholeAnnouncedBodyIsTheEnd) {
    ScriptedSource source{{std::string(600, 'a'), std::string(400, 'b')}, true, 12030};
    const Outcome run = Read(source, 1000);
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(run.error, 0u);
    EXPECT_EQ(run.body, Bytes(std::string(600, 'a') + std::string(400, 'b')));
    EXPECT_EQ(run.progress, (std::vector<std::int32_t>{42, 70}));
}

TEST(PackageBody, EmptyBodyIsFalseWithoutCode) {
    ScriptedSource source{{}};
    const Outcome run = Read(source, 0);
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.error, 0u);
    EXPECT_TRUE(run.body.empty());
}

// (A real allocation failure is tested under Wine, where the address space
// is 32-bit; AddressSanitizer aborts on one instead of throwing.)
TEST(PackageBody, AnnouncedLengthBeyondAnyVectorIsOutOfMemory) {
    ScriptedSource source{{"abc"}};
    const Outcome impossible = Read(source, ~0ull);
    EXPECT_FALSE(impossible.ok);
    EXPECT_EQ(impossible.error, BodyOutOfMemory);
    EXPECT_TRUE(impossible.body.empty());
    EXPECT_TRUE(source.capacities.empty()) << "nothing may be read before the reservation";
}

TEST(PackageBody, ChunkSizeIsPassedToTheSource) {
    ScriptedSource source{{"a"}};
    Read(source, 0, 4096);
    EXPECT_EQ(source.capacities, (std::vector<std::uint32_t>{4096, 4096}));
}

namespace {

struct AppendOutcome {
    AppendEnd end;
    std::string body;
    unsigned long errorCode;
    std::vector<std::int32_t> published;
};

AppendOutcome Append(const std::string& held, ScriptedSource source, std::uint64_t total) {
    std::vector<unsigned char> body(held.begin(), held.end());
    AppendOutcome outcome{AppendEnd::Complete, "", 0, {}};
    outcome.end = AppendPackageBody(source.AsSource(), 4, total, body, outcome.errorCode,
                                    [&outcome](std::int32_t percent) { outcome.published.push_back(percent); });
    outcome.body.assign(body.begin(), body.end());
    return outcome;
}

}  // namespace

TEST(AppendPackageBody, KeepsHeldBytesAndGoesOnFromTheirProgress) {
    struct Row {
        const char* held;
        std::vector<std::string> chunks;
        bool failAtEnd;
        std::uint64_t total;
        AppendEnd end;
        const char* body;
        unsigned long errorCode;
        std::vector<std::int32_t> published;
    };
    const Row rows[] = {
        // 7 of 10 held: the rest moves the gauge from 49 on, never below.
        {"abcdefg", {"hij"}, false, 10, AppendEnd::Complete, "abcdefghij", 0, {70}},
        {"abcd", {"ef", "g"}, true, 10, AppendEnd::Cut, "abcdefg", 64, {42, 49}},
        {"abcd", {"ef"}, false, 10, AppendEnd::Cut, "abcdef", BodyCutShort, {42}},
        {"", {"ab", "cd"}, false, 0, AppendEnd::Complete, "abcd", 0, {}},
        {"ab", {}, true, 0, AppendEnd::Cut, "ab", 64, {}},
        // Every announced byte arrived before the read failed: the body is whole.
        {"abcd", {"efg", "hij"}, true, 10, AppendEnd::Complete, "abcdefghij", 0, {49, 70}},
        {"abcdefghij", {}, true, 10, AppendEnd::Complete, "abcdefghij", 0, {}},
        {"abcd", {"efg", "hi"}, true, 10, AppendEnd::Cut, "abcdefghi", 64, {49, 63}},
        // A resumed answer longer than the rest: nothing past the total is taken.
        {"abcdefg", {"hijk"}, false, 10, AppendEnd::Overrun, "abcdefg", BodyTooLarge, {}},
        {"abcdefg", {"hij", "k"}, false, 10, AppendEnd::Overrun, "abcdefghij", BodyTooLarge, {70}},
    };
    for (const Row& row : rows) {
        ScriptedSource source;
        source.chunks = row.chunks;
        source.failAtEnd = row.failAtEnd;
        source.failCode = 64;
        const AppendOutcome outcome = Append(row.held, source, row.total);
        EXPECT_EQ(outcome.end, row.end) << row.held;
        EXPECT_EQ(outcome.body, row.body) << row.held;
        EXPECT_EQ(outcome.errorCode, row.errorCode) << row.held;
        EXPECT_EQ(outcome.published, row.published) << row.held;
    }
}

// Pictures, RTF documents and the service's answers: at most `limit` bytes.
TEST(BoundedBody, KeepsWhatFitsAndRefusesWhatDoesNot) {
    const std::vector<std::string> chunks = {std::string(4000, 'a'), std::string(4000, 'b'), std::string(2000, 'c')};
    const struct {
        std::size_t limit;
        BoundedEnd end;
        std::size_t kept;
        unsigned long error;
    } rows[] = {
        {10000, BoundedEnd::Complete, 10000, 0},             // exactly the limit
        {1 << 20, BoundedEnd::Complete, 10000, 0},
        {9999, BoundedEnd::TooLarge, 0, BodyTooLarge},       // one byte past it, in the last chunk
        {4000, BoundedEnd::TooLarge, 0, BodyTooLarge},
        {0, BoundedEnd::TooLarge, 0, BodyTooLarge},
    };
    for (const auto& row : rows) {
        ScriptedSource source{chunks};
        std::vector<unsigned char> body = Bytes("antes");
        unsigned long error = 999;
        EXPECT_EQ(ReadBoundedBody(source.AsSource(), 4096, row.limit, body, error), row.end) << row.limit;
        EXPECT_EQ(body.size(), row.kept) << row.limit;
        EXPECT_EQ(error, row.error) << row.limit;
        if (row.end == BoundedEnd::TooLarge) EXPECT_EQ(body.capacity(), 0u) << row.limit;
    }
    // The text form, as the API client reads its answers.
    ScriptedSource source{chunks};
    std::string text = "antes";
    unsigned long error = 999;
    EXPECT_EQ(ReadBoundedBody(source.AsSource(), 4095, 10000, text, error), BoundedEnd::Complete);
    EXPECT_EQ(text, chunks[0] + chunks[1] + chunks[2]);
    EXPECT_EQ(source.capacities, (std::vector<std::uint32_t>{4095, 4095, 4095, 4095}));
    ScriptedSource over{chunks};
    EXPECT_EQ(ReadBoundedBody(over.AsSource(), 4095, 9000, text, error), BoundedEnd::TooLarge);
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(over.next, 3u);  // nothing more is asked for once past the bound
}

TEST(BoundedBody, AFailedReadEndsTheBodyAndKeepsWhatArrived) {
    ScriptedSource source{{"ab", "cd"}, true, 12030};
    std::vector<unsigned char> body;
    unsigned long error = 0;
    EXPECT_EQ(ReadBoundedBody(source.AsSource(), 4096, 100, body, error), BoundedEnd::ReadFailed);
    EXPECT_EQ(body, Bytes("abcd"));
    EXPECT_EQ(error, 12030u);
}

TEST(AppendPackageBody, TellsEachAppendedChunkInOrder) {
    ScriptedSource source{{"efg", "hij"}};
    std::vector<unsigned char> body = Bytes("abcd");
    unsigned long error = 0;
    std::string told;
    const ByteSink sink = [&told](const unsigned char* bytes, std::size_t count) {
        told.append(reinterpret_cast<const char*>(bytes), count);
        told += '|';
    };
    EXPECT_EQ(AppendPackageBody(source.AsSource(), 4, 10, body, error, [](std::int32_t) {}, sink), AppendEnd::Complete);
    EXPECT_EQ(told, "efg|hij|");  // only what this attempt added, never the bytes held
    EXPECT_EQ(body, Bytes("abcdefghij"));
}
