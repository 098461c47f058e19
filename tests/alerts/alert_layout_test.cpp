#include "alerts/alert_layout.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

// Expected values are worked out by hand; most on a 1280 x 800 client, whose
// content area is 650 pixels high.

namespace {

auto Tie(const AlertBox& b) {
    return std::make_tuple(b.x, b.y, b.w, b.h);
}
auto Tie(const GridGeometry& g) {
    return std::make_tuple(g.cols, g.rows, g.cellWidth, g.cellHeight, g.imageAreaHeight);
}
auto Tie(const SingleCellGeometry& s) {
    return std::make_tuple(s.x, s.y, s.boxWidth, s.textHeight, s.imageHeight);
}
auto Tie(const AlertRect& r) {
    return std::make_tuple(r.left, r.top, r.right, r.bottom);
}

const AlertLayout kScreen = MakeAlertLayout(1280, 800);

}  // namespace

TEST(AlertLayout, BandsAndChildWindows) {
    EXPECT_EQ(std::make_tuple(kScreen.width, kScreen.height, kScreen.titleHeight, kScreen.footerHeight,
                              kScreen.contentTop, kScreen.contentHeight),
              std::make_tuple(1280, 800, 80, 50, 100, 650));
    EXPECT_EQ(Tie(AcceptButtonBox(kScreen)), std::make_tuple(20, 760, 300, 30));
    EXPECT_EQ(Tie(RichEditBox(kScreen)), std::make_tuple(20, 100, 1240, 650));
    EXPECT_EQ(Tie(ProgressBand(kScreen)), std::make_tuple(0, 600, 1280, 120));
}

TEST(AlertLayout, GridColumnsRowsAndCells) {
    // 5 cells, "columnas" 2: rows = ceil(5 / 2) = 3; cw = (1280 - 20 * 3) / 2 = 610;
    // ch = (650 - 20 * 3 + 20) / 3 = 610 / 3 = 203; image area 203 - 30 = 173.
    const GridGeometry grid = ComputeGrid(kScreen, 5, 2);
    EXPECT_EQ(Tie(grid), std::make_tuple(2, 3, 610, 203, 173));
    // x = col * (610 + 20) + 20, y = row * (203 + 20) + 100.
    const std::vector<std::tuple<int, int, int, int>> bands = {
        {20, 100, 610, 30}, {650, 100, 610, 30}, {20, 323, 610, 30}, {650, 323, 610, 30}, {20, 546, 610, 30}};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Tie(GridTextBand(grid, i)), bands[i]) << i;

    // "columnas" 9 with 5 cells: 5 columns, 1 row; cw = (1280 - 120) / 5 = 232; ch = (650 - 20 + 20) / 1.
    EXPECT_EQ(Tie(ComputeGrid(kScreen, 5, 9)), std::make_tuple(5, 1, 232, 650, 620));
    EXPECT_EQ(Tie(ComputeGrid(kScreen, 5, -4)), std::make_tuple(1, 5, 1240, 114, 84));  // (650 - 80) / 5 = 114
    // 7 cells in 3 columns: rows = ceil(7 / 3) = 3, the last row holds one cell.
    EXPECT_EQ(Tie(GridTextBand(ComputeGrid(kScreen, 7, 3), 6)), std::make_tuple(20, 546, 400, 30));
}

TEST(AlertLayout, GridImagesScaleToTheCell) {
    const GridGeometry grid = ComputeGrid(kScreen, 5, 2);  // cw 610, image area 173
    const struct {
        int index, iw, ih;
        std::tuple<int, int, int, int> box;
    } cases[] = {
        // s = min(173 / 100, 610 / 305) = 1.73; w = trunc(527.65) = 527; left = 650 + (610 - 527) / 2 = 691.
        {1, 305, 100, {691, 130, 527, 173}},
        // s = min(173 / 200, 610 / 1220) = 0.5; w = 610, h = 100; left = 20; top = 546 + 30.
        {4, 1220, 200, {20, 576, 610, 100}},
        // enlarged: s = min(17.3, 61) = 17.3; 173 x 173; left = 20 + (610 - 173) / 2 = 238; top = 323 + 30.
        {2, 10, 10, {238, 353, 173, 173}},
    };
    for (const auto& c : cases) EXPECT_EQ(Tie(GridImageBox(grid, c.index, c.iw, c.ih)), c.box) << c.iw;
    EXPECT_EQ(Tie(HitRectOf(GridImageBox(grid, 1, 305, 100))), std::make_tuple(691, 130, 1218, 303));
}

