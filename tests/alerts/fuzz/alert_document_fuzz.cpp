// libFuzzer target: any bytes through ParseAlertDocument, then the model
// through the kind, colour and grid functions that painting uses.
// Built and run by scripts/fuzz.sh.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "alerts/alert_document.h"
#include "alerts/alert_layout.h"

namespace {

constexpr size_t kMaxItems = 100;
constexpr size_t kMaxCells = 100;

void Require(bool condition) {
    if (!condition) std::abort();
}

// Grid invariants that hold for any cell count and "columnas".
void ExerciseGrid(const AlertLayout& layout, const AlertItem& item) {
    const int32_t count = static_cast<int32_t>(item.cells.size() < INT32_MAX ? item.cells.size() : INT32_MAX);
    const GridGeometry grid = ComputeGrid(layout, count, item.columns);
    Require(grid.cols >= 1 && grid.cols <= count && grid.cols <= item.columns);
    Require(int64_t{grid.rows} * grid.cols >= count && int64_t{grid.rows - 1} * grid.cols < count);
    Require(grid.imageAreaHeight >= 0);
    for (size_t i = 0; i < item.cells.size() && i < kMaxCells; ++i) {
        const AlertCell& cell = item.cells[i];
        (void)ColourFromString(cell.background);
        (void)ColourFromString(cell.foreground);
        const AlertBox band = GridTextBand(grid, static_cast<int32_t>(i));
        // Picture sizes taken from the texts, so every size gets tried.
        const int32_t iw = static_cast<int32_t>(cell.text.size() % 5000) + 1;
        const int32_t ih = static_cast<int32_t>(cell.link.size() % 5000) + 1;
        const AlertBox image = GridImageBox(grid, static_cast<int32_t>(i), iw, ih);
        if (grid.cellWidth >= 0) Require(image.w <= grid.cellWidth && image.h <= grid.imageAreaHeight);
        Require(image.y == band.y + 30);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    AlertDocument document;
    document.title = "sin cambios";
    if (!ParseAlertDocument(bytes, document)) {
        Require(document.title == "sin cambios" && document.items.empty());
        return 0;
    }
    (void)ColourFromString(document.pageColour);
    (void)ColourFromString(document.titleBandColour);
    (void)ColourFromString(document.titleTextColour);
    const AlertLayout layout = MakeAlertLayout(1280, 800);
    for (size_t i = 0; i < document.items.size() && i < kMaxItems; ++i) {
        const AlertItem& item = document.items[i];
        Require(item.columns >= 1);
        (void)KindOf(item);
        if (!item.cells.empty()) ExerciseGrid(layout, item);
    }
    return 0;
}
