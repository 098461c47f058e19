#include "app/product_probe.h"

#include "app/app_folder_rules.h"
#include "support/file_probe.h"

int FindProductRow(const std::wstring& folder, const ProbeOrder& order) {
    return FirstPresentRow(order,
                           [&folder](const wchar_t* exeName) { return IsExistingFile(JoinPath(folder, exeName)); });
}

std::wstring FindProductExeForUpdate(const std::wstring& folder) {
    const int row = FindProductRow(folder, UpdateOrder);
    return row < 0 ? std::wstring() : std::wstring(ProductCatalogue[row].exeName);
}
