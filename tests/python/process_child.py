"""Run by test_run_safety.py in a process of its own, for what a test must
not do to its own process: a cap on the user's threads, a fork after the
shared pool ran, an interpreter exit under a running call. Prints one JSON
line."""
import bz2
import json
import multiprocessing
import os
import resource
import sys
import threading
import time

import corpuswright
from conftest import make_metadata, page
from dumps import dump, page_xml, synthetic_dump

NOBODY = 65534


def inputs(workdir, pages=300, sections=2, compressed=True):
    meta = make_metadata(os.path.join(workdir, "meta.db"), roles=[("Navbox", "navigation")], disambiguation=[])
    xml = os.path.join(workdir, "dump.xml")
    with open(xml, "w") as f:
        if sections == 2:
            f.write(synthetic_dump(pages))
        else:
            f.write(dump([page_xml(f"T{i}", page(i, sections=sections), page_id=i) for i in range(1, pages + 1)]))
    if compressed:
        with open(xml + ".bz2", "wb") as f, open(xml, "rb") as g:
            f.write(bz2.compress(g.read(), 1))
    props = os.path.join(workdir, "props.sql")
    with open(props, "w") as f:
        f.write("INSERT INTO `page_props` VALUES " + ",".join(f"({i},'disambiguation','')" for i in range(pages)))
    return meta, xml, props


def calls(workdir, meta, xml, props):
    """Every function of the module, each once; each returns what a second
    run must return alike."""
    out = lambda name: os.path.join(workdir, name)  # noqa: E731
    conv = corpuswright.WikiConverter(meta)
    pages = [page(i) for i in range(300)]
    return {
        "quillmd_batch": lambda: conv.quillmd_batch(pages),
        "corpuswright_batch": lambda: conv.corpuswright_batch([(f"T{i}", p) for i, p in enumerate(pages)], 50),
        "build_stage1": lambda: corpuswright.build_stage1(xml, out("a1.jsonl"), meta, min_bytes=0),
        "build_stage1 bz2": lambda: corpuswright.build_stage1(xml + ".bz2", out("a2.jsonl"), meta, min_bytes=0),
        "build_stage2": lambda: corpuswright.build_stage2(out("a1.jsonl"), out("c2.jsonl")),
        "build_dataset": lambda: corpuswright.build_dataset(xml, out("a3.jsonl"), out("c3.jsonl"), meta, min_bytes=0),
        "build_page_props": lambda: corpuswright.build_page_props(props, out("m.db")),
    }


def outcome(call):
    try:
        return json.loads(json.dumps(call()))
    except Exception as e:  # noqa: BLE001 - the test looks at what it was
        return f"{type(e).__name__}: {e}"


def thread_cap(workdir, limit):
    """Every call under RLIMIT_NPROC as an unprivileged user (root is not
    held to it); the pool is made under the cap by the first call."""
    meta, xml, props = inputs(workdir)
    for name in os.listdir(workdir):
        os.chmod(os.path.join(workdir, name), 0o666)
    os.setgid(NOBODY)
    os.setuid(NOBODY)
    resource.setrlimit(resource.RLIMIT_NPROC, (limit, limit))
    return {name: outcome(call) for name, call in calls(workdir, meta, xml, props).items()}


def fork(workdir, how):
    """Every call in the parent, then again in a forked child."""
    global CALLS
    CALLS = todo = calls(workdir, *inputs(workdir))
    parent = {name: outcome(call) for name, call in todo.items()}
    if how == "multiprocessing":
        with multiprocessing.get_context("fork").Pool(2) as p:
            child = dict(zip(todo, p.map(run_named, list(todo))))
        return {"same": child == parent, "child": child}
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        with os.fdopen(w, "w") as f:
            f.write(json.dumps({name: outcome(call) for name, call in todo.items()}))
        os._exit(0)
    os.close(w)
    with os.fdopen(r) as f:
        child = json.loads(f.read() or "null")
    os.waitpid(pid, 0)
    return {"same": child == parent, "child": child}


def run_named(name):
    return outcome(CALLS[name])


def exit_under_call(workdir, kind):
    """Starts a long call in a daemon thread and ends the interpreter while
    it runs; the test checks how the process ended."""
    meta, xml, _ = inputs(workdir, pages=1000, sections=100, compressed=False)
    out = os.path.join(workdir, "out")
    os.makedirs(out)
    conv = corpuswright.WikiConverter(meta)
    if kind == "build_stage2":
        corpuswright.build_stage1(xml, os.path.join(workdir, "a.jsonl"), meta, min_bytes=0, limit=800)
    long_calls = {
        "quillmd": lambda: [conv.quillmd(page(1, sections=3000)) for _ in range(1000)],
        "quillmd_batch": lambda: conv.quillmd_batch([page(i, sections=100) for i in range(3000)]),
        "build_stage1": lambda: corpuswright.build_stage1(xml, os.path.join(out, "a.jsonl"), meta, min_bytes=0),
        "build_stage2": lambda: corpuswright.build_stage2(os.path.join(workdir, "a.jsonl"), os.path.join(out, "c")),
        "build_dataset": lambda: corpuswright.build_dataset(xml, os.path.join(out, "a"), os.path.join(out, "c"),
                                                           meta, min_bytes=0),
    }
    threading.Thread(target=long_calls[kind], daemon=True).start()
    start = time.process_time()
    # Under way: a temporary file is there, or the call has used CPU time.
    while not os.listdir(out) and time.process_time() - start < 0.3:
        time.sleep(0.001)
    print(json.dumps({"exiting": True}), flush=True)


if __name__ == "__main__":
    test, workdir, arg = sys.argv[1], sys.argv[2], sys.argv[3]
    result = {"thread-cap": lambda: thread_cap(workdir, int(arg)), "fork": lambda: fork(workdir, arg),
              "exit": lambda: exit_under_call(workdir, arg)}[test]()
    if result is not None:
        print(json.dumps(result))
