// Video pipeline: demux, decode the first video stream, hand every picture as
// RGB24 to a callback, encode what it gives back as H.264 into MP4, copy the
// first audio stream unchanged. Decoding and encoding run on threads of their
// own (video_pipe.cpp) while the callback runs on the calling thread, in
// picture order. One run per call; every thread is joined and everything
// released by one teardown at the end of gw_process_video_pct. The MP4 goes
// into a temporary file beside the output (platform/platform.h) that becomes
// the output only once the trailer and every byte before it were written.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/stage_timers.h"
#include "video_pipe.h"

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

/* The calling thread's side of a run, and the message of a failure it meets. */
typedef struct MainLoop {
    VideoRun *r;
    VideoPipe *p;
    char msg[512];
} MainLoop;

/* What a pipe call's result means for the run: -1 the encoding thread
 * failed (its message), -2 a cancel request was seen while waiting. */
static int pipe_result(MainLoop *l, int ret)
{
    if (ret == -2)
        snprintf(l->msg, sizeof l->msg, "cancelled");
    else if (ret != 0)
        snprintf(l->msg, sizeof l->msg, "%s", l->p->msg);
    return ret;
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

/* Hands the picture the callback gave back in buf to the encoder, with the
 * oldest held timestamp (there is one: every picture given back was given). */
static int encode_given(MainLoop *l, int buf)
{
    VideoRun *r = l->r;
    PipeItem it = {PIPE_PICTURE, buf, r->held_pts[r->held_head], NULL};
    r->held_head = (r->held_head + 1) % r->held_cap;
    r->held_count--;
    return pipe_result(l, pipe_encode(l->p, &it));
}

/* What the callback answered, as the run's result. */
static int callback_result(MainLoop *l, int cb_result, int *ready)
{
    *ready = cb_result == GW_FRAME_READY;
    if (cb_result == GW_FRAME_READY || cb_result == GW_FRAME_HELD)
        return 0;
    if (cb_result == -2) {
        snprintf(l->msg, sizeof l->msg, "cancelled");
        return -2;
    }
    snprintf(l->msg, sizeof l->msg, "frame processing failed at frame %d", l->r->frame_index);
    return -1;
}

/* The per-frame path of a decoded picture: callback, and whatever it gives
 * back to the encoder; progress. 0, -1 or -2 with l->msg set. */
static int process_picture(MainLoop *l, const PipeItem *it)
{
    VideoRun *r = l->r;
    int ready = 0;
    if (cancel_requested(r)) {
        snprintf(l->msg, sizeof l->msg, "cancelled");
        return -2;
    }
    if (held_push(r, next_pts(r, it->pts)) != 0) {
        snprintf(l->msg, sizeof l->msg, "oom timestamps");
        return -1;
    }
    int ret = callback_result(l, r->cb(l->p->bufs[it->buf], r->width, r->height, 0, r->user), &ready);
    if (ret == 0 && ready)
        ret = encode_given(l, it->buf);
    else if (ret == 0)
        pipe_give_buffer(l->p, it->buf);
    if (ret != 0)
        return ret;
    report_progress(r, it->pts);
    r->frame_index++;
    GW_TIMER_FRAME_END();
    return 0;
}

/* Takes back every picture the callback still holds, each into a free buffer. */
static int flush_held(MainLoop *l)
{
    VideoRun *r = l->r;
    while (r->held_count > 0) {
        int ready = 0, buf = -1;
        if (cancel_requested(r)) {
            snprintf(l->msg, sizeof l->msg, "cancelled");
            return -2;
        }
        int ret = pipe_result(l, pipe_take_buffer(l->p, &buf));
        if (ret == 0)
            ret = callback_result(l, r->cb(l->p->bufs[buf], r->width, r->height, 1, r->user), &ready);
        if (ret != 0)
            return ret;
        if (!ready) {
            pipe_give_buffer(l->p, buf);
            snprintf(l->msg, sizeof l->msg, "frame processing kept %d pictures back", (int)r->held_count);
            return -1;
        }
        if ((ret = encode_given(l, buf)) != 0)
            return ret;
    }
    return 0;
}

/* Every item the decoding thread queues, in order, up to the end of the
 * input; then the held pictures, and the encoder's last pictures. The
 * pipe's threads are stopped and joined on every path. 0, -1 or -2 with
 * l->msg set. */
static int run_pictures(MainLoop *l)
{
    int ret = 0;
    for (;;) {
        PipeItem it;
        if ((ret = pipe_result(l, pipe_next(l->p, &it))) != 0)
            break;
        if (it.kind == PIPE_PICTURE) {
            ret = process_picture(l, &it);
        } else if (it.kind == PIPE_AUDIO) {
            if ((ret = pipe_result(l, pipe_encode(l->p, &it))) != 0)
                av_packet_free(&it.pkt);
        } else if (it.kind == PIPE_FAILED) {
            snprintf(l->msg, sizeof l->msg, "%s", l->p->dec_msg);
            ret = l->p->dec_status;
        } else {
            break; /* the end of the input */
        }
        if (ret != 0)
            break;
    }
    if (ret == 0)
        ret = flush_held(l);
    if (ret == 0)
        ret = pipe_result(l, pipe_finish(l->p));
    pipe_stop(l->p);
    return ret;
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

/* Runs the pictures through the threads, then writes the trailer. 0, -1 or
 * -2 with r->msg set. */
static int video_loop(VideoRun *r, VideoPipe *p)
{
    if (cancel_requested(r)) {
        snprintf(r->msg, sizeof r->msg, "cancelled");
        return -2;
    }
    if (pipe_start(p, r) != 0) {
        pipe_stop(p);
        return -1;
    }
    MainLoop l = {r, p, ""};
    const int ret = run_pictures(&l);
    /* Every thread has ended: the run's own message is free to write. */
    if (ret != 0) {
        snprintf(r->msg, sizeof r->msg, "%s", l.msg);
        return ret;
    }
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

/* Releases whatever the run made: threads (stopped and joined first),
 * buffers, packets, frames, scalers, codecs, output (file closed first),
 * input. */
static void video_teardown(VideoRun *r, VideoPipe *p)
{
    pipe_stop(p);
    pipe_free(p);
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
    VideoPipe pipe;
    char in_url[4096];
    const char *out_file = NULL;

    if (check_paths(in_path, out_path, in_url, sizeof in_url, &out_file, msg, msg_size) != 0)
        return -1;
    memset(&r, 0, sizeof r);
    pipe_init(&pipe);
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
        result = video_loop(&r, &pipe);

    video_teardown(&r, &pipe);
    if (result != 0)
        snprintf(msg, msg_size, "%s", r.msg);
    return result;
}
