// Image files: formats in and out, the extension rule, failures.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

#include "imageio/image_io.h"
#include "test_support.h"

namespace {

std::vector<unsigned char> pattern(int w, int h)
{
    std::vector<unsigned char> p((size_t)w * h * 3);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            for (int c = 0; c < 3; c++)
                p[((size_t)y * w + x) * 3 + c] = (unsigned char)((x * 7 + y * 13 + c * 50) & 255);
    return p;
}

// The format a file really holds, by its first bytes.
std::string sniff(const std::string &path)
{
    std::string b = gwt::read_file(path).substr(0, 8);
    if (b.rfind("\x89PNG", 0) == 0)
        return "png";
    if (b.rfind("BM", 0) == 0)
        return "bmp";
    if (b.rfind("\xFF\xD8\xFF", 0) == 0)
        return "jpg";
    if (b.size() >= 3 && (b[2] == 2 || b[2] == 10))  // true-colour TGA, plain or run-length
        return "tga";
    return "?";
}

struct Loaded {
    unsigned char *rgb = nullptr;
    int w = -1, h = -1;
    char msg[2048] = {0};
    ~Loaded() { free(rgb); }
    bool load(const std::string &p) { return (rgb = gw_load_image(p.c_str(), &w, &h, msg, sizeof msg)) != nullptr; }
};

} // namespace

TEST(ImageIo, LosslessRoundTrips)
{
    std::string d = gwt::temp_dir();
    const int w = 37, h = 21;  // odd sizes catch stride mistakes
    std::vector<unsigned char> img = pattern(w, h);
    for (const char *ext : {".png", ".bmp", ".tga"}) {
        std::string p = d + "/out" + ext;
        char msg[256] = {0};
        ASSERT_EQ(gw_save_image(p.c_str(), img.data(), w, h, msg, sizeof msg), 0) << msg;
        EXPECT_EQ(sniff(p), std::string(ext + 1));
        Loaded l;
        ASSERT_TRUE(l.load(p)) << l.msg;
        EXPECT_EQ(l.w, w);
        EXPECT_EQ(l.h, h);
        EXPECT_EQ(memcmp(l.rgb, img.data(), img.size()), 0) << ext;
    }
}

TEST(ImageIo, JpegForEverythingElse)
{
    std::string d = gwt::temp_dir();
    const int w = 64, h = 48;
    std::vector<unsigned char> img(w * h * 3, 128);
    for (const char *name : {"out.jpg", "out.PNG", "out", "photo.png.tmp", "photo.jpeg"}) {
        std::string p = d + "/" + name;
        char msg[256] = {0};
        ASSERT_EQ(gw_save_image(p.c_str(), img.data(), w, h, msg, sizeof msg), 0) << msg;
        EXPECT_EQ(sniff(p), "jpg") << name;
        Loaded l;
        ASSERT_TRUE(l.load(p)) << l.msg;
        // Quality 95 keeps a flat grey within a step or two.
        for (size_t i = 0; i < img.size(); i++)
            ASSERT_NEAR(l.rgb[i], 128, 2) << name;
    }
    // A dot only in a directory name also gives a JPEG.
    std::string sub = d + "/dir.png";
    ASSERT_EQ(gwt::run("mkdir -p " + gwt::sh_quote(sub)), 0);
    char msg[256] = {0};
    ASSERT_EQ(gw_save_image((sub + "/noext").c_str(), img.data(), w, h, msg, sizeof msg), 0);
    EXPECT_EQ(sniff(sub + "/noext"), "jpg");
}

