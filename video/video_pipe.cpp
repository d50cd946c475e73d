// The decoding and encoding threads of a video run and the queues between
// them and the calling thread (video_pipe.h).
#include "video_pipe.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <system_error>

#include "platform/stage_timers.h"

/* A waiting caller looks at the cancel request this often. */
static const std::chrono::milliseconds CANCEL_POLL(50);

static int cancel_requested(const VideoRun *r)
{
    return r->hooks.cancel && gw_load_relaxed(r->hooks.cancel) != 0;
}

/* ---- queues (under p->mu) ------------------------------------------------ */

static int queue_full(const PipeQueue *q) { return q->count == GW_PIPE_QUEUE; }

static void queue_push(PipeQueue *q, const PipeItem *it)
{
    q->items[(q->head + q->count) % GW_PIPE_QUEUE] = *it;
    q->count++;
}

static PipeItem queue_pop(PipeQueue *q)
{
    PipeItem it = q->items[q->head];
    q->head = (q->head + 1) % GW_PIPE_QUEUE;
    q->count--;
    return it;
}

/* Stops the pipe; the first stop's message is kept. Under p->mu. */
static void stop_locked(VideoPipe *p, const char *msg)
{
    if (!p->stop && msg)
        snprintf(p->msg, sizeof p->msg, "%s", msg);
    p->stop = 1;
    p->changed.notify_all();
}

/* Queues an item for the caller (decoding thread); 0, or -1 once stopped. */
static int push_decoded(VideoPipe *p, const PipeItem *it)
{
    std::unique_lock<std::mutex> lock(p->mu);
    p->changed.wait(lock, [p] { return p->stop || !queue_full(&p->decoded); });
    if (p->stop)
        return -1;
    queue_push(&p->decoded, it);
    p->changed.notify_all();
    return 0;
}

/* ---- decoding thread ------------------------------------------------------- */

/* The decoded picture in r->dec_frame into dst at the set-up size. 0, or -1
 * with p->dec_msg set. */
static int picture_to_rgb(VideoPipe *p, uint8_t *dst_rgb)
{
    VideoRun *r = p->run;
    const AVFrame *f = r->dec_frame;
    const int n = p->decoded_count;
    if (f->width > GW_VIDEO_MAX_SIDE || f->height > GW_VIDEO_MAX_SIDE) {
        snprintf(p->dec_msg, sizeof p->dec_msg, "picture too large: %dx%d (limit %dx%d) at frame %d", f->width,
                 f->height, GW_VIDEO_MAX_SIDE, GW_VIDEO_MAX_SIDE, n);
        return -1;
    }
    /* The stream may change size or pixel format part-way; every picture is
     * scaled to the set-up size so that the work buffers, the encoder and the
     * callback's view stay the same for the whole run. */
    if (!r->sws_in || f->width != r->sws_in_w || f->height != r->sws_in_h || f->format != r->sws_in_fmt) {
        sws_freeContext(r->sws_in);
        r->sws_in = sws_getContext(f->width, f->height, (enum AVPixelFormat)f->format, r->width, r->height,
                                   AV_PIX_FMT_RGB24, SWS_BILINEAR, NULL, NULL, NULL);
        if (!r->sws_in) {
            snprintf(p->dec_msg, sizeof p->dec_msg, "sws_getContext (in) failed fmt=%d", f->format);
            return -1;
        }
        r->sws_in_w = f->width;
        r->sws_in_h = f->height;
        r->sws_in_fmt = f->format;
    }
    uint8_t *dst[4] = {dst_rgb, NULL, NULL, NULL};
    int dst_stride[4] = {r->width * 3, 0, 0, 0};
    GW_TIMER_START(t_rgb);
    const int sc = sws_scale(r->sws_in, (const uint8_t *const *)f->data, f->linesize, 0, f->height, dst, dst_stride);
    GW_TIMER_STOP(t_rgb, GW_ST_TO_RGB);
    if (sc < 0) {
        snprintf(p->dec_msg, sizeof p->dec_msg, "sws_scale (in) failed at frame %d", n);
        return -1;
    }
    return 0;
}

