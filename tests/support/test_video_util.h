// Clips and probes shared by the video tests (unit and API): small inputs made
// with the ffmpeg command at test time, and what ffprobe says about outputs.
#ifndef GW_TEST_VIDEO_UTIL_H
#define GW_TEST_VIDEO_UTIL_H

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace gwv {

inline std::string ffmpeg() { return "ffmpeg -nostdin -y -loglevel error "; }

// Runs ffmpeg with the given arguments; true when it succeeded and `out` exists.
inline bool ff(const std::string &args, const std::string &out)
{
    return gwt::run(ffmpeg() + args) == 0 && gwt::file_exists(out);
}

// What ffprobe prints for the given options, one value set a line (csv).
inline std::string probe(const std::string &options, const std::string &path)
{
    return gwt::capture("ffprobe -v error " + options + " -of csv=p=0 " + gwt::sh_quote(path) + " 2>/dev/null");
}

// One line per stream: "index,codec_type,codec_name[,width,height]".
inline std::vector<std::string> streams(const std::string &path)
{
    std::istringstream in(probe("-show_entries stream=index,codec_type,codec_name,width,height", path));
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) {
        while (!l.empty() && (l.back() == ',' || l.back() == '\r'))
            l.pop_back();
        for (size_t at; (at = l.find(",N/A")) != std::string::npos;)
            l.erase(at, 4);
        if (!l.empty())
            lines.push_back(l);
    }
    return lines;
}

// Number of pictures the first video stream decodes to (-1 when unreadable).
inline int count_frames(const std::string &path)
{
    int n = -1;
    if (sscanf(probe("-select_streams v:0 -count_frames -show_entries stream=nb_read_frames", path).c_str(), "%d",
               &n) != 1)
        return -1;
    return n;
}

// The payload bytes of every packet of the first audio stream, in order.
inline std::string audio_payload(const std::string &path)
{
    return gwt::capture(ffmpeg() + "-i " + gwt::sh_quote(path) + " -map 0:a:0 -c copy -f data - 2>/dev/null");
}

// The timestamp in seconds of every decoded picture of the first video stream.
inline std::vector<double> video_pts(const std::string &path)
{
    std::istringstream in(probe("-select_streams v:0 -show_entries frame=pts_time", path));
    std::vector<double> v;
    double d;
    for (std::string l; std::getline(in, l);)
        if (sscanf(l.c_str(), "%lf", &d) == 1)
            v.push_back(d);
    return v;
}

// "major_brand" of an ISO media file ("isom" for what the library writes).
inline std::string major_brand(const std::string &path)
{
    std::string s = probe("-show_entries format_tags=major_brand", path);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

// Picture k of the first video stream as RGB24 (k counted from 0).
inline bool frame_rgb(const std::string &path, int k, int w, int h, std::vector<unsigned char> &rgb)
{
    return gwt::capture_rgb(ffmpeg() + "-i " + gwt::sh_quote(path) + " -vf " +
                                gwt::sh_quote("select=eq(n\\," + std::to_string(k) + ")") +
                                " -frames:v 1 -f rawvideo -pix_fmt rgb24 - 2>/dev/null",
                            w, h, rgb);
}

// A clip from a lavfi source: `frames` pictures at `fps`, optional sine
// track (AAC); `extra` goes before the output name (codec options...).
inline bool lavfi_clip(const std::string &path, const std::string &source, int frames, int fps, bool audio,
                       const std::string &extra = "")
{
    std::string cmd = "-f lavfi -i " + gwt::sh_quote(source);
    if (audio)
        cmd += " -f lavfi -i " + gwt::sh_quote("sine=frequency=440:sample_rate=44100");
    cmd += " -frames:v " + std::to_string(frames) + " -c:v libx264 -preset ultrafast -pix_fmt yuv420p";
    if (audio)
        cmd += " -c:a aac -b:a 48k -t " + std::to_string((double)frames / fps);
    return ff(cmd + " " + extra + " " + gwt::sh_quote(path), path);
}

// A clip with moving content, w x h, as for lavfi_clip.
inline bool plain_clip(const std::string &path, int w, int h, int frames, int fps, bool audio,
                       const std::string &extra = "")
{
    return lavfi_clip(path, "testsrc2=s=" + std::to_string(w) + "x" + std::to_string(h) + ":r=" + std::to_string(fps),
                      frames, fps, audio, extra);
}

// Consecutive timestamps `step` seconds apart.
inline void expect_spacing(const std::vector<double> &pts, double step)
{
    for (size_t k = 1; k < pts.size(); k++)
        EXPECT_NEAR(pts[k] - pts[k - 1], step, 0.002) << "picture " << k;
}

// The first audio stream's packets were copied byte for byte.
inline void expect_audio_copied(const std::string &in, const std::string &out, size_t min_size)
{
    std::string a_in = gwv::audio_payload(in), a_out = gwv::audio_payload(out);
    EXPECT_GT(a_in.size(), min_size);
    EXPECT_TRUE(a_in == a_out) << "audio payload differs: " << a_in.size() << " vs " << a_out.size();
}

} // namespace gwv

#endif
