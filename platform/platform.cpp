// Files through the operating system: the regular-file test of inputs and
// outputs written beside their final name, then renamed onto it (POSIX, and
// the same steps through the Windows C runtime and MoveFileEx).
#include "platform.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#if defined(_WIN32)
#  define WIN32_LEAN_AND_MEAN
#  include <windows.h>
#  include <fcntl.h>
#  include <io.h>
#  include <process.h>
#  include <sys/stat.h>
#else
#  include <fcntl.h>
#  include <sys/stat.h>
#  include <time.h>
#  include <unistd.h>
#endif

/* ---- names of temporary files ------------------------------------------------ */

static std::atomic<uint32_t> temp_serial{0};

/* Six characters from [A-Za-z0-9], different for every call in a process and
 * unlikely to repeat across processes; the exclusive create settles clashes. */
static void temp_suffix(char out[7])
{
    static const char chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    uint64_t x = (uint64_t)temp_serial.fetch_add(1) * 0x9E3779B97F4A7C15ull;
#if defined(_WIN32)
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    x ^= ((uint64_t)_getpid() << 40) ^ (uint64_t)now.QuadPart;
#else
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    x ^= ((uint64_t)getpid() << 40) ^ ((uint64_t)ts.tv_sec << 20) ^ (uint64_t)ts.tv_nsec;
#endif
    /* splitmix64 finaliser */
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    for (int i = 0; i < 6; i++) {
        out[i] = chars[x % 62];
        x /= 62;
    }
    out[6] = '\0';
}

/* Bytes of name to keep in a temporary name: at most 200, not ending inside
 * a UTF-8 sequence. */
static size_t kept_name_length(const char *name)
{
    size_t n = strlen(name);
    if (n <= 200)
        return n;
    n = 200;
    while (n > 0 && ((unsigned char)name[n] & 0xC0) == 0x80)
        n--;
    return n;
}

static int out_fail(GwOutFile *o, int error)
{
    o->error = error;
    o->temp[0] = '\0';
    o->fd = -1;
    return -1;
}

const char *gw_out_strerror(int error)
{
    return error == GW_OUT_NOT_REGULAR ? "not a regular file" : strerror(error);
}

#if defined(_WIN32)
/* ---- Windows ------------------------------------------------------------------ */

/* UTF-8 to UTF-16 in a fresh buffer (free it); null when the text is not UTF-8. */
static wchar_t *wide(const char *s)
{
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, NULL, 0);
    wchar_t *w = n > 0 ? (wchar_t *)malloc((size_t)n * sizeof *w) : NULL;
    if (w && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, -1, w, n) != n) {
        free(w);
        w = NULL;
    }
    return w;
}

int gw_file_is_regular(const char *path)
{
    struct _stat64 st;
    wchar_t *w = wide(path);
    int r = w && _wstat64(w, &st) == 0 ? ((st.st_mode & _S_IFMT) == _S_IFREG) : -1;
    free(w);
    return r;
}

int gw_same_file(const char *a, const char *b)
{
    char fa[_MAX_PATH], fb[_MAX_PATH];
    return _fullpath(fa, a, sizeof fa) && _fullpath(fb, b, sizeof fb) && _stricmp(fa, fb) == 0;
}

FILE *gw_open_regular(const char *path, int *not_regular)
{
    *not_regular = 0;
    int kind = gw_file_is_regular(path);
    if (kind <= 0) {
        *not_regular = kind == 0;
        return NULL;
    }
    wchar_t *w = wide(path);
    FILE *f = w ? _wfopen(w, L"rb") : NULL;
    free(w);
    return f;
}

