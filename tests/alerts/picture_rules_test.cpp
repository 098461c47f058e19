#include "alerts/picture_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Of(const std::string& text) {
    return {text.begin(), text.end()};
}

void PutBig32(Bytes& b, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<unsigned char>(v >> shift));
}

void PutLittle16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<unsigned char>(v));
    b.push_back(static_cast<unsigned char>(v >> 8));
}

void PutLittle32(Bytes& b, std::uint32_t v) {
    PutLittle16(b, v & 0xFFFF);
    PutLittle16(b, v >> 16);
}

Bytes Png(std::uint32_t width, std::uint32_t height) {
    Bytes b = Of(std::string("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR", 16));
    PutBig32(b, width);
    PutBig32(b, height);
    return b;
}

// SOI, an APP0 segment, then a baseline frame header.
Bytes Jpeg(std::uint32_t width, std::uint32_t height, unsigned char frameMarker = 0xC0) {
    Bytes b = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 'J', 'F', 0xFF, 0xFF, frameMarker, 0x00, 0x11, 0x08};
    b.push_back(static_cast<unsigned char>(height >> 8));
    b.push_back(static_cast<unsigned char>(height));
    b.push_back(static_cast<unsigned char>(width >> 8));
    b.push_back(static_cast<unsigned char>(width));
    return b;
}

// A screen without a colour table, an extension, then one frame at (left, top).
Bytes Gif(std::uint32_t screenW, std::uint32_t screenH, std::uint32_t left, std::uint32_t top, std::uint32_t w,
          std::uint32_t h) {
    Bytes b = Of("GIF89a");
    PutLittle16(b, screenW);
    PutLittle16(b, screenH);
    b.insert(b.end(), {0x00, 0x00, 0x00});
    b.insert(b.end(), {0x21, 0xF9, 0x04, 0, 0, 0, 0, 0x00});  // graphic control extension
    b.push_back(0x2C);
    PutLittle16(b, left);
    PutLittle16(b, top);
    PutLittle16(b, w);
    PutLittle16(b, h);
    b.insert(b.end(), {0x00, 0x02, 0x02, 0x4C, 0x01, 0x00, 0x3B});
    return b;
}

Bytes Bmp(std::int32_t width, std::int32_t height) {
    Bytes b = Of("BM");
    b.resize(14, 0);
    PutLittle32(b, 40);
    PutLittle32(b, static_cast<std::uint32_t>(width));
    PutLittle32(b, static_cast<std::uint32_t>(height));
    return b;
}

std::pair<bool, PictureSize> SizeOf(const Bytes& bytes) {
    PictureSize size;
    const bool ok = ReadPictureSize(bytes, size);
    return {ok, size};
}

}  // namespace

TEST(PictureSize, EachFormatAnnouncesItsSidesBeforeDecoding) {
    struct Row {
        const char* what;
        Bytes bytes;
        bool ok;
        std::uint32_t width, height;
    };
    Bytes cutPng = Png(640, 480);
    cutPng.pop_back();
    Bytes screenOnly = Gif(10, 10, 0, 0, 1, 1);
    screenOnly.resize(13);
    Bytes core = Of("BM");
    core.resize(14, 0);
    PutLittle32(core, 12);
    PutLittle16(core, 300);
    PutLittle16(core, 200);
    core.resize(26, 0);
    const Row rows[] = {
        {"png", Png(640, 480), true, 640, 480},
        {"png 30000", Png(30000, 30000), true, 30000, 30000},
        {"png cut", cutPng, false, 0, 0},
        {"png 0 wide", Png(0, 480), false, 0, 0},
        {"jpeg", Jpeg(1920, 1080), true, 1920, 1080},
        {"jpeg progressive", Jpeg(800, 600, 0xC2), true, 800, 600},
        {"jpeg huffman table is no frame", Jpeg(800, 600, 0xC4), false, 0, 0},
        {"jpeg height later", Jpeg(800, 0), false, 0, 0},
        {"jpeg scan first", Bytes{0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x08}, false, 0, 0},
        {"gif", Gif(100, 50, 0, 0, 100, 50), true, 100, 50},
        {"gif frame past the screen", Gif(10, 10, 40000, 3, 30000, 30000), true, 70000, 30003},
        {"gif without frames", screenOnly, true, 10, 10},
        {"bmp", Bmp(1024, 768), true, 1024, 768},
        {"bmp top-down", Bmp(1024, -768), true, 1024, 768},
        {"bmp negative width", Bmp(-5, 5), false, 0, 0},
        {"bmp core header", core, true, 300, 200},
        {"tiff", Of("II*\0\x08\0\0\0"), false, 0, 0},
        {"empty", Bytes(), false, 0, 0},
        {"text", Of("<html>no es una imagen</html>"), false, 0, 0},
    };
    for (const Row& row : rows) {
        const auto [ok, size] = SizeOf(row.bytes);
        EXPECT_EQ(ok, row.ok) << row.what;
        if (row.ok) EXPECT_EQ(std::make_pair(size.width, size.height), std::make_pair(row.width, row.height))
                        << row.what;
    }
}

