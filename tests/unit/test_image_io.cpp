// Image files: formats in and out, the extension rule, failures.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
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
    for (const char *name : {"out.jpg", "out", "photo.png.tmp", "photo.jpeg"}) {
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
    // Extensions match in any case.
    for (const char *name : {"out.PNG", "out.Png", "out.BMP"}) {
        ASSERT_EQ(gw_save_image((d + "/" + name).c_str(), img.data(), w, h, msg, sizeof msg), 0) << msg;
        EXPECT_NE(sniff(d + "/" + name), "jpg") << name;
    }
}

TEST(ImageIo, OtherLayoutsBecomeRgb)
{
    std::string d = gwt::temp_dir();
    // RGBA (alpha dropped, colour kept), grey JPEG, 16-bit PNG, paletted BMP.
    const char *files[][3] = {{"rgba.png", "0x336699@0.2", "-pix_fmt rgba"},
                              {"grey.jpg", "0x808080", "-pix_fmt gray"},
                              {"deep.png", "0x336699", "-pix_fmt rgb48be"},
                              {"pal.bmp", "0x336699", "-pix_fmt pal8"}};
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
    Loaded pal;
    ASSERT_TRUE(pal.load(d + "/pal.bmp")) << pal.msg;
    EXPECT_EQ(pal.w, 8);
    EXPECT_EQ(pal.h, 8);
}

// Only PNG, JPEG, BMP and TGA are read: other formats stb_image knows are
// refused by their first bytes, whatever the file is called.
TEST(ImageIo, OtherFormatsAreRefused)
{
    std::string d = gwt::temp_dir();
    for (const char *name : {"pic.ppm", "pic.pgm", "pic.gif", "pic.pam"})
        ASSERT_EQ(gwt::run(std::string("ffmpeg -nostdin -y -loglevel error -f lavfi -i color=c=red:s=8x8 -frames:v 1 ") +
                           d + "/" + name),
                  0)
            << name;
    const std::pair<std::string, std::string> crafted[] = {
        {"p6.png", "P6\n64 64\n255\n"},  // a PPM header and no pixels, named .png
        {"pic.pic", std::string("\x53\x80\xF6\x34", 4) + std::string(84, '\0') + "PICT" + std::string(12, '\0')},
        {"psd.jpg", "8BPS" + std::string("\x00\x01", 2) + std::string(100, '\0')},
        {"hdr.tga", "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 8 +X 8\n"},
    };
    for (const auto &c : crafted)
        gwt::write_file(d + "/" + c.first, c.second);
    for (const char *name : {"pic.ppm", "pic.pgm", "pic.gif", "pic.pam", "p6.png", "pic.pic", "psd.jpg", "hdr.tga"}) {
        Loaded l;
        EXPECT_FALSE(l.load(d + "/" + name)) << name;
        EXPECT_EQ(std::string(l.msg), "unsupported image format: " + d + "/" + name + " (PNG, JPEG, BMP and TGA are read)");
    }
}

// Files of the kept formats that leave parts of the picture unwritten (a
// JPEG with a frame header and no scan, a TGA cut after one row, a paletted
// BMP whose pixels point past its palette) decode to the same pixels whatever
// the freed memory held before: the gaps are zeros, not old contents.
namespace {
void scribble_freed_heap(unsigned char value)
{
    std::vector<void *> blocks;
    for (size_t n = 64; n <= 40000; n += 64) {
        void *p = malloc(n);
        memset(p, value, n);
        blocks.push_back(p);
    }
    for (void *p : blocks)
        free(p);
}
} // namespace

