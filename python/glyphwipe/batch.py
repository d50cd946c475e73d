"""Cleans every image and video of a folder on a Dask cluster.

    python3 -m glyphwipe.batch IN OUT [--scheduler ADDRESS] [--workers N]
                               [--split-seconds S] [options]

IN is a folder (read recursively) or one file; OUT is the output folder
(images keep their name, videos become NAME.mp4), or for one file IN the
output file itself when its name has a suitable extension. Without
--scheduler a local cluster on 127.0.0.1 is started; with it an existing
cluster is used, whose workers must see IN and OUT at the same paths.

A video longer than S seconds is cut at keyframes into pieces (stream copy),
the pieces are cleaned in parallel and joined again by stream copy with the
source's audio: the result has the source's pictures, timestamps and audio
packets. One line per finished piece or file goes to standard error.

Exit status: 0 all done (outputs that exist are skipped unless --force),
1 some file failed (summary at the end), 2 usage error, 130 interrupted.
"""

import argparse
import logging
import os
import shutil
import signal
import sys
import time
import uuid

from glyphwipe import media

USAGE_EXIT, FAILED_EXIT, INTERRUPTED_EXIT = 2, 1, 130


def say(text):
    print(text, file=sys.stderr, flush=True)


# --- what to clean -------------------------------------------------------------------

class Job:
    """One input file: what it is, where it goes, and its state in the run."""

    def __init__(self, kind, src, out, name):
        self.kind, self.src, self.out, self.name = kind, src, out, name
        directory, base = os.path.split(out)
        ext = os.path.splitext(out)[1]
        # Hidden, beside the output, with the output's extension (the library
        # picks an image format by extension).
        self.tmp = os.path.join(directory, ".%s.%s.part%s" % (base, uuid.uuid4().hex[:8], ext))
        self.event = None        # cancel event name (videos)
        self.work_dir = None     # pieces of a cut video
        self.plan = None
        self.cleaned = {}        # piece index -> cleaned piece path
        self.futures = set()
        self.error = None
        self.done = False


def kind_of(path):
    ext = os.path.splitext(path)[1].lower()
    if ext in media.IMAGE_EXTS:
        return "image"
    if ext in media.VIDEO_EXTS:
        return "video"
    return None


def _video_names(directory_files):
    """Output names of the videos of one folder: NAME.mp4, or NAME.EXT.mp4
    where two videos of the folder share NAME."""
    stems = {}
    for f in directory_files:
        stems.setdefault(os.path.splitext(f)[0], []).append(f)
    names = {}
    for stem, files in stems.items():
        for f in files:
            plain = len(files) == 1 or f.lower().endswith(".mp4")
            names[f] = stem + ".mp4" if plain else f + ".mp4"
    return names


def find_jobs(src, out):
    """The jobs for IN and OUT (absolute paths, for the workers), and the
    number of other (non-media) files."""
    src, out = os.path.abspath(src), os.path.abspath(out)
    if os.path.isfile(src):
        kind = kind_of(src)
        if kind is None:
            raise ValueError("%s is not an image or a video" % src)
        base = os.path.basename(src)
        target_ext = os.path.splitext(out)[1].lower()
        if (kind == "video" and target_ext == ".mp4") or (kind == "image" and target_ext in media.IMAGE_EXTS):
            target = out
        else:
            target = os.path.join(out, base if kind == "image" else _video_names([base])[base])
        return [Job(kind, src, target, base)], 0
    if not os.path.isdir(src):
        raise ValueError("%s is neither a folder nor a file" % src)
    jobs, other = [], 0
    out_real = os.path.realpath(out)
    for directory, dirs, files in os.walk(src):
        # Hidden folders (ours among them) and OUT inside IN are not read.
        dirs[:] = sorted(d for d in dirs if not d.startswith(".")
                         and os.path.realpath(os.path.join(directory, d)) != out_real)
        files = sorted(f for f in files if not f.startswith("."))
        rel = os.path.relpath(directory, src)
        videos = _video_names([f for f in files if kind_of(f) == "video"])
        for f in files:
            kind = kind_of(f)
            if kind is None:
                other += 1
                continue
            target = os.path.normpath(os.path.join(out, rel, f if kind == "image" else videos[f]))
            jobs.append(Job(kind, os.path.join(directory, f), target, os.path.normpath(os.path.join(rel, f))))
    return jobs, other


# --- the cluster ---------------------------------------------------------------------

