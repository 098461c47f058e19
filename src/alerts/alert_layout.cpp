#include "alerts/alert_layout.h"

#include <algorithm>
#include <cmath>

// Arithmetic: pixel sums are taken in 64 bits and saturated to 32 bits, so odd
// client sizes or huge cell counts cannot overflow. Scales and the single-cell
// search run in double; only the text measurement itself is float, as the
// drawing layer measures with GDI+ REAL. Casts truncate toward zero.

namespace {

constexpr int32_t kGap = 20;       // between grid cells and at the window's sides
constexpr int32_t kTextBand = 30;  // height of a cell's text band
constexpr int32_t kContentTop = 100;
constexpr int32_t kMinBoxWidth = 50;  // narrowest single-cell box the search tries
constexpr int kSearchSteps = 28;

// Narrows to 32 bits, saturating.
int32_t Saturate(int64_t value) {
    return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

// Truncation toward zero, saturated; NaN gives 0.
int32_t Trunc(double value) {
    if (std::isnan(value)) return 0;
    if (value <= static_cast<double>(INT32_MIN)) return INT32_MIN;
    if (value >= static_cast<double>(INT32_MAX)) return INT32_MAX;
    return static_cast<int32_t>(value);
}

// Nearest integer, halves away from zero.
int32_t Nearest(double value) {
    return Trunc(std::round(value));
}

// Left (or top) of a span of `inner` centred in a span of `outer` at `start`.
int32_t Centred(int64_t start, int64_t outer, int64_t inner) {
    return Saturate(start + (outer - inner) / 2);
}

}  // namespace

AlertLayout MakeAlertLayout(int32_t clientWidth, int32_t clientHeight) {
    AlertLayout layout;
    layout.width = clientWidth;
    layout.height = clientHeight;
    layout.contentHeight = Saturate(int64_t{clientHeight} - 150);
    return layout;
}

GridGeometry ComputeGrid(const AlertLayout& layout, int32_t cellCount, int32_t columns) {
    GridGeometry grid;
    if (cellCount <= 0) return grid;
    const int64_t cols = std::clamp(columns, 1, cellCount);
    const int64_t rows = static_cast<int64_t>(std::ceil(static_cast<double>(cellCount) / static_cast<double>(cols)));
    grid.cols = static_cast<int32_t>(cols);
    grid.rows = static_cast<int32_t>(rows);
    grid.cellWidth = Saturate((layout.width - kGap * (cols + 1)) / cols);
    grid.cellHeight = Saturate((layout.contentHeight - kGap * rows + kGap) / rows);
    grid.imageAreaHeight = Saturate(std::max<int64_t>(int64_t{grid.cellHeight} - kTextBand, 0));
    return grid;
}

AlertBox GridTextBand(const GridGeometry& grid, int32_t index) {
    AlertBox band;
    if (grid.cols <= 0) return band;
    const int64_t col = index % grid.cols;
    const int64_t row = index / grid.cols;
    band.x = Saturate(col * (int64_t{grid.cellWidth} + kGap) + kGap);
    band.y = Saturate(row * (int64_t{grid.cellHeight} + kGap) + kContentTop);
    band.w = grid.cellWidth;
    band.h = kTextBand;
    return band;
}

// Scaled to fill the image area's height or the cell's width, whichever is
// reached first; small pictures are enlarged too.
AlertBox GridImageBox(const GridGeometry& grid, int32_t index, int32_t imageWidth, int32_t imageHeight) {
    AlertBox box;
    if (grid.cols <= 0 || imageWidth <= 0 || imageHeight <= 0) return box;
    const AlertBox band = GridTextBand(grid, index);
    const double scale = std::min(static_cast<double>(grid.imageAreaHeight) / imageHeight,
                                  static_cast<double>(grid.cellWidth) / imageWidth);
    box.w = Trunc(imageWidth * scale);
    box.h = Trunc(imageHeight * scale);
    box.x = Centred(band.x, grid.cellWidth, box.w);
    box.y = Saturate(int64_t{band.y} + kTextBand);
    return box;
}

namespace {

float MeasureAt(const TextHeightAt& measure, double width) {
    return measure ? measure(static_cast<float>(width)) : 0.0f;
}

// Binary search for the widest box, between 50 and availW, whose text height
// at that width plus the image scaled to that width fit in availH.
double WidestFittingBox(double availW, double availH, double aspect, const TextHeightAt& measure) {
    double lo = kMinBoxWidth, hi = availW, best = kMinBoxWidth;
    for (int step = 0; step < kSearchSteps; ++step) {
        const double mid = (lo + hi) * 0.5;
        const double textHeight = MeasureAt(measure, mid);
        if (availH >= mid * aspect + textHeight) {
            best = mid;
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return best;
}

}  // namespace

SingleCellGeometry ComputeSingleCell(const AlertLayout& layout, int32_t imageWidth, int32_t imageHeight,
                                     const TextHeightAt& measure) {
    SingleCellGeometry cell;
    if (imageWidth <= 0 || imageHeight <= 0) return cell;
    const int64_t widthLimit = int64_t{layout.width} - 2 * int64_t{kGap};
    const double availW = static_cast<double>(std::max<int64_t>(widthLimit, kMinBoxWidth));
    const int32_t availH = std::max(layout.contentHeight, 0);
    const double aspect = static_cast<double>(imageHeight) / imageWidth;

    const double best = WidestFittingBox(availW, availH, aspect, measure);
    int64_t boxW = std::max<int64_t>(std::min<int64_t>(Nearest(best), widthLimit), kMinBoxWidth);
    const int32_t textH = Trunc(std::ceil(MeasureAt(measure, static_cast<double>(boxW))));
    int64_t imgH = Nearest(aspect * static_cast<double>(boxW));
    // A very tall picture: give the image what the text leaves and narrow the box to match.
    if (availH < int64_t{textH} + imgH) {
        imgH = std::max<int64_t>(int64_t{availH} - textH, 0);
        boxW = Nearest(static_cast<double>(imageWidth) / imageHeight * static_cast<double>(imgH));
    }
    cell.boxWidth = Saturate(boxW);
    cell.textHeight = textH;
    cell.imageHeight = Saturate(imgH);
    cell.x = Centred(0, layout.width, boxW);
    cell.y = kContentTop;
    return cell;
}

// The image fills the content area below a 30-pixel text band, as far as its
// proportions allow, with a 20-pixel margin at each side; no upper limit.
MessageGeometry ComputeMessage(const AlertLayout& layout, int32_t imageWidth, int32_t imageHeight) {
    MessageGeometry message;
    if (imageWidth <= 0 || imageHeight <= 0) return message;
    const double scale = std::min(static_cast<double>(int64_t{layout.contentHeight} - kTextBand) / imageHeight,
                                  static_cast<double>(int64_t{layout.width} - 2 * int64_t{kGap}) / imageWidth);
    message.imageHeight = Trunc(imageHeight * scale);
    message.imageWidth = Trunc(imageWidth * scale);
    message.x = Centred(0, layout.width, message.imageWidth);
    return message;
}

AlertBox ComputeBanner(const AlertLayout& layout, int32_t bannerWidth, int32_t bannerHeight) {
    AlertBox box;
    if (bannerWidth <= 0 || bannerHeight <= 0) return box;
    const int64_t availH = int64_t{layout.height} - layout.titleHeight - layout.footerHeight;
    const double scale =
        std::min({layout.width * 0.8 / bannerWidth, static_cast<double>(availH) * 0.8 / bannerHeight, 1.0});
    box.w = Trunc(bannerWidth * scale);
    box.h = Trunc(bannerHeight * scale);
    box.x = Centred(0, layout.width, box.w);
    box.y = Centred(layout.titleHeight, availH, box.h);
    return box;
}

GaugeGeometry ComputeGauge(const AlertLayout& layout, int32_t step, int32_t percent) {
    GaugeGeometry gauge;
    gauge.step = std::clamp(step, 0, 3);
    gauge.percent = std::clamp(percent, 0, 100);
    gauge.width = Trunc(layout.width * 0.55);
    gauge.x = Centred(0, layout.width, gauge.width);
    gauge.y = Saturate(int64_t{layout.height} - 130);
    gauge.fill = Trunc(static_cast<double>(int64_t{gauge.width} * gauge.percent) / 100.0);
    return gauge;
}

const char* UpdateStepText(int32_t clampedStep) {
    static const char* const kTexts[] = {"Descargando...", "Descomprimiendo...", "Instalando...", "Listo"};
    return kTexts[std::clamp(clampedStep, 0, 3)];
}

std::string GaugeCaption(const GaugeGeometry& gauge) {
    return std::string(UpdateStepText(gauge.step)) + "  " + std::to_string(gauge.percent) + "%";
}

AlertBox ProgressBand(const AlertLayout& layout) {
    return AlertBox{0, Saturate(int64_t{layout.height} - 200), layout.width, 120};
}

bool IsZeroRect(const AlertRect& rect) {
    return rect.left == 0 && rect.top == 0 && rect.right == 0 && rect.bottom == 0;
}

bool RectContains(const AlertRect& rect, int32_t x, int32_t y) {
    return rect.left <= x && x <= rect.right && rect.top <= y && y <= rect.bottom;
}

AlertRect HitRectOf(const AlertBox& box) {
    return AlertRect{box.x, box.y, Saturate(int64_t{box.x} + box.w), Saturate(int64_t{box.y} + box.h)};
}

AlertBox AcceptButtonBox(const AlertLayout& layout) {
    return AlertBox{20, Saturate(int64_t{layout.height} - 40), 300, 30};
}

AlertBox RichEditBox(const AlertLayout& layout) {
    return AlertBox{20, kContentTop, Saturate(int64_t{layout.width} - 40), Saturate(int64_t{layout.height} - 150)};
}

namespace {

// A child window's area: the right and bottom edges are outside.
bool ChildAreaContains(const AlertBox& box, int32_t x, int32_t y) {
    return box.x <= x && x < int64_t{box.x} + box.w && box.y <= y && y < int64_t{box.y} + box.h;
}

}  // namespace

// A click on the accept button while it is disabled reaches this window
// instead of the button; it must not close the terms without accepting them.
ClickAction ClassifyClick(const AlertLayout& layout, AlertKind kind, int32_t x, int32_t y) {
    if (kind == AlertKind::UpdateOffer) return ClickAction::Ignore;
    if (y < int64_t{layout.height} - layout.footerHeight) return ClickAction::OpenLinks;
    if (kind == AlertKind::RtfDocument && ChildAreaContains(AcceptButtonBox(layout), x, y)) return ClickAction::Ignore;
    return ClickAction::CloseFromFooter;
}
