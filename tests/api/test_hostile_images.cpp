// Hostile image files through the public API: empty, random and truncated
// files, headers that claim enormous sizes, and real pictures at the extremes
// of the decoder's shapes (one pixel thin, thousands long). glyphwipe_detect
// and glyphwipe_process_image must give a clear error or a correct result.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "glyphwipe.h"
#include "test_support.h"

namespace {

const char *LOAD_FAILED = "stbi_load failed: ";
const char *KEPT_FORMATS = " (PNG, JPEG, BMP and TGA are read)";

void put_be32(std::string &s, uint32_t v)
{
    for (int k = 3; k >= 0; k--)
        s += (char)((v >> (8 * k)) & 0xff);
}

void put_le(std::string &s, uint32_t v, int bytes)
{
    for (int k = 0; k < bytes; k++)
        s += (char)((v >> (8 * k)) & 0xff);
}

uint32_t crc32(const std::string &data)
{
    uint32_t c = 0xffffffffu;
    for (unsigned char b : data) {
        c ^= b;
        for (int k = 0; k < 8; k++)
            c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1u)));
    }
    return c ^ 0xffffffffu;
}

void png_chunk(std::string &s, const char *type, const std::string &body)
{
    put_be32(s, (uint32_t)body.size());
    std::string tb = std::string(type, 4) + body;
    s += tb;
    put_be32(s, crc32(tb));
}

// A PNG whose header says w x h RGB, followed by a small valid zlib stream
// (a few rows of zeros at most) and the end chunk.
std::string png_claiming(uint32_t w, uint32_t h)
{
    std::string s("\x89PNG\r\n\x1a\n", 8), ihdr;
    put_be32(ihdr, w);
    put_be32(ihdr, h);
    ihdr += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, no interlace
    png_chunk(s, "IHDR", ihdr);
    // zlib: stored block of 16 zero bytes.
    std::string z("\x78\x01\x01\x10\x00\xef\xff", 7);
    z += std::string(16, '\0');
    put_be32(z, 16u << 16 | 1u);  // adler32 of 16 zeros = 0x00100001
    png_chunk(s, "IDAT", z);
    png_chunk(s, "IEND", "");
    return s;
}

// A 24-bit BMP header for w x h (h < 0: top-down) with only a little data.
std::string bmp_claiming(int32_t w, int32_t h)
{
    const std::pair<uint32_t, int> fields[] = {
        {54 + 64, 4}, {0, 4}, {54, 4},                                 // file size, reserved, data offset
        {40, 4}, {(uint32_t)w, 4}, {(uint32_t)h, 4}, {1, 2}, {24, 2},  // header size, size, planes, bits
        {0, 4}, {0, 4}, {2835, 4}, {2835, 4}, {0, 4}, {0, 4}};         // compression, resolution, palette
    std::string s("BM", 2);
    for (const auto &f : fields)
        put_le(s, f.first, f.second);
    return s + std::string(64, '\x55');
}

std::string gif_claiming(uint16_t w, uint16_t h)
{
    std::string s("GIF89a", 6);
    put_le(s, w, 2);
    put_le(s, h, 2);
    s += std::string("\x00\x00\x00", 3);  // no global palette
    s += std::string("\x2c\x00\x00\x00\x00", 5);
    put_le(s, w, 2);
    put_le(s, h, 2);
    s += std::string("\x00\x02\x02\x44\x01\x00\x3b", 7);
    return s;
}

std::string tga_claiming(uint16_t w, uint16_t h)
{
    std::string s("\x00\x00\x02\x00\x00\x00\x00\x00\x00\x00\x00\x00", 12);
    put_le(s, w, 2);
    put_le(s, h, 2);
    s += std::string("\x18\x20", 2);
    return s + std::string(30, '\x11');
}

// Baseline JPEG start with a frame header for w x h and nothing after it.
std::string jpeg_claiming(uint16_t w, uint16_t h)
{
    std::string s("\xff\xd8\xff\xc0\x00\x11\x08", 7);
    s += (char)(h >> 8);
    s += (char)(h & 0xff);
    s += (char)(w >> 8);
    s += (char)(w & 0xff);
    s += std::string("\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01\xff\xd9", 12);
    return s;
}