int gw_out_open(GwOutFile *o, const char *final_path)
{
    struct _stat64 st;
    memset(o, 0, sizeof *o);
    o->fd = -1;
    if (snprintf(o->target, sizeof o->target, "%s", final_path) >= (int)sizeof o->target)
        return out_fail(o, ENAMETOOLONG);
    wchar_t *wt = wide(o->target);
    if (!wt)
        return out_fail(o, EINVAL);
    int exists = _wstat64(wt, &st) == 0;
    free(wt);
    if (exists && (st.st_mode & _S_IFMT) == _S_IFDIR)
        return out_fail(o, EISDIR);
    if (exists && (st.st_mode & _S_IFMT) != _S_IFREG)
        return out_fail(o, GW_OUT_NOT_REGULAR);
    const char *sep = o->target;
    for (const char *p = o->target; *p; p++)
        if (*p == '/' || *p == '\\' || *p == ':')
            sep = p + 1;
    const int dir_len = (int)(sep - o->target);
    if (!*sep)
        return out_fail(o, EISDIR);
    for (int tries = 0; tries < 100; tries++) {
        char suffix[7];
        temp_suffix(suffix);
        if (snprintf(o->temp, sizeof o->temp, "%.*s.%.*s.glyphwipe-%s", dir_len, o->target,
                     (int)kept_name_length(sep), sep, suffix) >= (int)sizeof o->temp)
            return out_fail(o, ENAMETOOLONG);
        wchar_t *w = wide(o->temp);
        int fd = -1;
        errno_t e = w ? _wsopen_s(&fd, w, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
                                  _S_IREAD | _S_IWRITE)
                      : EINVAL;
        free(w);
        if (e == 0) {
            o->fd = fd;
            return 0;
        }
        if (e != EEXIST)
            return out_fail(o, e);
    }
    return out_fail(o, EEXIST);
}