def local_cluster(workers):
    """A cluster of `workers` processes on 127.0.0.1, one thread (one engine)
    each, no dashboard. The library sets no thread count of its own and the
    runtime sizes its pools to the machine; the numeric-library variables are
    set to each worker's share of the cores for what does honour them."""
    from distributed import LocalCluster
    share = str(max(1, len(os.sched_getaffinity(0)) // workers))
    env = {v: share for v in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")}
    # The workers ignore Ctrl-C (inherited across their start): the client
    # stops their work itself and then closes them.
    old = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                            dashboard_address=None, env=env, silence_logs=logging.ERROR)
    finally:
        signal.signal(signal.SIGINT, old)


def default_workers():
    # Each engine's networks already spread over the machine's cores; two
    # cores per engine measured best on a 2-core machine (one engine).
    return max(1, len(os.sched_getaffinity(0)) // 2)


# --- the run -------------------------------------------------------------------------

class Run:
    """Submits the jobs' tasks, follows them as they finish and prints one
    line per finished piece or file."""

    def __init__(self, client, jobs, args):
        from distributed import as_completed
        self.client, self.jobs, self.args = client, jobs, args
        self.engine = (os.path.abspath(args.models) if args.models else None, self.options())
        self.band = args.band
        self.run_id = uuid.uuid4().hex[:12]
        self.pending = as_completed()
        self.meta = {}
        self.finished = 0
        self.events_set = []

    def options(self):
        opts = {}
        if self.args.threshold is not None:
            opts["threshold"] = self.args.threshold
        if self.args.radius is not None:
            opts["inpaint_radius"] = self.args.radius
        return opts

    def submit(self, job, step, fn, *fargs, attempt=1, piece=None):
        fut = self.client.submit(fn, *fargs, pure=False, key="glyphwipe-%s-%s" % (step, uuid.uuid4().hex))
        self.meta[fut] = (job, step, fn, fargs, attempt, piece)
        job.futures.add(fut)
        self.pending.add(fut)

    def start(self):
        from glyphwipe import tasks
        split = self.args.split_seconds
        for i, job in enumerate(self.jobs):
            os.makedirs(os.path.dirname(job.out) or ".", exist_ok=True)
            if job.kind == "video":
                job.event = "glyphwipe-%s-%d" % (self.run_id, i)
            if job.kind == "video" and split:
                job.work_dir = os.path.join(os.path.dirname(job.out) or ".",
                                            ".glyphwipe-work-%s-%d" % (self.run_id, i))
                self.submit(job, "split", tasks.split_video, job.src, job.work_dir, split,
                            self.args.context, job.event)
            else:
                self.submit(job, "file", tasks.clean_file, job.kind, job.src, job.tmp, job.out,
                            self.engine, job.event, self.band)

    def line(self, text):
        say("[%*d/%d] %s" % (len(str(len(self.jobs))), self.finished, len(self.jobs), text))

    def follow(self):
        for fut in self.pending:
            job, step, fn, fargs, attempt, piece = self.meta.pop(fut)
            job.futures.discard(fut)
            if fut.status == "cancelled" or job.error is not None:
                self.settle(job)
                continue
            if fut.status == "error":
                self.failed(job, step, fn, fargs, attempt, piece, fut.exception())
                continue
            self.succeeded(job, step, piece, fut.result())

    def what(self, job, step, piece):
        if step == "piece":
            return "%s piece %d/%d" % (job.name, piece + 1, len(job.plan["pieces"]))
        return job.name + {"split": " (cutting)", "join": " (joining)"}.get(step, "")

    def failed(self, job, step, fn, fargs, attempt, piece, exc):
        text = str(exc) or type(exc).__name__
        if attempt == 1:
            say("%s failed (%s); trying again" % (self.what(job, step, piece), text))
            self.submit(job, step, fn, *fargs, attempt=2, piece=piece)
            return
        job.error = "%s: %s" % (self.what(job, step, piece), text)
        self.finished += 1
        self.line("FAILED %s" % job.error)
        self.stop_job(job)
        self.settle(job)

    def succeeded(self, job, step, piece, result):
        from glyphwipe import tasks
        if step == "file":
            self.finish(job, "%s -> %s (%.1f s)" % (job.name, job.out, result))
        elif step == "split":
            plan, reason = result
            if plan is None:
                say("%s: not cut (%s); cleaning it whole" % (job.name, reason))
                self.remove_work(job)
                self.submit(job, "file", tasks.clean_file, job.kind, job.src, job.tmp, job.out,
                            self.engine, job.event, self.band)
                return
            job.plan = plan
            for k, p in enumerate(plan["pieces"]):
                self.submit(job, "piece", tasks.clean_piece, p["path"], self.cleaned_path(job, k), p["count"],
                            self.engine, job.event, self.band, piece=k)
        elif step == "piece":
            job.cleaned[piece] = self.cleaned_path(job, piece)
            p = job.plan["pieces"][piece]
            say("  %s cleaned (%d pictures from %.2f s, %.1f s)" % (self.what(job, step, piece), p["count"],
                                                                    float(p["start"]), result))
            if len(job.cleaned) == len(job.plan["pieces"]):
                n = len(job.plan["pieces"])
                self.submit(job, "join", tasks.join_video, job.src, [job.cleaned[k] for k in range(n)],
                            [p["start"] for p in job.plan["pieces"]], job.plan["audio"], job.tmp, job.out,
                            job.event)
        elif step == "join":
            n = sum(p["count"] for p in job.plan["pieces"])
            self.finish(job, "%s -> %s (%d pieces joined, %d pictures)" % (job.name, job.out,
                                                                           len(job.plan["pieces"]), n))

    @staticmethod
    def cleaned_path(job, k):
        return os.path.join(job.work_dir, "clean%04d.mp4" % k)

    def finish(self, job, text):
        job.done = True
        self.finished += 1
        self.line(text)
        self.remove_work(job)

    def stop_job(self, job):
        """Stops a job's other tasks: those waiting are cancelled, those
        running see the job's cancel event."""
        if job.event:
            from distributed import Event
            Event(job.event, client=self.client).set()
            self.events_set.append(job.event)
        if job.futures:
            self.client.cancel(list(job.futures), force=True)

    def settle(self, job):
        """Once a failed job has no task left, its leftovers go."""
        if job.error is not None and not job.futures:
            self.remove_work(job)
            if os.path.lexists(job.tmp):
                os.remove(job.tmp)

    @staticmethod
    def remove_work(job):
        if job.work_dir and os.path.isdir(job.work_dir):
            shutil.rmtree(job.work_dir, ignore_errors=True)

    def interrupt(self):
        """Ctrl-C: every task is stopped and nothing partial stays."""
        for job in self.jobs:
            if not job.done and job.error is None:
                self.stop_job(job)
        # The running tasks see their event within a second and remove their
        # own temporaries; the rest goes once none runs any more.
        from glyphwipe import tasks
        end = time.monotonic() + 15.0
        while time.monotonic() < end:
            try:
                if not any(self.client.run(tasks.busy).values()):
                    break
            except Exception:
                break
            time.sleep(0.2)
        self.sweep()

    def sweep(self):
        for path in [j.tmp for j in self.jobs] + [j.work_dir for j in self.jobs]:
            if path and os.path.isdir(path):
                shutil.rmtree(path, ignore_errors=True)
            elif path and os.path.lexists(path):
                os.remove(path)

    def close(self):
        from distributed import Event
        for name in self.events_set:
            try:
                Event(name, client=self.client).clear()
            except Exception:
                pass


# --- command line --------------------------------------------------------------------

def parse_args(argv):
    p = argparse.ArgumentParser(prog="python3 -m glyphwipe.batch",
                                description="Clean every image and video of a folder on a Dask cluster.")
    p.add_argument("input", metavar="IN", help="folder (read recursively) or one image or video")
    p.add_argument("output", metavar="OUT", help="output folder (or, for one file IN, the output file)")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="use this cluster (e.g. tcp://10.0.0.5:8786) instead of a local one")
    p.add_argument("--workers", type=int, metavar="N",
                   help="local workers (default: one per two cores); with --scheduler, wait for N workers")
    p.add_argument("--split-seconds", type=float, default=0, metavar="S",
                   help="cut videos longer than S seconds into pieces cleaned in parallel (default: no cutting)")
    p.add_argument("--context", type=int, default=0, metavar="N",
                   help="pictures of context before and after each piece; only 0 is supported so far")
    p.add_argument("--models", metavar="DIR", help="model folder (default: the workers' default)")
    p.add_argument("--threshold", type=float, metavar="X", help="text score threshold, 0 < X < 1")
    p.add_argument("--radius", type=int, metavar="N", help="inpaint radius in pixels, 0..128")
    p.add_argument("--band", metavar="TOP:BOTTOM", help="videos: repaint only text reaching into this band (percent)")
    p.add_argument("--force", action="store_true", help="replace outputs that exist")
    args = p.parse_args(argv)
    if args.workers is not None and args.workers < 1:
        p.error("--workers must be at least 1")
    if args.split_seconds < 0:
        p.error("--split-seconds must not be negative")
    if args.context < 0:
        p.error("--context must not be negative")
    if args.context > 0:
        p.error("--context %d: the library has no cleaning mode that uses neighbouring pictures yet; "
                "only 0 is supported" % args.context)
    if args.band is not None:
        try:
            top, bottom = (int(v) for v in args.band.split(":"))
        except ValueError:
            p.error("--band takes TOP:BOTTOM, e.g. 75:100")
        if not 0 <= top < bottom <= 100:
            p.error("--band needs 0 <= TOP < BOTTOM <= 100")
        args.band = (top, bottom)
    return args


class ClusterError(RuntimeError):
    """The cluster cannot be reached or is not as asked for."""


def connect(args):
    """The client, and the local cluster it runs on (None for --scheduler)."""
    from distributed import Client
    if args.scheduler:
        try:
            client = Client(args.scheduler, timeout="10s")
        except (OSError, TimeoutError) as e:
            raise ClusterError("cannot reach the scheduler at %s: %s" % (args.scheduler, e)) from None
        if args.workers:
            try:
                client.wait_for_workers(args.workers, timeout=120)
            except (OSError, TimeoutError):
                n = len(client.scheduler_info()["workers"])
                client.close()
                raise ClusterError("%d worker(s) at %s after 120 s, %d asked for"
                                   % (n, args.scheduler, args.workers)) from None
        return client, None
    cluster = local_cluster(args.workers or default_workers())
    return Client(cluster), cluster


def main(argv=None):
    args = parse_args(argv)
    try:
        import distributed
        del distributed
    except ImportError:
        say("glyphwipe.batch: the Dask distributed package is missing (Debian: python3-distributed)")
        return FAILED_EXIT
    try:
        jobs, other = find_jobs(args.input, args.output)
    except (ValueError, OSError) as e:
        say("glyphwipe.batch: %s" % e)
        return USAGE_EXIT
    todo = [j for j in jobs if args.force or not os.path.exists(j.out)]
    skipped = len(jobs) - len(todo)
    if skipped:
        say("skipping %d file(s) whose output exists (--force replaces them)" % skipped)
    if other:
        say("leaving out %d file(s) that are not images or videos" % other)
    if not todo:
        say("nothing to do")
        return 0
    t0 = time.monotonic()
    client = cluster = run = None
    interrupted = False
    try:
        client, cluster = connect(args)
        out_dir = os.path.abspath(args.output) if os.path.isdir(args.input) else os.path.dirname(todo[0].out)
        os.makedirs(out_dir, exist_ok=True)
        in_dir = os.path.abspath(args.input if os.path.isdir(args.input) else os.path.dirname(todo[0].src))
        from glyphwipe import tasks
        problems = {w: r for w, r in client.run(tasks.check_worker, [in_dir, out_dir]).items() if r}
        if problems:
            for w, r in sorted(problems.items()):
                say("glyphwipe.batch: worker %s: %s" % (w, r))
            return FAILED_EXIT
        workers = len(client.scheduler_info()["workers"])
        say("cleaning %d file(s) on %d worker(s)%s" % (len(todo), workers,
                                                      "" if cluster is None else " (local)"))
        run = Run(client, todo, args)
        run.start()
        run.follow()
    except ClusterError as e:
        say("glyphwipe.batch: %s" % e)
        return FAILED_EXIT
    except KeyboardInterrupt:
        say("interrupted: stopping the work")
        interrupted = True
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # the clean-up below is bounded; let it finish
        if run is not None:
            run.interrupt()
        return INTERRUPTED_EXIT
    finally:
        if run is not None:
            run.close()
        if client is not None:
            client.close()
        if cluster is not None:
            cluster.close()
        if interrupted and run is not None:
            run.sweep()  # what a worker closed mid-task left behind
    failed = [j for j in todo if j.error is not None]
    say("%d cleaned, %d skipped, %d failed in %.1f s" % (len(todo) - len(failed), skipped, len(failed),
                                                         time.monotonic() - t0))
    for j in failed:
        say("  failed: %s" % j.error)
    return FAILED_EXIT if failed else 0


if __name__ == "__main__":
    sys.exit(main())
