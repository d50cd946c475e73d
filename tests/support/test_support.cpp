#include "test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gwt {

std::string models_dir() { return GW_MODELS_DIR; }
std::string test_model(const std::string &name) { return std::string(GW_TEST_MODELS_DIR) + "/" + name; }

static std::vector<std::string> &temp_dirs()
{
    static std::vector<std::string> dirs;
    return dirs;
}

static void remove_temp_dirs()
{
    if (getenv("GW_KEEP_TEST_FILES"))
        return;
    for (const std::string &d : temp_dirs())
        run("rm -rf " + sh_quote(d));
}

std::string temp_dir()
{
    static bool registered = false;
    if (!registered) {
        temp_dirs();  // constructed first, so destroyed after the exit handler ran
        atexit(remove_temp_dirs);
        registered = true;
    }
    std::string base = GW_TEST_WORK_DIR;
    mkdir(base.c_str(), 0755);
    std::string templ = base + "/t-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        return base;
    temp_dirs().push_back(buf.data());
    return buf.data();
}

std::string sh_quote(const std::string &s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

int run(const std::string &cmd)
{
    std::string full = "(" + cmd + ") >/tmp/gwt-run-$$.log 2>&1; rc=$?; "
                       "if [ $rc -ne 0 ]; then echo \"command failed ($rc): \"" + sh_quote(cmd) +
                       " >&2; tail -n 20 /tmp/gwt-run-$$.log >&2; fi; rm -f /tmp/gwt-run-$$.log; exit $rc";
    int rc = system(("sh -c " + sh_quote(full)).c_str());
    if (rc == -1)
        return -1;
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : 128;
}

std::string capture(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

int temp_outputs_in(const std::string &dir)
{
    int n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            n += strstr(e->d_name, ".glyphwipe-") != nullptr;
        closedir(d);
    }
    return n;
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

long long file_size(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
}

std::string font_path(bool bold)
{
    return bold ? "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
                : "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
}

// drawtext wants ':' and '\'' escaped inside its option values.
static std::string dt_escape(const std::string &s)
{
    std::string o;
    for (char c : s) {
        if (c == ':' || c == '\\' || c == '\'' || c == '%' || c == ',')
            o += '\\';
        o += c;
    }
    return o;
}

std::string drawtext_chain(const std::vector<TextLine> &lines)
{
    std::string f;
    for (const TextLine &l : lines) {
        if (!f.empty())
            f += ",";
        f += "drawtext=fontfile=" + font_path() + ":text='" + dt_escape(l.text) + "'" +
             ":x=" + std::to_string(l.x) + ":y=" + std::to_string(l.y) +
             ":fontsize=" + std::to_string(l.size) + ":fontcolor=" + l.color;
        if (l.border > 0)
            f += ":borderw=" + std::to_string(l.border) + ":bordercolor=" + l.border_color;
    }
    return f;
}

static std::string background_source(const std::string &bg, int w, int h, double seconds, int fps)
{
    std::string size = std::to_string(w) + "x" + std::to_string(h);
    std::string dur = ":d=" + std::to_string(seconds) + ":r=" + std::to_string(fps);
    if (bg.rfind("plain:", 0) == 0)
        return "color=c=" + bg.substr(6) + ":s=" + size + dur;
    if (bg == "gradient")
        return "gradients=s=" + size + dur + ":c0=0x203060:c1=0xa0c0e0:speed=0.02:seed=11";
    if (bg == "noise")
        return "cellauto=s=" + size + ":rule=30:seed=5:r=" + std::to_string(fps) + ",format=rgb24,"
               "boxblur=2,eq=contrast=0.6,trim=duration=" + std::to_string(seconds);
    if (bg == "moving")
        return "testsrc2=s=" + size + dur;
    return bg;
}

bool make_text_image(const std::string &path, int w, int h, const std::string &background,
                     const std::vector<TextLine> &lines)
{
    std::string src = background_source(background, w, h, 1.0, 1);
    std::string chain = drawtext_chain(lines);
    std::string vf = chain.empty() ? "format=rgb24" : chain + ",format=rgb24";
    std::string cmd = "ffmpeg -nostdin -y -loglevel error -f lavfi -i " + sh_quote(src) +
                      " -vf " + sh_quote(vf) + " -frames:v 1 " + sh_quote(path);
    return run(cmd) == 0 && file_exists(path);
}

bool make_text_clip(const std::string &path, int w, int h, double seconds, int fps,
                    const std::vector<TextLine> &lines, bool audio, const std::string &extra)
{
    std::string src = background_source("moving", w, h, seconds, fps);
    std::string chain = drawtext_chain(lines);
    std::string cmd = "ffmpeg -nostdin -y -loglevel error -f lavfi -i " + sh_quote(src);
    if (audio)
        cmd += " -f lavfi -i " + sh_quote("sine=frequency=440:sample_rate=44100:duration=" + std::to_string(seconds));
    if (!chain.empty())
        cmd += " -vf " + sh_quote(chain);
    cmd += " -c:v libx264 -preset ultrafast -pix_fmt yuv420p";
    if (audio)
        cmd += " -c:a aac -b:a 64k -shortest";
    cmd += " " + extra + " " + sh_quote(path);
    return run(cmd) == 0 && file_exists(path);
}

bool capture_rgb(const std::string &cmd, int w, int h, std::vector<unsigned char> &rgb)
{
    std::string raw = capture(cmd);
    if (raw.size() != (size_t)w * h * 3)
        return false;
    rgb.assign(raw.begin(), raw.end());
    return true;
}

bool load_rgb(const std::string &path, int &w, int &h, std::vector<unsigned char> &rgb)
{
    std::string dims = capture("ffprobe -v error -select_streams v:0 -show_entries stream=width,height "
                               "-of csv=p=0:s=x " + sh_quote(path));
    return sscanf(dims.c_str(), "%dx%d", &w, &h) == 2 &&
           capture_rgb("ffmpeg -nostdin -loglevel error -i " + sh_quote(path) +
                           " -frames:v 1 -f rawvideo -pix_fmt rgb24 -",
                       w, h, rgb);
}

bool save_rgb_png(const std::string &path, int w, int h, const std::vector<unsigned char> &rgb)
{
    std::string raw = path + ".rgb";
    write_file(raw, std::string(rgb.begin(), rgb.end()));
    int rc = run("ffmpeg -nostdin -y -loglevel error -f rawvideo -pix_fmt rgb24 -s " + std::to_string(w) + "x" +
                 std::to_string(h) + " -i " + sh_quote(raw) + " " + sh_quote(path));
    unlink(raw.c_str());
    return rc == 0;
}

std::string model_dir_with(const std::string &det_src, const std::string &lama_src)
{
    std::string d = temp_dir();
    if (!det_src.empty())
        run("ln -sf " + sh_quote(det_src) + " " + sh_quote(d + "/ch_PP-OCRv4_det_infer.onnx"));
    if (!lama_src.empty())
        run("ln -sf " + sh_quote(lama_src) + " " + sh_quote(d + "/lama_fp32.onnx"));
    return d;
}
std::string real_det_model() { return models_dir() + "/ch_PP-OCRv4_det_infer.onnx"; }
std::string real_lama_model() { return models_dir() + "/lama_fp32.onnx"; }
std::string small_engine_dir() { return model_dir_with(real_det_model(), test_model("two_inputs.onnx")); }

bool starts_with(const std::string &s, const std::string &prefix) { return s.rfind(prefix, 0) == 0; }

std::string random_bytes(std::mt19937 &rng, size_t n)
{
    std::string s(n, '\0');
    for (char &c : s)
        c = (char)(rng() & 0xff);
    return s;
}

std::vector<Box> parse_boxes(const char *json)
{
    std::vector<Box> out;
    Box b;
    int n = 0;
    for (const char *p = json; p && (p = strchr(p, '{')) != nullptr; p += n) {
        n = 0;
        const char *format = "{\"x\":%d,\"y\":%d,\"w\":%d,\"h\":%d,\"conf\":%lf}%n";
        if (sscanf(p, format, &b.x, &b.y, &b.w, &b.h, &b.conf, &n) < 5 || n == 0)
            break;
        out.push_back(b);
    }
    return out;
}

std::string jpeg_with_orientation(const std::string &jpeg, int orientation, bool big_endian)
{
    auto u16 = [&](unsigned v) {
        return big_endian ? std::string{(char)(v >> 8), (char)(v & 0xFF)} : std::string{(char)(v & 0xFF), (char)(v >> 8)};
    };
    auto u32 = [&](unsigned long v) {
        return big_endian ? u16((unsigned)(v >> 16)) + u16((unsigned)(v & 0xFFFF))
                          : u16((unsigned)(v & 0xFFFF)) + u16((unsigned)(v >> 16));
    };
    // TIFF header, IFD0 at offset 8 with one entry: tag 0x0112, SHORT, count 1.
    std::string tiff = std::string(big_endian ? "MM" : "II") + u16(42) + u32(8) + u16(1) + u16(0x0112) + u16(3) +
                       u32(1) + u16((unsigned)orientation) + u16(0) + u32(0);
    std::string app1 = std::string("Exif\0\0", 6) + tiff;
    const size_t len = app1.size() + 2;
    std::string seg = std::string("\xFF\xE1", 2) + (char)(len >> 8) + (char)(len & 0xFF) + app1;
    return jpeg.substr(0, 2) + seg + jpeg.substr(2);
}

}  // namespace gwt
