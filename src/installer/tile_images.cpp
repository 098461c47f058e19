#include "installer/tile_images.h"

#include <urlmon.h>

#include <string>
#include <vector>

#include "alerts/picture_rules.h"
#include "net/net_constants.h"
#include "support/gdiplus_guards.h"
#include "support/handles.h"

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace {

// The user's temporary folder with a trailing backslash, and "marvek_img_<i>.jpg".
std::wstring TilePicturePath(size_t index) {
    wchar_t folder[MAX_PATH] = {};
    const DWORD length = GetTempPathW(MAX_PATH, folder);
    std::wstring path(folder, length < MAX_PATH ? length : 0);
    if (path.empty() || path.back() != L'\\') path += L'\\';
    return path + L"marvek_img_" + std::to_wstring(index) + L".jpg";
}

// The downloaded file's bytes, when it is no longer than a picture may be.
bool ReadPictureFile(const std::wstring& path, std::vector<unsigned char>& bytes) {
    ScopedHandle file(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file.Valid() || !GetFileSizeEx(file.Get(), &size) || size.QuadPart > ImageBodyLimit) return false;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    return bytes.empty() ||
           (ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) && read == bytes.size());
}

void* LoadPicture(const std::wstring& url, const std::wstring& path) {
    if (FAILED(URLDownloadToFileW(nullptr, url.c_str(), path.c_str(), 0, nullptr))) return nullptr;
    // Decoded only when its header announces a size a window can draw.
    std::vector<unsigned char> bytes;
    PictureSize size;
    if (!ReadPictureFile(path, bytes) || !ReadPictureSize(bytes, size) || !IsDrawablePictureSize(size)) {
        return nullptr;
    }
    GpImage* image = nullptr;
    if (GdipLoadImageFromFile(path.c_str(), &image) == Ok) return image;
    if (image != nullptr) GdipDisposeImage(image);
    return nullptr;
}

}  // namespace

void LoadTileImages(std::vector<TileRecord>& tiles) {
    for (size_t i = 0; i < tiles.size(); ++i) tiles[i].picture = LoadPicture(tiles[i].imageUrl, TilePicturePath(i));
}

void FreeTileImages(std::vector<TileRecord>& tiles) {
    for (TileRecord& tile : tiles) {
        if (tile.picture != nullptr) GdipDisposeImage(static_cast<GpImage*>(tile.picture));
        tile.picture = nullptr;
    }
}