TEST(ImageIo, GapsAreZeroNotOldMemory)
{
    std::string d = gwt::temp_dir();
    // 64x64 JPEG, SOF0 then EOI: no entropy-coded data at all.
    std::string sof("\xff\xd8\xff\xc0\x00\x11\x08\x00\x40\x00\x40\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01\xff\xd9", 23);
    gwt::write_file(d + "/noscan.jpg", sof);
    // 8-bit BMP, 16x4, a palette of two entries, every pixel past it.
    std::string bmp("BM", 2);
    auto le = [&](uint32_t v, int n) {
        for (int k = 0; k < n; k++)
            bmp += (char)((v >> (8 * k)) & 0xff);
    };
    le(14 + 40 + 8 + 64, 4), le(0, 4), le(14 + 40 + 8, 4);
    le(40, 4), le(16, 4), le(4, 4), le(1, 2), le(8, 2), le(0, 4), le(64, 4), le(0, 4), le(0, 4), le(2, 4), le(0, 4);
    bmp += std::string("\x10\x20\x30\x00\x40\x50\x60\x00", 8);
    for (int i = 0; i < 64; i++)
        bmp += (char)(i * 4 + 3);
    gwt::write_file(d + "/palette.bmp", bmp);
    // A 64x64 TGA cut after its header and one row.
    std::string tga("\x00\x00\x02\x00\x00\x00\x00\x00\x00\x00\x00\x00\x40\x00\x40\x00\x18\x20", 18);
    gwt::write_file(d + "/cut.tga", tga + std::string(64 * 3, '\x7f'));

    for (const char *name : {"noscan.jpg", "palette.bmp", "cut.tga"}) {
        std::string first;
        for (unsigned char value : {0xA5, 0x5A, 0xFF}) {
            scribble_freed_heap(value);
            Loaded l;
            ASSERT_TRUE(l.load(d + "/" + name)) << name << ": " << l.msg;
            std::string pixels((const char *)l.rgb, (size_t)l.w * l.h * 3);
            if (first.empty())
                first = pixels;
            EXPECT_TRUE(pixels == first) << name << " changed with the heap's old contents";
        }
    }
    Loaded pal, cut;
    ASSERT_TRUE(pal.load(d + "/palette.bmp"));
    EXPECT_EQ(std::count(pal.rgb, pal.rgb + 16 * 4 * 3, 0), 16 * 4 * 3) << "entries past the palette are black";
    ASSERT_TRUE(cut.load(d + "/cut.tga"));
    EXPECT_EQ(std::count(cut.rgb + 64 * 3, cut.rgb + 64 * 64 * 3, 0), 63 * 64 * 3) << "missing rows are black";
}

// A Huffman table with more than 256 codes made this build of stb_image write
// past its tables (found by fuzz_detect): such a file is refused before stb
// reads it, before the frame header as after it (a progressive JPEG defines
// tables between its scans), while real JPEGs with many tables still load.
TEST(ImageIo, JpegHuffmanTablesAreCheckedFirst)
{
    std::string d = gwt::temp_dir();
    auto dht = [](const std::string &counts) {  // one AC table: 16 counts and that many values
        size_t n = 0;
        for (unsigned char c : counts)
            n += c;
        std::string seg = "\xff\xc4";
        size_t len = 2 + 1 + 16 + n;
        seg += (char)(len >> 8), seg += (char)(len & 0xff);
        seg += '\x10';
        return seg + counts + std::string(n, '\x01');
    };
    const std::string soi("\xff\xd8", 2), eoi("\xff\xd9", 2);
    const std::string sof("\xff\xc0\x00\x0b\x08\x00\x10\x00\x10\x01\x01\x11\x00", 13);
    const std::string sos("\xff\xda\x00\x08\x01\x01\x00\x00\x3f\x00", 10);
    const std::string too_many(16, '\x13');  // 16 x 19 = 304 codes
    const std::pair<std::string, std::string> files[] = {
        {"before-frame.jpg", soi + dht(too_many) + sof + eoi},
        {"after-scan.jpg", soi + sof + sos + std::string("\x12\xff\x00\x34\xff\xd0\x56", 7) + dht(too_many) + eoi},
        {"fill-bytes.jpg", std::string(100, '\xff') + soi.substr(1) + dht(too_many) + sof + eoi},
    };
    for (const auto &f : files) {
        gwt::write_file(d + "/" + f.first, f.second);
        Loaded l;
        EXPECT_FALSE(l.load(d + "/" + f.first)) << f.first;
        EXPECT_EQ(std::string(l.msg), "stbi_load failed: " + d + "/" + f.first + " (stbi: bad DHT header)");
    }
    // 256 codes are fine; a progressive JPEG (tables between scans) loads.
    std::string ok(16, '\0');
    ok[7] = ok[8] = (char)128;  // 128 codes of 8 bits, 128 of 9
    gwt::write_file(d + "/full-table.jpg", soi + dht(ok) + sof + eoi);
    Loaded full;
    full.load(d + "/full-table.jpg");
    EXPECT_EQ(std::string(full.msg).find("bad DHT"), std::string::npos) << full.msg;
    ASSERT_EQ(gwt::run("ffmpeg -nostdin -y -loglevel error -f lavfi -i testsrc2=s=64x48 -frames:v 1 " + d + "/p.png"), 0);
    ASSERT_EQ(gwt::run(std::string(GW_PYTHON) + " -c \"import cv2; cv2.imwrite('" + d + "/prog.jpg', cv2.imread('" + d +
                       "/p.png'), [cv2.IMWRITE_JPEG_PROGRESSIVE, 1])\""),
              0);
    Loaded prog;
    EXPECT_TRUE(prog.load(d + "/prog.jpg")) << prog.msg;
    EXPECT_EQ(prog.w, 64);
}

