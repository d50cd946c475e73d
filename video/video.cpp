// Video pipeline: demux, decode the first video stream, hand every picture as
// RGB24 to a callback, encode the result as H.264 into MP4, copy the first
// audio stream unchanged. One run per call; everything is released by one
// teardown at the end of gw_process_video_pct. The MP4 goes into a temporary
// file beside the output (core/platform.h) that becomes the output only once
// the trailer and every byte before it were written.
#include "video.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

/* The writer's buffer became const in libavformat 61. */
#if LIBAVFORMAT_VERSION_MAJOR >= 61
typedef const uint8_t *AvioWriteBuf;
#else
typedef uint8_t *AvioWriteBuf;
#endif

#include "core/gw_core.h"
#include "core/platform.h"
#include "core/stage_timers.h"

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
    int64_t last_pts;            /* last timestamp sent to the encoder */
    int32_t frame_index;         /* pictures through the whole per-frame path */

    FrameCallback cb;
    void *user;
    const char *in_name;         /* the paths as the caller gave them, for messages */
    const char *out_name;
    GwOutFile out;               /* the temporary output file; zero-filled until opened */
    char msg[512];
} VideoRun;

/* Sides of the largest picture taken, in the stream's header and in every
 * decoded picture. */
#define GW_VIDEO_MAX_SIDE 8192

/* swscale's vector code converts rows in blocks of up to 16 pixels and reads
 * and writes up to 45 bytes past the end of the last packed RGB24 row when
 * the width is not a multiple of 16; the slack keeps that inside the work
 * buffer. */
#define GW_RGB_SLACK 256

size_t gw_video_rgb_buffer_size(int width, int height)
{
    return (size_t)((int64_t)width * (int64_t)height * 3) + GW_RGB_SLACK;
}

static int cancel_requested(void)
{
    return gw_load_relaxed(&S.cancel_requested) != 0;
}

/* ---- the output file behind the muxer --------------------------------------- */

#define GW_OUT_IO_BUFFER 65536

static int out_write(void *opaque, AvioWriteBuf buf, int size)
{
    GwOutFile *o = (GwOutFile *)opaque;
    if (gw_out_write(o, buf, (size_t)size) == 0)
        return size;
    return o->error > 0 ? AVERROR(o->error) : AVERROR(EIO);
}

static int64_t out_seek(void *opaque, int64_t offset, int whence)
{
    GwOutFile *o = (GwOutFile *)opaque;
    int64_t r = (whence & AVSEEK_SIZE) ? gw_out_size(o) : gw_out_seek(o, offset, whence & ~AVSEEK_FORCE);
    return r >= 0 ? r : AVERROR(EIO);
}

/* The message of a failed write: the file's own error when it has one. */
static void write_failed(VideoRun *r, const char *what)
{
    if (r->out.error)
        snprintf(r->msg, sizeof r->msg, "cannot write %s (%s)", r->out_name, gw_out_strerror(r->out.error));
    else
        snprintf(r->msg, sizeof r->msg, "%s", what);
}

/* Writes S.progress after every 5th picture that carries a timestamp, as the
 * share of the input's duration reached, clamped to 0..100. */
static void report_progress(const VideoRun *r, int64_t pts)
{
    double p;
    if (r->duration_s <= 0.0 || pts == AV_NOPTS_VALUE || (r->frame_index + 1) % 5 != 0)
        return;
    p = (double)pts * r->video_tb_s / r->duration_s * 100.0;
    /* Clamped before the conversion: a timestamp far past the duration would
     * otherwise not fit an int (and NaN never does). */
    if (!(p > 0.0))
        p = 0.0;
    else if (p > 100.0)
        p = 100.0;
    gw_store_relaxed(&S.progress, (int32_t)p);
}

/* Writes every packet the encoder has ready; 0, or -1 with `what` as message. */
static int write_encoded(VideoRun *r, const char *what)
{
    for (;;) {
        GW_TIMER_START(t_enc);
        int got = avcodec_receive_packet(r->enc_ctx, r->pkt);
        GW_TIMER_STOP(t_enc, GW_ST_ENCODE);
        if (got != 0)
            break;
        /* The encoder leaves durations unset; without one the muxer gives the
         * last picture no time on screen and players drop it. */
        if (r->pkt->duration <= 0)
            r->pkt->duration = r->pts_step;
        av_packet_rescale_ts(r->pkt, r->enc_ctx->time_base, r->out_video->time_base);
        r->pkt->stream_index = r->out_video_idx;
        GW_TIMER_START(t_mux);
        int wr = av_interleaved_write_frame(r->out_ctx, r->pkt);
        GW_TIMER_STOP(t_mux, GW_ST_MUX);
        if (wr < 0) {
            av_packet_unref(r->pkt);
            write_failed(r, what);
            return -1;
        }
        av_packet_unref(r->pkt);
    }
    return 0;
}