TEST(AlertLayout, GridRowsOfThirtyPixelsOrLessHaveNoImageArea) {
    // 1280 x 330: content 180; 4 rows: ch = (180 - 80 + 20) / 4 = 30, image area 0: the picture gets no size.
    const GridGeometry flat = ComputeGrid(MakeAlertLayout(1280, 330), 4, 1);
    EXPECT_EQ(Tie(flat), std::make_tuple(1, 4, 1240, 30, 0));
    EXPECT_EQ(Tie(GridImageBox(flat, 0, 100, 100)), std::make_tuple(640, 130, 0, 0));  // 20 + 1240 / 2
    // 1280 x 334: ch = 124 / 4 = 31, image area 1; s = 0.01; left = 20 + 1239 / 2; top = 3 * 51 + 100 + 30.
    const GridGeometry thin = ComputeGrid(MakeAlertLayout(1280, 334), 4, 1);
    EXPECT_EQ(Tie(thin), std::make_tuple(1, 4, 1240, 31, 1));
    EXPECT_EQ(Tie(GridImageBox(thin, 3, 100, 100)), std::make_tuple(639, 283, 1, 1));
    // 1280 x 199: ch = (49 - 100 + 20) / 5 = -31 / 5 = -6 (truncated toward zero); cell 1 at 1 * 14 + 100.
    const GridGeometry negative = ComputeGrid(MakeAlertLayout(1280, 199), 5, 1);
    EXPECT_EQ(Tie(negative), std::make_tuple(1, 5, 1240, -6, 0));
    EXPECT_EQ(GridTextBand(negative, 1).y, 114);
}

TEST(AlertLayout, SingleCellTallImageNarrowsTheBox) {
    // 100 x 5000, text 31 high: no width from 50 up fits (50 * 50 + 31 > 650), best = 50;
    // imgH = 50 * 50 = 2500 > 650 - 31, so imgH = 619 and boxW = nearest(0.02 * 619 = 12.38) = 12;
    // x = (1280 - 12) / 2 = 634.
    const auto constant31 = [](float) { return 31.0f; };
    EXPECT_EQ(Tie(ComputeSingleCell(kScreen, 100, 5000, constant31)), std::make_tuple(634, 100, 12, 31, 619));
    // 1 x 32, text 250 high: imgH = 650 - 250 = 400, boxW = nearest(400 / 32 = 12.5) = 13 (half away from zero);
    // x = (1280 - 13) / 2 = 633.
    const auto constant250 = [](float) { return 250.0f; };
    EXPECT_EQ(Tie(ComputeSingleCell(kScreen, 1, 32, constant250)), std::make_tuple(633, 100, 13, 250, 400));
    // Text height 30.2 is rounded up to 31.
    const auto fractional = [](float) { return 30.2f; };
    EXPECT_EQ(Tie(ComputeSingleCell(kScreen, 100, 5000, fractional)), std::make_tuple(634, 100, 12, 31, 619));
}