TEST(ImageIo, OtherLayoutsBecomeRgb)
{
    std::string d = gwt::temp_dir();
    // RGBA (alpha dropped, colour kept), grey JPEG, 16-bit PNG, PNM.
    const char *files[][3] = {{"rgba.png", "0x336699@0.2", "-pix_fmt rgba"},
                              {"grey.jpg", "0x808080", "-pix_fmt gray"},
                              {"deep.png", "0x336699", "-pix_fmt rgb48be"},
                              {"pic.ppm", "0x336699", ""}};
    for (const auto &f : files)
        ASSERT_EQ(gwt::run(std::string("ffmpeg -nostdin -y -loglevel error -f lavfi -i color=c=") + f[1] +
                           ":s=8x8 -frames:v 1 " + f[2] + " " + d + "/" + f[0]),
                  0);
    Loaded a;
    ASSERT_TRUE(a.load(d + "/rgba.png")) << a.msg;
    // ffmpeg's colour source passes through YUV, so allow a few steps; a
    // blended alpha of 0.2 would be far off.
    EXPECT_NEAR(a.rgb[0], 0x33, 4);
    EXPECT_NEAR(a.rgb[1], 0x66, 4);
    EXPECT_NEAR(a.rgb[2], 0x99, 4);
    Loaded g;
    ASSERT_TRUE(g.load(d + "/grey.jpg")) << g.msg;
    for (int i = 0; i < 8 * 8; i++) {
        EXPECT_EQ(g.rgb[i * 3], g.rgb[i * 3 + 1]);
        EXPECT_EQ(g.rgb[i * 3], g.rgb[i * 3 + 2]);
    }
    Loaded deep;
    ASSERT_TRUE(deep.load(d + "/deep.png")) << deep.msg;
    EXPECT_NEAR(deep.rgb[0], 0x33, 4);
    EXPECT_NEAR(deep.rgb[2], 0x99, 4);
    Loaded pnm;
    ASSERT_TRUE(pnm.load(d + "/pic.ppm")) << pnm.msg;
    EXPECT_EQ(pnm.w, 8);
}

TEST(ImageIo, LoadFailures)
{
    std::string d = gwt::temp_dir();
    Loaded missing;
    missing.w = missing.h = 77;
    std::string p = d + "/missing.png";
    EXPECT_FALSE(missing.load(p));
    EXPECT_EQ(std::string(missing.msg), "stbi_load failed: " + p + " (stbi: can't fopen)");
    EXPECT_EQ(missing.w, 77);  // untouched on failure

    gwt::write_file(d + "/text.png", "hello, not an image");
    Loaded text;
    EXPECT_FALSE(text.load(d + "/text.png"));
    EXPECT_EQ(std::string(text.msg), "stbi_load failed: " + d + "/text.png (stbi: unknown image type)");

    gwt::write_file(d + "/empty.png", "");
    Loaded empty;
    EXPECT_FALSE(empty.load(d + "/empty.png"));

    // A PNG cut in half fails cleanly.
    std::vector<unsigned char> img = pattern(40, 40);
    char msg[256] = {0};
    ASSERT_EQ(gw_save_image((d + "/full.png").c_str(), img.data(), 40, 40, msg, sizeof msg), 0);
    std::string full = gwt::read_file(d + "/full.png");
    gwt::write_file(d + "/cut.png", full.substr(0, full.size() / 2));
    Loaded cut;
    EXPECT_FALSE(cut.load(d + "/cut.png"));
    EXPECT_EQ(std::string(cut.msg).rfind("stbi_load failed: " + d + "/cut.png (stbi: ", 0), 0u) << cut.msg;

    // A directory is not an image.
    Loaded dir;
    EXPECT_FALSE(dir.load(d));
}

TEST(ImageIo, MessagesAreCutToTheBuffer)
{
    char small[16];
    memset(small, 'x', sizeof small);
    int w = 0, h = 0;
    EXPECT_EQ(gw_load_image("/nonexistent/file.png", &w, &h, small, sizeof small), nullptr);
    EXPECT_EQ(strlen(small), sizeof small - 1);
    EXPECT_EQ(std::string(small), "stbi_load faile");
}

TEST(ImageIo, SaveFailures)
{
    std::string d = gwt::temp_dir();
    std::vector<unsigned char> img = pattern(8, 8);
    for (const char *ext : {".png", ".bmp", ".tga", ".jpg"}) {
        std::string p = d + "/no/such/dir/out" + ext;
        char msg[512] = {0};
        EXPECT_EQ(gw_save_image(p.c_str(), img.data(), 8, 8, msg, sizeof msg), -1);
        EXPECT_EQ(std::string(msg), "save failed: " + p);
    }
}