// A 24-bit top-down BMP holding the RGB24 picture (rows padded to 4 bytes).
std::string bmp(int w, int h, const std::vector<unsigned char> &rgb)
{
    const uint32_t stride = ((uint32_t)w * 3 + 3) & ~3u, data = stride * (uint32_t)h;
    const std::pair<uint32_t, int> fields[] = {
        {54 + data, 4}, {0, 4}, {54, 4}, {40, 4}, {(uint32_t)w, 4}, {(uint32_t)-h, 4}, {1, 2}, {24, 2},
        {0, 4}, {data, 4}, {2835, 4}, {2835, 4}, {0, 4}, {0, 4}};
    std::string s("BM", 2);
    for (const auto &f : fields)
        put_le(s, f.first, f.second);
    std::string row(stride, '\0');
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++)
            for (int c = 0; c < 3; c++)
                row[(size_t)x * 3 + c] = (char)rgb[((size_t)y * w + x) * 3 + 2 - c];
        s += row;
    }
    return s;
}

std::string size_text(int w, int h) { return std::to_string(w) + "x" + std::to_string(h); }

// Width and height from a PNG's header.
bool png_size(const std::string &path, int &w, int &h)
{
    std::string b = gwt::read_file(path);
    if (b.size() < 24 || b.compare(1, 3, "PNG") != 0)
        return false;
    auto be = [&](size_t at) {
        return (int)((unsigned char)b[at] << 24 | (unsigned char)b[at + 1] << 16 | (unsigned char)b[at + 2] << 8 |
                     (unsigned char)b[at + 3]);
    };
    w = be(16);
    h = be(20);
    return true;
}

class HostileImages : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        dir = gwt::temp_dir();
        ASSERT_EQ(glyphwipe_init(gwt::models_dir().c_str()), 0) << glyphwipe_last_error();
    }
    void TearDown() override { glyphwipe_cleanup(); }

    // Both image calls on a file that is not a usable picture: a load error
    // naming the file, or (for files the decoder takes) a correct result.
    // Returns true when the decoder refused it.
    bool expect_sane(const std::string &path, const std::string &what)
    {
        std::string out = dir + "/out.png";
        unlink(out.c_str());
        const char *json = glyphwipe_detect(path.c_str());
        std::string err = glyphwipe_last_error();
        int ret = glyphwipe_process_image(path.c_str(), out.c_str());
        std::string err2 = glyphwipe_last_error();
        if (!json) {
            // The decoder refused it, its format is not read, its header
            // claims too many pixels, or it decoded to a picture too small
            // for the detector (stb reads some broken headers as 0x0).
            bool load = gwt::starts_with(err, LOAD_FAILED + path + " (stbi: ");
            bool format = err == "unsupported image format: " + path + KEPT_FORMATS;
            bool large = gwt::starts_with(err, "picture too large: ");
            bool small = gwt::starts_with(err, "image too small: ");
            EXPECT_TRUE(load || format || large || small) << what << ": " << err;
            EXPECT_EQ(ret, -1) << what;
            EXPECT_EQ(err2, small ? "detect: " + err : err) << what;
            EXPECT_FALSE(gwt::file_exists(out)) << what;
            return true;
        }
        EXPECT_EQ(json[0], '[') << what;
        EXPECT_EQ(err, "no error") << what;
        EXPECT_EQ(ret, 0) << what << ": " << err2;
        int w, h;
        EXPECT_TRUE(png_size(out, w, h)) << what;
        return false;
    }

    // Detection gives a report, and cleaning writes a PNG of the same size.
    void expect_cleaned_at_size(const std::string &f, int w, int h)
    {
        std::string what = size_text(w, h), out = dir + "/o.png";
        const char *json = glyphwipe_detect(f.c_str());
        ASSERT_NE(json, nullptr) << what << ": " << glyphwipe_last_error();
        EXPECT_EQ(json[0], '[') << what;
        ASSERT_EQ(glyphwipe_process_image(f.c_str(), out.c_str()), 0) << what << ": " << glyphwipe_last_error();
        int ow = 0, oh = 0;
        ASSERT_TRUE(png_size(out, ow, oh)) << what;
        EXPECT_EQ(ow, w) << what;
        EXPECT_EQ(oh, h) << what;
    }
};

