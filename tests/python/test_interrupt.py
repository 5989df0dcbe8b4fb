"""Ctrl-C during a long call: the call stops, raises KeyboardInterrupt,
leaves every target as it was and no temporary file or thread behind. Each
case runs in a process of its own (interrupt_child.py), which sends itself
SIGINT while the call is under way."""
import json
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))


def run_child(kind, tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HERE] + sys.path))
    proc = subprocess.run([sys.executable, os.path.join(HERE, "interrupt_child.py"), kind, str(tmp_path)],
                          env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("kind", ["stage1-fifo", "stage1-stalled-fifo", "stage2-stalled-fifo", "dataset-bz2", "stage2",
                                  "page-props", "batch", "chunk-batch"])
def test_interrupt_stops_the_call_and_leaves_everything_as_it_was(tmp_path, kind):
    r = run_child(kind, tmp_path)
    assert r["outcome"] == "KeyboardInterrupt"
    expected = {"articles.jsonl": "old articles.jsonl\n", "chunks.jsonl": "old chunks.jsonl\n",
                "meta-copy.db": "unchanged" if kind == "page-props" else "old meta-copy.db\n"}
    assert r["contents"] == expected
    assert r["leftovers"] == []
    assert r["decoder_threads"] == []
    assert r["threads_after"] <= r["threads_before"]
