// Over-long regions are cut into pieces that each fit one square crop.
#include <gtest/gtest.h>

#include "inpaint/region_split.h"

static InpaintRegion R(int x0, int y0, int x1, int y1) { return InpaintRegion{x0, y0, x1, y1}; }

TEST(RegionSplit, FittingRegionIsOnePiece)
{
    InpaintRegion p[GW_MAX_REGION_PIECES];
    InpaintRegion r = R(76, 76, 224, 144);
    ASSERT_EQ(split_region(&r, 1000, 1000, p), 1);
    EXPECT_EQ(p[0].x0, 76);
    EXPECT_EQ(p[0].x1, 224);
    r = R(0, 900, 1080, 1000);  // exactly the frame height long
    ASSERT_EQ(split_region(&r, 1920, 1080, p), 1);
}

TEST(RegionSplit, WideSubtitleBecomesPiecesThatTile)
{
    InpaintRegion p[GW_MAX_REGION_PIECES];
    InpaintRegion r = R(0, 900, 1920, 1000);
    ASSERT_EQ(split_region(&r, 1920, 1080, p), 2);
    EXPECT_EQ(p[0].x0, 0);
    EXPECT_EQ(p[0].x1, 960);
    EXPECT_EQ(p[1].x0, 960);
    EXPECT_EQ(p[1].x1, 1920);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(p[i].y0, 900);
        EXPECT_EQ(p[i].y1, 1000);
    }
    // Uneven lengths: pieces cover the region without gaps and stay in it.
    r = R(13, 300, 1094, 340);
    int n = split_region(&r, 1280, 720, p);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(p[0].x0, 13);
    EXPECT_EQ(p[0].x1, p[1].x0);
    EXPECT_EQ(p[1].x1, 1094);
    EXPECT_LE(p[0].x1 - p[0].x0, 720);
    EXPECT_LE(p[1].x1 - p[1].x0, 720);
}

TEST(RegionSplit, TallRegionInPortraitFrame)
{
    InpaintRegion p[GW_MAX_REGION_PIECES];
    InpaintRegion r = R(10, 0, 60, 1280);
    ASSERT_EQ(split_region(&r, 720, 1280, p), 2);
    EXPECT_EQ(p[0].y1, 640);
    EXPECT_EQ(p[1].y0, 640);
    EXPECT_EQ(p[1].x0, 10);
    EXPECT_EQ(p[1].x1, 60);
}

TEST(RegionSplit, PieceCountIsCapped)
{
    InpaintRegion p[GW_MAX_REGION_PIECES];
    InpaintRegion r = R(0, 0, 20000, 30);
    ASSERT_EQ(split_region(&r, 20000, 100, p), GW_MAX_REGION_PIECES);
    EXPECT_EQ(p[GW_MAX_REGION_PIECES - 1].x1, 20000);
}
