"""bzip2 dumps of unusual but valid shapes read alike on one decoder thread and on many."""
import bz2

import pytest

from corpuswright import _core
from dumps import synthetic_dump

BLOCK_MAGIC = format(0x314159265359, "048b")
END_MAGIC = format(0x177245385090, "048b")


def magic_hits(data):
    """Block and end-of-stream magics at any bit offset of `data`."""
    bits = format(int.from_bytes(data, "big"), f"0{8 * len(data)}b")
    hits = 0
    for magic in (BLOCK_MAGIC, END_MAGIC):
        at = bits.find(magic)
        while at != -1:
            hits += 1
            at = bits.find(magic, at + 1)
    return hits


def test_many_empty_streams_before_the_dump(tmp_path, metadata, monkeypatch):
    # Two thousand empty streams (14 bytes and one real end-of-stream magic
    # each) ahead of a small dump: more magics than the parallel decoder
    # decodes speculatively, and still a valid file that must read as the
    # plain dump does, whatever the thread count.
    text = synthetic_dump(4).encode()
    compressed = bz2.compress(b"") * 2000 + bz2.compress(text, 9)
    assert magic_hits(compressed) > len(compressed) // 16 + 64
    plain = tmp_path / "dump.xml"
    plain.write_bytes(text)
    bz = tmp_path / "dump.xml.bz2"
    bz.write_bytes(compressed)

    expected = _core.build_stage1(plain, tmp_path / "plain.jsonl", metadata, min_bytes=0)
    assert expected[0] == 4
    for threads in ("1", "8"):
        monkeypatch.setenv("RVK_NUM_THREADS", threads)
        out = tmp_path / f"threads{threads}.jsonl"
        assert _core.build_stage1(bz, out, metadata, min_bytes=0) == expected
        assert out.read_bytes() == (tmp_path / "plain.jsonl").read_bytes()
