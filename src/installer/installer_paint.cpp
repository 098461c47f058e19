#include "installer/installer_paint.h"

#include "support/gdiplus_guards.h"
#include "installer/installer_layout.h"
#include "installer/installer_style.h"

using namespace Gdiplus;
using namespace Gdiplus::DllExports;
namespace style = installer_style;

namespace {

RectF Box(float x, float y, float width, float height) {
    return RectF(x, y, width, height);
}

RectF TileBox(const TileRect& rect) {
    return Box(static_cast<float>(rect.left), static_cast<float>(rect.top), static_cast<float>(rect.right - rect.left),
               static_cast<float>(rect.bottom - rect.top));
}

RectF Moved(const RectF& rect, float dx, float dy) {
    return Box(rect.X + dx, rect.Y + dy, rect.Width, rect.Height);
}

void FillRounded(GpGraphics* graphics, GpBrush* brush, const RectF& rect, float radius) {
    PathGuard path;
    if (GdipCreatePath(FillModeAlternate, path.Out()) != Ok) return;
    AddRoundedRect(path.Get(), rect, radius);
    GdipFillPath(graphics, brush, path.Get());
}

void FillRoundedSolid(GpGraphics* graphics, style::Argb colour, const RectF& rect, float radius) {
    SolidBrushGuard brush;
    if (GdipCreateSolidFill(colour, brush.Out()) != Ok) return;
    FillRounded(graphics, brush.Get(), rect, radius);
}

// Vertical gradient from top to bottom of the rectangle. Flipped tiling
// keeps the last row from wrapping back to the first colour.
void FillRoundedGradient(GpGraphics* graphics, style::Argb top, style::Argb bottom, const RectF& rect, float radius) {
    LineBrushGuard brush;
    if (GdipCreateLineBrushFromRect(&rect, top, bottom, LinearGradientModeVertical, WrapModeTileFlipXY, brush.Out()) !=
        Ok)
        return;
    FillRounded(graphics, brush.Get(), rect, radius);
}

void OutlineRounded(GpGraphics* graphics, style::Argb colour, float width, const RectF& rect, float radius) {
    PenGuard pen;
    PathGuard path;
    if (GdipCreatePen1(colour, width, UnitPixel, pen.Out()) != Ok) return;
    if (GdipCreatePath(FillModeAlternate, path.Out()) != Ok) return;
    AddRoundedRect(path.Get(), rect, radius);
    GdipDrawPath(graphics, pen.Get(), path.Get());
}

// "Segoe UI", or the generic sans-serif family where it is not installed.
bool CreateUiFont(float pixels, int fontStyle, FontGuard* font) {
    FontFamilyGuard family;
    if (GdipCreateFontFamilyFromName(style::FontName, nullptr, family.Out()) != Ok &&
        GdipGetGenericFontFamilySansSerif(family.Out()) != Ok)
        return false;
    return GdipCreateFont(family.Get(), pixels, fontStyle, UnitPixel, font->Out()) == Ok;
}

void DrawText(GpGraphics* graphics, const wchar_t* text, float pixels, int fontStyle, style::Argb colour,
              const RectF& rect, StringAlignment lineAlignment) {
    FontGuard font;
    SolidBrushGuard brush;
    StringFormatGuard format;
    if (!CreateUiFont(pixels, fontStyle, &font)) return;
    if (GdipCreateSolidFill(colour, brush.Out()) != Ok) return;
    if (GdipCreateStringFormat(0, LANG_NEUTRAL, format.Out()) != Ok) return;
    GdipSetStringFormatAlign(format.Get(), StringAlignmentCenter);
    GdipSetStringFormatLineAlign(format.Get(), lineAlignment);
    GdipDrawString(graphics, text, -1, font.Get(), &rect, format.Get(), brush.Get());
}

void PaintBackground(GpGraphics* graphics, int width, int height) {
    const RectF all = Box(0, 0, static_cast<float>(width), static_cast<float>(height));
    LineBrushGuard brush;
    if (GdipCreateLineBrushFromRect(&all, style::BackgroundTop, style::BackgroundBottom, LinearGradientModeVertical,
                                    WrapModeTileFlipXY, brush.Out()) != Ok)
        return;
    GdipFillRectangle(graphics, brush.Get(), all.X, all.Y, all.Width, all.Height);
}

void PaintHeader(GpGraphics* graphics, int width) {
    const RectF panel = Box(40, 18, static_cast<float>(width - 80), 84);
    FillRoundedSolid(graphics, style::HeaderShadow, Moved(panel, 0, 5), 22);
    FillRoundedSolid(graphics, style::HeaderFill, panel, 22);
    OutlineRounded(graphics, style::HeaderOutline, 1.5f, panel, 22);
    PenGuard rule;
    if (GdipCreatePen1(style::HeaderRule, 1, UnitPixel, rule.Out()) == Ok)
        GdipDrawLineI(graphics, rule.Get(), 50, 112, width - 50, 112);
    DrawText(graphics, style::HeaderText, 21, FontStyleBold, style::White,
             Box(64, 36, static_cast<float>(width - 128), 48), StringAlignmentCenter);
}

void PaintPicture(GpGraphics* graphics, GpImage* picture, const TileRect& rect) {
    UINT pictureWidth = 0, pictureHeight = 0;
    if (GdipGetImageWidth(picture, &pictureWidth) != Ok || GdipGetImageHeight(picture, &pictureHeight) != Ok) return;
    const LayoutBox box = FitPicture(TilePictureArea(rect), pictureWidth, pictureHeight);
    GdipDrawImageRect(graphics, picture, box.x, box.y, box.width, box.height);
}

void PaintTile(GpGraphics* graphics, const TileRecord& tile, style::Argb accent, bool hovered) {
    const RectF body = TileBox(tile.rect);
    const float x = body.X, y = body.Y, w = body.Width, h = body.Height;
    FillRoundedSolid(graphics, style::TileShadow, Moved(body, 4, 6), 20);
    FillRoundedGradient(graphics, hovered ? style::TileHoverTop : style::TileTop,
                        hovered ? style::TileHoverBottom : style::TileBottom, body, 20);
    if (hovered) {
        OutlineRounded(graphics, style::White, 2, body, 20);
    } else {
        OutlineRounded(graphics, style::TileOutline, 1.5f, body, 20);
    }
    FillRoundedSolid(graphics, accent, Box(x + 12, y + 10, w - 24, 6), 3);
    if (tile.picture != nullptr) PaintPicture(graphics, static_cast<GpImage*>(tile.picture), tile.rect);
    DrawText(graphics, tile.title.c_str(), 14, FontStyleBold, style::TitleText, Box(x + 16, y + h - 54, w - 32, 28),
             StringAlignmentCenter);
    DrawText(graphics, style::TileLine, 11, FontStyleRegular, hovered ? style::LineHoverText : style::LineText,
             Box(x + 16, y + h - 30, w - 32, 18), StringAlignmentNear);
}

void PaintButton(GpGraphics* graphics, const TileRect& rect, bool hovered) {
    const RectF body = TileBox(rect);
    FillRoundedSolid(graphics, style::ButtonShadow, Moved(body, 3, 4), 18);
    FillRoundedGradient(graphics, hovered ? style::ButtonHoverTop : style::ButtonTop,
                        hovered ? style::ButtonHoverBottom : style::ButtonBottom, body, 18);
    OutlineRounded(graphics, hovered ? style::White : style::ButtonOutline, 1.8f, body, 18);
    DrawText(graphics, style::ButtonText, 13, FontStyleBold, style::TitleText, body, StringAlignmentCenter);
}

}  // namespace

