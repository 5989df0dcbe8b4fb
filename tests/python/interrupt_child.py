"""Run by test_interrupt.py in a process of its own: starts a long call,
sends the process SIGINT while the call runs, and prints what it finds
afterwards as one JSON line."""
import bz2
import json
import os
import signal
import sys
import threading
import time

import corpuswright
from conftest import make_metadata, page
from dumps import dump, page_xml


PF_EXITING = 0x4  # the kernel's flag for a task in its exit


def thread_names():
    """The names of this process's threads, leaving out those in their exit:
    a joined thread is still listed for a moment while the kernel tears it
    down, but runs no more code."""
    names = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/stat") as f:
                flags = int(f.read().rsplit(")", 1)[1].split()[6])
            with open(f"/proc/self/task/{tid}/comm") as f:
                name = f.read().strip()
        except (FileNotFoundError, ProcessLookupError):
            continue  # ended while listed
        if not flags & PF_EXITING:
            names.append(name)
    return names


def interrupt_when(ready):
    """SIGINT to this process once ready() holds (polled from a thread)."""
    def watch():
        while not ready():
            time.sleep(0.001)
        os.kill(os.getpid(), signal.SIGINT)
    t = threading.Thread(target=watch, daemon=True)
    t.start()
    return t


def busy_for(seconds):
    """Holds once the process has used `seconds` of CPU from now: the call
    is then under way however long the machine kept it from starting (on a
    loaded machine, wall-clock time can pass before the call is entered,
    and the signal would come outside it)."""
    start = time.process_time()
    return lambda: time.process_time() - start > seconds


PAGES = [page_xml(f"Topic {i}", page(i, sections=6), page_id=i) for i in range(1, 2001)]
BODY = "".join(PAGES).encode()
HEAD, TAIL = dump(["@@"]).encode().split(b"@@")


def article_line(conv):
    return json.dumps({"article_id": 0, "page_id": 1, "revision_id": None, "title": "T", "timestamp": None,
                       "md": conv.quillmd(page(1, sections=30))[0], "warnings": []}).encode() + b"\n"


