// Reading an update package's body chunk by chunk, with progress and the
// checks that keep an incomplete package from being taken for a whole one.
// No Win32 here: the chunk source is a callback.
#pragma once
#include <cstdint>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

struct ChunkRead {
    bool ok = false;              // false: the read call failed
    std::uint32_t count = 0;      // bytes placed in the buffer; 0 at the end
    unsigned long errorCode = 0;  // the system error code of a failed read
};

using ChunkSource = std::function<ChunkRead(unsigned char* buffer, std::uint32_t capacity)>;
using ProgressSink = std::function<void(std::int32_t percent)>;
// Told of the bytes each read added to a body, in order.
using ByteSink = std::function<void(const unsigned char* bytes, std::size_t count)>;

// Error codes for outcomes that have no system error code of their own.
constexpr unsigned long BodyOutOfMemory = 8;   // ERROR_NOT_ENOUGH_MEMORY
constexpr unsigned long BodyTooLarge = 223;    // ERROR_FILE_TOO_LARGE
constexpr unsigned long BodyCutShort = 12030;  // ERROR_INTERNET_CONNECTION_ABORTED

// How a bounded read ended.
enum class BoundedEnd { Complete, ReadFailed, TooLarge, OutOfMemory };

// Reads a body of at most `limit` bytes (pictures, RTF documents, answers
// of the service), chunk after chunk, until a chunk of 0 bytes (Complete)
// or a failed read (ReadFailed, errorCode its code, the bytes so far kept).
// More than `limit` bytes (TooLarge, errorCode BodyTooLarge) or memory
// running out (OutOfMemory, errorCode BodyOutOfMemory) empty the body:
// nothing past the bound is kept, and nothing here throws.
BoundedEnd ReadBoundedBody(const ChunkSource& source, std::uint32_t chunkSize, std::size_t limit,
                           std::vector<unsigned char>& body, unsigned long& errorCode);
BoundedEnd ReadBoundedBody(const ChunkSource& source, std::uint32_t chunkSize, std::size_t limit, std::string& body,
                           unsigned long& errorCode);

// Reads until a chunk of 0 bytes. With an announced length (> 0) it reserves
// that much up front and publishes total * 70 / length after each chunk.
// Fails, with the body emptied and errorCode set, when a read fails, when
// fewer or more bytes than announced arrive, or when memory runs out. True only for
// a complete, non-empty body; an empty one gives false with errorCode 0.
// Reserves room for the announced length; false when it cannot be had.
bool ReservePackageBody(std::vector<unsigned char>& body, std::uint64_t length);

bool ReadPackageBody(const ChunkSource& source, std::uint32_t chunkSize, std::uint64_t announcedLength,
                     std::vector<unsigned char>& body, unsigned long& errorCode, const ProgressSink& progress);

// How one attempt of a resumable transfer ended.
enum class AppendEnd { Complete, Cut, OutOfMemory, Overrun };

// One attempt of a resumable transfer: appends to `body` (which keeps what
// earlier attempts brought; the caller reserves it) until a chunk of 0 bytes.
// With an announced total (> 0) it publishes body.size() * 70 / total after
// each chunk, so that progress goes on from where the held bytes left it.
// Cut: a read failed (errorCode its code) or the body is still shorter than
// the total (errorCode BodyCutShort). A read that fails once the whole total
// is held ends the body (Complete). Overrun: more bytes arrived than the
// total announced (errorCode BodyTooLarge); the surplus is never appended,
// as no answer may be longer than it said. Nothing held is discarded here.
// `added`, when set, is told of every chunk as it is appended.
AppendEnd AppendPackageBody(const ChunkSource& source, std::uint32_t chunkSize, std::uint64_t total,
                            std::vector<unsigned char>& body, unsigned long& errorCode, const ProgressSink& progress,
                            const ByteSink& added = ByteSink());
