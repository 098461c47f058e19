// The five sibling programs the agent serves, their probe orders and the
// lookups built on them. Compiled-in data; nothing is read at run time.
#pragma once
#include <array>
#include <functional>
#include <string>
#include <vector>

struct ProductEntry {
    const wchar_t* exeName;
    const char* exeNameNarrow;
    const char* productKey;
    const wchar_t* displayName;
    const wchar_t* tileTitle;
    const wchar_t* tileImagePath;
    const wchar_t* defaultFolder;
};

constexpr int ProductCount = 5;
extern const std::array<ProductEntry, ProductCount> ProductCatalogue;

// Row indices (0-based) in the order each probe walks the catalogue.
using ProbeOrder = std::array<int, ProductCount>;
constexpr ProbeOrder StartupOrder = {0, 1, 2, 3, 4};  // mesalto.exe first
constexpr ProbeOrder UpdateOrder = {4, 3, 2, 1, 0};   // tijeral.exe first
constexpr ProbeOrder TileOrder = {3, 0, 1, 2, 4};     // FORJANO, MESALTO, QUINDEL, VENDARA, TIJERAL

inline constexpr wchar_t NotDetectedName[] = L"(no detectado)";

// Tells whether an executable of the given name stands in the folder being probed.
using PresenceTest = std::function<bool(const wchar_t* exeName)>;

// First row, in the given order, whose executable is present; -1 when none is.
int FirstPresentRow(const ProbeOrder& order, const PresenceTest& isPresent);

// Display name of the row whose product key equals the key byte for byte;
// "(no detectado)" when none does.
std::wstring DisplayNameForKey(const std::string& key);

// Footer text of the alerts window: "programa: " + display name, with
// "(no detectado)" for an empty key.
std::wstring ProgramFooterText(const std::string& productKey);

struct TileRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

// One installer tile, in tile order. The picture is owned by the installer
// window (a GDI+ image) and stays empty until it is loaded there.
struct TileRecord {
    std::wstring title;
    std::wstring imageUrl;
    void* picture = nullptr;
    TileRect rect;
    int catalogueRow = 0;
};

// The five tiles in tile order, with full https image URLs on the image host.
std::vector<TileRecord> BuildTileTable(const std::wstring& imageHost);