/* Ends the decoding thread's work with a failure the caller sees after the
 * pictures queued before it. */
static void decoder_failed(VideoPipe *p, int status)
{
    PipeItem it = {PIPE_FAILED, -1, 0, NULL};
    p->dec_status = status;
    push_decoded(p, &it);
}

/* Every picture the decoder has ready, converted into free buffers and
 * queued. 0, or -1 when the thread must end (failure queued, or stopped). */
static int receive_pictures(VideoPipe *p)
{
    VideoRun *r = p->run;
    for (;;) {
        GW_TIMER_START(t_dec);
        const int got = avcodec_receive_frame(r->dec_ctx, r->dec_frame);
        GW_TIMER_STOP(t_dec, GW_ST_DECODE);
        if (got != 0)
            return 0;
        int buf = -1;
        {
            std::unique_lock<std::mutex> lock(p->mu);
            p->changed.wait(lock, [p] { return p->stop || p->free_count > 0; });
            if (!p->stop)
                buf = p->free_bufs[--p->free_count];
        }
        if (buf < 0) {
            av_frame_unref(r->dec_frame);
            return -1;
        }
        const int converted = picture_to_rgb(p, p->bufs[buf]);
        const PipeItem it = {PIPE_PICTURE, buf, r->dec_frame->pts, NULL};
        av_frame_unref(r->dec_frame);
        if (converted != 0) {
            pipe_give_buffer(p, buf);
            decoder_failed(p, -1);
            return -1;
        }
        p->decoded_count++;
        if (push_decoded(p, &it) != 0)
            return -1; /* stopped: the buffer goes with the pipe */
    }
}

/* Reads the input to its end: video packets to the decoder, audio packets
 * (rescaled for the output) into the queue, then the decoder's last
 * pictures and the end. A read error ends the input like the end of the
 * file; a packet the decoder refuses is skipped. */
static void decoder_main(VideoPipe *p)
{
    VideoRun *r = p->run;
    AVPacket *pkt = p->read_pkt;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(p->mu);
            if (p->stop)
                return;
        }
        if (cancel_requested(r)) {
            snprintf(p->dec_msg, sizeof p->dec_msg, "cancelled");
            decoder_failed(p, -2);
            return;
        }
        GW_TIMER_START(t_read);
        const int rd = av_read_frame(r->in_ctx, pkt);
        GW_TIMER_STOP(t_read, GW_ST_DECODE);
        if (rd < 0)
            break;
        if (pkt->stream_index == r->in_video_idx) {
            GW_TIMER_START(t_dec);
            const int s = avcodec_send_packet(r->dec_ctx, pkt);
            GW_TIMER_STOP(t_dec, GW_ST_DECODE);
            av_packet_unref(pkt);
            if ((s >= 0 || s == AVERROR(EAGAIN)) && receive_pictures(p) != 0)
                return;
        } else if (r->in_audio_idx >= 0 && pkt->stream_index == r->in_audio_idx) {
            PipeItem it = {PIPE_AUDIO, -1, 0, av_packet_alloc()};
            if (!it.pkt) {
                av_packet_unref(pkt);
                snprintf(p->dec_msg, sizeof p->dec_msg, "oom audio packet");
                decoder_failed(p, -1);
                return;
            }
            av_packet_move_ref(it.pkt, pkt);
            av_packet_rescale_ts(it.pkt, r->in_ctx->streams[r->in_audio_idx]->time_base, r->out_audio->time_base);
            it.pkt->stream_index = r->out_audio_idx;
            if (push_decoded(p, &it) != 0) {
                av_packet_free(&it.pkt);
                return;
            }
        } else {
            av_packet_unref(pkt);
        }
    }
    /* Pictures still held by the decoder (reordering, frame threads). */
    avcodec_send_packet(r->dec_ctx, NULL);
    if (receive_pictures(p) != 0)
        return;
    const PipeItem end = {PIPE_END, -1, 0, NULL};
    push_decoded(p, &end);
}

