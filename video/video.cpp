// Video pipeline: demux, decode the first video stream, hand every picture as
// RGB24 to a callback, encode what it gives back as H.264 into MP4, copy the
// first audio stream unchanged. One run per call; everything is released by
// one teardown at the end of gw_process_video_pct. The MP4 goes into a
// temporary file beside the output (platform/platform.h) that becomes the
// output only once the trailer and every byte before it were written.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/stage_timers.h"
#include "video_internal.h"

/* swscale's vector code converts rows in blocks of up to 16 pixels and reads
 * and writes up to 45 bytes past the end of the last packed RGB24 row when
 * the width is not a multiple of 16; the slack keeps that inside the work
 * buffer. */
#define GW_RGB_SLACK 256

size_t gw_video_rgb_buffer_size(int width, int height)
{
    return (size_t)((int64_t)width * (int64_t)height * 3) + GW_RGB_SLACK;
}

static int cancel_requested(const VideoRun *r)
{
    return r->hooks.cancel && gw_load_relaxed(r->hooks.cancel) != 0;
}

/* Writes the progress after every 5th picture that carries a timestamp, as
 * the share of the input's duration reached, clamped to 0..100. */
static void report_progress(const VideoRun *r, int64_t pts)
{
    double p;
    if (!r->hooks.progress || r->duration_s <= 0.0 || pts == AV_NOPTS_VALUE || (r->frame_index + 1) % 5 != 0)
        return;
    p = (double)pts * r->video_tb_s / r->duration_s * 100.0;
    /* Clamped before the conversion: a timestamp far past the duration would
     * otherwise not fit an int (and NaN never does). */
    if (!(p > 0.0))
        p = 0.0;
    else if (p > 100.0)
        p = 100.0;
    gw_store_relaxed(r->hooks.progress, (int32_t)p);
}

/* The decoded picture in r->dec_frame into the RGB24 work buffer at the
 * set-up size. 0, or -1 with r->msg set. */
static int picture_to_rgb(VideoRun *r)
{
    const AVFrame *f = r->dec_frame;
    const int n = r->frame_index;
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
    uint8_t *dst[4] = {r->rgb, NULL, NULL, NULL};
    int dst_stride[4] = {r->width * 3, 0, 0, 0};
    GW_TIMER_START(t_rgb);
    const int sc = sws_scale(r->sws_in, (const uint8_t *const *)f->data, f->linesize, 0, f->height, dst, dst_stride);
    GW_TIMER_STOP(t_rgb, GW_ST_TO_RGB);
    if (sc < 0) {
        snprintf(r->msg, sizeof r->msg, "sws_scale (in) failed at frame %d", n);
        return -1;
    }
    return 0;
}

/* The timestamp of the decoded picture. One without a timestamp (raw
 * elementary streams), or one that does not come after the previous
 * picture, follows it by one picture's duration: the encoder and the muxer
 * need rising timestamps, and a bare frame count in a fine time base
 * (1/1200000 for raw H.264) would squeeze the whole video into microseconds. */
static int64_t next_pts(VideoRun *r, int64_t pts)
{
    if (pts != AV_NOPTS_VALUE && (r->last_pts == AV_NOPTS_VALUE || pts > r->last_pts))
        r->last_pts = pts;
    else
        r->last_pts = r->last_pts == AV_NOPTS_VALUE ? 0 : r->last_pts + r->pts_step;
    return r->last_pts;
}

/* Queues the timestamp of a picture given to the callback; -1 without memory. */
static int held_push(VideoRun *r, int64_t pts)
{
    if (r->held_count == r->held_cap) {
        const int32_t cap = r->held_cap ? r->held_cap * 2 : 16;
        int64_t *p = (int64_t *)malloc((size_t)cap * sizeof *p);
        if (!p)
            return -1;
        for (int32_t i = 0; i < r->held_count; i++)
            p[i] = r->held_pts[(r->held_head + i) % r->held_cap];
        free(r->held_pts);
        r->held_pts = p;
        r->held_cap = cap;
        r->held_head = 0;
    }
    r->held_pts[(r->held_head + r->held_count) % r->held_cap] = pts;
    r->held_count++;
    return 0;
}

/* The RGB24 work buffer back to YUV420P, encoded with the oldest held
 * timestamp (there is one: every picture given back was given), muxed. 0,
 * or -1 with r->msg set. */
