#!/usr/bin/env python3
"""Times rvk-cat against the standard decompressors on inputs of many streams.

Multistream dumps (a bzip2 stream per hundred pages, a few KB to a few hundred
KB each) are the common download, and concatenated gzip members and LZ4 frames
are what many tools write. This benchmark makes such inputs with the standard
tools and times rvk-cat on them beside the tools, all in one run:

  bz2 1B       one-byte `bzip2 -c` streams, concatenated (--ones streams)
  bz2 2K..400K synthetic dump XML (--mb MB) cut into pieces, each `bzip2 -9`
  bz2 one      the same text as one `bzip2 -9` stream
  gz 1B        one-byte `gzip -c` members (--ones-gz members)
  gz 2K, one   the text as `gzip -6` members of 2 KB, and as one member
  lz4 1B       one-byte `lz4 -c` frames (--ones-gz frames)
  lz4 2K, one  the text as `lz4` frames of 2 KB, and as one frame

The one-byte shapes concatenate 256 files the tool made (one per byte value)
in a seeded order; the pieces are compressed by the tool many files per call.
Inputs are cached in --work-dir.

Each row prints the best wall time of --repeat interleaved runs (so that a
noisy neighbour hurts every tool alike) of rvk-cat with RVK_NUM_THREADS=1 and
=N, of the one-thread tool (bzip2 -dc, gzip -dc, lz4 -dc) and of the parallel
one (lbzip2 -n N, pigz -p N; lz4 has none), every output going to /dev/null;
then `par/rvk` (the parallel tool's time over rvk's at N threads: above 1 =
rvk faster), `1t/rvk` (the one-thread tool's over rvk's at 1 thread) and, for
pieces of the text, `vs one` (rvk's N-thread time over its N-thread time on
the same text as one stream: 1.00 = as fast, below = faster), and rvk's peak resident memory at N
threads. A run longer than --timeout seconds is stopped and shown as ">T".

Usage: bench/decode_streams.py [--mb 100] [--threads 8] [--repeat 3] [--only bz2,gz,lz4]
                               [--ones 200000] [--ones-gz 400000] [--verify] [--rvk-cat PATH]
"""
import argparse
import glob
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench", "python"))
import synthwiki  # noqa: E402

PIECES = {"2K": 2048, "8K": 8192, "40K": 40960, "400K": 409600}


def find_rvk_cat():
    for pattern in ("build/*/bench/rvk/rvk-cat", "build/bench/rvk/rvk-cat", "build*/bench/rvk/rvk-cat"):
        hits = sorted(glob.glob(os.path.join(ROOT, pattern)), key=os.path.getmtime, reverse=True)
        if hits:
            return hits[0]
    return None


def make_text(path, mb):
    if os.path.exists(path):
        return
    print(f"making {path} ...", file=sys.stderr)
    with open(path + ".part", "wb") as f:
        synthwiki.write_dump(f, mb * 1000 * 1000)
    os.replace(path + ".part", path)


def compress_files(paths, argv, ext):
    """Runs `argv + files` over the paths many files per call, 8 calls at once;
    returns the compressed files in the paths' order."""
    batches = [paths[i:i + 500] for i in range(0, len(paths), 500)]
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 4) as pool:
        for _ in pool.map(lambda b: subprocess.run(argv + b, check=True, stdout=subprocess.DEVNULL), batches):
            pass
    return [p + ext for p in paths]


def concatenate(parts, out_path):
    with open(out_path + ".part", "wb") as out:
        for p in parts:
            with open(p, "rb") as f:
                out.write(f.read())
    os.replace(out_path + ".part", out_path)


TOOLS = {
    # format: (command compressing files in place, keeping them; extension)
    "bz2": (["bzip2", "-9", "-k", "-f", "-q"], ".bz2"),
    "gz": (["gzip", "-6", "-k", "-f", "-q"], ".gz"),
    "lz4": (["lz4", "-q", "-f", "-m"], ".lz4"),
}


