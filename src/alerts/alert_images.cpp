#include "alerts/alert_images.h"

#include <cstring>
#include <map>
#include <new>
#include <set>
#include <vector>

#include "alerts/picture_rules.h"
#include "net/net_constants.h"
#include "net/url_fetch.h"
#include "support/gdiplus_guards.h"
#include "support/handles.h"

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace {

// A COM stream over a movable copy of the bytes; the stream frees the block.
IStream* StreamOverCopy(const std::vector<unsigned char>& bytes) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    if (block == nullptr) return nullptr;
    void* target = GlobalLock(block);
    if (target == nullptr) {
        GlobalFree(block);
        return nullptr;
    }
    std::memcpy(target, bytes.data(), bytes.size());
    GlobalUnlock(block);
    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(block, TRUE, &stream))) {
        GlobalFree(block);
        return nullptr;
    }
    return stream;
}

// The stored document is the check-in's answer with each LF written as
// CR LF: at most twice the longest answer the service may send.
constexpr LONGLONG StoredDocumentLimit = 2 * static_cast<LONGLONG>(ApiAnswerLimit);

// False when the file cannot be read, is longer than a stored document can
// be, or memory for it runs out.
bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) return false;
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart > StoredDocumentLimit) return false;
    try {
        bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
    } catch (const std::bad_alloc&) {
        return false;
    }
    DWORD total = 0;
    while (total < bytes.size()) {
        DWORD got = 0;
        if (!ReadFile(file.Get(), &bytes[total], static_cast<DWORD>(bytes.size() - total), &got, nullptr)) return false;
        if (got == 0) break;
        total += got;
    }
    bytes.resize(total);
    return true;
}

// Decodes a picture whose announced size was taken from the budget, into
// a bitmap of its own pixels: the encoded copy the decoder held goes with
// the stream, so each picture keeps only its decoded form. Null when GDI+
// cannot decode the bytes, or decodes a size other than the one announced.
void* DecodePicture(const std::vector<unsigned char>& bytes, const PictureSize& announced) {
    IStream* stream = StreamOverCopy(bytes);
    if (stream == nullptr) return nullptr;
    GpBitmap* decoded = nullptr;
    const GpStatus status = GdipCreateBitmapFromStream(stream, &decoded);
    stream->Release();  // the bitmap keeps its own reference while it lives
    if (status != Ok || decoded == nullptr) return nullptr;
    UINT width = 0, height = 0;
    GpBitmap* own = nullptr;
    if (GdipGetImageWidth(decoded, &width) == Ok && GdipGetImageHeight(decoded, &height) == Ok &&
        width == announced.width && height == announced.height) {
        GdipCloneBitmapAreaI(0, 0, static_cast<INT>(width), static_cast<INT>(height), PixelFormat32bppPARGB, decoded,
                             &own);
    }
    GdipDisposeImage(decoded);
    return own;
}

// One picture within the document's budget: fetched with at most what the
// budget has left, and decoded only when its header announces a size the
// windows can draw and the budget's pixels cover it.
void* LoadBudgetedPicture(const std::string& url, PictureBudget& budget) {
    std::uint64_t limit = 0;
    if (!TakePictureFetch(budget, ImageBodyLimit, limit)) return nullptr;
    std::vector<unsigned char> bytes;
    if (!DownloadUrlBytes_Image(url, bytes, static_cast<std::size_t>(limit)) || bytes.empty()) return nullptr;
    ChargePictureBytes(budget, bytes.size());
    PictureSize size;
    if (!ReadPictureSize(bytes, size) || !TakePicturePixels(budget, size)) return nullptr;
    return DecodePicture(bytes, size);
}

}  // namespace

void* LoadImageFromUrl(const std::string& url) {
    PictureBudget budget;
    return LoadBudgetedPicture(url, budget);
}

void ReleaseImage(void* image) {
    if (image != nullptr) GdipDisposeImage(static_cast<GpImage*>(image));
}

bool UsableImageSize(void* image, int32_t& width, int32_t& height) {
    if (image == nullptr) return false;
    UINT w = 0, h = 0;
    if (GdipGetImageWidth(static_cast<GpImage*>(image), &w) != Ok) return false;
    if (GdipGetImageHeight(static_cast<GpImage*>(image), &h) != Ok) return false;
    if (w == 0 || h == 0) return false;
    width = static_cast<int32_t>(w);
    height = static_cast<int32_t>(h);
    return true;
}

bool LoadAlertDocument(const std::wstring& path, AlertDocument& document) {
    std::string bytes;
    if (!ReadWholeFile(path, bytes)) return false;
    if (!ParseAlertDocument(bytes, document)) return false;
    // Each address is fetched once, within the document's budget; every
    // cell that names it shares its picture.
    PictureBudget budget;
    std::map<std::string, void*> pictures;
    for (const std::string& url : DistinctPictureAddresses(document)) {
        pictures[url] = LoadBudgetedPicture(url, budget);
    }
    for (AlertItem& item : document.items) {
        for (AlertCell& cell : item.cells) {
            if (cell.hasImageUrl) cell.image = pictures[cell.imageUrl];
        }
    }
    return true;
}

void ReleaseAlertImages(AlertDocument& document) {
    std::set<void*> released;
    for (AlertItem& item : document.items) {
        for (AlertCell& cell : item.cells) {
            if (cell.image != nullptr && released.insert(cell.image).second) ReleaseImage(cell.image);
            cell.image = nullptr;
        }
    }
}