/* The per-frame path for the picture in r->dec_frame: RGB24, callback, back to
 * YUV420P, encode, mux, progress. 0, -1 or -2 with r->msg set. */
static int process_picture(VideoRun *r)
{
    AVFrame *f = r->dec_frame;
    int n = r->frame_index;
    int r_cb;

    if (cancel_requested()) {
        snprintf(r->msg, sizeof r->msg, "cancelled");
        return -2;
    }
    if (f->width > GW_VIDEO_MAX_SIDE || f->height > GW_VIDEO_MAX_SIDE) {
        snprintf(r->msg, sizeof r->msg, "picture too large: %dx%d (limit %dx%d) at frame %d", f->width, f->height,
                 GW_VIDEO_MAX_SIDE, GW_VIDEO_MAX_SIDE, n);
        return -1;
    }
    /* The stream may change size or pixel format part-way; every picture is
     * scaled to the set-up size so that the work buffer, the encoder and the
     * callback's view stay the same for the whole run. */
    if (!r->sws_in || f->width != r->sws_in_w || f->height != r->sws_in_h || f->format != r->sws_in_fmt) {
        sws_freeContext(r->sws_in);
        r->sws_in = sws_getContext(f->width, f->height, (enum AVPixelFormat)f->format, r->width, r->height,
                                   AV_PIX_FMT_RGB24, SWS_BILINEAR, NULL, NULL, NULL);
        if (!r->sws_in) {
            snprintf(r->msg, sizeof r->msg, "sws_getContext (in) failed fmt=%d", f->format);
            return -1;
        }
        r->sws_in_w = f->width;
        r->sws_in_h = f->height;
        r->sws_in_fmt = f->format;
    }
    {
        uint8_t *dst[4] = {r->rgb, NULL, NULL, NULL};
        int dst_stride[4] = {r->width * 3, 0, 0, 0};
        GW_TIMER_START(t_rgb);
        int sc = sws_scale(r->sws_in, (const uint8_t *const *)f->data, f->linesize, 0, f->height, dst, dst_stride);
        GW_TIMER_STOP(t_rgb, GW_ST_TO_RGB);
        if (sc < 0) {
            snprintf(r->msg, sizeof r->msg, "sws_scale (in) failed at frame %d", n);
            return -1;
        }
    }

    r_cb = r->cb(r->rgb, r->width, r->height, r->user);
    if (r_cb == -2) {
        snprintf(r->msg, sizeof r->msg, "cancelled");
        return -2;
    }
    if (r_cb != 0) {
        snprintf(r->msg, sizeof r->msg, "frame processing failed at frame %d", n);
        return -1;
    }

    GW_TIMER_START(t_yuv);
    /* The encoder may still hold a reference to the last picture's buffers;
     * writing into them would change a picture it has not finished with. */
    if (av_frame_make_writable(r->enc_frame) < 0) {
        snprintf(r->msg, sizeof r->msg, "av_frame_make_writable failed at frame %d", n);
        return -1;
    }
    {
        const uint8_t *src[4] = {r->rgb, NULL, NULL, NULL};
        int src_stride[4] = {r->width * 3, 0, 0, 0};
        /* The encoder's rows: all, or all but an odd last one. */
        int sc = sws_scale(r->sws_out, src, src_stride, 0, r->enc_ctx->height, r->enc_frame->data,
                           r->enc_frame->linesize);
        GW_TIMER_STOP(t_yuv, GW_ST_TO_YUV);
        if (sc < 0) {
            snprintf(r->msg, sizeof r->msg, "sws_scale (out) failed at frame %d", n);
            return -1;
        }
    }
    /* A picture without a timestamp (raw elementary streams), or one that
     * does not come after the previous picture, follows it by one picture's
     * duration: the encoder and the muxer need rising timestamps, and a
     * bare frame count in a fine time base (1/1200000 for raw H.264) would
     * squeeze the whole video into microseconds. */
    if (f->pts != AV_NOPTS_VALUE && (r->last_pts == AV_NOPTS_VALUE || f->pts > r->last_pts))
        r->enc_frame->pts = f->pts;
    else
        r->enc_frame->pts = r->last_pts == AV_NOPTS_VALUE ? 0 : r->last_pts + r->pts_step;
    r->last_pts = r->enc_frame->pts;
    GW_TIMER_START(t_enc);
    int sent = avcodec_send_frame(r->enc_ctx, r->enc_frame);
    GW_TIMER_STOP(t_enc, GW_ST_ENCODE);
    if (sent < 0) {
        snprintf(r->msg, sizeof r->msg, "avcodec_send_frame failed");
        return -1;
    }
    if (write_encoded(r, "av_interleaved_write_frame (video) failed") != 0)
        return -1;
    report_progress(r, f->pts);
    r->frame_index = n + 1;
    GW_TIMER_FRAME_END();
    return 0;
}

