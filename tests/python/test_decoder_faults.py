"""Compressed dumps under a hostile machine: an input cut short while it is
read, an input that is no regular file. Each run that could kill the
interpreter runs in a process of its own."""
import bz2
import gzip
import os
import shutil
import subprocess
import sys
import threading

import pytest

from corpuswright import _core
from conftest import make_metadata
from dumps import synthetic_dump

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture
def meta(tmp_path):
    return make_metadata(tmp_path / "meta.db", disambiguation=[])


def run_child(code, *args, env=None):
    env = dict(os.environ, **(env or {}), PYTHONPATH=os.pathsep.join([HERE] + sys.path))
    proc = subprocess.run([sys.executable, "-c", code, *map(str, args)], env=env, capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, f"child ended with {proc.returncode}: {proc.stderr[-2000:]}"
    return proc.stdout.splitlines()


CUT_WHILE_READ = """
import os, sys, threading, time
from corpuswright import _core
dump, meta, out = sys.argv[1:4]
size = os.path.getsize(dump)
outdir = os.path.dirname(out)

def cut_after_first_write():
    # The stage has written its first MiB of articles: the decoder, one
    # thread waiting at each hand-over, is a few blocks ahead of the reader.
    while True:
        tmps = [n for n in os.listdir(outdir) if n.startswith(".tmp")]
        try:
            if tmps and os.path.getsize(os.path.join(outdir, tmps[0])) > 0:
                break
        except FileNotFoundError:
            pass
        time.sleep(0.0005)
    os.truncate(dump, size // 2)

threading.Thread(target=cut_after_first_write, daemon=True).start()
try:
    _core.build_stage1(dump, out, meta, min_bytes=0)
    print("returned")
except RuntimeError as e:
    print(str(e))
print(sorted(n for n in os.listdir(outdir) if n.startswith((".tmp", "a."))))
"""


# The gzip dump is larger: its single thread decodes several times faster
# than bzip2's, and on a loaded machine it once read the whole file before
# the cut came.
@pytest.mark.parametrize("suffix, compress, pages", [(".bz2", lambda b: bz2.compress(b, 9), 12000),
                                                     (".gz", lambda b: gzip.compress(b, 6), 48000)])
def test_a_dump_cut_short_while_it_is_read_is_reported_as_cut(tmp_path, meta, suffix, compress, pages):
    data = compress(synthetic_dump(pages).encode())
    path = tmp_path / ("dump.xml" + suffix)
    path.write_bytes(data)
    lines = run_child(CUT_WHILE_READ, path, meta, tmp_path / "a.jsonl", env={"RVK_NUM_THREADS": "1"})
    assert lines == [
        f"reading xml {path}: the input file was cut short while it was read (from {len(data)} to {len(data) // 2} bytes)",
        "[]",
    ]


def test_a_compressed_input_that_is_a_fifo_is_refused(tmp_path, meta):
    fifo = tmp_path / "dump.xml.gz"
    os.mkfifo(fifo)

    def feed():
        # A writer, as a user's `gzip -c > fifo` would be; it waits for a reader.
        # The only reader is the one below that lets it go: its bytes meet a
        # closed pipe.
        try:
            with open(fifo, "wb") as w:
                w.write(gzip.compress(synthetic_dump(3).encode()))
        except BrokenPipeError:
            pass

    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    with pytest.raises(RuntimeError) as e:
        _core.build_stage1(fifo, tmp_path / "a.jsonl", meta)
    assert str(e.value).endswith("a compressed input must be a regular file, not a FIFO")
    assert str(fifo) in str(e.value)
    assert not (tmp_path / "a.jsonl").exists()
    # Lets the writer go.
    os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))
    writer.join(10)


