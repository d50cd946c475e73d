/* The threads of one video run: a decoding thread (demuxer, decoder,
 * conversion to RGB24) and an encoding thread (conversion to YUV, encoder,
 * muxer) beside the calling thread, which runs the frame callback. They
 * pass pictures through small bounded queues, in order; audio packets travel
 * with the pictures, so that the muxer sees every packet in the order of the
 * serial pipeline. Shared by the files of video/ only. */
#ifndef GW_VIDEO_PIPE_H
#define GW_VIDEO_PIPE_H

#include <stdint.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "video_internal.h"

/* RGB24 pictures in flight: one being decoded, one with the callback, one
 * being converted for the encoder. The decoder waits for a free one, so it
 * runs at most a picture or two ahead. */
#define GW_PIPE_BUFFERS 3
/* Items waiting between two threads (pictures and the audio packets read
 * between them); a full queue makes its writer wait. */
#define GW_PIPE_QUEUE 64

typedef enum PipeKind {
    PIPE_PICTURE, /* buf holds a picture; pts: the decoded timestamp (to encode: the one to encode with) */
    PIPE_AUDIO,   /* pkt: an audio packet for the muxer */
    PIPE_END,     /* the input (or, to the encoder, the pictures) ended */
    PIPE_FAILED   /* the decoding thread stopped: status and message in the pipe */
} PipeKind;

typedef struct PipeItem {
    PipeKind kind;
    int buf;
    int64_t pts;
    AVPacket *pkt;
} PipeItem;

typedef struct PipeQueue {
    PipeItem items[GW_PIPE_QUEUE];
    int head, count;
} PipeQueue;

/* Everything below mu is guarded by it. A thread that fails (or the caller,
 * on a failure or cancel of its own) sets stop; every wait ends on it. */
typedef struct VideoPipe {
    VideoRun *run;
    uint8_t *bufs[GW_PIPE_BUFFERS];  /* bufs[0] is the run's work buffer */
    AVPacket *read_pkt;              /* the decoding thread's reads */
    std::thread decoder, encoder;

    std::mutex mu;
    std::condition_variable changed; /* any queue, the free list or stop changed */
    PipeQueue decoded;               /* decoding thread -> caller */
    PipeQueue to_encode;             /* caller -> encoding thread */
    int free_bufs[GW_PIPE_BUFFERS];
    int free_count;
    int stop;
    char msg[512];                   /* the encoding thread's message when it stopped the pipe */
    int dec_status;                  /* with a PIPE_FAILED item: -1 or -2, message in dec_msg */
    char dec_msg[512];
    int32_t decoded_count;           /* the decoding thread's own: pictures converted */
    int32_t encoded_count;           /* the encoding thread's own: pictures encoded */
} VideoPipe;

/* An empty pipe: nothing allocated, no thread (pipe_stop and pipe_free are
 * fine on it). */
void pipe_init(VideoPipe *p);

/* Allocates the buffers and starts both threads. 0, or -1 with r->msg set
 * (nothing left running). */
int pipe_start(VideoPipe *p, VideoRun *r);

/* The caller's side. Each wait also ends on a cancel request (-2, and the
 * pipe stops); -1 when the pipe stopped on a failure (message in p->msg). */
int pipe_next(VideoPipe *p, PipeItem *it);          /* the next decoded item */
int pipe_take_buffer(VideoPipe *p, int *buf);       /* a free buffer */
void pipe_give_buffer(VideoPipe *p, int buf);       /* a buffer back to the free list */
int pipe_encode(VideoPipe *p, const PipeItem *it);  /* queues a picture or audio packet for the encoder */

/* Queues the end for the encoder and waits for both threads: 0 once every
 * queued picture is encoded, -1 when the encoder failed, -2 on a cancel
 * request while the queue was full. */
int pipe_finish(VideoPipe *p);

/* Stops both threads and waits for them; fine after pipe_finish and on a
 * pipe never started. No thread of the run is left after it. */
void pipe_stop(VideoPipe *p);

/* After pipe_stop: releases the buffers and every packet still queued. */
void pipe_free(VideoPipe *p);

#endif /* GW_VIDEO_PIPE_H */