def make_pieces(text_path, piece, fmt, out_path):
    """The text cut into `piece`-byte pieces, each compressed by the tool."""
    if os.path.exists(out_path):
        return
    print(f"making {out_path} ...", file=sys.stderr)
    with open(text_path, "rb") as f:
        data = f.read()
    with tempfile.TemporaryDirectory(dir=os.path.dirname(out_path)) as tmp:
        paths = []
        for i in range(0, len(data), piece):
            p = os.path.join(tmp, f"{i // piece:08d}")
            with open(p, "wb") as f:
                f.write(data[i:i + piece])
            paths.append(p)
        argv, ext = TOOLS[fmt]
        concatenate(compress_files(paths, argv, ext), out_path)


def make_ones(fmt, count, out_path, seed=42):
    """`count` one-byte streams, members or frames made by the tool."""
    if os.path.exists(out_path):
        return
    print(f"making {out_path} ...", file=sys.stderr)
    with tempfile.TemporaryDirectory(dir=os.path.dirname(out_path)) as tmp:
        paths = []
        for b in range(256):
            p = os.path.join(tmp, f"{b:03d}")
            with open(p, "wb") as f:
                f.write(bytes([b]))
            paths.append(p)
        argv, ext = TOOLS[fmt]
        made = []
        for p in compress_files(paths, argv, ext):
            with open(p, "rb") as f:
                made.append(f.read())
    rng = random.Random(seed)
    with open(out_path + ".part", "wb") as out:
        for _ in range(count):
            out.write(made[rng.randrange(256)])
    os.replace(out_path + ".part", out_path)


def make_whole(text_path, fmt, out_path):
    if os.path.exists(out_path):
        return
    print(f"making {out_path} ...", file=sys.stderr)
    argv = {"bz2": ["bzip2", "-9", "-c"], "gz": ["gzip", "-6", "-c"], "lz4": ["lz4", "-q", "-c"]}[fmt]
    with open(text_path, "rb") as fin, open(out_path + ".part", "wb") as fout:
        subprocess.run(argv, stdin=fin, stdout=fout, check=True)
    os.replace(out_path + ".part", out_path)


def run_measured(argv, env, timeout):
    """Wall seconds and peak RSS (KiB) of one run writing to /dev/null; None
    for the wall time when it ran past the timeout."""
    with open(os.devnull, "wb") as devnull:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, stdout=devnull, env=env)
        deadline = start + timeout
        while True:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid != 0:
                break
            if time.perf_counter() > deadline:
                proc.kill()
                os.wait4(proc.pid, 0)
                proc.returncode = -9
                return None, 0
            time.sleep(0.002)
        wall = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)} exited with {proc.returncode}")
    return wall, usage.ru_maxrss


def digest(argv, env=None):
    h = hashlib.sha256()
    with subprocess.Popen(argv, stdout=subprocess.PIPE, env=env) as proc:
        while True:
            b = proc.stdout.read(1 << 20)
            if not b:
                break
            h.update(b)
    if proc.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)} exited with {proc.returncode}")
    return h.hexdigest()


def fmt_time(t, timeout):
    return f">{timeout:.0f}" if t is None else f"{t:.3f}"