/* Takes every picture the decoder has ready through the per-frame path. */
static int receive_pictures(VideoRun *r)
{
    for (;;) {
        GW_TIMER_START(t_dec);
        int got = avcodec_receive_frame(r->dec_ctx, r->dec_frame);
        GW_TIMER_STOP(t_dec, GW_ST_DECODE);
        if (got != 0)
            break;
        int ret = process_picture(r);
        av_frame_unref(r->dec_frame);
        if (ret != 0)
            return ret;
    }
    return 0;
}

/* Opens input, decoder, encoder, muxer with its streams and header, the
 * output scaler, frames, packet and work buffer. 0, or -1 with r->msg set. */
static int video_setup(VideoRun *r, const char *in_url, const char *out_path)
{
    const AVCodec *dec, *enc;
    AVStream *in_video;
    AVDictionary *opts = NULL;
    unsigned i;
    int ret;

    /* Whatever the input holds (a playlist, a concatenation list) opens
     * nothing but files. */
    av_dict_set(&opts, "protocol_whitelist", "file", 0);
    ret = avformat_open_input(&r->in_ctx, in_url, NULL, &opts);
    av_dict_free(&opts);
    if (ret != 0) {
        snprintf(r->msg, sizeof r->msg, "cannot open input: %s", r->in_name);
        return -1;
    }
    if (avformat_find_stream_info(r->in_ctx, NULL) < 0) {
        snprintf(r->msg, sizeof r->msg, "avformat_find_stream_info failed: %s", r->in_name);
        return -1;
    }
    for (i = 0; i < r->in_ctx->nb_streams; i++) {
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
    in_video = r->in_ctx->streams[r->in_video_idx];
    if (in_video->codecpar->width > GW_VIDEO_MAX_SIDE || in_video->codecpar->height > GW_VIDEO_MAX_SIDE) {
        snprintf(r->msg, sizeof r->msg, "picture too large: %dx%d (limit %dx%d)", in_video->codecpar->width,
                 in_video->codecpar->height, GW_VIDEO_MAX_SIDE, GW_VIDEO_MAX_SIDE);
        return -1;
    }

    /* MP4 whatever the extension of out_path. */
    if (avformat_alloc_output_context2(&r->out_ctx, NULL, "mp4", out_path) != 0 || !r->out_ctx) {
        snprintf(r->msg, sizeof r->msg, "cannot alloc output context for %s", r->out_name);
        return -1;
    }

    dec = avcodec_find_decoder(in_video->codecpar->codec_id);
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
    if (r->width > GW_VIDEO_MAX_SIDE || r->height > GW_VIDEO_MAX_SIDE) {
        snprintf(r->msg, sizeof r->msg, "picture too large: %dx%d (limit %dx%d)", r->width, r->height,
                 GW_VIDEO_MAX_SIDE, GW_VIDEO_MAX_SIDE);
        return -1;
    }

    enc = avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!enc) {
        snprintf(r->msg, sizeof r->msg, "libx264 encoder not available");
        return -1;
    }
    r->enc_ctx = avcodec_alloc_context3(enc);
    if (!r->enc_ctx) {
        snprintf(r->msg, sizeof r->msg, "avcodec_alloc_context3 (enc) failed");
        return -1;
    }
    /* 4:2:0 H.264 needs even sides: an odd last column or row (853x480
     * and the like) is left out of the output instead of failing the run. */
    r->enc_ctx->width = r->width & ~1;
    r->enc_ctx->height = r->height & ~1;
    r->enc_ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    /* Every picture keeps its own timestamp in the input stream's time base;
     * the frame rate is only a hint to the rate control. */
    r->enc_ctx->time_base = in_video->time_base;
    r->enc_ctx->framerate = AVRational{30, 1};
    r->enc_ctx->bit_rate = 8000000;
    r->enc_ctx->gop_size = 250;
    r->enc_ctx->max_b_frames = 2;
    av_dict_set(&opts, "crf", "18", 0);
    av_dict_set(&opts, "preset", "medium", 0);
    av_dict_set(&opts, "profile", "high", 0);
    ret = avcodec_open2(r->enc_ctx, enc, &opts);
    av_dict_free(&opts);
    if (ret != 0) {
        snprintf(r->msg, sizeof r->msg, "avcodec_open2 (encode) failed");
        return -1;
    }

    r->out_video = avformat_new_stream(r->out_ctx, NULL);
    if (!r->out_video) {
        snprintf(r->msg, sizeof r->msg, "avformat_new_stream failed");
        return -1;
    }
    r->out_video_idx = (int)r->out_ctx->nb_streams - 1;
    if (avcodec_parameters_from_context(r->out_video->codecpar, r->enc_ctx) != 0) {
        snprintf(r->msg, sizeof r->msg, "copy enc params failed");
        return -1;
    }
    r->out_video->time_base = r->enc_ctx->time_base;
    r->out_video->codecpar->codec_tag = 0;

    if (r->in_audio_idx >= 0) {
        AVStream *in_audio = r->in_ctx->streams[r->in_audio_idx];
        r->out_audio = avformat_new_stream(r->out_ctx, NULL);
        if (!r->out_audio) {
            snprintf(r->msg, sizeof r->msg, "avformat_new_stream (audio) failed");
            return -1;
        }
        r->out_audio_idx = (int)r->out_ctx->nb_streams - 1;
        /* A codec the muxer refuses makes the header fail below. */
        (void)avcodec_parameters_copy(r->out_audio->codecpar, in_audio->codecpar);
        r->out_audio->time_base = in_audio->time_base;
        /* The tag is the input container's own code for the codec (15 for AAC
         * in MPEG-TS); MP4 refuses foreign tags, so one it does not map to
         * this codec is cleared and the muxer picks its own. */
        if (av_codec_get_id(r->out_ctx->oformat->codec_tag, r->out_audio->codecpar->codec_tag) !=
            r->out_audio->codecpar->codec_id)
            r->out_audio->codecpar->codec_tag = 0;
    }

    if (!(r->out_ctx->oformat->flags & AVFMT_NOFILE)) {
        if (gw_out_open(&r->out, out_path) != 0) {
            snprintf(r->msg, sizeof r->msg, "cannot open output file: %s (%s)", r->out_name,
                     gw_out_strerror(r->out.error));
            return -1;
        }
        unsigned char *buf = (unsigned char *)av_malloc(GW_OUT_IO_BUFFER);
        r->out_ctx->pb = buf ? avio_alloc_context(buf, GW_OUT_IO_BUFFER, 1, &r->out, NULL, out_write, out_seek) : NULL;
        if (!r->out_ctx->pb) {
            av_free(buf);
            snprintf(r->msg, sizeof r->msg, "alloc failed");
            return -1;
        }
    }
    /* The muxer may change the streams' time bases here; every rescale reads
     * them afresh. */
    if (avformat_write_header(r->out_ctx, NULL) < 0) {
        write_failed(r, "avformat_write_header failed");
        return -1;
    }

    /* Same size in and out: the source is the work buffer's first encoder
     * width x height pixels, read with the buffer's own row stride. */
    r->sws_out = sws_getContext(r->enc_ctx->width, r->enc_ctx->height, AV_PIX_FMT_RGB24, r->enc_ctx->width,
                                r->enc_ctx->height, AV_PIX_FMT_YUV420P, SWS_BILINEAR, NULL, NULL, NULL);
    if (!r->sws_out) {
        snprintf(r->msg, sizeof r->msg, "sws_getContext (out) failed");
        return -1;
    }

    r->dec_frame = av_frame_alloc();
    r->enc_frame = av_frame_alloc();
    r->pkt = av_packet_alloc();
    if (!r->dec_frame || !r->enc_frame || !r->pkt) {
        snprintf(r->msg, sizeof r->msg, "alloc failed");
        return -1;
    }
    r->enc_frame->format = AV_PIX_FMT_YUV420P;
    r->enc_frame->width = r->enc_ctx->width;
    r->enc_frame->height = r->enc_ctx->height;
    if (av_frame_get_buffer(r->enc_frame, 32) < 0) {
        snprintf(r->msg, sizeof r->msg, "av_frame_get_buffer failed");
        return -1;
    }

    r->rgb = (uint8_t *)malloc(gw_video_rgb_buffer_size(r->width, r->height));
    if (!r->rgb) {
        snprintf(r->msg, sizeof r->msg, "oom rgb");
        return -1;
    }

    if (r->in_ctx->duration > 0)
        r->duration_s = (double)r->in_ctx->duration / 1000000.0;
    else if (in_video->duration > 0)
        r->duration_s = (double)in_video->duration * av_q2d(in_video->time_base);
    else
        r->duration_s = 0.0;
    r->video_tb_s = in_video->time_base.den != 0 ? av_q2d(in_video->time_base) : 0.0;
    {
        AVRational rate = in_video->avg_frame_rate;
        if (rate.num <= 0 || rate.den <= 0)
            rate = in_video->r_frame_rate;
        r->pts_step = 1;
        if (rate.num > 0 && rate.den > 0 && in_video->time_base.num > 0 && in_video->time_base.den > 0)
            r->pts_step = av_rescale_q(1, av_inv_q(rate), in_video->time_base);
        if (r->pts_step < 1)
            r->pts_step = 1;
    }
    return 0;
}