TEST(AlertLayout, SingleCellWideImageTakesTheWholeWidth) {
    // 1000 x 100, text 31: every width fits (0.1 * mid + 31 <= 650), best -> 1240 - 1190 / 2^28 = 1239.99999557;
    // boxW = nearest = 1240; imgH = nearest(0.1 * 1240) = 124; x = 20.
    const auto constant31 = [](float) { return 31.0f; };
    EXPECT_EQ(Tie(ComputeSingleCell(kScreen, 1000, 100, constant31)), std::make_tuple(20, 100, 1240, 31, 124));
    // Narrow window: availW = max(40 - 40, 50) = 50, boxW at least 50; x = (40 - 50) / 2 = -5.
    EXPECT_EQ(Tie(ComputeSingleCell(MakeAlertLayout(40, 800), 1000, 100, constant31)),
              std::make_tuple(-5, 100, 50, 31, 5));
}

TEST(AlertLayout, SingleCellSearchesTwentyEightSteps) {
    // Square image, text height 26000 / width: fits while mid + 26000 / mid <= 650, that is
    // mid <= (650 + sqrt(650^2 - 4 * 26000)) / 2 = 607.179; boxW = 607, textH = ceil(26000 / 607 = 42.83) = 43,
    // imgH = 607; 43 + 607 <= 650; x = (1280 - 607) / 2 = 336.
    std::vector<float> widths;
    const auto wrapping = [&widths](float width) {
        widths.push_back(width);
        return 26000.0f / width;
    };
    EXPECT_EQ(Tie(ComputeSingleCell(kScreen, 100, 100, wrapping)), std::make_tuple(336, 100, 607, 43, 607));
    ASSERT_EQ(widths.size(), 29u);  // 28 search steps, then the chosen width
    EXPECT_EQ(widths[0], 645.0f);   // (50 + 1240) / 2
    EXPECT_EQ(widths[1], 347.5f);   // 645 does not fit: (50 + 645) / 2
    EXPECT_EQ(widths[28], 607.0f);

    // Text 5 high: the first width, 645, fits exactly (645 + 5 = 650) and becomes the lower bound.
    widths.clear();
    const auto exact = [&widths](float width) {
        widths.push_back(width);
        return 5.0f;
    };
    EXPECT_EQ(Tie(ComputeSingleCell(kScreen, 100, 100, exact)), std::make_tuple(317, 100, 645, 5, 645));
    ASSERT_EQ(widths.size(), 29u);
    EXPECT_EQ(widths[1], 942.5f);  // (645 + 1240) / 2
}

TEST(AlertLayout, MessageImage) {
    // s = min((650 - 30) / 124, 1240 / 200) = 5: 1000 x 620, x = (1280 - 1000) / 2 = 140.
    MessageGeometry m = ComputeMessage(kScreen, 200, 124);
    EXPECT_EQ(std::make_tuple(m.x, m.imageWidth, m.imageHeight), std::make_tuple(140, 1000, 620));
    // s = min(620 / 100, 1240 / 496) = 2.5: 1240 x 250, x = 20.
    m = ComputeMessage(kScreen, 496, 100);
    EXPECT_EQ(std::make_tuple(m.x, m.imageWidth, m.imageHeight), std::make_tuple(20, 1240, 250));
}

TEST(AlertLayout, BannerNeverEnlargedAndCentred) {
    // Room between the bands: 800 - 130 = 670.
    const struct {
        int bw, bh;
        std::tuple<int, int, int, int> box;
    } cases[] = {
        // s = 1: own size; x = (1280 - 400) / 2 = 440, y = (670 - 200) / 2 + 80 = 315.
        {400, 200, {440, 315, 400, 200}},
        // s = min(1024 / 2560, 536 / 1000, 1) = 0.4: 1024 x 400; x = 128, y = 135 + 80.
        {2560, 1000, {128, 215, 1024, 400}},
        // s = min(1024 / 1000, 536 / 2000, 1) = 0.268: 268 x 536; x = 1012 / 2, y = 134 / 2 + 80.
        {1000, 2000, {506, 147, 268, 536}},
    };
    for (const auto& c : cases) EXPECT_EQ(Tie(ComputeBanner(kScreen, c.bw, c.bh)), c.box) << c.bw;
}

