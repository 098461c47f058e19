// Geometry of the alerts window: the frame bands, the grid, the single cell,
// the message, the update banner and gauge, and which clicks do what.
// Platform-neutral integer and floating-point arithmetic only.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "alerts/alert_document.h"

struct AlertLayout {
    int32_t width = 0;
    int32_t height = 0;
    int32_t titleHeight = 80;
    int32_t footerHeight = 50;
    int32_t contentTop = 100;
    int32_t contentHeight = 0;  // height - 150
};
AlertLayout MakeAlertLayout(int32_t clientWidth, int32_t clientHeight);

// A box in client pixels: left, top, width, height.
struct AlertBox {
    int32_t x = 0, y = 0, w = 0, h = 0;
};

struct GridGeometry {
    int32_t cols = 0, rows = 0;
    int32_t cellWidth = 0, cellHeight = 0;
    int32_t imageAreaHeight = 0;  // cellHeight - 30, at least 0
};
// cellCount > 0; columns is the item's "columnas".
GridGeometry ComputeGrid(const AlertLayout& layout, int32_t cellCount, int32_t columns);
// The text band (x, y, cellWidth, 30) of cell i.
AlertBox GridTextBand(const GridGeometry& grid, int32_t index);
// Where cell i's image of iw x ih (both > 0) is drawn.
AlertBox GridImageBox(const GridGeometry& grid, int32_t index, int32_t imageWidth, int32_t imageHeight);

// Height of the text's bounding box when laid out at the given width
// (measured by the drawing layer).
using TextHeightAt = std::function<float(float width)>;

struct SingleCellGeometry {
    int32_t x = 0, y = 100, boxWidth = 0, textHeight = 0, imageHeight = 0;
};
// The single-cell box for an image of iw x ih (both > 0): the 28-step search
// for the widest box whose text and image fit, then the narrowing for very
// tall images.
SingleCellGeometry ComputeSingleCell(const AlertLayout& layout, int32_t imageWidth, int32_t imageHeight,
                                     const TextHeightAt& measure);

struct MessageGeometry {
    int32_t x = 0, imageWidth = 0, imageHeight = 0;  // text band (x, 100, w, 30), image at (x, 130, w, h)
};
MessageGeometry ComputeMessage(const AlertLayout& layout, int32_t imageWidth, int32_t imageHeight);

// The update banner of bw x bh: never enlarged, at most 80 % of the width and
// of the height between the bands, centred there.
AlertBox ComputeBanner(const AlertLayout& layout, int32_t bannerWidth, int32_t bannerHeight);

struct GaugeGeometry {
    int32_t x = 0, y = 0, width = 0, height = 22;
    int32_t fill = 0;     // filled width
    int32_t step = 0;     // 0..3
    int32_t percent = 0;  // 0..100
};
GaugeGeometry ComputeGauge(const AlertLayout& layout, int32_t step, int32_t percent);
// "Descargando...", "Descomprimiendo...", "Instalando...", "Listo" (UTF-8).
const char* UpdateStepText(int32_t clampedStep);
// The caption "<step text>  <percent>%" (UTF-8).
std::string GaugeCaption(const GaugeGeometry& gauge);
// The band that the progress timer repaints: (0, H - 200) to (W, H - 80).
AlertBox ProgressBand(const AlertLayout& layout);

bool IsZeroRect(const AlertRect& rect);
// Inclusive on all four edges.
bool RectContains(const AlertRect& rect, int32_t x, int32_t y);
AlertRect HitRectOf(const AlertBox& box);  // (x, y, x + w, y + h)

// The accept button of an RTF window: (20, H - 40), 300 x 30.
AlertBox AcceptButtonBox(const AlertLayout& layout);
// The Rich Edit control of an RTF window: (20, 100), (W - 40) x (H - 150).
AlertBox RichEditBox(const AlertLayout& layout);

enum class ClickAction { Ignore, OpenLinks, CloseFromFooter };
// What a left click at (x, y) does in a window of the given kind: nothing in
// an update offer; in the footer band (the bottom 50 pixels) it closes the
// window, except inside the accept button of an RTF window (enabled or not),
// which must never close it; elsewhere it opens the links of the cells hit.
ClickAction ClassifyClick(const AlertLayout& layout, AlertKind kind, int32_t x, int32_t y);
