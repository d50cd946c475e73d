// Images as the user sees them, through glyphwipe_process_image and
// glyphwipe_detect: transparency is kept (only the colours are repainted),
// and a JPEG shown rotated by its EXIF
// orientation is detected and written upright.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "glyphwipe.h"
#include "test_support.h"

namespace {

struct FaithfulImages : ::testing::Test {
    std::string dir;
    void SetUp() override
    {
        dir = gwt::temp_dir();
        ASSERT_EQ(glyphwipe_init(gwt::models_dir().c_str()), 0) << glyphwipe_last_error();
    }
    void TearDown() override { glyphwipe_cleanup(); }
    std::string ff(const std::string &args) { return gwt::capture("ffmpeg -nostdin -y -loglevel error " + args); }
    // The alpha plane of a picture, through ffmpeg.
    std::vector<unsigned char> alpha_of(const std::string &p, int w, int h)
    {
        std::vector<unsigned char> a;
        EXPECT_TRUE(gwt::capture_rgb("ffmpeg -nostdin -loglevel error -i " + gwt::sh_quote(p) +
                                         " -vf alphaextract,format=rgb24 -f rawvideo - 2>/dev/null",
                                     w, h, a));
        return a;
    }
};

}  // namespace

TEST_F(FaithfulImages, TransparencyIsKept)
{
    const std::string text = dir + "/text.png", in = dir + "/in.png", out = dir + "/out.png";
    const int W = 480, H = 270;
    ASSERT_TRUE(gwt::make_text_image(text, W, H, "plain:0x305070", {{"Hello there", 60, 100, 48, "white", 2}}));
    // Opaque where the text is, a transparent band at the top (its colours
    // hidden), a half-transparent one at the bottom.
    ff("-i " + text + " -vf \"format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':a='if(lt(Y,40),0,if(gt(Y,230),128,255))'\" " +
       in);
    ASSERT_TRUE(gwt::file_exists(in));
    ASSERT_EQ(glyphwipe_process_image(in.c_str(), out.c_str()), 0) << glyphwipe_last_error();
    const std::vector<unsigned char> a = alpha_of(in, W, H);
    ASSERT_EQ(a.size(), (size_t)W * H * 3);
    EXPECT_EQ(a[0], 0);
    EXPECT_EQ(alpha_of(out, W, H), a);
}

TEST_F(FaithfulImages, ExifOrientationIsApplied)
{
    const std::string upright = dir + "/upright.jpg", stored = dir + "/stored.jpg", tagged = dir + "/tagged.jpg",
                      out = dir + "/out.png";
    const int W = 640, H = 360;
    ASSERT_TRUE(gwt::make_text_image(upright, W, H, "plain:0x203040", {{"Sideways words", 80, 150, 48, "white", 2}}));
    // Stored turned a quarter to the left; orientation 6 turns it back.
    ff("-i " + upright + " -vf transpose=2 -q:v 2 " + stored);
    ASSERT_TRUE(gwt::file_exists(stored));
    gwt::write_file(tagged, gwt::jpeg_with_orientation(gwt::read_file(stored), 6));

    const char *a = glyphwipe_detect(upright.c_str());
    ASSERT_NE(a, nullptr) << glyphwipe_last_error();
    const std::vector<gwt::Box> want = gwt::parse_boxes(a);
    const char *b = glyphwipe_detect(tagged.c_str());
    ASSERT_NE(b, nullptr) << glyphwipe_last_error();
    const std::vector<gwt::Box> got = gwt::parse_boxes(b);
    ASSERT_FALSE(want.empty());
    ASSERT_EQ(got.size(), want.size()) << a << " vs " << b;
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_NEAR(got[i].x, want[i].x, 3);
        EXPECT_NEAR(got[i].y, want[i].y, 3);
        EXPECT_NEAR(got[i].w, want[i].w, 4);
        EXPECT_NEAR(got[i].h, want[i].h, 4);
    }
    ASSERT_EQ(glyphwipe_process_image(tagged.c_str(), out.c_str()), 0) << glyphwipe_last_error();
    int w = 0, h = 0;
    std::vector<unsigned char> px;
    ASSERT_TRUE(gwt::load_rgb(out, w, h, px));
    EXPECT_EQ(w, W);
    EXPECT_EQ(h, H);
}
