"""Errors a user meets with a dump that is not what the stages expect: each
message says what is wrong and where, in terms the user can act on."""
import bz2
import gzip
import os
import zipfile

import pytest

from corpuswright import _core
from conftest import make_metadata, page
from dumps import dump, page_xml, synthetic_dump


@pytest.fixture
def meta(tmp_path):
    return make_metadata(tmp_path / "meta.db", disambiguation=[])


def stage1_error(xml, tmp_path, meta):
    out = tmp_path / "a.jsonl"
    with pytest.raises(RuntimeError) as e:
        _core.build_stage1(xml, out, meta, min_bytes=0)
    assert not out.exists()
    assert [n for n in os.listdir(tmp_path) if n.startswith(".tmp")] == []
    return str(e.value)


@pytest.mark.parametrize("codec, name", [
    ("utf-16", "UTF-16 (little-endian)"),      # Python writes a byte order mark
    ("utf-16-le", "UTF-16 (little-endian)"),   # none: "<" then NUL
    ("utf-16-be", "UTF-16 (big-endian)"),
    ("utf-32", "UTF-32 (little-endian)"),
    ("utf-32-be", "UTF-32 (big-endian)"),
])
def test_utf16_and_utf32_dumps_are_refused_by_name(tmp_path, meta, codec, name):
    text = '<?xml version="1.0" encoding="UTF-16"?>\n' + synthetic_dump(3)
    data = text.encode(codec)
    for path, content in ((tmp_path / "d.xml", data), (tmp_path / "d.xml.gz", gzip.compress(data))):
        path.write_bytes(content)
        message = stage1_error(path, tmp_path, meta)
        assert message == (f"reading xml {path}: the dump is encoded in {name}; "
                           "dumps must be UTF-8 (convert it first, for example with iconv)")


def test_invalid_utf8_names_the_page_and_the_offset_in_the_decoded_dump(tmp_path, meta):
    pages = [page_xml(f"Good {i}", page(i), page_id=i) for i in range(1, 400)]
    head = dump(pages).encode()
    good_end = head.rindex(b"</mediawiki>")
    cases = [
        (page_xml("Caf\u00e9", "Some text BADBYTE more", page_id=400), 'the page "Caf\u00e9"'),
        (page_xml("TitleBADBYTE", "x", page_id=400), 'the page after "Good 399"'),
    ]
    for piece, named in cases:
        data = head[:good_end] + piece.encode().replace(b"BADBYTE", b"\xff") + head[good_end:]
        offset = data.index(b"\xff")
        assert offset > 256 * 1024, "the bad byte lies beyond the first read"
        for name, content in (("d.xml", data), ("d.xml.bz2", bz2.compress(data)), ("d.xml.gz", gzip.compress(data))):
            path = tmp_path / name
            path.write_bytes(content)
            message = stage1_error(path, tmp_path, meta)
            assert message == (f"reading xml {path}: invalid UTF-8 in the dump's text at byte offset {offset} of the decoded dump, "
                               f"in {named}")


def test_plain_dump_cut_inside_a_reference_reports_the_truncation(tmp_path, meta):
    text = dump([page_xml("Fish", page(1) + " fish & chips " + page(2), page_id=1)])
    for end in ("&am", "&", "&amp; ch"):
        cut = tmp_path / "cut.xml"
        cut.write_text(text[: text.index(end) + len(end)], encoding="utf-8")
        message = stage1_error(cut, tmp_path, meta)
        assert message == f'reading xml {cut}: the dump ends inside the page "Fish": it is truncated'


def test_compressed_inputs_that_fail_to_open_name_their_path(tmp_path, meta):
    for name in ("missing.xml.gz", "missing.xml.bz2"):
        path = tmp_path / name
        assert stage1_error(path, tmp_path, meta) == f"opening xml {path}: No such file or directory (os error 2)"
        with pytest.raises(RuntimeError) as e:
            _core.build_page_props(path, tmp_path / "m.db")
        assert str(e.value) == f"opening source {path}: No such file or directory (os error 2)"
    zipped = tmp_path / "d.xml.gz"
    with zipfile.ZipFile(zipped, "w") as z:
        z.writestr("d.xml", synthetic_dump(2))
    assert stage1_error(zipped, tmp_path, meta) == (
        f"opening xml {zipped}: rvk::Reader supports bzip2, gzip, and LZ4 streams")
