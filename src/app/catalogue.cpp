#include "app/catalogue.h"

const std::array<ProductEntry, ProductCount> ProductCatalogue = {{
    {L"mesalto.exe", "mesalto.exe", "MarvekMesalto", L"Mesalto", L"MARVEK MESALTO",
     L"/wp-content/uploads/2025/11/mesalto.png", L"C:\\Marvek\\Marvek Mesalto"},
    {L"quindel.exe", "quindel.exe", "MarvekQuindel", L"Quindel", L"MARVEK QUINDEL",
     L"/wp-content/uploads/2025/11/quindel.png", L"C:\\Marvek\\Marvek Quindel"},
    // The olvo.exe tile shows the retail edition's title and picture.
    {L"olvo.exe", "olvo.exe", "MarvekOlvo", L"Olvo", L"MARVEK VENDARA", L"/wp-content/uploads/2025/11/vendara.png",
     L"C:\\Marvek\\Marvek Olvo"},
    {L"forjano.exe", "forjano.exe", "MarvekForjano", L"Forjano", L"MARVEK FORJANO",
     L"/wp-content/uploads/2025/11/forjano.png", L"C:\\Marvek\\Marvek Forjano"},
    // Plural product key and a folder without a blank, as the service knows them.
    {L"tijeral.exe", "tijeral.exe", "MarvekTijerales", L"Tijeral", L"MARVEK TIJERAL",
     L"/wp-content/uploads/2025/11/tijeral.png", L"C:\\Marvek\\MarvekTijeral"},
}};

int FirstPresentRow(const ProbeOrder& order, const PresenceTest& isPresent) {
    for (int row : order) {
        if (isPresent(ProductCatalogue[row].exeName)) return row;
    }
    return -1;
}

std::wstring DisplayNameForKey(const std::string& key) {
    for (int row : StartupOrder) {
        if (key == ProductCatalogue[row].productKey) return ProductCatalogue[row].displayName;
    }
    return NotDetectedName;
}

std::wstring ProgramFooterText(const std::string& productKey) {
    return std::wstring(L"programa: ") + (productKey.empty() ? NotDetectedName : DisplayNameForKey(productKey));
}

std::vector<TileRecord> BuildTileTable(const std::wstring& imageHost) {
    std::vector<TileRecord> tiles;
    for (int row : TileOrder) {
        TileRecord tile;
        tile.title = ProductCatalogue[row].tileTitle;
        tile.imageUrl = L"https://" + imageHost + ProductCatalogue[row].tileImagePath;
        tile.catalogueRow = row;
        tiles.push_back(tile);
    }
    return tiles;
}
