#include "alerts/picture_rules.h"

#include <algorithm>
#include <set>

namespace {

using Bytes = std::vector<unsigned char>;

std::uint32_t BigEndian32(const Bytes& b, size_t at) {
    return static_cast<std::uint32_t>(b[at]) << 24 | static_cast<std::uint32_t>(b[at + 1]) << 16 |
           static_cast<std::uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

std::uint32_t BigEndian16(const Bytes& b, size_t at) {
    return static_cast<std::uint32_t>(b[at]) << 8 | b[at + 1];
}

std::uint32_t LittleEndian16(const Bytes& b, size_t at) {
    return static_cast<std::uint32_t>(b[at + 1]) << 8 | b[at];
}

std::uint32_t LittleEndian32(const Bytes& b, size_t at) {
    return LittleEndian16(b, at) | LittleEndian16(b, at + 2) << 16;
}

bool StartsWith(const Bytes& b, const char* magic, size_t length) {
    return b.size() >= length && std::equal(magic, magic + length, b.begin(), [](char m, unsigned char c) {
               return static_cast<unsigned char>(m) == c;
           });
}

bool Named(std::uint32_t width, std::uint32_t height, PictureSize& size) {
    if (width == 0 || height == 0) return false;
    size.width = width;
    size.height = height;
    return true;
}

// PNG: the IHDR chunk comes first, right after the signature.
bool ReadPngSize(const Bytes& b, PictureSize& size) {
    if (b.size() < 24 || !std::equal(b.begin() + 12, b.begin() + 16, "IHDR")) return false;
    return Named(BigEndian32(b, 16), BigEndian32(b, 20), size);
}

bool IsStartOfFrame(unsigned char marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// JPEG: segments after SOI up to the first start of frame; a scan before
// any frame, or the end, names no size.
bool ReadJpegSize(const Bytes& b, PictureSize& size) {
    size_t at = 2;
    while (at + 1 < b.size()) {
        if (b[at] != 0xFF) return false;
        const unsigned char marker = b[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        at += 2;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no length
        if (marker == 0xD9 || marker == 0xDA || at + 2 > b.size()) return false;
        const std::uint32_t length = BigEndian16(b, at);
        if (length < 2) return false;
        if (IsStartOfFrame(marker)) {
            if (at + 7 > b.size()) return false;
            return Named(BigEndian16(b, at + 5), BigEndian16(b, at + 3), size);
        }
        at += length;
    }
    return false;
}

// Skips a chain of GIF sub-blocks at `at`; false when it runs past the end.
bool SkipGifSubBlocks(const Bytes& b, size_t& at) {
    while (at < b.size()) {
        const size_t length = b[at++];
        if (length == 0) return true;
        at += length;
    }
    return false;
}

size_t GifColourTableBytes(unsigned char packed) {
    return (packed & 0x80) != 0 ? 3u * (2u << (packed & 0x07)) : 0;
}

// GIF: the logical screen and the extent of every frame, the largest of each
// side (a decoder may size its canvas by either). The walk ends at the
// trailer or where the data does.
bool ReadGifSize(const Bytes& b, PictureSize& size) {
    if (b.size() < 13) return false;
    std::uint32_t width = LittleEndian16(b, 6), height = LittleEndian16(b, 8);
    size_t at = 13 + GifColourTableBytes(b[10]);
    while (at < b.size()) {
        const unsigned char block = b[at++];
        if (block == 0x3B) break;  // trailer
        if (block == 0x21) {       // extension: label, then sub-blocks
            ++at;
            if (!SkipGifSubBlocks(b, at)) break;
        } else if (block == 0x2C) {  // image descriptor
            if (at + 9 > b.size()) break;
            width = std::max(width, LittleEndian16(b, at) + LittleEndian16(b, at + 4));
            height = std::max(height, LittleEndian16(b, at + 2) + LittleEndian16(b, at + 6));
            at += 9 + GifColourTableBytes(b[at + 8]) + 1;  // and the LZW code size
            if (!SkipGifSubBlocks(b, at)) break;
        } else {
            break;
        }
    }
    return Named(width, height, size);
}

// BMP: the core header's 16-bit sides, or the later headers' signed 32-bit
// ones (a negative height is a top-down picture).
bool ReadBmpSize(const Bytes& b, PictureSize& size) {
    if (b.size() < 26) return false;
    const std::uint32_t headerSize = LittleEndian32(b, 14);
    if (headerSize == 12) return Named(LittleEndian16(b, 18), LittleEndian16(b, 20), size);
    if (headerSize < 40) return false;
    const std::int64_t width = static_cast<std::int32_t>(LittleEndian32(b, 18));
    const std::int64_t height = static_cast<std::int32_t>(LittleEndian32(b, 22));
    if (width <= 0 || height == 0) return false;
    const std::int64_t rows = height < 0 ? -height : height;
    return Named(static_cast<std::uint32_t>(std::min<std::int64_t>(width, UINT32_MAX)),
                 static_cast<std::uint32_t>(std::min<std::int64_t>(rows, UINT32_MAX)), size);
}

}  // namespace

bool ReadPictureSize(const std::vector<unsigned char>& bytes, PictureSize& size) {
    if (StartsWith(bytes, "\x89PNG\r\n\x1A\n", 8)) return ReadPngSize(bytes, size);
    if (StartsWith(bytes, "\xFF\xD8", 2)) return ReadJpegSize(bytes, size);
    if (StartsWith(bytes, "GIF87a", 6) || StartsWith(bytes, "GIF89a", 6)) return ReadGifSize(bytes, size);
    if (StartsWith(bytes, "BM", 2)) return ReadBmpSize(bytes, size);
    return false;
}

bool IsDrawablePictureSize(const PictureSize& size) {
    if (size.width == 0 || size.height == 0) return false;
    if (size.width > PictureSideLimit || size.height > PictureSideLimit) return false;
    return static_cast<std::uint64_t>(size.width) * size.height <= PicturePixelLimit;
}

bool TakePictureFetch(PictureBudget& budget, std::uint64_t fetchLimit, std::uint64_t& limit) {
    if (budget.fetchesLeft <= 0 || budget.bytesLeft == 0) return false;
    --budget.fetchesLeft;
    limit = std::min(fetchLimit, budget.bytesLeft);
    return true;
}

void ChargePictureBytes(PictureBudget& budget, std::uint64_t bytes) {
    budget.bytesLeft -= std::min(budget.bytesLeft, bytes);
}

bool TakePicturePixels(PictureBudget& budget, const PictureSize& size) {
    if (!IsDrawablePictureSize(size)) return false;
    const std::uint64_t pixels = static_cast<std::uint64_t>(size.width) * size.height;
    if (pixels > budget.pixelsLeft) return false;
    budget.pixelsLeft -= pixels;
    return true;
}

std::vector<std::string> DistinctPictureAddresses(const AlertDocument& document) {
    std::vector<std::string> addresses;
    std::set<std::string> seen;
    for (const AlertItem& item : document.items) {
        for (const AlertCell& cell : item.cells) {
            if (cell.hasImageUrl && seen.insert(cell.imageUrl).second) addresses.push_back(cell.imageUrl);
        }
    }
    return addresses;
}
