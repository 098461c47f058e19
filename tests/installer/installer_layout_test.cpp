#include "installer/installer_layout.h"

#include <gtest/gtest.h>

namespace {

void ExpectRect(const TileRect& rect, int left, int top, int right, int bottom) {
    EXPECT_EQ(rect.left, left);
    EXPECT_EQ(rect.top, top);
    EXPECT_EQ(rect.right, right);
    EXPECT_EQ(rect.bottom, bottom);
}

}  // namespace

TEST(InstallerLayout, TileHeightBounds) {
    EXPECT_EQ(InstallerTileHeight(601), 178);  // (601 - 244) / 2 = 357 / 2
    EXPECT_EQ(InstallerTileHeight(419), 160);  // 419 - 220 = 199 < 200
    EXPECT_EQ(InstallerTileHeight(420), 160);  // (420 - 244) / 2 = 88 < 160
    EXPECT_EQ(InstallerTileHeight(566), 161);  // (566 - 244) / 2 = 161
    EXPECT_EQ(InstallerTileHeight(765), 260);  // (765 - 244) / 2 = 260
    EXPECT_EQ(InstallerTileHeight(900), 260);  // 328 > 260
}

// 964 x 601: h = 178; e = (964 - 128) / 3 = 278; f = (964 - 104) / 2 = 430;
// second row 178 + 164 = 342 to 2 * 178 + 164 = 520; button left (964 - 260) / 2 = 352,
// and 601 - 20 = 581 < 520 + 68 = 588 pins it at 601 - 64 = 537.
TEST(InstallerLayout, RectanglesFor964By601) {
    const InstallerLayout layout = ComputeInstallerLayout(964, 601);
    ExpectRect(layout.tiles[0], 40, 140, 318, 318);   // 40 + 278
    ExpectRect(layout.tiles[1], 342, 140, 620, 318);  // 64 + 278, 64 + 556
    ExpectRect(layout.tiles[2], 644, 140, 922, 318);  // 88 + 556, 88 + 834
    ExpectRect(layout.tiles[3], 40, 342, 470, 520);   // 40 + 430
    ExpectRect(layout.tiles[4], 494, 342, 924, 520);  // 64 + 430, 64 + 860
    ExpectRect(layout.button, 352, 537, 612, 581);
}

// 1200 x 900: h = 260 (328 capped); e = 1072 / 3 = 357; f = 1096 / 2 = 548;
// second row 424 to 684; 880 >= 684 + 68, so the button top is 684 + 24 = 708.
TEST(InstallerLayout, RectanglesFor1200By900) {
    const InstallerLayout layout = ComputeInstallerLayout(1200, 900);
    ExpectRect(layout.tiles[0], 40, 140, 397, 400);
    ExpectRect(layout.tiles[1], 421, 140, 778, 400);   // 64 + 357, 64 + 714
    ExpectRect(layout.tiles[2], 802, 140, 1159, 400);  // 88 + 714, 88 + 1071
    ExpectRect(layout.tiles[3], 40, 424, 588, 684);
    ExpectRect(layout.tiles[4], 612, 424, 1160, 684);  // 64 + 548, 64 + 1096
    ExpectRect(layout.button, 470, 708, 730, 752);     // (1200 - 260) / 2 = 470
}

TEST(InstallerLayout, HitTestKeepsRightAndBottomEdgesOutside) {
    const InstallerLayout layout = ComputeInstallerLayout(964, 601);
    EXPECT_EQ(TileAtPoint(layout, 40, 140), 0);
    EXPECT_EQ(TileAtPoint(layout, 317, 317), 0);
    EXPECT_EQ(TileAtPoint(layout, 318, 200), -1);  // right edge of tile 0, gap before tile 1
    EXPECT_EQ(TileAtPoint(layout, 100, 318), -1);  // bottom edge of tile 0
    EXPECT_EQ(TileAtPoint(layout, 342, 200), 1);
    EXPECT_EQ(TileAtPoint(layout, 921, 141), 2);
    EXPECT_EQ(TileAtPoint(layout, 469, 519), 3);
    EXPECT_EQ(TileAtPoint(layout, 494, 342), 4);
    EXPECT_EQ(TileAtPoint(layout, 400, 540), -1);  // the button is no tile
    EXPECT_TRUE(RectContains(layout.button, 352, 537));
    EXPECT_FALSE(RectContains(layout.button, 612, 560));
    EXPECT_FALSE(RectContains(layout.button, 400, 581));
}

// Tile 0 at 964 x 601: area (40 + 16, 140 + 26, 278 - 32, 178 - 86) = (56, 166, 246, 92).
// A 160 x 100 picture: scale min(92 / 100, 246 / 160) = 0.92, size 147.2 x 92,
// x = 56 + (246 - 147.2) / 2 = 105.4.
TEST(InstallerLayout, PictureFitsTheAreaCentred) {
    const InstallerLayout layout = ComputeInstallerLayout(964, 601);
    const LayoutBox area = TilePictureArea(layout.tiles[0]);
    EXPECT_FLOAT_EQ(area.x, 56);
    EXPECT_FLOAT_EQ(area.y, 166);
    EXPECT_FLOAT_EQ(area.width, 246);
    EXPECT_FLOAT_EQ(area.height, 92);

    const LayoutBox box = FitPicture(area, 160, 100);
    EXPECT_FLOAT_EQ(box.width, 147.2f);
    EXPECT_FLOAT_EQ(box.height, 92);
    EXPECT_FLOAT_EQ(box.x, 105.4f);
    EXPECT_FLOAT_EQ(box.y, 166);
}

// A small picture is enlarged: area 100 x 50, picture 10 x 10, scale min(5, 10) = 5.
TEST(InstallerLayout, SmallPictureIsEnlarged) {
    LayoutBox area;
    area.x = 10;
    area.y = 20;
    area.width = 100;
    area.height = 50;
    const LayoutBox box = FitPicture(area, 10, 10);
    EXPECT_FLOAT_EQ(box.x, 35);  // 10 + (100 - 50) / 2
    EXPECT_FLOAT_EQ(box.y, 20);
    EXPECT_FLOAT_EQ(box.width, 50);
    EXPECT_FLOAT_EQ(box.height, 50);
    EXPECT_FLOAT_EQ(FitPicture(area, 0, 10).width, 0);
}
