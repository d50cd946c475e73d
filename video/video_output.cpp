// The output side of a run: H.264 encoder, MP4 muxer over the temporary
// output file, the copied audio stream, the conversion back to YUV.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/display.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libavutil/pixfmt.h>
}

#include "platform/stage_timers.h"
#include "video_internal.h"

/* The writer's buffer became const in libavformat 61. */
#if LIBAVFORMAT_VERSION_MAJOR >= 61
typedef const uint8_t *AvioWriteBuf;
#else
typedef uint8_t *AvioWriteBuf;
#endif

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

void video_write_failed(VideoRun *r, const char *what)
{
    if (r->out.error)
        snprintf(r->msg, sizeof r->msg, "cannot write %s (%s)", r->out_name, gw_out_strerror(r->out.error));
    else
        snprintf(r->msg, sizeof r->msg, "%s", what);
}

int video_write_encoded(VideoRun *r, const char *what)
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
        av_packet_unref(r->pkt);
        if (wr < 0) {
            video_write_failed(r, what);
            return -1;
        }
    }
    return 0;
}

/* The input's picture description that players need to show the output as
 * they showed the input: sample aspect ratio, colour tags, field order. The
 * pixel values keep the input's meaning (the conversion to RGB24 and back
 * uses one matrix both ways), so its tags hold for them; a full-range
 * (yuvj) input comes back in limited range, which is then its tag. */
static void describe_pictures(VideoRun *r, AVStream *in_video)
{
    AVCodecContext *e = r->enc_ctx;
    const AVCodecParameters *p = in_video->codecpar;
    e->sample_aspect_ratio = av_guess_sample_aspect_ratio(r->in_ctx, in_video, NULL);
    if (e->sample_aspect_ratio.num <= 0 || e->sample_aspect_ratio.den <= 0)
        e->sample_aspect_ratio = AVRational{0, 1};
    e->color_primaries = p->color_primaries;
    e->color_trc = p->color_trc;
    e->colorspace = p->color_space;
    const enum AVPixelFormat fmt = (enum AVPixelFormat)p->format;
    const int yuvj = fmt == AV_PIX_FMT_YUVJ420P || fmt == AV_PIX_FMT_YUVJ422P || fmt == AV_PIX_FMT_YUVJ444P ||
                     fmt == AV_PIX_FMT_YUVJ440P || fmt == AV_PIX_FMT_YUVJ411P;
    e->color_range = yuvj ? AVCOL_RANGE_MPEG : p->color_range;
    /* Interlaced pictures are coded as fields, in the input's order: coded
     * as progressive pictures, a player shows the two fields combed. */
    if (p->field_order == AV_FIELD_TT || p->field_order == AV_FIELD_BB || p->field_order == AV_FIELD_TB ||
        p->field_order == AV_FIELD_BT) {
        e->field_order = p->field_order;
        e->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
    }
}

/* 1 when the encoder codes fields, top field first in *tff. */
int video_interlaced(const VideoRun *r, int *tff)
{
    *tff = r->enc_ctx->field_order == AV_FIELD_TT || r->enc_ctx->field_order == AV_FIELD_TB;
    return (r->enc_ctx->flags & AV_CODEC_FLAG_INTERLACED_DCT) != 0;
}

static int open_encoder(VideoRun *r, AVStream *in_video)
{
    AVDictionary *opts = NULL;
    const AVCodec *enc = avcodec_find_encoder(AV_CODEC_ID_H264);
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
    describe_pictures(r, in_video);
    av_dict_set(&opts, "crf", "18", 0);
    av_dict_set(&opts, "preset", "medium", 0);
    av_dict_set(&opts, "profile", "high", 0);
    const int ret = avcodec_open2(r->enc_ctx, enc, &opts);
    av_dict_free(&opts);
    if (ret != 0) {
        snprintf(r->msg, sizeof r->msg, "avcodec_open2 (encode) failed");
        return -1;
    }
    return 0;
}

/* The rotation a player applies to the input's pictures goes with them. */
static int copy_display_matrix(VideoRun *r, const AVStream *in_video)
{
    size_t size = 0;
    const uint8_t *m = av_stream_get_side_data(in_video, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!m || size < 9 * sizeof(int32_t))
        return 0;
    uint8_t *copy = av_stream_new_side_data(r->out_video, AV_PKT_DATA_DISPLAYMATRIX, size);
    if (!copy) {
        snprintf(r->msg, sizeof r->msg, "alloc failed (display matrix)");
        return -1;
    }
    memcpy(copy, m, size);
    return 0;
}

