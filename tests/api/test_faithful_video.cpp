// What a player needs to show the cleaned video as it showed the input, kept
// through glyphwipe_process_video: rotation, sample aspect ratio, colour
// tags, field order, the audio stream's language and title, the file's
// title; and audio that MP4 cannot carry, refused before any picture.
#include <gtest/gtest.h>

#include <string>

#include "glyphwipe.h"
#include "test_support.h"
#include "test_video_util.h"

namespace {

struct FaithfulVideo : ::testing::Test {
    std::string dir;
    void SetUp() override
    {
        dir = gwt::temp_dir();
        ASSERT_EQ(glyphwipe_init(gwt::small_engine_dir().c_str()), 0) << glyphwipe_last_error();
    }
    void TearDown() override { glyphwipe_cleanup(); }
    // One ffprobe entry of the first stream of a kind ("v" or "a"), or of the file.
    static std::string entry(const std::string &path, const std::string &streams, const std::string &what)
    {
        std::string sel = streams.empty() ? "" : "-select_streams " + streams + ":0 ";
        std::string s = gwt::capture("ffprobe -v error " + sel + "-show_entries " + what +
                                     " -of default=nw=1:nk=1 " + gwt::sh_quote(path) + " 2>/dev/null");
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        return s;
    }
};

}  // namespace

TEST_F(FaithfulVideo, PictureDescriptionAndTagsAreKept)
{
    const std::string enc = dir + "/enc.mp4", in = dir + "/in.mp4", out = dir + "/out.mp4";
    // An anamorphic (64:45), BT.709-tagged, top-field-first clip with tagged
    // audio and a title, then marked as shown rotated by 90 degrees.
    ASSERT_TRUE(gwv::ff("-f lavfi -i testsrc2=s=320x240:r=25 -f lavfi -i sine=d=1 -t 1 -vf setsar=64/45 "
                        "-c:v libx264 -preset ultrafast -color_primaries bt709 -color_trc bt709 -colorspace bt709 "
                        "-color_range tv -flags +ildct+ilme -x264opts tff=1 -c:a aac -metadata title=Holiday "
                        "-metadata:s:a:0 language=fra -metadata:s:a:0 handler_name=Commentary " +
                            enc,
                        enc));
    ASSERT_TRUE(gwv::ff("-i " + enc + " -c copy -metadata:s:v:0 rotate=90 " + in, in));
    ASSERT_EQ(glyphwipe_process_video(in.c_str(), out.c_str()), 0) << glyphwipe_last_error();

    for (const char *what : {"stream=sample_aspect_ratio", "stream=color_primaries", "stream=color_transfer",
                             "stream=color_space", "stream=color_range", "stream=field_order",
                             "stream_side_data=rotation"})
        EXPECT_EQ(entry(out, "v", what), entry(in, "v", what)) << what;
    EXPECT_EQ(entry(out, "v", "stream=sample_aspect_ratio"), "64:45");
    EXPECT_EQ(entry(out, "v", "stream=field_order"), "tt");
    EXPECT_EQ(entry(out, "v", "stream_side_data=rotation"), "90");
    EXPECT_EQ(entry(out, "a", "stream_tags=language"), "fra");
    EXPECT_EQ(entry(out, "a", "stream_tags=handler_name"), "Commentary");
    EXPECT_EQ(entry(out, "", "format_tags=title"), "Holiday");
}

TEST_F(FaithfulVideo, TitleOfAMatroskaAudioTrackBecomesItsName)
{
    const std::string in = dir + "/in.mkv", out = dir + "/out.mp4";
    ASSERT_TRUE(gwv::ff("-f lavfi -i testsrc2=s=160x120:r=10 -f lavfi -i sine=d=1 -t 1 -c:v libx264 "
                        "-preset ultrafast -c:a aac -metadata:s:a:0 language=deu -metadata:s:a:0 title=Kommentar " +
                            in,
                        in));
    ASSERT_EQ(glyphwipe_process_video(in.c_str(), out.c_str()), 0) << glyphwipe_last_error();
    EXPECT_EQ(entry(out, "a", "stream_tags=language"), "deu");
    EXPECT_EQ(entry(out, "a", "stream_tags=handler_name"), "Kommentar");
}

TEST_F(FaithfulVideo, TenBitInputBecomesEightBit420)
{
    const std::string in = dir + "/in.mkv", out = dir + "/out.mp4";
    ASSERT_TRUE(gwv::ff("-f lavfi -i testsrc2=s=160x120:r=10 -frames:v 5 -pix_fmt yuv422p10le -c:v ffv1 " + in, in));
    ASSERT_EQ(glyphwipe_process_video(in.c_str(), out.c_str()), 0) << glyphwipe_last_error();
    EXPECT_EQ(entry(out, "v", "stream=pix_fmt"), "yuv420p");
    EXPECT_EQ(gwv::count_frames(out), 5);
}

TEST_F(FaithfulVideo, AudioMp4CannotCarryIsRefusedFirst)
{
    const std::string in = dir + "/in.mov", out = dir + "/out.mp4";
    ASSERT_TRUE(gwv::ff("-f lavfi -i testsrc2=s=160x120:r=10 -f lavfi -i sine=d=1 -t 1 -c:v libx264 "
                        "-preset ultrafast -c:a pcm_s16le " +
                            in,
                        in));
    EXPECT_EQ(glyphwipe_process_video(in.c_str(), out.c_str()), -1);
    EXPECT_EQ(std::string(glyphwipe_last_error()), "audio codec pcm_s16le cannot be carried in MP4: " + in);
    EXPECT_EQ(glyphwipe_progress(), 0);  // refused before the first picture
    EXPECT_FALSE(gwt::file_exists(out));
    EXPECT_EQ(gwt::temp_outputs_in(dir), 0);
}