def ratio(a, b):
    return "-" if a is None or b is None else f"{a / b:.2f}"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--mb", type=int, default=100, help="megabytes of synthetic dump XML")
    ap.add_argument("--threads", "-n", type=int, default=8)
    ap.add_argument("--repeat", "-r", type=int, default=3)
    ap.add_argument("--only", default="bz2,gz,lz4", help="formats to run")
    ap.add_argument("--shapes", default=None, help="comma-separated shape names (e.g. 1B,8K,one)")
    ap.add_argument("--ones", type=int, default=200000, help="one-byte bzip2 streams")
    ap.add_argument("--ones-gz", type=int, default=400000, help="one-byte gzip members and LZ4 frames")
    ap.add_argument("--timeout", type=float, default=120.0)
    ap.add_argument("--rvk-cat", default=None)
    ap.add_argument("--verify", action="store_true", help="check rvk-cat's output against the tool's")
    ap.add_argument("--work-dir", default="/tmp/corpuswright-bench/streams")
    args = ap.parse_args()

    rvk_cat = args.rvk_cat or find_rvk_cat()
    if not rvk_cat or not os.path.exists(rvk_cat):
        sys.exit("decode_streams: rvk-cat not found; build the target rvk-cat or pass --rvk-cat")
    os.makedirs(args.work_dir, exist_ok=True)
    text = os.path.join(args.work_dir, f"dump-{args.mb}mb.xml")
    formats = args.only.split(",")
    wanted = set(args.shapes.split(",")) if args.shapes else None

    shapes = []  # (format, name, path, text it decodes to or None)
    for fmt in formats:
        names = ["one", "1B"] + (list(PIECES) if fmt == "bz2" else ["2K"])
        for name in names:
            if wanted and name not in wanted:
                continue
            if name == "1B":
                count = args.ones if fmt == "bz2" else args.ones_gz
                path = os.path.join(args.work_dir, f"ones-{count}.{fmt}")
                make_ones(fmt, count, path)
                shapes.append((fmt, f"{name} x{count}", path, False))
                continue
            make_text(text, args.mb)
            if name == "one":
                path = f"{text}.{fmt}"
                make_whole(text, fmt, path)
            else:
                path = f"{text}.{name}.{fmt}"
                make_pieces(text, PIECES[name], fmt, path)
            shapes.append((fmt, name, path, True))

    n = args.threads
    env_for = lambda t: dict(os.environ, RVK_NUM_THREADS=str(t))
    reference = {
        "bz2": (["bzip2", "-dc"], ["lbzip2", "-dc", "-n", str(n)]),
        "gz": (["gzip", "-dc"], ["pigz", "-dc", "-p", str(n)]),
        "lz4": (["lz4", "-dc"], None),
    }
    print(f"rvk-cat: {rvk_cat}")
    print(f"threads: 1 and {n}, best of {args.repeat} (interleaved), output to /dev/null; "
          f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")
    header = (f"{'shape':<16} {'in MB':>7} {'rvk 1t':>8} {'rvk ' + str(n) + 't':>8} {'tool 1t':>8} "
              f"{'par tool':>8} {'par/rvk':>8} {'1t/rvk':>7} {'vs one':>7} {'rvk MiB':>8}")
    rows = {}
    for fmt, name, path, of_text in shapes:
        one, par = reference[fmt]
        runs = {"rvk1": ([rvk_cat, path], env_for(1)), "rvkN": ([rvk_cat, path], env_for(n)),
                "one": (one + [path], None)}
        if par and shutil.which(par[0]):
            runs["par"] = (par + [path], None)
        if args.verify:
            want = digest(one + [path])
            for key in ("rvk1", "rvkN"):
                if digest(runs[key][0], runs[key][1]) != want:
                    sys.exit(f"{path}: rvk-cat ({key}) output differs from {one[0]}'s")
        best = {}
        for _ in range(args.repeat):
            for key, (argv, env) in runs.items():
                wall, rss = run_measured(argv, env, args.timeout)
                old = best.get(key, (None, 0))
                if wall is None:
                    best[key] = (old[0], max(old[1], rss))
                else:
                    best[key] = (wall if old[0] is None else min(wall, old[0]), max(old[1], rss))
        rows[(fmt, name)] = best
        if fmt != rows.get("_fmt"):
            print(f"\n{fmt}" + ("" if not args.verify else " (outputs verified identical)"))
            print(header)
            rows["_fmt"] = fmt
        whole = rows.get((fmt, "one"), {}).get("rvkN", (None,))[0]
        t = lambda k: best.get(k, (None, 0))[0]
        vs_one = ratio(t("rvkN"), whole) if of_text and name != "one" else "-"
        print(f"{fmt + ' ' + name:<16} {os.path.getsize(path) / 1e6:>7.1f} {fmt_time(t('rvk1'), args.timeout):>8} "
              f"{fmt_time(t('rvkN'), args.timeout):>8} {fmt_time(t('one'), args.timeout):>8} "
              f"{fmt_time(t('par'), args.timeout) if 'par' in best else '-':>8} {ratio(t('par'), t('rvkN')):>8} "
              f"{ratio(t('one'), t('rvk1')):>7} {vs_one:>7} {best['rvkN'][1] / 1024:>8.1f}", flush=True)

if __name__ == "__main__":
    main()