/* Reads the input to its end, then drains decoder and encoder and writes the
 * trailer. 0, -1 or -2 with r->msg set. */
static int video_loop(VideoRun *r)
{
    int ret;

    for (;;) {
        if (cancel_requested()) {
            snprintf(r->msg, sizeof r->msg, "cancelled");
            return -2;
        }
        /* A read error ends the input like the end of the file. */
        GW_TIMER_START(t_read);
        int rd = av_read_frame(r->in_ctx, r->pkt);
        GW_TIMER_STOP(t_read, GW_ST_DECODE);
        if (rd < 0)
            break;

        ret = 0;
        if (r->pkt->stream_index == r->in_video_idx) {
            GW_TIMER_START(t_dec);
            int s = avcodec_send_packet(r->dec_ctx, r->pkt);
            GW_TIMER_STOP(t_dec, GW_ST_DECODE);
            /* The decoder holds its own reference; the packet object is
             * free for the encoder's output from here on. A packet the
             * decoder refuses is skipped. */
            av_packet_unref(r->pkt);
            if (s >= 0 || s == AVERROR(EAGAIN))
                ret = receive_pictures(r);
        } else if (r->in_audio_idx >= 0 && r->pkt->stream_index == r->in_audio_idx) {
            av_packet_rescale_ts(r->pkt, r->in_ctx->streams[r->in_audio_idx]->time_base, r->out_audio->time_base);
            r->pkt->stream_index = r->out_audio_idx;
            GW_TIMER_START(t_mux);
            int wr = av_interleaved_write_frame(r->out_ctx, r->pkt);
            GW_TIMER_STOP(t_mux, GW_ST_MUX);
            if (wr < 0) {
                write_failed(r, "av_interleaved_write_frame (audio) failed");
                ret = -1;
            }
        }
        av_packet_unref(r->pkt);
        if (ret != 0)
            return ret;
    }

    /* Pictures still held by the decoder (reordering, frame threads). */
    avcodec_send_packet(r->dec_ctx, NULL);
    ret = receive_pictures(r);
    if (ret != 0)
        return ret;
    if (r->frame_index == 0) {
        snprintf(r->msg, sizeof r->msg, "no picture could be decoded from %s", r->in_name);
        return -1;
    }

    avcodec_send_frame(r->enc_ctx, NULL);
    if (write_encoded(r, "flush write failed") != 0)
        return -1;
    /* The trailer (the MP4 index) and every buffered byte must reach the
     * file, and the file the disk, before it may become the output. */
    if (av_write_trailer(r->out_ctx) < 0) {
        write_failed(r, "av_write_trailer failed");
        return -1;
    }
    avio_flush(r->out_ctx->pb);
    if (r->out_ctx->pb->error < 0 || r->out.error) {
        write_failed(r, "flush write failed");
        return -1;
    }
    if (gw_out_commit(&r->out) != 0) {
        write_failed(r, "cannot write the output");
        return -1;
    }
    gw_store_relaxed(&S.progress, 100);
    return 0;
}

