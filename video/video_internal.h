/* Shared by the files of video/ only: the record of one run. */
#ifndef GW_VIDEO_INTERNAL_H
#define GW_VIDEO_INTERNAL_H

#include <stdint.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include "platform/platform.h"
#include "video.h"

/* Sides of the largest picture taken, in the stream's header and in every
 * decoded picture. */
#define GW_VIDEO_MAX_SIDE 8192

/* Resources and values of one run. Every pointer starts null and is owned by
 * the run once set; video_teardown releases whatever exists. */
typedef struct VideoRun {
    AVFormatContext *in_ctx;
    AVFormatContext *out_ctx;
    AVCodecContext *dec_ctx;
    AVCodecContext *enc_ctx;
    AVStream *out_video;         /* owned by out_ctx */
    AVStream *out_audio;         /* owned by out_ctx; null without audio */
    struct SwsContext *sws_in;   /* decoded picture -> RGB24 at the set-up size */
    struct SwsContext *sws_out;  /* RGB24 -> YUV420P at the encoder's (even) size */
    AVFrame *dec_frame;
    AVFrame *enc_frame;
    AVPacket *pkt;               /* every read and every encoder output */
    uint8_t *rgb;                /* width x height x 3, rows without gaps, then slack */

    int in_video_idx;
    int in_audio_idx;            /* -1: no audio */
    int out_video_idx;
    int out_audio_idx;           /* -1: no audio */
    int width, height;           /* set-up size: encoder, work buffer, callback */
    /* Source geometry the input scaler was made for; it is made anew when a
     * picture arrives with another size or pixel format. */
    int sws_in_w, sws_in_h, sws_in_fmt;
    double duration_s;           /* 0: unknown, no progress while running */
    double video_tb_s;           /* input video stream's time base in seconds */
    int64_t pts_step;            /* one picture's duration in that time base, >= 1 */
    int64_t last_pts;            /* last timestamp given to a picture */
    int32_t frame_index;         /* pictures given to the callback */

    /* Timestamps of the pictures the callback holds, oldest first: a ring of
     * held_cap slots from held_head. */
    int64_t *held_pts;
    int32_t held_cap, held_head, held_count;

    FrameCallback cb;
    void *user;
    VideoHooks hooks;
    const char *in_name;         /* the paths as the caller gave them, for messages */
    const char *out_name;
    GwOutFile out;               /* the temporary output file; zero-filled until opened */
    char msg[512];
} VideoRun;

/* Opens the input, finds its streams, opens the decoder and reads the
 * timing. 0, or -1 with r->msg set. */
int video_open_input(VideoRun *r, const char *in_url);

/* Opens the encoder, the muxer with its streams (audio copied) and header,
 * the output scaler, frames, packet and work buffer. 0, or -1 with r->msg. */
int video_open_output(VideoRun *r, const char *out_path);

/* 1 when the encoder codes fields (interlaced input), top field first in *tff. */
int video_interlaced(const VideoRun *r, int *tff);

/* Writes every packet the encoder has ready; 0, or -1 with `what` as message. */
int video_write_encoded(VideoRun *r, const char *what);

/* The message of a failed write: the file's own error when it has one. */
void video_write_failed(VideoRun *r, const char *what);

#endif /* GW_VIDEO_INTERNAL_H */