def main(kind, workdir):
    # A process started in the background by a shell without job control
    # (a CI script's `cmd &`) inherits SIGINT ignored, and Python then keeps
    # it ignored: put Ctrl-C back to raising KeyboardInterrupt.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    meta = make_metadata(os.path.join(workdir, "meta.db"), roles=[("Navbox", "navigation")], disambiguation=[])
    conv = corpuswright.WikiConverter(meta)
    # Warm up: the shared pool's threads exist from here on.
    conv.quillmd_batch([page(i, sections=20) for i in range(256)])
    out = os.path.join(workdir, "out")
    os.makedirs(out)
    targets = {name: os.path.join(out, name) for name in ("articles.jsonl", "chunks.jsonl", "meta-copy.db")}
    for name, path in targets.items():
        with open(path, "wb") as f:
            f.write(b"old " + name.encode() + b"\n")
    threads_before = len(thread_names())
    started = lambda: any(n.startswith(".tmp") for n in os.listdir(out))  # noqa: E731
    writer = None
    release = None

    if kind == "stage1-fifo":
        # The dump comes through a pipe that is still being written when the
        # signal is sent: the run cannot have finished by then.
        xml = os.path.join(workdir, "dump.xml")
        os.mkfifo(xml)

        def feed():
            try:
                with open(xml, "wb") as f:
                    f.write(HEAD + BODY)
                    os.kill(os.getpid(), signal.SIGINT)
                    # A run that went on regardless ends after these.
                    for _ in range(100):
                        f.write(BODY)
                    f.write(TAIL)
            except BrokenPipeError:
                pass
        writer = threading.Thread(target=feed, daemon=True)
        writer.start()
        call = lambda: corpuswright.build_stage1(xml, targets["articles.jsonl"], meta, min_bytes=0)  # noqa: E731
    elif kind in ("stage1-stalled-fifo", "stage2-stalled-fifo"):
        # The writer sends a little and then stalls with the pipe open: the
        # call waits in a read, and only a call that looks for the signal
        # while it waits can stop.
        path = os.path.join(workdir, "stalled")
        os.mkfifo(path)
        release = threading.Event()
        if kind == "stage1-stalled-fifo":
            data = HEAD + "".join(PAGES[:3]).encode()
            call = lambda: corpuswright.build_stage1(path, targets["articles.jsonl"], meta, min_bytes=0)  # noqa: E731
        else:
            data = article_line(conv) * 3
            call = lambda: corpuswright.build_stage2(path, targets["chunks.jsonl"])  # noqa: E731

        def feed():
            with open(path, "wb") as f:
                f.write(data)
                f.flush()
                while not started():
                    time.sleep(0.001)
                time.sleep(0.2)  # for the call to have read it all and wait
                os.kill(os.getpid(), signal.SIGINT)
                release.wait()
        writer = threading.Thread(target=feed, daemon=True)
        writer.start()
    elif kind == "dataset-bz2":
        # Many streams of the same pages: cheap to make, long to decode.
        xml = os.path.join(workdir, "dump.xml.bz2")
        middle = bz2.compress(BODY, 1)
        with open(xml, "wb") as f:
            f.write(bz2.compress(HEAD + BODY, 1))
            for _ in range(60):
                f.write(middle)
            f.write(bz2.compress(TAIL, 1))
        os.environ["RVK_NUM_THREADS"] = "2"
        interrupt_when(started)
        call = lambda: corpuswright.build_dataset(  # noqa: E731
            xml, targets["articles.jsonl"], targets["chunks.jsonl"], meta, min_bytes=0)
    elif kind == "stage2":
        # The articles come through a pipe, as the dump above.
        articles = os.path.join(workdir, "articles.jsonl")
        os.mkfifo(articles)
        line = article_line(conv)

        def feed():
            try:
                with open(articles, "wb") as f:
                    f.write(line * 1000)
                    os.kill(os.getpid(), signal.SIGINT)
                    for _ in range(100):
                        f.write(line * 1000)
            except BrokenPipeError:
                pass
        writer = threading.Thread(target=feed, daemon=True)
        writer.start()
        call = lambda: corpuswright.build_stage2(articles, targets["chunks.jsonl"])  # noqa: E731
    elif kind == "page-props":
        source = os.path.join(workdir, "props.sql.bz2")
        row = b"".join(b"(%d,'disambiguation','')," % i for i in range(100_000))
        block = bz2.compress(row, 1)
        with open(source, "wb") as f:
            f.write(bz2.compress(b"INSERT INTO `page_props` VALUES ", 1))
            for _ in range(400):
                f.write(block)
        os.environ["RVK_NUM_THREADS"] = "1"
        with open(targets["meta-copy.db"], "wb") as f, open(meta, "rb") as g:
            f.write(g.read())
        before_db = open(targets["meta-copy.db"], "rb").read()
        interrupt_when(busy_for(0.3))
        call = lambda: corpuswright.build_page_props(source, targets["meta-copy.db"])  # noqa: E731
    elif kind in ("batch", "chunk-batch"):
        # Far more work than the test waits for: only a call that stops
        # can come back in time.
        text = page(7, sections=4000)
        interrupt_when(busy_for(0.3))
        if kind == "batch":
            items = [text] * 100_000
            call = lambda: conv.quillmd_batch(items)  # noqa: E731
        else:
            items = [("Title", text)] * 100_000
            call = lambda: conv.corpuswright_batch(items, target_words=300)  # noqa: E731
    else:
        raise SystemExit(f"unknown kind {kind}")

    outcome = "returned"
    try:
        call()
    except KeyboardInterrupt:
        outcome = "KeyboardInterrupt"
    if release is not None:
        release.set()
    if writer is not None:
        writer.join()
    contents = {}
    for name, path in targets.items():
        with open(path, "rb") as f:
            contents[name] = f.read().decode(errors="replace")
    if kind == "page-props":
        contents["meta-copy.db"] = "unchanged" if open(targets["meta-copy.db"], "rb").read() == before_db else "changed"
    names = thread_names()
    print(json.dumps({
        "outcome": outcome,
        "contents": contents,
        "leftovers": sorted(n for n in os.listdir(out) if n.startswith(".tmp") or n.endswith(".lock")),
        "threads_before": threads_before,
        "threads_after": len(names),
        "decoder_threads": [n for n in names if n.startswith("rvk")],
    }))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
