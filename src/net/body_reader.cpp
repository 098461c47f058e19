#include "net/body_reader.h"

#include <algorithm>
#include <new>
#include <stdexcept>

#include "net/download_progress.h"

namespace {

bool Fail(std::vector<unsigned char>& body, unsigned long& errorCode, unsigned long code) {
    body.clear();
    body.shrink_to_fit();
    errorCode = code;
    return false;
}

template <typename Body>
BoundedEnd ReadBounded(const ChunkSource& source, std::uint32_t chunkSize, std::size_t limit, Body& body,
                       unsigned long& errorCode) {
    errorCode = 0;
    body.clear();
    try {
        std::vector<unsigned char> buffer(chunkSize, 0);
        for (;;) {
            const ChunkRead chunk = source(buffer.data(), chunkSize);
            if (!chunk.ok) {
                errorCode = chunk.errorCode;
                return BoundedEnd::ReadFailed;
            }
            if (chunk.count == 0) return BoundedEnd::Complete;
            if (chunk.count > limit - body.size()) {
                body.clear();
                body.shrink_to_fit();
                errorCode = BodyTooLarge;
                return BoundedEnd::TooLarge;
            }
            body.insert(body.end(), buffer.begin(), buffer.begin() + chunk.count);
        }
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    body.clear();
    body.shrink_to_fit();
    errorCode = BodyOutOfMemory;
    return BoundedEnd::OutOfMemory;
}

}  // namespace

BoundedEnd ReadBoundedBody(const ChunkSource& source, std::uint32_t chunkSize, std::size_t limit,
                           std::vector<unsigned char>& body, unsigned long& errorCode) {
    return ReadBounded(source, chunkSize, limit, body, errorCode);
}

BoundedEnd ReadBoundedBody(const ChunkSource& source, std::uint32_t chunkSize, std::size_t limit, std::string& body,
                           unsigned long& errorCode) {
    return ReadBounded(source, chunkSize, limit, body, errorCode);
}

bool ReservePackageBody(std::vector<unsigned char>& body, std::uint64_t length) {
    try {
        if (length > body.max_size()) return false;
        body.reserve(static_cast<size_t>(length));
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}

bool ReadPackageBody(const ChunkSource& source, std::uint32_t chunkSize, std::uint64_t announcedLength,
                     std::vector<unsigned char>& body, unsigned long& errorCode, const ProgressSink& progress) {
    errorCode = 0;
    body.clear();
    // Reserving the announced length keeps a large package from being
    // copied over and over while it grows.
    if (announcedLength > 0 && !ReservePackageBody(body, announcedLength)) {
        return Fail(body, errorCode, BodyOutOfMemory);
    }
    if (AppendPackageBody(source, chunkSize, announcedLength, body, errorCode, progress) != AppendEnd::Complete) {
        return Fail(body, errorCode, errorCode);
    }
    return !body.empty();
}

AppendEnd AppendPackageBody(const ChunkSource& source, std::uint32_t chunkSize, std::uint64_t total,
                            std::vector<unsigned char>& body, unsigned long& errorCode, const ProgressSink& progress,
                            const ByteSink& added) {
    errorCode = 0;
    try {
        std::vector<unsigned char> buffer(chunkSize, 0);
        for (;;) {
            const ChunkRead chunk = source(buffer.data(), chunkSize);
            // A read that fails after every announced byte has arrived (the
            // server closed at once) ends a whole body: asking for the rest
            // would ask for nothing.
            if (!chunk.ok && total > 0 && body.size() >= total) break;
            if (!chunk.ok) {
                errorCode = chunk.errorCode;
                return AppendEnd::Cut;
            }
            if (chunk.count == 0) break;
            if (total > 0 && chunk.count > total - std::min<std::uint64_t>(total, body.size())) {
                errorCode = BodyTooLarge;
                return AppendEnd::Overrun;
            }
            body.insert(body.end(), buffer.begin(), buffer.begin() + chunk.count);
            if (added) added(body.data() + body.size() - chunk.count, chunk.count);
            if (total > 0) progress(TransferProgress(static_cast<std::uint32_t>(body.size()), total));
        }
    } catch (const std::bad_alloc&) {
        errorCode = BodyOutOfMemory;
        return AppendEnd::OutOfMemory;
    } catch (const std::length_error&) {
        errorCode = BodyOutOfMemory;
        return AppendEnd::OutOfMemory;
    }
    if (total > 0 && body.size() < total) {
        errorCode = BodyCutShort;
        return AppendEnd::Cut;
    }
    return AppendEnd::Complete;
}