TEST_F(HostileImages, EmptyRandomAndTruncatedFiles)
{
    std::mt19937 rng(99);
    int tried = 0, refused = 0;
    std::string f = dir + "/bad.png";
    gwt::write_file(f, "");
    refused += expect_sane(f, "zero-length"), tried++;
    for (size_t n : {1, 2, 8, 33, 100, 1000, 50000}) {
        gwt::write_file(f, gwt::random_bytes(rng, n));
        refused += expect_sane(f, "random " + std::to_string(n)), tried++;
    }
    // Each format's signature followed by noise.
    for (const char *magic : {"\x89PNG\r\n\x1a\n", "\xff\xd8\xff\xe0", "BM", "GIF89a", "P6\n", "8BPS", "#?RADIANCE\n"}) {
        gwt::write_file(f, std::string(magic) + gwt::random_bytes(rng, 3000));
        refused += expect_sane(f, std::string("signature+noise ") + magic), tried++;
    }
    // Real pictures in every written format, cut at several points.
    std::string src = dir + "/src.png";
    ASSERT_TRUE(gwt::make_text_image(src, 160, 96, "noise", {{"Cut me", 10, 30, 30, "white", 2, "black"}}));
    for (const char *ext : {".png", ".jpg", ".bmp", ".tga", ".gif"}) {
        std::string full = dir + "/full" + ext;
        ASSERT_EQ(gwt::run("ffmpeg -nostdin -y -loglevel error -i " + gwt::sh_quote(src) + " " + gwt::sh_quote(full)), 0);
        std::string bytes = gwt::read_file(full);
        for (double frac : {0.02, 0.1, 0.5, 0.9, 0.999}) {
            std::string cut = dir + "/cut" + ext;
            gwt::write_file(cut, bytes.substr(0, (size_t)(bytes.size() * frac)));
            refused += expect_sane(cut, std::string(ext) + " cut at " + std::to_string(frac)), tried++;
        }
    }
    printf("image files tried: %d, refused by the decoder: %d\n", tried, refused);
}

// Headers that claim sizes the decoder must not trust: refused from the
// header when over 100 megapixels, refused by the decoder when data is
// missing, and other formats refused by their signature; never a crash or an
// attempt to fill gigabytes. The expected text names the reason.
TEST_F(HostileImages, HeadersClaimingHugeSizes)
{
    const std::string LARGE = "picture too large: ", FORMAT = "unsupported image format: ";
    struct Case {
        std::string name, bytes, error;  // error: its start, "" for "any sane outcome"
    } cases[] = {
        {"png-30000x30000.png", png_claiming(30000, 30000), LARGE + "30000x30000 (limit 100 megapixels)"},
        {"png-1x16777216.png", png_claiming(1, 16777216), LOAD_FAILED},
        {"png-16777216x1.png", png_claiming(16777216, 1), LOAD_FAILED},
        {"png-2^31.png", png_claiming(0x7fffffff, 0x7fffffff), LARGE + "2147483647x2147483647 (limit 100 megapixels)"},
        {"png-2^32.png", png_claiming(0xffffffff, 0xffffffff), LARGE + "4294967295x4294967295 (limit 100 megapixels)"},
        {"png-0x0.png", png_claiming(0, 0), LOAD_FAILED},
        {"bmp-30000x30000.bmp", bmp_claiming(30000, 30000), LARGE + "30000x30000 (limit 100 megapixels)"},
        {"bmp-1x16777216.bmp", bmp_claiming(1, 16777216), ""},
        {"bmp-topdown.bmp", bmp_claiming(30000, -30000), LARGE + "30000x30000 (limit 100 megapixels)"},
        {"bmp-minint.bmp", bmp_claiming(4, INT32_MIN), LARGE + "4x2147483648 (limit 100 megapixels)"},
        {"gif-65535.gif", gif_claiming(65535, 65535), FORMAT},
        {"tga-65535.tga", tga_claiming(65535, 65535), LARGE + "65535x65535 (limit 100 megapixels)"},
        {"jpg-65500.jpg", jpeg_claiming(65500, 65500), LARGE + "65500x65500 (limit 100 megapixels)"},
        {"jpg-16000.jpg", jpeg_claiming(16000, 16000), LARGE + "16000x16000 (limit 100 megapixels)"},
        {"ppm-1e6.ppm", "P6 1000000 1000000 255\n" + std::string(100, '\x7f'), FORMAT},
        {"pgm-20000.pgm", "P5\n20000 20000\n255\n" + std::string(10, '\x7f'), FORMAT},
        {"ppm-1x16777216.ppm", "P6 1 16777216 255\n" + std::string(100, '\x7f'), FORMAT},
        {"ppm-huge-number.ppm", "P6 99999999999999999999 2 255\n" + std::string(100, '\x7f'), FORMAT},
        {"ppm-maxval0.ppm", "P6 2 2 0\n" + std::string(12, '\x7f'), FORMAT},
        {"psd-23000.psd", "8BPS" + std::string("\x00\x01\x00\x00\x00\x00\x00\x00\x00\x03\x00\x00\x59\xd8\x00\x00"
                                               "\x59\xd8\x00\x08\x00\x03", 22) + std::string(78, '\0'), FORMAT},
        {"hdr-30000.hdr", "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 30000 +X 30000\n" + std::string(100, '\x02'), FORMAT},
    };
    for (const Case &c : cases) {
        std::string path = dir + "/" + c.name;
        gwt::write_file(path, c.bytes);
        expect_sane(path, c.name);
        if (c.error.empty())
            continue;
        std::string want = c.error == FORMAT ? FORMAT + path + KEPT_FORMATS : c.error == LOAD_FAILED ? LOAD_FAILED + path : c.error;
        EXPECT_TRUE(gwt::starts_with(glyphwipe_last_error(), want)) << c.name << ": " << glyphwipe_last_error();
    }
    printf("huge-header files tried: %zu\n", sizeof cases / sizeof cases[0]);
}