void AddRoundedRect(GpPath* path, const RectF& rect, float radius) {
    const float d = radius * 2;
    GdipAddPathArc(path, rect.X, rect.Y, d, d, 180, 90);
    GdipAddPathArc(path, rect.X + rect.Width - d, rect.Y, d, d, 270, 90);
    GdipAddPathArc(path, rect.X + rect.Width - d, rect.Y + rect.Height - d, d, d, 0, 90);
    GdipAddPathArc(path, rect.X, rect.Y + rect.Height - d, d, d, 90, 90);
    GdipClosePathFigure(path);
}

void PaintInstallerScene(HDC dc, int width, int height, const InstallerState& state) {
    GraphicsGuard graphics;
    if (GdipCreateFromHDC(dc, graphics.Out()) != Ok) return;
    GdipSetSmoothingMode(graphics.Get(), SmoothingModeAntiAlias);
    GdipSetTextRenderingHint(graphics.Get(), TextRenderingHintClearTypeGridFit);

    PaintBackground(graphics.Get(), width, height);
    PaintHeader(graphics.Get(), width);
    for (size_t i = 0; i < state.tiles.size() && i < style::TileAccents.size(); ++i) {
        PaintTile(graphics.Get(), state.tiles[i], style::TileAccents[i], state.hoveredTile == static_cast<int>(i));
    }
    PaintButton(graphics.Get(), state.button, state.buttonHovered);
}