/* Releases whatever the run made: buffer, packet, frames, scalers, codecs,
 * output (file closed first), input. */
static void video_teardown(VideoRun *r)
{
    free(r->rgb);
    av_packet_free(&r->pkt);
    av_frame_free(&r->dec_frame);
    av_frame_free(&r->enc_frame);
    sws_freeContext(r->sws_in);
    sws_freeContext(r->sws_out);
    avcodec_free_context(&r->enc_ctx);
    avcodec_free_context(&r->dec_ctx);
    if (r->out_ctx) {
        if (r->out_ctx->pb) {
            av_freep(&r->out_ctx->pb->buffer);
            avio_context_free(&r->out_ctx->pb);
        }
        avformat_free_context(r->out_ctx);
    }
    /* Nothing left after a commit; after a failure or a cancel the partial
     * file goes. */
    gw_out_discard(&r->out);
    avformat_close_input(&r->in_ctx);
}

/* 1 when both paths name one existing file, whatever the spelling or link. */
static int same_file(const char *a, const char *b)
{
#if defined(_WIN32)
    char fa[_MAX_PATH], fb[_MAX_PATH];
    return _fullpath(fa, a, sizeof fa) && _fullpath(fb, b, sizeof fb) && _stricmp(fa, fb) == 0;
#else
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
#endif
}

