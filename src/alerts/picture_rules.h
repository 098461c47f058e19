// What the alerts take of a document's pictures: the size a picture
// announces, read from its header before anything decodes it, the largest
// picture the windows draw, and each document's budget. No Win32 here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "alerts/alert_document.h"

// The windows fill one screen; the largest screens Windows drives are 8K
// (7680 x 4320). A picture is drawn scaled into its box, so nothing larger
// than such a screen is ever seen at its own size: a side may be up to
// twice that screen's width (a tall or wide banner), and the pixels up to
// one such screen, which decoded at 32 bits is 127 MiB.
inline constexpr std::uint32_t PictureSideLimit = 2 * 7680;
inline constexpr std::uint64_t PicturePixelLimit = 7680ull * 4320ull;

// Each document's budget: the encoded bytes fetched (each picture is also
// bounded by the fetch's own limit), the pixels decoded (four of the
// largest pictures: 506 MiB at 32 bits, which leaves a 32-bit process room
// for everything else), and the distinct addresses fetched.
inline constexpr std::uint64_t DocumentPictureBytes = 64ull << 20;
inline constexpr std::uint64_t DocumentPicturePixels = 4 * PicturePixelLimit;
inline constexpr int DocumentPictureFetches = 256;

struct PictureSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

// The size a PNG, JPEG, GIF (its screen and every frame's extent) or BMP
// announces in its header; false for any other format, and for a header
// that is cut short or does not name a size (a JPEG whose height comes
// later, a width of 0).
bool ReadPictureSize(const std::vector<unsigned char>& bytes, PictureSize& size);

// True when a picture of that size may be decoded at all.
bool IsDrawablePictureSize(const PictureSize& size);

struct PictureBudget {
    std::uint64_t bytesLeft = DocumentPictureBytes;
    std::uint64_t pixelsLeft = DocumentPicturePixels;
    int fetchesLeft = DocumentPictureFetches;
};

// Takes one fetch; false when the document has had all its fetches or
// bytes. `limit` is then the most this fetch may bring.
bool TakePictureFetch(PictureBudget& budget, std::uint64_t fetchLimit, std::uint64_t& limit);

// Charges what a fetch brought.
void ChargePictureBytes(PictureBudget& budget, std::uint64_t bytes);

// Takes the pixels of a picture to be decoded; false (nothing taken) when
// the size is not drawable or the document's pixels are spent.
bool TakePicturePixels(PictureBudget& budget, const PictureSize& size);

// The distinct picture addresses of a document, in document order: each
// is fetched once, however many cells name it.
std::vector<std::string> DistinctPictureAddresses(const AlertDocument& document);
