// Over-long regions are cut into pieces that each fit one square crop.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "inpaint/region_split.h"

namespace {

enum { X0, Y0, X1, Y1 };
using Piece = std::array<int, 4>;
using Pieces = std::vector<Piece>;

// The pieces of region r in a w x h frame.
Pieces split(const Piece &r, int w, int h)
{
    const InpaintRegion in = {r[X0], r[Y0], r[X1], r[Y1]};
    InpaintRegion p[GW_MAX_REGION_PIECES];
    const int n = split_region(&in, w, h, p);
    EXPECT_TRUE(n >= 1 && n <= GW_MAX_REGION_PIECES) << n << " pieces";
    Pieces out;
    for (int i = 0; i < n && i < GW_MAX_REGION_PIECES; i++)
        out.push_back({p[i].x0, p[i].y0, p[i].x1, p[i].y1});
    return out;
}

}  // namespace

TEST(RegionSplit, FittingRegionIsOnePiece)
{
    EXPECT_EQ(split({76, 76, 224, 144}, 1000, 1000), (Pieces{{76, 76, 224, 144}}));
    EXPECT_EQ(split({0, 900, 1080, 1000}, 1920, 1080).size(), 1u) << "exactly the frame height long";
}

TEST(RegionSplit, WideSubtitleBecomesPiecesThatTile)
{
    EXPECT_EQ(split({0, 900, 1920, 1000}, 1920, 1080), (Pieces{{0, 900, 960, 1000}, {960, 900, 1920, 1000}}));

    // Uneven lengths: pieces cover the region without gaps and stay in it.
    Pieces p = split({13, 300, 1094, 340}, 1280, 720);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0][X0], 13);
    EXPECT_EQ(p[0][X1], p[1][X0]);
    EXPECT_EQ(p[1][X1], 1094);
    for (const Piece &q : p)
        EXPECT_LE(q[X1] - q[X0], 720);
}

TEST(RegionSplit, TallRegionInPortraitFrame)
{
    EXPECT_EQ(split({10, 0, 60, 1280}, 720, 1280), (Pieces{{10, 0, 60, 640}, {10, 640, 60, 1280}}));
}

TEST(RegionSplit, PieceCountIsCapped)
{
    Pieces p = split({0, 0, 20000, 30}, 20000, 100);
    ASSERT_EQ(p.size(), (size_t)GW_MAX_REGION_PIECES);
    EXPECT_EQ(p.back()[X1], 20000);
}

TEST(RegionSplit, CappedPiecesOfATinyFrameStayInsideTheRegion)
{
    // 17 rows in a frame 2 pixels wide would need 9 pieces of 2; capped at 8
    // they are 3 long and 6 of them cover the region.
    EXPECT_EQ(split({0, 0, 2, 17}, 2, 1000),
              (Pieces{{0, 0, 2, 3}, {0, 3, 2, 6}, {0, 6, 2, 9}, {0, 9, 2, 12}, {0, 12, 2, 15}, {0, 15, 2, 17}}));
}