// The size in the header is checked before any pixel is decoded.
TEST(ImageIo, PixelLimitFromTheHeader)
{
    std::string d = gwt::temp_dir();
    // 10000 x 10001 (just over 100 megapixels) and 10000 x 10000 (exactly),
    // as TGA headers with a few bytes of pixels.
    auto tga = [&](int w, int h) {
        std::string s("\x00\x00\x02\x00\x00\x00\x00\x00\x00\x00\x00\x00", 12);
        s += (char)(w & 0xff), s += (char)(w >> 8), s += (char)(h & 0xff), s += (char)(h >> 8);
        return s + std::string("\x18\x20", 2) + std::string(30, '\x11');
    };
    gwt::write_file(d + "/over.tga", tga(10000, 10001));
    Loaded over;
    EXPECT_FALSE(over.load(d + "/over.tga"));
    EXPECT_STREQ(over.msg, "picture too large: 10000x10001 (limit 100 megapixels)");
    // A top-down BMP (negative height) counts its rows all the same.
    std::string bmp("BM", 2);
    auto le = [&](uint32_t v, int n) {
        for (int k = 0; k < n; k++)
            bmp += (char)((v >> (8 * k)) & 0xff);
    };
    le(54 + 16, 4), le(0, 4), le(54, 4), le(40, 4), le(20000, 4), le((uint32_t)-20000, 4), le(1, 2), le(24, 2);
    le(0, 4), le(0, 4), le(0, 4), le(0, 4), le(0, 4), le(0, 4);
    gwt::write_file(d + "/topdown.bmp", bmp + std::string(16, '\0'));
    Loaded td;
    EXPECT_FALSE(td.load(d + "/topdown.bmp"));
    EXPECT_STREQ(td.msg, "picture too large: 20000x20000 (limit 100 megapixels)");
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
    EXPECT_EQ(std::string(text.msg), "unsupported image format: " + d + "/text.png (PNG, JPEG, BMP and TGA are read)");

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

    // A PNG signature with a broken header.
    gwt::write_file(d + "/head.png", full.substr(0, 20));
    Loaded head;
    EXPECT_FALSE(head.load(d + "/head.png"));
    EXPECT_EQ(std::string(head.msg), "stbi_load failed: " + d + "/head.png (stbi: corrupt PNG header)");

    // A folder, a FIFO and a device are not read (a FIFO would block).
    ASSERT_EQ(mkfifo((d + "/fifo.png").c_str(), 0600), 0);
    for (const std::string &p : {d, d + "/fifo.png", std::string("/dev/zero")}) {
        Loaded l;
        EXPECT_FALSE(l.load(p));
        EXPECT_EQ(std::string(l.msg), "not a regular file: " + p);
    }
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
        EXPECT_EQ(std::string(msg), "save failed: " + p + " (No such file or directory)");
    }
    // Over something that is not a regular file: refused before writing.
    ASSERT_EQ(mkfifo((d + "/fifo.png").c_str(), 0600), 0);
    char msg[512] = {0};
    EXPECT_EQ(gw_save_image((d + "/fifo.png").c_str(), img.data(), 8, 8, msg, sizeof msg), -1);
    EXPECT_EQ(std::string(msg), "save failed: " + d + "/fifo.png (not a regular file)");
    EXPECT_EQ(gw_save_image(d.c_str(), img.data(), 8, 8, msg, sizeof msg), -1);
    EXPECT_EQ(std::string(msg), "save failed: " + d + " (Is a directory)");
}

// The output goes into a temporary file beside it and replaces it only
// once complete: the replaced file keeps its permissions, a link to it stays
// a link, and nothing else is left in the folder.
TEST(ImageIo, SaveReplacesThroughATemporaryFile)
{
    std::string d = gwt::temp_dir();
    std::vector<unsigned char> img = pattern(8, 8);
    char msg[512] = {0};
    std::string out = d + "/out.png";
    gwt::write_file(out, "old");
    ASSERT_EQ(chmod(out.c_str(), 0640), 0);
    ASSERT_EQ(symlink("out.png", (d + "/link.png").c_str()), 0);
    ASSERT_EQ(gw_save_image((d + "/link.png").c_str(), img.data(), 8, 8, msg, sizeof msg), 0) << msg;
    struct stat st;
    ASSERT_EQ(lstat((d + "/link.png").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(sniff(out), "png");
    EXPECT_EQ(gwt::capture("ls -A " + gwt::sh_quote(d)), "link.png\nout.png\n");
}