TEST(PictureSize, OnlyWhatOneScreenCanShowIsDecoded) {
    EXPECT_TRUE(IsDrawablePictureSize({7680, 4320}));
    EXPECT_TRUE(IsDrawablePictureSize({15360, 2160}));
    EXPECT_TRUE(IsDrawablePictureSize({1, 15360}));
    EXPECT_FALSE(IsDrawablePictureSize({15361, 1}));
    EXPECT_FALSE(IsDrawablePictureSize({7681, 4320}));
    EXPECT_FALSE(IsDrawablePictureSize({30000, 30000}));
    EXPECT_FALSE(IsDrawablePictureSize({0, 10}));
}

TEST(PictureBudget, BytesPixelsAndFetchesRunOutPerDocument) {
    PictureBudget budget;
    std::uint64_t limit = 0;
    ASSERT_TRUE(TakePictureFetch(budget, 32ull << 20, limit));
    EXPECT_EQ(limit, 32ull << 20);
    ChargePictureBytes(budget, 60ull << 20);
    ASSERT_TRUE(TakePictureFetch(budget, 32ull << 20, limit));
    EXPECT_EQ(limit, 4ull << 20);  // what the document has left
    ChargePictureBytes(budget, 5ull << 20);
    EXPECT_FALSE(TakePictureFetch(budget, 32ull << 20, limit));

    PictureBudget pixels;
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(TakePicturePixels(pixels, {7680, 4320})) << i;
    EXPECT_FALSE(TakePicturePixels(pixels, {1, 1}));
    PictureBudget fresh;
    EXPECT_FALSE(TakePicturePixels(fresh, {30000, 30000}));
    EXPECT_EQ(fresh.pixelsLeft, DocumentPicturePixels);  // a refused picture takes nothing

    PictureBudget fetches;
    for (int i = 0; i < DocumentPictureFetches; ++i) ASSERT_TRUE(TakePictureFetch(fetches, 1, limit));
    EXPECT_FALSE(TakePictureFetch(fetches, 1, limit));
}

TEST(PictureBudget, EachAddressIsFetchedOnceInDocumentOrder) {
    AlertDocument document;
    const char* urls[][3] = {{"https://i/a.png", "https://i/b.png", "https://i/a.png"}, {"https://i/b.png", "", "x"}};
    for (const auto& row : urls) {
        AlertItem item;
        for (const char* url : row) {
            AlertCell cell;
            cell.hasImageUrl = std::string(url) != "x";
            cell.imageUrl = url;
            item.cells.push_back(cell);
        }
        document.items.push_back(item);
    }
    EXPECT_EQ(DistinctPictureAddresses(document), (std::vector<std::string>{"https://i/a.png", "https://i/b.png", ""}));
}