// What made the library crash or put freed memory into a picture: a
// 104-byte Softimage PIC (8x8, no pixel data) and a PPM header without
// pixels. Both are formats the library does not read; each call runs in a
// child process, so that a crash fails the test instead of ending the run.
TEST_F(HostileImages, FormatsNotReadAreRefusedSafely)
{
    std::string pic("\x53\x80\xF6\x34", 4);
    pic += std::string(84, '\0') + "PICT";
    pic += std::string("\x00\x08\x00\x08", 4) + std::string(4, '\0');  // 8x8, ratio
    pic += std::string("\x00\x00\x00\x00", 4);                          // fields, pad
    pic += std::string("\x00\x08\x02\xF0", 4);                          // one packet: 8 bits, mixed, RGB
    const std::pair<std::string, std::string> files[] = {
        {"softimage.pic", pic.substr(0, 104)},
        {"header.ppm", "P6\n64 64\n255\n"},
        {"header-named.png", "P6\n64 64\n255\n"},
    };
    for (const auto &f : files)
        gwt::write_file(dir + "/" + f.first, f.second);
    auto child = [&] {
        int bad = 0;
        for (const auto &f : files) {
            const std::string path = dir + "/" + f.first, out = dir + "/out.png";
            const char *json = glyphwipe_detect(path.c_str());
            const std::string err = glyphwipe_last_error();
            const int ret = glyphwipe_process_image(path.c_str(), out.c_str());
            if (json || err != "unsupported image format: " + path + KEPT_FORMATS || ret != -1 || gwt::file_exists(out)) {
                fprintf(stderr, "%s: %s\n", f.first.c_str(), err.c_str());
                bad++;
            }
        }
        glyphwipe_cleanup();
        exit(bad);
    };
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // the child starts afresh, no threads copied
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

// Real pictures at the extremes of shape: a pixel thin and thousands long,
// some with text, through detection and cleaning; the output keeps the size.
TEST_F(HostileImages, ExtremeShapes)
{
    std::mt19937 rng(5);
    const int shapes[][2] = {{8, 4000}, {4000, 8}, {8, 20000}, {20000, 8}, {8, 8}, {9, 100000}};
    int tried = 0;
    for (const auto &sh : shapes) {
        int w = sh[0], h = sh[1];
        std::vector<unsigned char> rgb((size_t)w * h * 3);
        for (size_t i = 0; i < rgb.size(); i++)
            rgb[i] = (unsigned char)((i % 3 == 0) ? (i / 3) % 251 : rng() & 0xff);
        std::string f = dir + "/p" + size_text(w, h) + ".bmp";
        gwt::write_file(f, bmp(w, h, rgb));
        expect_cleaned_at_size(f, w, h);
        tried++;
    }
    // Thinner than the detector takes: refused with the size, nothing written.
    const int thin[][2] = {{1, 4000}, {4000, 1}, {7, 20000}, {1, 1}, {16777216, 1}};
    for (const auto &sh : thin) {
        int w = sh[0], h = sh[1];
        std::vector<unsigned char> rgb((size_t)w * h * 3, 0x80);
        std::string f = dir + "/thin.bmp", out = dir + "/thin.png";
        gwt::write_file(f, bmp(w, h, rgb));
        std::string size = size_text(w, h);
        EXPECT_EQ(glyphwipe_detect(f.c_str()), nullptr) << size;
        EXPECT_EQ(std::string(glyphwipe_last_error()), "image too small: " + size);
        EXPECT_EQ(glyphwipe_process_image(f.c_str(), out.c_str()), -1) << size;
        EXPECT_EQ(std::string(glyphwipe_last_error()), "detect: image too small: " + size);
        EXPECT_FALSE(gwt::file_exists(out));
        tried++;
    }
    // Text on strips thinner than any repaint square: the region is clipped
    // to the picture, the text goes, the size stays.
    const int strips[][2] = {{1200, 40}, {40, 1200}, {3000, 34}};
    for (const auto &st : strips) {
        int w = st[0], h = st[1];
        std::string f = dir + "/strip" + size_text(w, h) + ".png";
        gwt::TextLine line{w > h ? "A long strip of words" : "Ab", 4, 3, 26, "white", 2, "black"};
        ASSERT_TRUE(gwt::make_text_image(f, w, h, "plain:0x304050", {line}));
        expect_cleaned_at_size(f, w, h);
        tried++;
    }
    printf("extreme shapes tried: %d\n", tried);
}

// Outputs that cannot be written (a path under a regular file, a missing
// folder, a folder, /proc, which root cannot create files in either, a FIFO,
// a device) fail with the save message and its reason; the same path in and
// out replaces the input with the result.
TEST_F(HostileImages, OutputPaths)
{
    std::string in = dir + "/in.png", fifo = dir + "/fifo.png";
    ASSERT_TRUE(gwt::make_text_image(in, 200, 80, "plain:navy", {{"Replace", 10, 20, 36, "white", 0, "black"}}));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string before = gwt::read_file(in);
    const std::pair<std::string, std::string> cases[] = {
        {in + "/out.png", "Not a directory"},
        {dir + "/missing/out.png", "No such file or directory"},
        {"/proc/gw_out.png", "No such file or directory"},
        {"/proc/gw_out.jpg", "No such file or directory"},
        {dir + "/", "Is a directory"},
        {fifo, "not a regular file"},
        {"/dev/null", "not a regular file"},
    };
    for (const auto &c : cases) {
        const std::string &bad = c.first;
        EXPECT_EQ(glyphwipe_process_image(in.c_str(), bad.c_str()), -1) << bad;
        EXPECT_EQ(std::string(glyphwipe_last_error()), "save failed: " + bad + " (" + c.second + ")");
        if (bad.back() != '/' && bad.rfind("/dev/", 0) != 0 && bad != fifo) {
            EXPECT_FALSE(gwt::file_exists(bad));
        }
    }
    EXPECT_EQ(gwt::read_file(in), before);
    // A folder, a FIFO (which would block a reader) and a device as the input.
    for (const std::string &p : {dir, fifo, std::string("/dev/zero")}) {
        EXPECT_EQ(glyphwipe_detect(p.c_str()), nullptr) << p;
        EXPECT_EQ(std::string(glyphwipe_last_error()), "not a regular file: " + p);
    }

    const char *json = glyphwipe_detect(in.c_str());
    ASSERT_NE(json, nullptr);
    ASSERT_NE(std::string(json), "[]") << "the text was not found";
    ASSERT_EQ(glyphwipe_process_image(in.c_str(), in.c_str()), 0) << glyphwipe_last_error();
    EXPECT_NE(gwt::read_file(in), before);
    int w, h;
    ASSERT_TRUE(png_size(in, w, h));
    EXPECT_EQ(w, 200);
    EXPECT_EQ(h, 80);
}

} // namespace
