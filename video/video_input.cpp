// The input side of a run: demuxer, stream choice, decoder, timing.
#include <stdio.h>

extern "C" {
#include <libavutil/dict.h>
}

#include "video_internal.h"

/* Reads the run's duration and one picture's duration from the stream. */
static void read_timing(VideoRun *r, const AVStream *in_video)
{
    if (r->in_ctx->duration > 0)
        r->duration_s = (double)r->in_ctx->duration / 1000000.0;
    else if (in_video->duration > 0)
        r->duration_s = (double)in_video->duration * av_q2d(in_video->time_base);
    else
        r->duration_s = 0.0;
    r->video_tb_s = in_video->time_base.den != 0 ? av_q2d(in_video->time_base) : 0.0;
    AVRational rate = in_video->avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0)
        rate = in_video->r_frame_rate;
    r->pts_step = 1;
    if (rate.num > 0 && rate.den > 0 && in_video->time_base.num > 0 && in_video->time_base.den > 0)
        r->pts_step = av_rescale_q(1, av_inv_q(rate), in_video->time_base);
    if (r->pts_step < 1)
        r->pts_step = 1;
}

static int too_large(VideoRun *r, int w, int h)
{
    if (w <= GW_VIDEO_MAX_SIDE && h <= GW_VIDEO_MAX_SIDE)
        return 0;
    snprintf(r->msg, sizeof r->msg, "picture too large: %dx%d (limit %dx%d)", w, h, GW_VIDEO_MAX_SIDE,
             GW_VIDEO_MAX_SIDE);
    return 1;
}

static int open_decoder(VideoRun *r, const AVStream *in_video)
{
    const AVCodec *dec = avcodec_find_decoder(in_video->codecpar->codec_id);
    if (!dec) {
        snprintf(r->msg, sizeof r->msg, "no decoder for codec %d", (int)in_video->codecpar->codec_id);
        return -1;
    }
    r->dec_ctx = avcodec_alloc_context3(dec);
    if (!r->dec_ctx) {
        snprintf(r->msg, sizeof r->msg, "avcodec_alloc_context3 failed");
        return -1;
    }
    if (avcodec_parameters_to_context(r->dec_ctx, in_video->codecpar) != 0) {
        snprintf(r->msg, sizeof r->msg, "avcodec_parameters_to_context failed");
        return -1;
    }
    /* The decoder refuses larger pictures before allocating them. */
    r->dec_ctx->max_pixels = (int64_t)GW_VIDEO_MAX_SIDE * GW_VIDEO_MAX_SIDE;
    if (avcodec_open2(r->dec_ctx, dec, NULL) != 0) {
        snprintf(r->msg, sizeof r->msg, "avcodec_open2 (decode) failed");
        return -1;
    }
    r->width = r->dec_ctx->width;
    r->height = r->dec_ctx->height;
    return too_large(r, r->width, r->height) ? -1 : 0;
}

int video_open_input(VideoRun *r, const char *in_url)
{
    AVDictionary *opts = NULL;

    /* Whatever the input holds (a playlist, a concatenation list) opens
     * nothing but files. */
    av_dict_set(&opts, "protocol_whitelist", "file", 0);
    const int ret = avformat_open_input(&r->in_ctx, in_url, NULL, &opts);
    av_dict_free(&opts);
    if (ret != 0) {
        snprintf(r->msg, sizeof r->msg, "cannot open input: %s", r->in_name);
        return -1;
    }
    if (avformat_find_stream_info(r->in_ctx, NULL) < 0) {
        snprintf(r->msg, sizeof r->msg, "avformat_find_stream_info failed: %s", r->in_name);
        return -1;
    }
    for (unsigned i = 0; i < r->in_ctx->nb_streams; i++) {
        enum AVMediaType type = r->in_ctx->streams[i]->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_VIDEO && r->in_video_idx < 0)
            r->in_video_idx = (int)i;
        else if (type == AVMEDIA_TYPE_AUDIO && r->in_audio_idx < 0)
            r->in_audio_idx = (int)i;
    }
    if (r->in_video_idx < 0) {
        snprintf(r->msg, sizeof r->msg, "no video stream in %s", r->in_name);
        return -1;
    }
    const AVStream *in_video = r->in_ctx->streams[r->in_video_idx];
    if (too_large(r, in_video->codecpar->width, in_video->codecpar->height))
        return -1;
    if (open_decoder(r, in_video) != 0)
        return -1;
    read_timing(r, in_video);
    return 0;
}