TEST(AlertLayout, GaugeClampsAndCaptions) {
    // gw = trunc(1280 * 0.55) = 704; gx = (1280 - 704) / 2 = 288; gy = 800 - 130.
    const struct {
        int width, step, percent;
        std::tuple<int, int, int, int, int, int, int> gauge;  // x, y, width, height, fill, step, percent
        const char* caption;
    } cases[] = {
        {1280, 1, 150, {288, 670, 704, 22, 704, 1, 100}, "Descomprimiendo...  100%"},
        {1280, 2, 37, {288, 670, 704, 22, 260, 2, 37}, "Instalando...  37%"},  // trunc(704 * 37 / 100.0 = 260.48)
        {1280, 7, 100, {288, 670, 704, 22, 704, 3, 100}, "Listo  100%"},
        {1280, -3, -5, {288, 670, 704, 22, 0, 0, 0}, "Descargando...  0%"},
        {1279, 0, 50, {288, 670, 703, 22, 351, 0, 50}, "Descargando...  50%"},  // trunc(703.45); 351.5 -> 351
    };
    for (const auto& c : cases) {
        const GaugeGeometry g = ComputeGauge(MakeAlertLayout(c.width, 800), c.step, c.percent);
        EXPECT_EQ(std::make_tuple(g.x, g.y, g.width, g.height, g.fill, g.step, g.percent), c.gauge) << c.caption;
        EXPECT_EQ(GaugeCaption(g), c.caption);
    }
    EXPECT_STREQ(UpdateStepText(7), "Listo");
    EXPECT_STREQ(UpdateStepText(-3), "Descargando...");
}

TEST(AlertLayout, HitRectsAreInclusive) {
    const AlertRect r = HitRectOf(AlertBox{10, 20, 20, 20});
    EXPECT_EQ(Tie(r), std::make_tuple(10, 20, 30, 40));
    const struct {
        int x, y;
        bool inside;
    } cases[] = {{10, 20, true},  {30, 40, true},  {30, 20, true}, {20, 30, true},
                 {31, 40, false}, {30, 41, false}, {9, 20, false}, {10, 19, false}};
    for (const auto& c : cases) EXPECT_EQ(RectContains(r, c.x, c.y), c.inside) << c.x << "," << c.y;
    EXPECT_TRUE(IsZeroRect(AlertRect{}));
    EXPECT_FALSE(IsZeroRect(AlertRect{0, 0, 0, 1}));
    EXPECT_FALSE(IsZeroRect(AlertRect{1, 0, 0, 0}));
}

TEST(AlertLayout, ClickActions) {
    // Footer from y = 800 - 50 = 750; accept button x in [20, 320), y in [760, 790).
    const ClickAction open = ClickAction::OpenLinks, close = ClickAction::CloseFromFooter, none = ClickAction::Ignore;
    const AlertKind grid = AlertKind::MultipleButtons, rtf = AlertKind::RtfDocument;
    const struct {
        AlertKind kind;
        int x, y;
        ClickAction action;
    } cases[] = {
        {grid, 640, 40, open},   // title band
        {grid, 640, 400, open},  // content
        {grid, 640, 749, open},
        {grid, 640, 750, close},
        {grid, 0, 799, close},
        {grid, 100, 770, close},      // no button outside RTF windows
        {grid, 65535, 65535, close},  // the largest unsigned 16-bit coordinates
        {rtf, 100, 400, open},
        {rtf, 100, 749, open},
        {rtf, 20, 760, none},
        {rtf, 319, 789, none},
        {rtf, 320, 770, close},
        {rtf, 19, 770, close},
        {rtf, 100, 790, close},
        {rtf, 100, 759, close},
        {rtf, 100, 755, close},
        {AlertKind::UpdateOffer, 640, 400, none},
        {AlertKind::UpdateOffer, 640, 780, none},
        {AlertKind::Other, 640, 780, close},
        {AlertKind::SingleButton, 100, 770, close},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ClassifyClick(kScreen, c.kind, c.x, c.y), c.action)
            << static_cast<int>(c.kind) << " " << c.x << "," << c.y;
    }
}
