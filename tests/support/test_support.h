// Helpers shared by the test programs: temporary folders, running commands,
// and fixtures made at test time (images and clips with rendered text).
#ifndef GW_TEST_SUPPORT_H
#define GW_TEST_SUPPORT_H

#include <random>
#include <string>
#include <vector>

namespace gwt {

// Folder of the project's real models (detection model and fill model).
std::string models_dir();
// Path of a small generated test model, e.g. test_model("det_half.onnx").
std::string test_model(const std::string &name);
// A fresh empty folder for the running test, removed at process exit.
std::string temp_dir();
// Runs a shell command, output discarded unless it fails; returns its exit code.
int run(const std::string &cmd);
// Runs a shell command and returns what it printed on standard output.
std::string capture(const std::string &cmd);
bool file_exists(const std::string &path);
long long file_size(const std::string &path);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);
// Quotes a string for the shell.
std::string sh_quote(const std::string &s);
// Temporary outputs (".NAME.glyphwipe-XXXXXX") left in a folder.
int temp_outputs_in(const std::string &dir);

// The DejaVu font used to render test text.
std::string font_path(bool bold = true);

// One line of text drawn with ffmpeg's drawtext.
struct TextLine {
    std::string text;
    int x = 0, y = 0;          // top-left of the text
    int size = 40;             // font size in pixels
    std::string color = "white";
    int border = 0;            // outline width, 0 for none
    std::string border_color = "black";
};

// Background expressions for make_text_image: "plain:<color>", "gradient",
// "noise" (busy texture) or any lavfi source ("testsrc2=s=WxH").
// Writes a PNG (or any format ffmpeg writes by the extension) of w x h.
bool make_text_image(const std::string &path, int w, int h, const std::string &background,
                     const std::vector<TextLine> &lines);

// A clip of `seconds` with moving content and the given text burned in.
// audio adds a sine track (AAC); extra ffmpeg output options may follow.
bool make_text_clip(const std::string &path, int w, int h, double seconds, int fps,
                    const std::vector<TextLine> &lines, bool audio, const std::string &extra = "");

// Loads any image as RGB24 through ffmpeg (independent of the library).
bool load_rgb(const std::string &path, int &w, int &h, std::vector<unsigned char> &rgb);
// Writes RGB24 as PNG through ffmpeg.
bool save_rgb_png(const std::string &path, int w, int h, const std::vector<unsigned char> &rgb);

// A fresh model folder holding links named as the library expects them:
// det_src as "ch_PP-OCRv4_det_infer.onnx" and lama_src as "lama_fp32.onnx"
// (an empty string leaves that file out).
std::string model_dir_with(const std::string &det_src, const std::string &lama_src);
// The real detection model of the project.
std::string real_det_model();
// The project's inpainting model.
std::string real_lama_model();
// A model folder with the real detector and a tiny two-input stand-in for the
// fill model: quick to load, enough for everything but the fill itself.
std::string small_engine_dir();

// What every operation reports while the engine is not initialised.
constexpr const char *NOT_INIT = "not initialized \xE2\x80\x94 call glyphwipe_init first";

bool starts_with(const std::string &s, const std::string &prefix);
// n bytes drawn from rng.
std::string random_bytes(std::mt19937 &rng, size_t n);
// The bytes of a JPEG file with an Exif block carrying `orientation` (1..8)
// inserted after its start marker, in big- or little-endian TIFF order.
std::string jpeg_with_orientation(const std::string &jpeg, int orientation, bool big_endian = false);

// The drawtext filter chain that renders the lines (as make_text_image does).
std::string drawtext_chain(const std::vector<TextLine> &lines);
// Runs a command that prints raw RGB24; true when it printed exactly w x h pixels.
bool capture_rgb(const std::string &cmd, int w, int h, std::vector<unsigned char> &rgb);

// One entry of glyphwipe_detect's report.
struct Box {
    int x, y, w, h;
    double conf;
};
// The entries of a report in order (none for a null report); parsing stops at
// the first entry not in the library's format.
std::vector<Box> parse_boxes(const char *json);

} // namespace gwt

#endif
