"""Throughput and peak memory of the dataset stages on one thread and on all cores.

Builds (once, cached under /tmp/corpuswright-bench) a synthetic MediaWiki dump
of at least --xml-mb megabytes of XML, compressed with the standard bzip2
tool, and its metadata database. Then runs build_stage1, build_stage2 and
build_dataset, each in a child process of its own:

- 1 thread: `taskset -c 0` (the shared pool sizes itself from the CPU
  affinity) and RVK_NUM_THREADS=1 (the decoder's threads);
- all cores: no restriction.

For every run it prints articles/s, MB/s of dump (compressed and XML; for
build_stage2, of the articles file), wall and CPU seconds, and the child's
peak resident memory (ru_maxrss from wait4). The speed-up of all cores over
one thread is printed per stage, and the outputs of both modes are compared
byte for byte.

    python bench/python/stages_bench.py [--xml-mb 200] [--stages stage1,stage2,dataset]

The corpuswright package must be importable (installed, or on PYTHONPATH).
"""
import argparse
import hashlib
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import synthwiki  # noqa: E402

CACHE = "/tmp/corpuswright-bench"
STAGES = ("stage1", "stage2", "dataset")


def ensure_dump(xml_mb, seed):
    """Returns (dump path, metadata path, info dict), generating them if missing."""
    base = os.path.join(CACHE, f"dump-{xml_mb}mb-{seed}")
    dump, meta, info_path = base + ".xml.bz2", base + ".db", base + ".json"
    if os.path.exists(info_path):
        with open(info_path) as f:
            return dump, meta, json.load(f)
    os.makedirs(CACHE, exist_ok=True)
    print(f"generating {dump} ({xml_mb} MB of XML, seed {seed}) ...", flush=True)
    t0 = time.perf_counter()

    class Counting:
        def __init__(self, f):
            self.f, self.n = f, 0

        def write(self, b):
            self.n += len(b)
            self.f.write(b)

    with open(dump + ".part", "wb") as out:
        bz = subprocess.Popen(["bzip2", "-9", "-c"], stdin=subprocess.PIPE, stdout=out)
        sink = Counting(bz.stdin)
        npages, disambiguation = synthwiki.write_dump(sink, xml_mb * 1_000_000, seed)
        bz.stdin.close()
        if bz.wait() != 0:
            raise SystemExit("bzip2 failed")
    if os.path.exists(meta):
        os.remove(meta)
    synthwiki.write_metadata(meta, disambiguation)
    os.replace(dump + ".part", dump)
    info = {"xml_bytes": sink.n, "bz2_bytes": os.path.getsize(dump), "pages": npages}
    with open(info_path, "w") as f:
        json.dump(info, f)
    print(f"  {npages} pages, {sink.n / 1e6:.0f} MB XML, {info['bz2_bytes'] / 1e6:.0f} MB bzip2,"
          f" {time.perf_counter() - t0:.0f} s", flush=True)
    return dump, meta, info


def child(stage, dump, meta, outdir):
    """Runs one stage; prints a JSON line with the stage's own timing."""
    import corpuswright

    articles = os.path.join(outdir, "articles.jsonl")
    chunks = os.path.join(outdir, "chunks.jsonl")
    t0 = time.perf_counter()
    if stage == "stage1":
        result = corpuswright.build_stage1(dump, articles, meta)
        count = result[0]
    elif stage == "stage2":
        # Reads the articles written by this mode's stage1 run.
        src = os.path.join(outdir, "stage1-articles.jsonl")
        result = corpuswright.build_stage2(src, os.path.join(outdir, "stage2-chunks.jsonl"))
        with open(src, "rb") as f:
            count = sum(1 for _ in f)
    else:
        result = corpuswright.build_dataset(dump, articles, chunks, meta)
        count = result[0]
    seconds = time.perf_counter() - t0
    print(json.dumps({"seconds": seconds, "articles": count}))


def digest(path):
    h = hashlib.blake2b()
    with open(path, "rb") as f:
        while block := f.read(1 << 22):
            h.update(block)
    return h.hexdigest()


