#include "alerts/alert_painting.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "alerts/alert_actions.h"
#include "alerts/alert_images.h"
#include "alerts/alert_layout.h"
#include "alerts/rtf_document.h"
#include "app/catalogue.h"
#include "build_settings.h"
#include "net/download_progress.h"
#include "service/installation_descriptor.h"
#include "support/gdiplus_guards.h"
#include "update/update_progress.h"

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace {

constexpr ARGB FooterColour = 0xFF0078D7;
constexpr ARGB White = 0xFFFFFFFF;
constexpr ARGB IdentityGrey = 0xFF505050;
constexpr ARGB GaugeBackground = 0xFFD2D2D2;
constexpr ARGB GaugeOutline = 0xFFA0A0A0;
constexpr ARGB CaptionColour = 0xFF282828;
constexpr wchar_t FontName[] = L"Arial";
constexpr char BannerPath[] = "/uploads/foto_actualizador.png";

std::wstring FromUtf8(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(size > 0 ? size : 0, L'\0');
    if (size > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

void FillBox(GpGraphics* graphics, ARGB colour, int x, int y, int w, int h) {
    GpSolidFill* fill = nullptr;
    if (GdipCreateSolidFill(colour, &fill) != Ok) return;
    GdipFillRectangleI(graphics, fill, x, y, w, h);
    GdipDeleteBrush(fill);
}

// The font and format every text of the window uses: Arial, regular, the
// size in pixels, vertical centring, the given horizontal alignment.
struct TextStyle {
    FontFamilyGuard family;
    FontGuard font;
    StringFormatGuard format;
};

bool MakeTextStyle(REAL size, StringAlignment horizontal, TextStyle& style) {
    if (GdipCreateFontFamilyFromName(FontName, nullptr, style.family.Out()) != Ok) return false;
    if (GdipCreateFont(style.family.Get(), size, FontStyleRegular, UnitPixel, style.font.Out()) != Ok) return false;
    if (GdipCreateStringFormat(0, LANG_NEUTRAL, style.format.Out()) != Ok) return false;
    GdipSetStringFormatAlign(style.format.Get(), horizontal);
    GdipSetStringFormatLineAlign(style.format.Get(), StringAlignmentCenter);
    return true;
}

void DrawTextBox(GpGraphics* graphics, const std::wstring& text, REAL size, const RectF& rect, ARGB colour,
                 StringAlignment horizontal) {
    TextStyle style;
    if (!MakeTextStyle(size, horizontal, style)) return;
    GpSolidFill* brush = nullptr;
    if (GdipCreateSolidFill(colour, &brush) != Ok) return;
    GdipDrawString(graphics, text.c_str(), -1, style.font.Get(), &rect, style.format.Get(), brush);
    GdipDeleteBrush(brush);
}

RectF Rect(int x, int y, int w, int h) {
    return RectF(static_cast<REAL>(x), static_cast<REAL>(y), static_cast<REAL>(w), static_cast<REAL>(h));
}

void DrawImage(GpGraphics* graphics, void* image, const AlertBox& box) {
    GdipDrawImageRectI(graphics, static_cast<GpImage*>(image), box.x, box.y, box.w, box.h);
}

std::wstring Formatted64(const wchar_t* format, const std::wstring& value) {
    wchar_t buffer[64] = {};
    _snwprintf(buffer, 63, format, value.c_str());
    return buffer;
}

void GatherIdentityLines(AlertDisplay& alerts) {
    if (alerts.identityReady) return;
    const InstallationIdentity identity = GatherInstallationIdentity();
    alerts.identityLines[0] = Formatted64(L"actualizador: v%ls", settings::AgentVersionW);
    alerts.identityLines[1] = Formatted64(L"%ls", ProgramFooterText(identity.productKey));
    const std::wstring version = identity.productVersion.empty() ? L"---" : FromUtf8(identity.productVersion);
    alerts.identityLines[2] = Formatted64(L"versi\u00f3n: %ls", version);
    alerts.identityReady = true;
}

void PaintFrame(GpGraphics* graphics, const AlertLayout& layout, AlertKind kind) {
    AlertDisplay& alerts = Alerts();
    const AlertDocument& doc = alerts.document;
    const int W = layout.width, H = layout.height;
    FillBox(graphics, ColourFromString(doc.pageColour), 0, 0, W, H);
    FillBox(graphics, ColourFromString(doc.titleBandColour), 0, 0, W, layout.titleHeight);
    DrawTextBox(graphics, FromUtf8(doc.title), 28, Rect(0, 0, W, layout.titleHeight),
                ColourFromString(doc.titleTextColour), StringAlignmentCenter);
    const bool updateOffer = kind == AlertKind::UpdateOffer;
    if (!updateOffer) {
        FillBox(graphics, FooterColour, 0, H - layout.footerHeight, W, layout.footerHeight);
        DrawTextBox(graphics, L"CERRAR", 20, Rect(0, H - layout.footerHeight, W, layout.footerHeight), White,
                    StringAlignmentCenter);
    }
    GatherIdentityLines(alerts);
    const ARGB identityColour = updateOffer ? IdentityGrey : White;
    for (int line = 0; line < 3; ++line) {
        const RectF rect(8.0f, static_cast<REAL>(H - 45 + 13 * line), 300.0f, 13.0f);
        DrawTextBox(graphics, alerts.identityLines[line], 9.5f, rect, identityColour, StringAlignmentNear);
    }
}

RectF Rect(const AlertBox& box) {
    return Rect(box.x, box.y, box.w, box.h);
}

// Fills a box with the cell's background and draws its text centred in
// another (or the same) box in its foreground colour.
void PaintCellText(GpGraphics* graphics, const AlertCell& cell, const AlertBox& fill, const AlertBox& text, REAL size) {
    FillBox(graphics, ColourFromString(cell.background), fill.x, fill.y, fill.w, fill.h);
    DrawTextBox(graphics, FromUtf8(cell.text), size, Rect(text), ColourFromString(cell.foreground),
                StringAlignmentCenter);
}

void PaintGrid(GpGraphics* graphics, const AlertLayout& layout, AlertItem& item) {
    const int32_t count = static_cast<int32_t>(item.cells.size());
    if (count == 0) return;
    const GridGeometry grid = ComputeGrid(layout, count, item.columns);
    for (int32_t i = 0; i < count; ++i) {
        AlertCell& cell = item.cells[i];
        const AlertBox band = GridTextBand(grid, i);
        PaintCellText(graphics, cell, band, band, 18);
        int32_t iw = 0, ih = 0;
        if (!UsableImageSize(cell.image, iw, ih)) continue;
        const AlertBox box = GridImageBox(grid, i, iw, ih);
        DrawImage(graphics, cell.image, box);
        cell.hitRect = HitRectOf(box);
    }
}

// Height of the text's bounding box at 26 px, centred, in (0, 0, width, height).
float MeasureTextHeight(GpGraphics* graphics, const std::wstring& text, float width, float height) {
    TextStyle style;
    if (!MakeTextStyle(26, StringAlignmentCenter, style)) return 0.0f;
    const RectF layoutRect(0.0f, 0.0f, width, height);
    RectF bounds;
    if (GdipMeasureString(graphics, text.c_str(), -1, style.font.Get(), &layoutRect, style.format.Get(), &bounds,
                          nullptr, nullptr) != Ok) {
        return 0.0f;
    }
    return bounds.Height;
}

void PaintSingleCell(GpGraphics* graphics, const AlertLayout& layout, AlertItem& item) {
    if (item.cells.empty()) return;
    AlertCell& cell = item.cells[0];
    int32_t iw = 0, ih = 0;
    if (!UsableImageSize(cell.image, iw, ih)) {
        const AlertBox band{20, 100, layout.width - 40, 30};
        PaintCellText(graphics, cell, band, band, 26);
        return;
    }
    const std::wstring text = FromUtf8(cell.text);
    const float availH = static_cast<float>(layout.contentHeight > 0 ? layout.contentHeight : 0);
    const SingleCellGeometry g = ComputeSingleCell(
        layout, iw, ih, [&](float width) { return MeasureTextHeight(graphics, text, width, availH); });
    PaintCellText(graphics, cell, AlertBox{g.x, g.y, g.boxWidth, g.textHeight + g.imageHeight},
                  AlertBox{g.x, g.y, g.boxWidth, g.textHeight}, 26);
    const AlertBox image{g.x, g.y + g.textHeight, g.boxWidth, g.imageHeight};
    DrawImage(graphics, cell.image, image);
    cell.hitRect = HitRectOf(image);
}

void PaintMessage(GpGraphics* graphics, const AlertLayout& layout, AlertItem& item) {
    if (item.cells.empty()) return;
    AlertCell& cell = item.cells[0];
    int32_t iw = 0, ih = 0;
    if (!UsableImageSize(cell.image, iw, ih)) {
        const AlertBox area{20, 100, layout.width - 40, layout.contentHeight};
        PaintCellText(graphics, cell, area, area, 22);
        return;
    }
    const MessageGeometry g = ComputeMessage(layout, iw, ih);
    PaintCellText(graphics, cell, AlertBox{g.x, 100, g.imageWidth, g.imageHeight + 30},
                  AlertBox{g.x, 100, g.imageWidth, 30}, 22);
    const AlertBox image{g.x, 130, g.imageWidth, g.imageHeight};
    DrawImage(graphics, cell.image, image);
    cell.hitRect = HitRectOf(image);
}

// The banner is asked for once per window: a host that has none, or sends
// what cannot be decoded, blocks the window's thread at its first paint
// only, not at every repaint of the gauge. Once loaded it stays.
void PaintBanner(GpGraphics* graphics, const AlertLayout& layout, AlertWindowState* state) {
    AlertDisplay& alerts = Alerts();
    if (alerts.bannerImage == nullptr && state != nullptr && !state->bannerTried) {
        state->bannerTried = true;
        alerts.bannerImage = LoadImageFromUrl(std::string("https://") + settings::ImageHost + BannerPath);
    }
    int32_t bw = 0, bh = 0;
    if (!UsableImageSize(alerts.bannerImage, bw, bh)) return;
    GdipSetInterpolationMode(graphics, InterpolationModeHighQualityBicubic);
    DrawImage(graphics, alerts.bannerImage, ComputeBanner(layout, bw, bh));
}

void PaintGauge(GpGraphics* graphics, const AlertLayout& layout) {
    const GaugeGeometry gauge = ComputeGauge(layout, UpdateStep.load(), DownloadProgress.load());
    FillBox(graphics, GaugeBackground, gauge.x, gauge.y, gauge.width, gauge.height);
    if (gauge.fill > 0) FillBox(graphics, FooterColour, gauge.x, gauge.y, gauge.fill, gauge.height);
    GpPen* pen = nullptr;
    if (GdipCreatePen1(GaugeOutline, 1.0f, UnitPixel, &pen) == Ok) {
        GdipDrawRectangleI(graphics, pen, gauge.x, gauge.y, gauge.width, gauge.height);
        GdipDeletePen(pen);
    }
    DrawTextBox(graphics, FromUtf8(GaugeCaption(gauge)), 14, Rect(gauge.x, gauge.y - 30, gauge.width, 24),
                CaptionColour, StringAlignmentCenter);
}

// What a window shows that does not change while it is up: the frame and
// the item's cells (their hit rectangles set again), or an update offer's
// banner. The gauge, the worker start and the RTF document's children are
// the live parts, done at every paint.
void PaintStaticContent(GpGraphics* graphics, const AlertLayout& layout, AlertWindowState* state) {
    PaintFrame(graphics, layout, CurrentKind());
    AlertItem* item = Alerts().currentItem;
    if (item == nullptr) return;
    for (AlertCell& cell : item->cells) cell.hitRect = AlertRect();
    switch (KindOf(*item)) {
        case AlertKind::MultipleButtons:
            PaintGrid(graphics, layout, *item);
            break;
        case AlertKind::SingleButton:
            PaintSingleCell(graphics, layout, *item);
            break;
        case AlertKind::MessageOnly:
            PaintMessage(graphics, layout, *item);
            break;
        case AlertKind::UpdateOffer:
            PaintBanner(graphics, layout, state);
            break;
        case AlertKind::RtfDocument:
        case AlertKind::Other:
            break;
    }
}

void PaintLiveParts(HDC dc, const AlertLayout& layout, HWND window, AlertWindowState* state) {
    switch (CurrentKind()) {
        case AlertKind::UpdateOffer: {
            GraphicsGuard graphics;
            if (GdipCreateFromHDC(dc, graphics.Out()) == Ok) PaintGauge(graphics.Get(), layout);
            StartUpdateWorker(window, state);
            break;
        }
        case AlertKind::RtfDocument:
            ShowRtfDocument(window, state, layout);
            break;
        default:
            break;
    }
}

// Draws the static content once into a bitmap the size of the client area
// (drawing the pictures costs tens of milliseconds under Wine; copying them
// back costs one or two). False when no bitmap could be had: the caller
// then draws straight onto the window.
bool ComposeOnce(HDC windowDc, const AlertLayout& layout, AlertWindowState* state) {
    if (state->composed.Get() != nullptr && state->composedWidth == layout.width &&
        state->composedHeight == layout.height) {
        return true;
    }
    ScopedBitmap bitmap(CreateCompatibleBitmap(windowDc, layout.width, layout.height));
    if (bitmap.Get() == nullptr) return false;
    {
        ScopedMemoryDc memory(windowDc, bitmap.Get());
        if (!memory.Valid()) return false;
        GraphicsGuard graphics;
        if (GdipCreateFromHDC(memory.Get(), graphics.Out()) != Ok) return false;
        PaintStaticContent(graphics.Get(), layout, state);
    }
    state->composed.Reset(bitmap.Release());
    state->composedWidth = layout.width;
    state->composedHeight = layout.height;
    return true;
}

void CopyComposed(HDC windowDc, const RECT& area, const AlertWindowState* state) {
    ScopedMemoryDc memory(windowDc, state->composed.Get());
    if (!memory.Valid()) return;
    BitBlt(windowDc, area.left, area.top, area.right - area.left, area.bottom - area.top, memory.Get(), area.left,
           area.top, SRCCOPY);
}

// Without a composed bitmap: everything straight onto the window.
void PaintDirect(HDC dc, const AlertLayout& layout, HWND window, AlertWindowState* state) {
    {
        GraphicsGuard graphics;
        if (GdipCreateFromHDC(dc, graphics.Out()) != Ok) return;
        PaintStaticContent(graphics.Get(), layout, state);
    }
    PaintLiveParts(dc, layout, window, state);
}

}  // namespace

void PaintAlertWindow(HWND window, AlertWindowState* state) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client = {};
    GetClientRect(window, &client);
    const AlertLayout layout = MakeAlertLayout(client.right - client.left, client.bottom - client.top);
    if (state != nullptr && ComposeOnce(dc, layout, state)) {
        CopyComposed(dc, paint.rcPaint, state);
        PaintLiveParts(dc, layout, window, state);
    } else {
        PaintDirect(dc, layout, window, state);
    }
    EndPaint(window, &paint);
}