static int encode_rgb(VideoRun *r)
{
    const int64_t pts = r->held_pts[r->held_head];
    r->held_head = (r->held_head + 1) % r->held_cap;
    r->held_count--;

    GW_TIMER_START(t_yuv);
    /* The encoder may still hold a reference to the last picture's buffers;
     * writing into them would change a picture it has not finished with. */
    if (av_frame_make_writable(r->enc_frame) < 0) {
        snprintf(r->msg, sizeof r->msg, "av_frame_make_writable failed at frame %d", r->frame_index);
        return -1;
    }
    const uint8_t *src[4] = {r->rgb, NULL, NULL, NULL};
    int src_stride[4] = {r->width * 3, 0, 0, 0};
    /* The encoder's rows: all, or all but an odd last one. */
    const int sc = sws_scale(r->sws_out, src, src_stride, 0, r->enc_ctx->height, r->enc_frame->data,
                             r->enc_frame->linesize);
    GW_TIMER_STOP(t_yuv, GW_ST_TO_YUV);
    if (sc < 0) {
        snprintf(r->msg, sizeof r->msg, "sws_scale (out) failed at frame %d", r->frame_index);
        return -1;
    }
    r->enc_frame->pts = pts;
    int tff = 0;
    r->enc_frame->interlaced_frame = video_interlaced(r, &tff);
    r->enc_frame->top_field_first = tff;
    GW_TIMER_START(t_enc);
    const int sent = avcodec_send_frame(r->enc_ctx, r->enc_frame);
    GW_TIMER_STOP(t_enc, GW_ST_ENCODE);
    if (sent < 0) {
        snprintf(r->msg, sizeof r->msg, "avcodec_send_frame failed");
        return -1;
    }
    return video_write_encoded(r, "av_interleaved_write_frame (video) failed");
}

/* What the callback answered, as the run's result. */
static int callback_result(VideoRun *r, int cb_result, int *ready)
{
    *ready = cb_result == GW_FRAME_READY;
    if (cb_result == GW_FRAME_READY || cb_result == GW_FRAME_HELD)
        return 0;
    if (cb_result == -2) {
        snprintf(r->msg, sizeof r->msg, "cancelled");
        return -2;
    }
    snprintf(r->msg, sizeof r->msg, "frame processing failed at frame %d", r->frame_index);
    return -1;
}

/* The per-frame path for the picture in r->dec_frame: RGB24, callback, and
 * whatever it gives back to YUV420P, encoder, muxer; progress. 0, -1 or -2
 * with r->msg set. */
static int process_picture(VideoRun *r)
{
    int ready = 0;
    if (cancel_requested(r)) {
        snprintf(r->msg, sizeof r->msg, "cancelled");
        return -2;
    }
    if (picture_to_rgb(r) != 0)
        return -1;
    if (held_push(r, next_pts(r, r->dec_frame->pts)) != 0) {
        snprintf(r->msg, sizeof r->msg, "oom timestamps");
        return -1;
    }
    int ret = callback_result(r, r->cb(r->rgb, r->width, r->height, 0, r->user), &ready);
    if (ret == 0 && ready)
        ret = encode_rgb(r);
    if (ret != 0)
        return ret;
    report_progress(r, r->dec_frame->pts);
    r->frame_index++;
    GW_TIMER_FRAME_END();
    return 0;
}

