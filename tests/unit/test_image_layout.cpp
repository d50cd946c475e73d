// Pictures as they are meant to be seen: EXIF orientation of JPEG files
// (read defensively, applied on load) and alpha channels kept for outputs
// that carry one.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "imageio/image_io.h"
#include "test_support.h"

namespace {

struct Picture {
    unsigned char *rgb = nullptr, *alpha = nullptr;
    int w = 0, h = 0;
    char msg[512] = "";
    ~Picture()
    {
        free(rgb);
        free(alpha);
    }
    bool load(const std::string &p, bool want_alpha = true)
    {
        rgb = gw_load_picture(p.c_str(), &w, &h, want_alpha ? &alpha : nullptr, msg, sizeof msg);
        return rgb != nullptr;
    }
    int red(int x, int y) const { return rgb[((size_t)y * w + x) * 3]; }
};

// A W x H JPEG, black with a red 8x8 block in the stored top-left corner.
std::string marked_jpeg(const std::string &dir, int W, int H)
{
    std::vector<unsigned char> img((size_t)W * H * 3, 0);
    for (int y = 0; y < 8; y++)
        for (int x = 0; x < 8; x++)
            img[((size_t)y * W + x) * 3] = 255;
    const std::string p = dir + "/marked.jpg";
    char msg[256] = "";
    EXPECT_EQ(gw_save_image(p.c_str(), img.data(), W, H, msg, sizeof msg), 0) << msg;
    return gwt::read_file(p);
}

}  // namespace

TEST(Orientation, ReadFromBothByteOrders)
{
    const std::string jpeg = marked_jpeg(gwt::temp_dir(), 48, 32);
    auto d = [](const std::string &s) { return (const unsigned char *)s.data(); };
    EXPECT_EQ(gw_jpeg_orientation(d(jpeg), jpeg.size()), 1);  // no Exif block
    for (int o = 1; o <= 8; o++)
        for (bool be : {false, true}) {
            const std::string j = gwt::jpeg_with_orientation(jpeg, o, be);
            EXPECT_EQ(gw_jpeg_orientation(d(j), j.size()), o) << o << (be ? " MM" : " II");
        }
    // Values outside 1..8 and every cut of the block read as upright, and no
    // read leaves the bytes (checked under AddressSanitizer).
    const std::string bad = gwt::jpeg_with_orientation(jpeg, 9);
    EXPECT_EQ(gw_jpeg_orientation(d(bad), bad.size()), 1);
    const std::string six = gwt::jpeg_with_orientation(jpeg, 6);
    for (size_t n = 0; n < 60; n++) {
        std::vector<unsigned char> cut(six.begin(), six.begin() + (long)n);
        const int o = gw_jpeg_orientation(cut.data(), cut.size());
        EXPECT_TRUE(o == 1 || o == 6) << n;
    }
}

TEST(Orientation, AppliedOnLoad)
{
    const std::string dir = gwt::temp_dir();
    const int W = 48, H = 32;
    const std::string jpeg = marked_jpeg(dir, W, H);
    // Where the stored top-left corner is shown, for each orientation.
    const struct {
        int x, y;
    } corner[9] = {{0, 0}, {0, 0}, {W - 1, 0}, {W - 1, H - 1}, {0, H - 1}, {0, 0}, {H - 1, 0}, {H - 1, W - 1}, {0, W - 1}};
    for (int o = 1; o <= 8; o++) {
        SCOPED_TRACE(o);
        const std::string p = dir + "/o" + std::to_string(o) + ".jpg";
        gwt::write_file(p, gwt::jpeg_with_orientation(jpeg, o, o % 2 == 0));
        Picture pic;
        ASSERT_TRUE(pic.load(p)) << pic.msg;
        EXPECT_EQ(pic.w, o >= 5 ? H : W);
        EXPECT_EQ(pic.h, o >= 5 ? W : H);
        EXPECT_EQ(pic.alpha, nullptr);
        const int cx = corner[o].x < 4 ? 2 : corner[o].x - 2, cy = corner[o].y < 4 ? 2 : corner[o].y - 2;
        EXPECT_GT(pic.red(cx, cy), 200) << "marker at " << cx << "," << cy;
        EXPECT_LT(pic.red(pic.w - 1 - cx, pic.h - 1 - cy), 60) << "the opposite corner stays black";
    }
}

TEST(Alpha, KeptForPngAndTgaOnly)
{
    const std::string dir = gwt::temp_dir();
    const int W = 20, H = 10;
    std::vector<unsigned char> rgb((size_t)W * H * 3), alpha((size_t)W * H);
    for (size_t i = 0; i < alpha.size(); i++) {
        alpha[i] = (unsigned char)(i * 7);
        rgb[i * 3] = (unsigned char)i;
        rgb[i * 3 + 1] = 100;
        rgb[i * 3 + 2] = (unsigned char)(255 - i);
    }
    char msg[256] = "";
    for (const char *name : {"a.png", "a.tga", "a.PNG"}) {
        const std::string p = dir + "/" + name;
        ASSERT_EQ(gw_save_picture(p.c_str(), rgb.data(), alpha.data(), W, H, msg, sizeof msg), 0) << msg;
        Picture pic;
        ASSERT_TRUE(pic.load(p)) << pic.msg;
        ASSERT_NE(pic.alpha, nullptr) << name;
        EXPECT_EQ(std::vector<unsigned char>(pic.alpha, pic.alpha + W * H), alpha) << name;
        EXPECT_EQ(std::vector<unsigned char>(pic.rgb, pic.rgb + W * H * 3), rgb) << name;
        Picture flat;  // without asking for alpha: the colours alone
        ASSERT_TRUE(flat.load(p, false));
        EXPECT_EQ(std::vector<unsigned char>(flat.rgb, flat.rgb + W * H * 3), rgb) << name;
    }
    for (const char *name : {"a.bmp", "a.jpg"}) {
        const std::string p = dir + "/" + name;
        ASSERT_EQ(gw_save_picture(p.c_str(), rgb.data(), alpha.data(), W, H, msg, sizeof msg), 0) << msg;
        Picture pic;
        ASSERT_TRUE(pic.load(p)) << pic.msg;
        EXPECT_EQ(pic.alpha, nullptr) << name;
    }
}

TEST(Alpha, GreyWithAlphaBecomesRgbAndAlpha)
{
    const std::string p = gwt::temp_dir() + "/ya.png";
    ASSERT_EQ(gwt::run("ffmpeg -nostdin -y -loglevel error -f lavfi -i color=c=0x808080:s=8x8 -frames:v 1 "
                       "-vf format=ya8 " +
                       p),
              0);
    Picture pic;
    ASSERT_TRUE(pic.load(p)) << pic.msg;
    ASSERT_NE(pic.alpha, nullptr);
    EXPECT_EQ(pic.alpha[0], 255);
    EXPECT_EQ(pic.rgb[0], pic.rgb[1]);
    EXPECT_EQ(pic.rgb[1], pic.rgb[2]);
}
