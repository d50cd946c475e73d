/* The few steps that differ between Windows and POSIX systems. */
#ifndef GW_PLATFORM_H
#define GW_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

/* Separator used to join the model directory and a model file name. */
#if defined(_WIN32)
#  define GW_PATH_SEP "\\"
#else
#  define GW_PATH_SEP "/"
#endif

/* Whole-value 32-bit loads and stores for the fields shared with another
 * thread during a call (progress, cancel request). No ordering needed. */
#if defined(_MSC_VER) && !defined(__clang__)
#  include <intrin.h>
static inline int32_t gw_load_relaxed(const int32_t *p) { return (int32_t)__iso_volatile_load32((const volatile int *)p); }
static inline void gw_store_relaxed(int32_t *p, int32_t v) { __iso_volatile_store32((volatile int *)p, (int)v); }
#else
static inline int32_t gw_load_relaxed(const int32_t *p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
static inline void gw_store_relaxed(int32_t *p, int32_t v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }
#endif

/* ---- input files ------------------------------------------------------------
 * Only regular files are read: a FIFO would block the call for ever and a
 * device can have side effects on opening. */

/* 1: path names a regular file (links followed); 0: it names something else
 * (folder, FIFO, device, socket); -1: it cannot be looked up (errno set). */
int gw_file_is_regular(const char *path);

/* 1 when both paths name one existing file, whatever the spelling or link. */
int gw_same_file(const char *a, const char *b);

/* Opens a regular file for reading. Null when path is not one (*not_regular
 * = 1; nothing was opened that could block) or cannot be opened
 * (*not_regular = 0, errno set). */
FILE *gw_open_regular(const char *path, int *not_regular);

/* ---- output files -------------------------------------------------------------
 * An output is written to a temporary file in the folder of its final name
 * (a fresh name, created exclusively) and moved onto the final name only
 * once every byte was written, flushed to the disk and the file closed
 * without error. A failure or a cancellation removes the temporary file and
 * leaves whatever was at the final name as it was. */

/* Error code of an output whose final name exists and is not a regular file. */
#define GW_OUT_NOT_REGULAR (-1)

/* A zero-filled record holds nothing; temp[0] != 0 while a temporary file
 * exists, and fd is valid only then. */
typedef struct GwOutFile {
    int fd;
    int error;              /* first failure: an errno value or GW_OUT_NOT_REGULAR; 0 */
    char temp[4096];        /* the temporary file, "" when there is none */
    char target[4096];      /* the final name (a link's target when it names a link) */
} GwOutFile;

/* Creates the temporary file for final_path. It takes the permission bits
 * of the regular file it will replace, else the default for a new file.
 * 0, or -1 with o->error set (the record then holds nothing to release). */
int gw_out_open(GwOutFile *o, const char *final_path);
/* Writes all n bytes at the current position; 0, or -1 (o->error is set by
 * the first failure and every later write fails at once). */
int gw_out_write(GwOutFile *o, const void *data, size_t n);
/* lseek semantics (SEEK_SET, SEEK_CUR, SEEK_END); the new position or -1. */
int64_t gw_out_seek(GwOutFile *o, int64_t offset, int whence);
/* Size of the file so far, or -1. */
int64_t gw_out_size(GwOutFile *o);
/* Flushes to the disk, closes and renames onto the final name. 0, or -1
 * with o->error set and the temporary file removed. */
int gw_out_commit(GwOutFile *o);
/* Closes and removes the temporary file; safe on a zero-filled record and
 * on one already committed or discarded. */
void gw_out_discard(GwOutFile *o);
/* Text for an error code of a GwOutFile. */
const char *gw_out_strerror(int error);

#endif /* GW_PLATFORM_H */
