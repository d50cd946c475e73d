// Safe output: inputs and outputs checked before the library is called, the
// temporary file beside OUT and its final move, and the signal handling that
// removes the temporary file when a run is ended.
//
// Outputs are written under a temporary name in the destination folder and
// moved onto OUT only once the library succeeded, so a failure or a signal
// never leaves a half-written OUT behind and never destroys an existing one.
// Without --force the move never replaces a file: of two runs writing the
// same OUT, the second fails.
#include "cli.h"
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "glyphwipe.h"

/* ---- signals -------------------------------------------------------------------
 * The handler only records the signal, kills a running ffmpeg child and, on a
 * second signal, removes the temporary output and leaves at once. Forwarding
 * the cancel request to the library is the poller thread's job. */
/* Lock-free atomics: safe in a signal handler and read by the poller thread,
 * whichever thread the signal lands on. */
std::atomic<int> g_signal(0);
std::atomic<int> g_child(0);
char g_tmp_path[PATH_MAX];
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free atomics");

static void on_signal(int sig)
{
    int saved_errno = errno;
    int first = 0;
    if (!g_signal.compare_exchange_strong(first, sig)) {
        if (g_tmp_path[0])
            unlink(g_tmp_path);
        _exit(128 + first);
    }
    int child = g_child.load();
    if (child > 0)
        kill(child, SIGTERM);
    errno = saved_errno;
}

/* Every signal whose default action ends the process and that a user or a
 * pipeline sends, so that none of them leaves the temporary output behind. */
void install_signal_handlers(void)
{
    static const int sigs[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM};
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : sigs)
        sigaction(sig, &sa, NULL);
}

/* ---- files and folders -------------------------------------------------------- */
bool is_dir(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_readable_file(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(p.c_str(), R_OK) == 0;
}

std::string dir_of(const std::string &p)
{
    size_t slash = p.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return p.substr(0, slash);
}

std::string base_of(const std::string &p)
{
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string join(const std::string &dir, const std::string &name)
{
    if (dir.empty() || dir.back() == '/')
        return dir + name;
    return dir + "/" + name;
}

bool make_dirs(const std::string &dir)
{
    std::string path;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        path = dir.substr(0, pos);
        if (!path.empty() && !is_dir(path) && mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
            fail("cannot make folder %s: %s", path.c_str(), strerror(errno));
            return false;
        }
    }
    return true;
}

/* ---- checks before the library is called ------------------------------------------- */
/* IN must be a readable regular file; it is looked at before it is opened,
 * and opened without blocking, so that a FIFO cannot hold the tool. */
bool check_input(const char *in)
{
    struct stat st;
    if (stat(in, &st) != 0) {
        fail("cannot read %s: %s", in, strerror(errno));
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        fail("cannot read %s: %s", in, strerror(EISDIR));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        fail("cannot read %s: not a regular file", in);
        return false;
    }
    int fd = open(in, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        fail("cannot read %s: %s", in, strerror(errno));
        return false;
    }
    close(fd);
    return true;
}

/* OUT must not exist (unless --force), must not be a folder, and its folder
 * must exist. */
bool check_output(const char *in, const char *out, int force)
{
    struct stat so;
    std::string dir = dir_of(out);
    if (stat(out, &so) == 0) {
        if (S_ISDIR(so.st_mode)) {
            fail("%s is a folder; give a file name for the output", out);
            return false;
        }
        if (!S_ISREG(so.st_mode)) {
            fail("%s is not a regular file; give a file name for the output", out);
            return false;
        }
        const bool same = in && gw_same_file(in, out);
        if (!force) {
            if (same)
                fail("%s is the input file (use --force to replace it)", out);
            else
                fail("%s exists (use --force to replace it)", out);
            return false;
        }
    }
    if (!is_dir(dir)) {
        fail("cannot write %s: folder %s does not exist", out, dir.c_str());
        return false;
    }
    if (access(dir.c_str(), W_OK) != 0) {
        fail("cannot write %s: %s", out, strerror(errno));
        return false;
    }
    return true;
}

/* Leaves after an interruption: no output, the usual shell status. */
int interrupted_exit(void)
{
    if (g_tmp_path[0]) {
        unlink(g_tmp_path);
        g_tmp_path[0] = 0;
    }
    glyphwipe_cleanup();
    return 128 + g_signal;
}

/* ---- temporary output beside OUT ------------------------------------------------------- */
/* Creates an empty temporary file in OUT's folder whose extension is OUT's in
 * lower case (the library's image writer matches it exactly, so OUT.PNG is
 * PNG too) and records it for the signal handler. Its mode becomes that of the file it will replace, or the
 * default for a new file. */
bool make_temp_beside(const char *out)
{
    std::string dir = dir_of(out), base = base_of(out), ext = lower_extension(out);
    size_t dot = base.rfind('.');
    std::string name = join(dir, "." + base.substr(0, dot == std::string::npos || dot == 0 ? base.size() : dot) +
                                     ".glyphwipe-XXXXXX" + ext);
    if (name.size() >= sizeof g_tmp_path) {
        fail("cannot write %s: path too long", out);
        return false;
    }
    std::vector<char> buf(name.begin(), name.end());
    buf.push_back(0);
    int fd = mkstemps(buf.data(), (int)ext.size());
    if (fd < 0) {
        fail("cannot write %s: %s", out, strerror(errno));
        return false;
    }
    struct stat st;
    mode_t mode;
    if (stat(out, &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    if (fchmod(fd, mode) != 0) { /* keep the restrictive mode; not worth failing */
    }
    close(fd);
    memcpy(g_tmp_path, buf.data(), buf.size());
    return true;
}

void remove_temp(void)
{
    if (g_tmp_path[0]) {
        unlink(g_tmp_path);
        g_tmp_path[0] = 0;
    }
}

/* Moves the temporary file onto OUT without ever replacing a file there:
 * renameat2's RENAME_NOREPLACE, else a hard link (which fails on an existing
 * name) and the removal of the temporary name. 0, or an errno value. */
static int move_no_replace(const char *tmp, const char *out)
{
#if defined(RENAME_NOREPLACE)
    if (renameat2(AT_FDCWD, tmp, AT_FDCWD, out, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
#endif
    if (link(tmp, out) != 0)
        return errno;
    unlink(tmp);
    return 0;
}

/* Moves the temporary file onto OUT: replacing a file there only with
 * `replace` (--force); a file that appeared at OUT since the start (another
 * run writing the same OUT) otherwise makes this run fail. */
bool commit_temp(const char *out, bool replace)
{
    int err = replace ? (rename(g_tmp_path, out) == 0 ? 0 : errno) : move_no_replace(g_tmp_path, out);
    if (err != 0) {
        if (err == EEXIST)
            fail("%s exists (use --force to replace it)", out);
        else
            fail("cannot write %s: %s", out, strerror(err));
        remove_temp();
        return false;
    }
    g_tmp_path[0] = 0;
    return true;
}