/* Takes back every picture the callback still holds. */
static int flush_held(VideoRun *r)
{
    while (r->held_count > 0) {
        int ready = 0;
        if (cancel_requested(r)) {
            snprintf(r->msg, sizeof r->msg, "cancelled");
            return -2;
        }
        int ret = callback_result(r, r->cb(r->rgb, r->width, r->height, 1, r->user), &ready);
        if (ret != 0)
            return ret;
        if (!ready) {
            snprintf(r->msg, sizeof r->msg, "frame processing kept %d pictures back", (int)r->held_count);
            return -1;
        }
        if (encode_rgb(r) != 0)
            return -1;
    }
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

/* Copies one audio packet (in r->pkt) to the output. 0, or -1. */
static int copy_audio(VideoRun *r)
{
    av_packet_rescale_ts(r->pkt, r->in_ctx->streams[r->in_audio_idx]->time_base, r->out_audio->time_base);
    r->pkt->stream_index = r->out_audio_idx;
    GW_TIMER_START(t_mux);
    int wr = av_interleaved_write_frame(r->out_ctx, r->pkt);
    GW_TIMER_STOP(t_mux, GW_ST_MUX);
    if (wr < 0) {
        video_write_failed(r, "av_interleaved_write_frame (audio) failed");
        return -1;
    }
    return 0;
}

/* The trailer (the MP4 index) and every buffered byte must reach the file,
 * and the file the disk, before it may become the output. */
static int finish_output(VideoRun *r)
{
    avcodec_send_frame(r->enc_ctx, NULL);
    if (video_write_encoded(r, "flush write failed") != 0)
        return -1;
    if (av_write_trailer(r->out_ctx) < 0) {
        video_write_failed(r, "av_write_trailer failed");
        return -1;
    }
    avio_flush(r->out_ctx->pb);
    if (r->out_ctx->pb->error < 0 || r->out.error) {
        video_write_failed(r, "flush write failed");
        return -1;
    }
    if (gw_out_commit(&r->out) != 0) {
        video_write_failed(r, "cannot write the output");
        return -1;
    }
    return 0;
}

/* Reads the input to its end, then drains decoder, callback and encoder and
 * writes the trailer. 0, -1 or -2 with r->msg set. */
static int video_loop(VideoRun *r)
{
    int ret;

    for (;;) {
        if (cancel_requested(r)) {
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
            ret = copy_audio(r);
        }
        av_packet_unref(r->pkt);
        if (ret != 0)
            return ret;
    }

    /* Pictures still held by the decoder (reordering, frame threads), then
     * by the callback. */
    avcodec_send_packet(r->dec_ctx, NULL);
    ret = receive_pictures(r);
    if (ret == 0)
        ret = flush_held(r);
    if (ret != 0)
        return ret;
    if (r->frame_index == 0) {
        snprintf(r->msg, sizeof r->msg, "no picture could be decoded from %s", r->in_name);
        return -1;
    }
    if (finish_output(r) != 0)
        return -1;
    if (r->hooks.progress)
        gw_store_relaxed(r->hooks.progress, 100);
    return 0;
}

/* Releases whatever the run made: buffers, packet, frames, scalers, codecs,
 * output (file closed first), input. */
static void video_teardown(VideoRun *r)
{
    free(r->rgb);
    free(r->held_pts);
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

/* Refuses what must not be opened. The input is opened as a "file:" URL
 * (in_url), so that no part of the name reads as a protocol. 0, or -1 with msg. */
static int check_paths(const char *in_path, const char *out_path, char *in_url, size_t url_size,
                       const char **out_file, char *msg, size_t msg_size)
{
    /* Only files: FFmpeg would open any protocol's URL, and a "file:" URL is
     * compared below without its prefix. */
    const char *in_file = file_path(in_path);
    *out_file = file_path(out_path);
    if (!in_file || !*out_file) {
        snprintf(msg, msg_size, "protocol URLs are not accepted: %s", in_file ? out_path : in_path);
        return -1;
    }
    /* A FIFO would block the call, a device could do anything on opening. */
    if (gw_file_is_regular(in_file) == 0) {
        snprintf(msg, msg_size, "not a regular file: %s", in_path);
        return -1;
    }
    /* The file is read while the output is written, and the output replaces
     * its final name at the end: the same file on both sides is refused. */
    if (gw_same_file(in_file, *out_file)) {
        snprintf(msg, msg_size, "output is the same file as the input: %s", out_path);
        return -1;
    }
    if (snprintf(in_url, url_size, "file:%s", in_file) >= (int)url_size) {
        snprintf(msg, msg_size, "cannot open input: %s (path too long)", in_path);
        return -1;
    }
    return 0;
}

int gw_process_video_pct(const char *in_path, const char *out_path, FrameCallback cb, void *user,
                         const VideoHooks *hooks, char *msg, size_t msg_size)
{
    VideoRun r;
    char in_url[4096];
    const char *out_file = NULL;

    if (check_paths(in_path, out_path, in_url, sizeof in_url, &out_file, msg, msg_size) != 0)
        return -1;
    memset(&r, 0, sizeof r);
    r.in_video_idx = -1;
    r.in_audio_idx = -1;
    r.out_video_idx = -1;
    r.out_audio_idx = -1;
    r.sws_in_fmt = AV_PIX_FMT_NONE;
    r.last_pts = AV_NOPTS_VALUE;
    r.cb = cb;
    r.user = user;
    if (hooks)
        r.hooks = *hooks;
    r.in_name = in_path;
    r.out_name = out_path;

    int result = video_open_input(&r, in_url);
    if (result == 0)
        result = video_open_output(&r, out_file);
    if (result == 0)
        result = video_loop(&r);

    video_teardown(&r);
    if (result != 0)
        snprintf(msg, msg_size, "%s", r.msg);
    return result;
}