/* The file a video path names: the path, or what follows "file:". Null for
 * a URL of another protocol: FFmpeg reads a run of letters, digits, '+', '-'
 * and '.' before a ':' (and "subfile,...:") as a protocol name. */
static const char *file_path(const char *path)
{
    const size_t n = strspn(path, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.");
    if (strncmp(path, "subfile,", 8) == 0 && strchr(path + 8, ':'))
        return NULL;
    if (n == 0 || path[n] != ':')
        return path;
    if (n == 4 && strncmp(path, "file", 4) == 0)
        return path + 5;
#if defined(_WIN32)
    if (n == 1)
        return path; /* a drive letter */
#endif
    return NULL;
}

int gw_process_video_pct(const char *in_path, const char *out_path, FrameCallback cb, void *user)
{
    VideoRun r;
    int result;
    char in_url[4096];

    memset(&r, 0, sizeof r);
    r.in_video_idx = -1;
    r.in_audio_idx = -1;
    r.out_video_idx = -1;
    r.out_audio_idx = -1;
    r.sws_in_fmt = AV_PIX_FMT_NONE;
    r.last_pts = AV_NOPTS_VALUE;
    r.cb = cb;
    r.user = user;
    r.in_name = in_path;
    r.out_name = out_path;

    /* Only files: FFmpeg would open any protocol's URL, and a "file:" URL
     * is compared below without its prefix. */
    const char *in_file = file_path(in_path), *out_file = file_path(out_path);
    if (!in_file || !out_file) {
        gw_set_error("protocol URLs are not accepted: %s", in_file ? out_path : in_path);
        return -1;
    }
    /* A FIFO would block the call, a device could do anything on opening. */
    if (gw_file_is_regular(in_file) == 0) {
        gw_set_error("not a regular file: %s", in_path);
        return -1;
    }
    /* The file is read while the output is written, and the output replaces
     * its final name at the end: the same file on both sides is refused. */
    if (same_file(in_file, out_file)) {
        gw_set_error("output is the same file as the input: %s", out_path);
        return -1;
    }
    /* Opened as a "file:" URL, so that no part of the name reads as a
     * protocol. */
    if (snprintf(in_url, sizeof in_url, "file:%s", in_file) >= (int)sizeof in_url) {
        gw_set_error("cannot open input: %s (path too long)", in_path);
        return -1;
    }
    result = video_setup(&r, in_url, out_file);
    if (result == 0)
        result = video_loop(&r);

    video_teardown(&r);
    if (result != 0)
        gw_set_error("%s", r.msg);
    return result;
}