def test_a_damaged_gzip_dump_reports_the_decoders_error_not_the_xml_it_made(tmp_path, meta):
    # A gzip member's bytes are handed on before its CRC is checked: damage
    # that decodes to broken XML must still be reported as the damage.
    data = gzip.compress(synthetic_dump(300).encode(), 6)
    path = tmp_path / "dump.xml.gz"
    messages = []
    for k in range(16):
        damaged = bytearray(data)
        damaged[20 + k * (len(data) - 40) // 16] ^= 1 << (k % 8)
        path.write_bytes(bytes(damaged))
        with pytest.raises(RuntimeError) as e:
            _core.build_stage1(path, tmp_path / "a.jsonl", meta, min_bytes=0)
        messages.append(str(e.value))
    prefix = f"reading xml {path}: invalid gzip stream: "
    assert [m for m in messages if not m.startswith(prefix)] == []
    assert any("CRC" in m for m in messages)


UNDER_A_CAP = """
import os, resource, sys
from corpuswright import _core
dump, meta, out, extra_mb = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
if extra_mb >= 0:
    with open("/proc/self/status") as f:
        size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize"))
    limit = size + extra_mb * 2**20
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
try:
    _core.build_stage1(dump, out, meta, min_bytes=0)
    print("ok")
except MemoryError:
    print("MemoryError")
except RuntimeError as e:
    print("RuntimeError", e)
"""


def random_text_dump(n_pages, page_bytes, seed):
    # Talk pages of random letters: the stage reads them and converts
    # nothing, and gzip cannot shrink them much (the parallel gzip path needs
    # 16 MiB of compressed input).
    import random
    from dumps import dump, page_xml
    rng = random.Random(seed)
    letters = bytes(b"abcdefghijklmnopqrstuvwxyz      "[i % 32] for i in range(256))
    pages = [page_xml(f"Talk:Noise {i}", rng.randbytes(page_bytes).translate(letters).decode(), ns=1, page_id=i)
             for i in range(1, n_pages + 1)]
    return dump(pages).encode()


@pytest.mark.parametrize("suffix", [".bz2", ".gz"])
def test_running_out_of_memory_while_decoding_is_a_memory_error(tmp_path, meta, suffix):
    # Eight decoder threads asked for under caps on the address space: the
    # decoder starts no more threads than the room left affords, and a failed
    # allocation or thread start anywhere is MemoryError, or a RuntimeError
    # saying a thread could not be started; never a damaged dump, a panicked
    # worker or an ended process. The smallest caps leave no room to run.
    if suffix == ".bz2":
        data = bz2.compress(synthetic_dump(2000).encode(), 9)
    else:
        data = gzip.compress(random_text_dump(200, 128 * 1024, 5), 1)
        assert len(data) > 16 * 2**20
    path = tmp_path / ("dump.xml" + suffix)
    path.write_bytes(data)
    outcomes = [run_child(UNDER_A_CAP, path, meta, tmp_path / "a.jsonl", extra, env={"RVK_NUM_THREADS": "8"})[-1]
                for extra in (10, 100, 250, 600)]
    unexpected = [o for o in outcomes if o not in ("ok", "MemoryError") and "could not start" not in o]
    assert unexpected == []
    assert outcomes[0] != "ok"


# Preloaded into a child: every decoder thread ("rvk-...") gets its first
# STARVE_AFTER allocations, and none after, as when memory runs out under a
# run. The C++ runtime's thread-local data of a library loaded after the
# program started is allocated on a thread's first exception, and the C
# library ends the process when it cannot.
STARVE = r"""
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
static __thread int left = -1;
static int refuse(void) {
  if (left < 0) {
    char name[16];
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || strncmp(name, "rvk-", 4) != 0) return 0;
    left = atoi(getenv("STARVE_AFTER"));
  }
  if (left > 0) {
    --left;
    return 0;
  }
  errno = ENOMEM;
  return 1;
}
void *malloc(size_t n) { return refuse() ? NULL : __libc_malloc(n); }
void *calloc(size_t k, size_t n) { return refuse() ? NULL : __libc_calloc(k, n); }
void *realloc(void *p, size_t n) { return refuse() ? NULL : __libc_realloc(p, n); }
void *memalign(size_t a, size_t n) { return refuse() ? NULL : __libc_memalign(a, n); }
void *aligned_alloc(size_t a, size_t n) { return refuse() ? NULL : __libc_memalign(a, n); }
int posix_memalign(void **p, size_t a, size_t n) {
  if (refuse()) return ENOMEM;
  *p = __libc_memalign(a, n);
  return *p ? 0 : ENOMEM;
}
"""


@pytest.mark.parametrize("threads", ["2", "8"])
def test_decoder_threads_that_run_out_of_memory_at_any_point_give_a_memory_error(tmp_path, meta, threads):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler to build the allocation shim")
    (tmp_path / "starve.c").write_text(STARVE)
    shim = tmp_path / "starve.so"
    subprocess.run([cc, "-shared", "-fPIC", "-O2", "-o", shim, tmp_path / "starve.c"], check=True)
    path = tmp_path / "dump.xml.bz2"
    path.write_bytes(bz2.compress(random_text_dump(100, 64 * 1024, 3), 9))
    # A thread needs two allocations of its own before any work (its first
    # exception and its thread-local data); from there on, the decoder
    # threads run out after ever more, until the run has all it needs.
    outcomes = []
    for k in range(2, 400, 4):
        outcomes.append(run_child(UNDER_A_CAP, path, meta, tmp_path / "a.jsonl", -1,
                                  env={"RVK_NUM_THREADS": threads, "LD_PRELOAD": str(shim),
                                       "STARVE_AFTER": str(k)})[-1])
        if outcomes[-1] != "MemoryError" and "could not start" not in outcomes[-1]:
            break
    assert outcomes[-1] == "ok", outcomes
    assert "MemoryError" in outcomes


WITHIN_A_DATA_CAP = """
import resource, sys
from corpuswright import _core
dump, meta, out, extra_mb = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
with open("/proc/self/status") as f:
    data = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmData"))
limit = data + extra_mb * 2**20
resource.setrlimit(resource.RLIMIT_DATA, (limit, limit))
try:
    print(_core.build_stage1(dump, out, meta, min_bytes=0))
except BaseException as e:
    print(type(e).__name__, e)
"""


@pytest.mark.parametrize("threads", ["2", "8"])
def test_the_decoder_stays_within_its_memory_budget(tmp_path, meta, threads):
    # 1.8 GB of one byte in the dump's site information, in streams of the
    # largest blocks bzip2 makes (46 MB each from a few dozen bytes), read
    # faster than the page reader takes them: the decoder holds as much as
    # its 1 GiB budget allows. Under a cap on the process's data a little
    # above the budget, that must be all it holds, whatever the thread count.
    head = bz2.compress(b'<mediawiki><siteinfo><sitename>S</sitename><pad>', 9)
    block = bz2.compress(b"a" * 45_000_000, 9)
    tail = bz2.compress(b"</pad></siteinfo></mediawiki>\n", 9)
    path = tmp_path / "dump.xml.bz2"
    path.write_bytes(head + block * 40 + tail)
    lines = run_child(WITHIN_A_DATA_CAP, path, meta, tmp_path / "a.jsonl", 1250, env={"RVK_NUM_THREADS": threads})
    assert lines[-1] == "(0, 0, [])"