/* ---- encoding thread --------------------------------------------------------- */

/* The picture in buf back to YUV420P, encoded with pts, muxed; the buffer
 * is free again once converted. 0, or -1 with r->msg set. */
static int encode_picture(VideoPipe *p, int buf, int64_t pts)
{
    VideoRun *r = p->run;
    const int n = p->encoded_count;
    GW_TIMER_START(t_yuv);
    /* The encoder may still hold a reference to the last picture's buffers;
     * writing into them would change a picture it has not finished with. */
    if (av_frame_make_writable(r->enc_frame) < 0) {
        pipe_give_buffer(p, buf);
        snprintf(r->msg, sizeof r->msg, "av_frame_make_writable failed at frame %d", n);
        return -1;
    }
    const uint8_t *src[4] = {p->bufs[buf], NULL, NULL, NULL};
    int src_stride[4] = {r->width * 3, 0, 0, 0};
    /* The encoder's rows: all, or all but an odd last one. */
    const int sc = sws_scale(r->sws_out, src, src_stride, 0, r->enc_ctx->height, r->enc_frame->data,
                             r->enc_frame->linesize);
    GW_TIMER_STOP(t_yuv, GW_ST_TO_YUV);
    pipe_give_buffer(p, buf);
    if (sc < 0) {
        snprintf(r->msg, sizeof r->msg, "sws_scale (out) failed at frame %d", n);
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
    p->encoded_count++;
    return video_write_encoded(r, "av_interleaved_write_frame (video) failed");
}

/* Writes one audio packet (already rescaled) to the output. 0, or -1. */
static int write_audio(VideoRun *r, AVPacket *pkt)
{
    GW_TIMER_START(t_mux);
    const int wr = av_interleaved_write_frame(r->out_ctx, pkt);
    GW_TIMER_STOP(t_mux, GW_ST_MUX);
    if (wr < 0) {
        video_write_failed(r, "av_interleaved_write_frame (audio) failed");
        return -1;
    }
    return 0;
}

/* Encodes and writes what the caller queues, in order, up to the end. */
static void encoder_main(VideoPipe *p)
{
    VideoRun *r = p->run;
    for (;;) {
        PipeItem it;
        {
            std::unique_lock<std::mutex> lock(p->mu);
            p->changed.wait(lock, [p] { return p->stop || p->to_encode.count > 0; });
            if (p->stop)
                return;
            it = queue_pop(&p->to_encode);
            p->changed.notify_all();
        }
        int ret = 0;
        if (it.kind == PIPE_END)
            return;
        if (it.kind == PIPE_PICTURE) {
            ret = encode_picture(p, it.buf, it.pts);
        } else {
            ret = write_audio(r, it.pkt);
            av_packet_free(&it.pkt);
        }
        if (ret != 0) {
            std::lock_guard<std::mutex> lock(p->mu);
            stop_locked(p, r->msg);
            return;
        }
    }
}

/* ---- the caller's side -------------------------------------------------------- */

void pipe_init(VideoPipe *p)
{
    p->run = NULL;
    for (int i = 0; i < GW_PIPE_BUFFERS; i++)
        p->bufs[i] = NULL;
    p->read_pkt = NULL;
    p->decoded.head = p->decoded.count = 0;
    p->to_encode.head = p->to_encode.count = 0;
    p->free_count = 0;
    p->stop = 0;
    p->msg[0] = 0;
    p->dec_status = 0;
    p->dec_msg[0] = 0;
    p->decoded_count = 0;
    p->encoded_count = 0;
}

int pipe_start(VideoPipe *p, VideoRun *r)
{
    p->run = r;
    p->bufs[0] = r->rgb;
    for (int i = 1; i < GW_PIPE_BUFFERS; i++) {
        p->bufs[i] = (uint8_t *)malloc(gw_video_rgb_buffer_size(r->width, r->height));
        if (!p->bufs[i]) {
            snprintf(r->msg, sizeof r->msg, "oom rgb");
            return -1;
        }
    }
    for (int i = 0; i < GW_PIPE_BUFFERS; i++)
        p->free_bufs[p->free_count++] = i;
    p->read_pkt = av_packet_alloc();
    if (!p->read_pkt) {
        snprintf(r->msg, sizeof r->msg, "alloc failed");
        return -1;
    }
    /* Starting a thread can fail (std::system_error); nothing may escape. */
    try {
        p->encoder = std::thread(encoder_main, p);
    } catch (const std::system_error &) {
        snprintf(r->msg, sizeof r->msg, "cannot start the encoding thread");
        return -1;
    }
    try {
        p->decoder = std::thread(decoder_main, p);
    } catch (const std::system_error &) {
        pipe_stop(p);
        snprintf(r->msg, sizeof r->msg, "cannot start the decoding thread");
        return -1;
    }
    return 0;
}

/* Waits under lock until ready() or a stop; a waiting caller gives up on a
 * cancel request. 0 when ready, -1 stopped, -2 cancelled (pipe stopped). */
template <typename Ready>
static int wait_caller(VideoPipe *p, std::unique_lock<std::mutex> &lock, Ready ready)
{
    while (!p->stop && !ready()) {
        if (cancel_requested(p->run)) {
            stop_locked(p, NULL);
            return -2;
        }
        p->changed.wait_for(lock, CANCEL_POLL);
    }
    return p->stop ? -1 : 0;
}

int pipe_next(VideoPipe *p, PipeItem *it)
{
    std::unique_lock<std::mutex> lock(p->mu);
    const int w = wait_caller(p, lock, [p] { return p->decoded.count > 0; });
    if (w != 0)
        return w;
    *it = queue_pop(&p->decoded);
    p->changed.notify_all();
    return 0;
}

int pipe_take_buffer(VideoPipe *p, int *buf)
{
    std::unique_lock<std::mutex> lock(p->mu);
    const int w = wait_caller(p, lock, [p] { return p->free_count > 0; });
    if (w != 0)
        return w;
    *buf = p->free_bufs[--p->free_count];
    return 0;
}

void pipe_give_buffer(VideoPipe *p, int buf)
{
    std::lock_guard<std::mutex> lock(p->mu);
    p->free_bufs[p->free_count++] = buf;
    p->changed.notify_all();
}

int pipe_encode(VideoPipe *p, const PipeItem *it)
{
    std::unique_lock<std::mutex> lock(p->mu);
    const int w = wait_caller(p, lock, [p] { return !queue_full(&p->to_encode); });
    if (w != 0)
        return w;
    queue_push(&p->to_encode, it);
    p->changed.notify_all();
    return 0;
}

int pipe_finish(VideoPipe *p)
{
    const PipeItem end = {PIPE_END, -1, 0, NULL};
    const int queued = pipe_encode(p, &end);
    if (queued != 0)
        return queued;
    if (p->encoder.joinable())
        p->encoder.join();
    if (p->decoder.joinable())
        p->decoder.join();
    std::lock_guard<std::mutex> lock(p->mu);
    return p->stop ? -1 : 0;
}

void pipe_stop(VideoPipe *p)
{
    {
        std::lock_guard<std::mutex> lock(p->mu);
        stop_locked(p, NULL);
    }
    if (p->encoder.joinable())
        p->encoder.join();
    if (p->decoder.joinable())
        p->decoder.join();
}

void pipe_free(VideoPipe *p)
{
    for (PipeQueue *q : {&p->decoded, &p->to_encode})
        while (q->count > 0) {
            PipeItem it = queue_pop(q);
            av_packet_free(&it.pkt);
        }
    for (int i = 1; i < GW_PIPE_BUFFERS; i++) {
        free(p->bufs[i]);
        p->bufs[i] = NULL;
    }
    p->bufs[0] = NULL; /* the run's own, freed with the run */
    av_packet_free(&p->read_pkt);
}