int gw_out_write(GwOutFile *o, const void *data, size_t n)
{
    const char *p = (const char *)data;
    if (o->error)
        return -1;
    if (!o->temp[0]) {
        o->error = EBADF;
        return -1;
    }
    while (n > 0) {
        unsigned chunk = n > (1u << 30) ? (1u << 30) : (unsigned)n;
        int w = _write(o->fd, p, chunk);
        if (w <= 0) {
            o->error = w < 0 ? errno : EIO;
            return -1;
        }
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

int64_t gw_out_seek(GwOutFile *o, int64_t offset, int whence)
{
    int64_t pos = o->temp[0] && !o->error ? _lseeki64(o->fd, offset, whence) : -1;
    if (pos < 0 && !o->error)
        o->error = o->temp[0] ? errno : EBADF;
    return pos;
}

int64_t gw_out_size(GwOutFile *o)
{
    struct _stat64 st;
    return o->temp[0] && _fstat64(o->fd, &st) == 0 ? (int64_t)st.st_size : -1;
}

int gw_out_commit(GwOutFile *o)
{
    if (!o->temp[0]) {
        if (!o->error)
            o->error = EBADF;
        return -1;
    }
    int err = o->error;
    if (!err && _commit(o->fd) != 0)
        err = errno;
    if (_close(o->fd) != 0 && !err)
        err = errno;
    o->fd = -1;
    if (!err) {
        wchar_t *from = wide(o->temp), *to = wide(o->target);
        if (!from || !to || !MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            err = EACCES;
        free(from);
        free(to);
    }
    if (err) {
        wchar_t *w = wide(o->temp);
        if (w)
            _wunlink(w);
        free(w);
        return out_fail(o, err);
    }
    o->temp[0] = '\0';
    return 0;
}

void gw_out_discard(GwOutFile *o)
{
    if (!o->temp[0])
        return;
    _close(o->fd);
    wchar_t *w = wide(o->temp);
    if (w)
        _wunlink(w);
    free(w);
    o->temp[0] = '\0';
    o->fd = -1;
}

#else
/* ---- POSIX --------------------------------------------------------------------- */

int gw_file_is_regular(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return -1;
    return S_ISREG(st.st_mode) ? 1 : 0;
}

int gw_same_file(const char *a, const char *b)
{
    struct stat sa, sb;
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

FILE *gw_open_regular(const char *path, int *not_regular)
{
    struct stat st;
    *not_regular = 0;
    int kind = gw_file_is_regular(path);
    if (kind <= 0) {
        *not_regular = kind == 0;
        return NULL;
    }
    /* Non-blocking: the name may have been given to a FIFO since the test. */
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return NULL;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        *not_regular = 1;
        return NULL;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags != -1)
        (void)fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE *f = fdopen(fd, "rb");
    if (!f) {
        int e = errno;
        close(fd);
        errno = e;
    }
    return f;
}

int gw_out_open(GwOutFile *o, const char *final_path)
{
    struct stat st;
    int replace = 0;
    mode_t mode = 0;

    memset(o, 0, sizeof *o);
    o->fd = -1;
    if (snprintf(o->target, sizeof o->target, "%s", final_path) >= (int)sizeof o->target)
        return out_fail(o, ENAMETOOLONG);
    if (lstat(final_path, &st) == 0) {
        /* Through a link the file it points to is replaced, the link kept; a
         * dangling link is replaced by the new file. */
        struct stat to;
        if (S_ISLNK(st.st_mode) && stat(final_path, &to) == 0) {
            st = to;
            char *real = realpath(final_path, NULL);
            if (!real)
                return out_fail(o, errno);
            int n = snprintf(o->target, sizeof o->target, "%s", real);
            free(real);
            if (n >= (int)sizeof o->target)
                return out_fail(o, ENAMETOOLONG);
        }
        if (S_ISDIR(st.st_mode))
            return out_fail(o, EISDIR);
        if (S_ISREG(st.st_mode)) {
            replace = 1;
            mode = st.st_mode & 0777;
        } else if (!S_ISLNK(st.st_mode)) {
            return out_fail(o, GW_OUT_NOT_REGULAR);
        }
    }
    const char *slash = strrchr(o->target, '/');
    const char *base = slash ? slash + 1 : o->target;
    const int dir_len = (int)(base - o->target);
    if (!*base)
        return out_fail(o, EISDIR);
    for (int tries = 0; tries < 100; tries++) {
        char suffix[7];
        temp_suffix(suffix);
        if (snprintf(o->temp, sizeof o->temp, "%.*s.%.*s.glyphwipe-%s", dir_len, o->target,
                     (int)kept_name_length(base), base, suffix) >= (int)sizeof o->temp)
            return out_fail(o, ENAMETOOLONG);
        /* The umask applies as for any new file. */
        int fd = open(o->temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            o->fd = fd;
            /* A replaced file keeps its permissions; failing that, the
             * default ones stay, which is no reason to give up. */
            if (replace)
                (void)fchmod(fd, mode);
            return 0;
        }
        if (errno != EEXIST)
            return out_fail(o, errno);
    }
    return out_fail(o, EEXIST);
}

int gw_out_write(GwOutFile *o, const void *data, size_t n)
{
    const char *p = (const char *)data;
    if (o->error)
        return -1;
    if (!o->temp[0]) {
        o->error = EBADF;
        return -1;
    }
    while (n > 0) {
        ssize_t w = write(o->fd, p, n > ((size_t)1 << 30) ? ((size_t)1 << 30) : n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            o->error = w < 0 ? errno : EIO;
            return -1;
        }
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

int64_t gw_out_seek(GwOutFile *o, int64_t offset, int whence)
{
    int64_t pos = o->temp[0] && !o->error ? (int64_t)lseek(o->fd, (off_t)offset, whence) : -1;
    if (pos < 0 && !o->error)
        o->error = o->temp[0] ? errno : EBADF;
    return pos;
}

int64_t gw_out_size(GwOutFile *o)
{
    struct stat st;
    return o->temp[0] && fstat(o->fd, &st) == 0 ? (int64_t)st.st_size : -1;
}

int gw_out_commit(GwOutFile *o)
{
    if (!o->temp[0]) {
        if (!o->error)
            o->error = EBADF;
        return -1;
    }
    int err = o->error;
    /* EINVAL: a file system that has nothing to flush. */
    if (!err && fsync(o->fd) != 0 && errno != EINVAL)
        err = errno;
    if (close(o->fd) != 0 && !err)
        err = errno;
    o->fd = -1;
    if (!err && rename(o->temp, o->target) != 0)
        err = errno;
    if (err) {
        unlink(o->temp);
        return out_fail(o, err);
    }
    o->temp[0] = '\0';
    return 0;
}

void gw_out_discard(GwOutFile *o)
{
    if (!o->temp[0])
        return;
    close(o->fd);
    unlink(o->temp);
    o->temp[0] = '\0';
    o->fd = -1;
}

#endif