def run(stage, mode, dump, meta, outdir):
    env = dict(os.environ)
    prefix = []
    if mode == "1 thread":
        prefix = ["taskset", "-c", "0"]
        env["RVK_NUM_THREADS"] = "1"
    cmd = prefix + [sys.executable, os.path.abspath(__file__), "--child", stage, dump, meta, outdir]
    # Every run writes fresh files: replacing a previous run's output would
    # add the freeing of a large old file to the timed rename.
    outputs = {"stage1": ["articles.jsonl"], "stage2": ["stage2-chunks.jsonl"],
               "dataset": ["articles.jsonl", "chunks.jsonl"]}[stage]
    for name in outputs:
        if os.path.exists(os.path.join(outdir, name)):
            os.remove(os.path.join(outdir, name))
    subprocess.run(["sync"], check=False)
    t0 = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, text=True)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SystemExit(f"{stage} ({mode}) failed with {proc.returncode}")
    r = json.loads(out.strip().splitlines()[-1])
    r["process_seconds"] = wall
    r["cpu_seconds"] = usage.ru_utime + usage.ru_stime
    r["maxrss_mb"] = usage.ru_maxrss / 1024
    if stage == "stage1":
        os.replace(os.path.join(outdir, "articles.jsonl"), os.path.join(outdir, "stage1-articles.jsonl"))
    return r


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--xml-mb", type=int, default=200, help="size of the dump's XML in MB (default 200)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--stages", default=",".join(STAGES))
    ap.add_argument("--modes", default="1 thread,all cores")
    ap.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(*args.child)
        return
    stages = [s for s in args.stages.split(",") if s]
    if "stage2" in stages and "stage1" not in stages:
        stages.insert(0, "stage1")  # stage2 reads stage1's articles
    modes = [m for m in args.modes.split(",") if m]
    dump, meta, info = ensure_dump(args.xml_mb, args.seed)
    ncpu = len(os.sched_getaffinity(0))
    print(f"dump: {info['pages']} pages, {info['xml_bytes'] / 1e6:.0f} MB XML, {info['bz2_bytes'] / 1e6:.1f} MB bzip2;"
          f" {ncpu} CPUs; load average {os.getloadavg()[0]:.1f}", flush=True)
    results = {}
    for mode in modes:
        outdir = os.path.join(CACHE, "out-" + mode.replace(" ", "-"))
        os.makedirs(outdir, exist_ok=True)
        for stage in stages:
            r = run(stage, mode, dump, meta, outdir)
            results[stage, mode] = r
            if stage == "stage2":
                volume = os.path.getsize(os.path.join(outdir, "stage1-articles.jsonl"))
                rate = f"{volume / r['seconds'] / 1e6:7.1f} MB/s articles file"
            else:
                rate = (f"{info['bz2_bytes'] / r['seconds'] / 1e6:6.1f} MB/s bzip2"
                        f" {info['xml_bytes'] / r['seconds'] / 1e6:6.1f} MB/s XML")
            print(f"{stage:>8} {mode:>9}: {r['articles'] / r['seconds']:8.0f} articles/s  {rate}"
                  f"  wall {r['seconds']:6.1f} s  cpu {r['cpu_seconds']:6.1f} s  peak rss {r['maxrss_mb']:6.0f} MB",
                  flush=True)
    if len(modes) == 2:
        a, b = modes
        for stage in stages:
            print(f"{stage:>8} speed-up: {results[stage, a]['seconds'] / results[stage, b]['seconds']:.2f}x")
        da, db = (os.path.join(CACHE, "out-" + m.replace(" ", "-")) for m in modes)
        for name in sorted(os.listdir(da)):
            if name.endswith(".jsonl") and os.path.exists(os.path.join(db, name)):
                same = digest(os.path.join(da, name)) == digest(os.path.join(db, name))
                print(f"{name}: {'identical' if same else 'DIFFERENT'} in both modes")


if __name__ == "__main__":
    main()