/* The tags a player shows of a stream or file, where the source has them.
 * MP4 keeps no title of a track; players show its handler name instead. */
static void copy_tags(AVDictionary **to, const AVDictionary *from, const char *const *keys, int title_as_handler)
{
    for (; *keys; keys++) {
        const AVDictionaryEntry *e = av_dict_get(from, *keys, NULL, 0);
        if (!e)
            continue;
        av_dict_set(to, *keys, e->value, 0);
        if (title_as_handler && strcmp(*keys, "title") == 0)
            av_dict_set(to, "handler_name", e->value, 0);
    }
}

/* The output's streams: the encoded video, then the input's first audio
 * stream copied as it is. An audio codec MP4 cannot carry is refused here,
 * before any picture is processed. */
static int add_streams(VideoRun *r)
{
    static const char *const stream_tags[] = {"language", "handler_name", "title", NULL};
    static const char *const file_tags[] = {"title", NULL};
    AVStream *in_video = r->in_ctx->streams[r->in_video_idx];
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
    r->out_video->sample_aspect_ratio = r->enc_ctx->sample_aspect_ratio;
    if (copy_display_matrix(r, in_video) != 0)
        return -1;
    copy_tags(&r->out_video->metadata, in_video->metadata, stream_tags, 1);
    copy_tags(&r->out_ctx->metadata, r->in_ctx->metadata, file_tags, 0);
    if (r->in_audio_idx < 0)
        return 0;

    const AVStream *in_audio = r->in_ctx->streams[r->in_audio_idx];
    const enum AVCodecID audio_codec = in_audio->codecpar->codec_id;
    if (avformat_query_codec(r->out_ctx->oformat, audio_codec, FF_COMPLIANCE_NORMAL) != 1) {
        snprintf(r->msg, sizeof r->msg, "audio codec %s cannot be carried in MP4: %s", avcodec_get_name(audio_codec),
                 r->in_name);
        return -1;
    }
    r->out_audio = avformat_new_stream(r->out_ctx, NULL);
    if (!r->out_audio) {
        snprintf(r->msg, sizeof r->msg, "avformat_new_stream (audio) failed");
        return -1;
    }
    r->out_audio_idx = (int)r->out_ctx->nb_streams - 1;
    if (avcodec_parameters_copy(r->out_audio->codecpar, in_audio->codecpar) < 0) {
        snprintf(r->msg, sizeof r->msg, "alloc failed (audio parameters)");
        return -1;
    }
    r->out_audio->time_base = in_audio->time_base;
    copy_tags(&r->out_audio->metadata, in_audio->metadata, stream_tags, 1);
    /* The tag is the input container's own code for the codec (15 for AAC
     * in MPEG-TS); MP4 refuses foreign tags, so one it does not map to this
     * codec is cleared and the muxer picks its own. */
    if (av_codec_get_id(r->out_ctx->oformat->codec_tag, r->out_audio->codecpar->codec_tag) !=
        r->out_audio->codecpar->codec_id)
        r->out_audio->codecpar->codec_tag = 0;
    return 0;
}

/* The muxer writes through the temporary output file. */
static int open_file(VideoRun *r, const char *out_path)
{
    if (r->out_ctx->oformat->flags & AVFMT_NOFILE)
        return 0;
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
    return 0;
}

/* Output scaler, frames, packet and the RGB24 work buffer. */
static int alloc_buffers(VideoRun *r)
{
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
    return 0;
}

int video_open_output(VideoRun *r, const char *out_path)
{
    /* MP4 whatever the extension of out_path. */
    if (avformat_alloc_output_context2(&r->out_ctx, NULL, "mp4", out_path) != 0 || !r->out_ctx) {
        snprintf(r->msg, sizeof r->msg, "cannot alloc output context for %s", r->out_name);
        return -1;
    }
    if (open_encoder(r, r->in_ctx->streams[r->in_video_idx]) != 0 || add_streams(r) != 0 || open_file(r, out_path) != 0)
        return -1;
    /* The muxer may change the streams' time bases here; every rescale reads
     * them afresh. */
    if (avformat_write_header(r->out_ctx, NULL) < 0) {
        video_write_failed(r, "avformat_write_header failed");
        return -1;
    }
    return alloc_buffers(r);
}
