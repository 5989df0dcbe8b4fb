import bz2
import gzip
import json
import os

import pytest

from corpuswright import _core
from conftest import make_metadata, page
from dumps import dump, page_xml, synthetic_dump


def lines(path):
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f]


def tmp_leftovers(directory):
    return [n for n in os.listdir(directory) if n.startswith(".tmp")]


@pytest.fixture
def meta(tmp_path):
    return make_metadata(
        tmp_path / "meta.db",
        roles=[("Navbox", "navigation"), ("Nowrap", "unwrap"), ("Stub", "ok")],
        disambiguation=[5],
    )


def test_stage1_filters_numbers_and_summary(tmp_path, meta, capfd):
    pages = [
        page_xml("One", page(1) + "{{Unknown thing|x}} {{Unknown_thing}}", page_id=1),
        page_xml("Talk", page(2), ns=1, page_id=2),
        page_xml("Redirect", page(3), page_id=3, redirect=True),
        page_xml("Short", "tiny", page_id=4),
        page_xml("Disambiguation", page(5), page_id=5),
        page_xml("Prose-free", "{{Navbox}}" + " " * 300, page_id=6),
        page_xml("Two", page(7) + "{{Stub}}", page_id=7, revision_id=77),
    ]
    xml = tmp_path / "dump.xml"
    xml.write_text(dump(pages), encoding="utf-8")
    out = tmp_path / "out" / "articles.jsonl"
    written, zero, rows = _core.build_stage1(xml, out, meta)
    assert (written, zero) == (2, 0)
    records = lines(out)
    assert [r["article_id"] for r in records] == [0, 1]
    assert [r["page_id"] for r in records] == [1, 7]
    assert records[1]["revision_id"] == 77, "the revision's own id, not the contributor's"
    assert records[0]["title"] == "One" and records[0]["warnings"] == []
    assert list(records[0]) == ["article_id", "page_id", "revision_id", "title", "timestamp", "md", "warnings"]
    assert ("mediawiki:transclude", "unknown thing", 1) in rows
    assert all(name != "stub" for _, name, _ in rows)
    err = capfd.readouterr().err
    assert err.startswith("Processed 2 articles in ") and err.endswith("/s)\n")
    assert tmp_leftovers(out.parent) == []
    mask = os.umask(0)
    os.umask(mask)
    assert oct(os.stat(out).st_mode & 0o777) == oct(0o666 & ~mask), "the mode of any new file"


def test_stage1_min_bytes_counts_utf8_bytes(tmp_path, meta):
    text = page(1)
    size = len(text.encode("utf-8"))
    xml = tmp_path / "d.xml"
    xml.write_text(dump([page_xml("A", text, page_id=1)]), encoding="utf-8")
    assert _core.build_stage1(xml, tmp_path / "a.jsonl", meta, min_bytes=size)[0] == 1
    assert _core.build_stage1(xml, tmp_path / "b.jsonl", meta, min_bytes=size + 1)[0] == 0
    assert _core.build_stage1(xml, tmp_path / "c.jsonl", meta, min_bytes=0)[0] == 1


def test_limit_inside_and_at_end_of_batches(tmp_path, meta):
    xml = tmp_path / "big.xml"
    xml.write_text(synthetic_dump(600), encoding="utf-8")
    full = tmp_path / "full.jsonl"
    assert _core.build_stage1(xml, full, meta, min_bytes=0)[0] == 600
    for limit in (0, 1, 256, 300, 600, 1000):
        out = tmp_path / f"l{limit}.jsonl"
        written = _core.build_stage1(xml, out, meta, min_bytes=0, limit=limit)[0]
        assert written == min(limit, 600)
        assert lines(out) == lines(full)[:written]


def test_dataset_equals_two_stages_and_batch_sizes_agree(tmp_path, meta):
    xml = tmp_path / "d.xml"
    xml.write_text(synthetic_dump(300), encoding="utf-8")
    a1, c1 = tmp_path / "a1.jsonl", tmp_path / "c1.jsonl"
    arts, chunks, rows = _core.build_dataset(xml, a1, c1, meta, min_bytes=0, target_words=120)
    assert arts == 300 and chunks >= 300
    assert len(lines(c1)) == chunks
    a2 = tmp_path / "a2.jsonl"
    assert _core.build_stage1(xml, a2, meta, min_bytes=0) == (arts, 0, rows)
    assert a1.read_bytes() == a2.read_bytes()
    chunk_records = lines(c1)
    ids = {r["article_id"] for r in lines(a1)}
    assert {c["article_id"] for c in chunk_records} <= ids
    md = {r["article_id"]: r["md"].encode() for r in lines(a1)}
    for c in chunk_records:
        body = md[c["article_id"]][c["start_byte"]:c["start_byte"] + c["byte_len"]].decode()
        text = c["prefix_md"] + body
        assert c["word_count"] == len(text.split())
        assert c["prefix_md"].startswith("# ")
    firsts = [c for c in chunk_records if c["chunk_id"] == 0]
    assert len(firsts) == arts and all(c["start_kind"] == "h1" for c in firsts)


@pytest.mark.parametrize("call", [
    lambda t: _core.build_dataset(t / "none.xml", t / "a", t / "c", t / "none.db", target_words=0),
    lambda t: _core.build_stage2(t / "none.jsonl", t / "c", target_words=0),
])
def test_target_words_zero_is_a_value_error_and_touches_nothing(tmp_path, call):
    with pytest.raises(ValueError) as e:
        call(tmp_path)
    assert str(e.value) == "target_words must be positive"
    assert e.value.__notes__ == ["while processing 'target_words'"]
    assert os.listdir(tmp_path) == []


def test_failures_leave_old_outputs(tmp_path, meta):
    out = tmp_path / "articles.jsonl"
    out.write_text("old\n")
    with pytest.raises(RuntimeError) as e:
        _core.build_stage1(tmp_path / "missing.xml", out, meta)
    assert str(e.value).startswith("opening xml " + str(tmp_path / "missing.xml"))
    no_table = make_metadata(tmp_path / "no-table.db")
    xml = tmp_path / "d.xml"
    xml.write_text(synthetic_dump(3), encoding="utf-8")
    with pytest.raises(RuntimeError) as e:
        _core.build_stage1(xml, out, no_table)
    assert "no such table: disambiguation" in str(e.value)
    bad = tmp_path / "bad.xml"
    bad.write_text(synthetic_dump(3)[:-200], encoding="utf-8")
    with pytest.raises(RuntimeError):
        _core.build_stage1(bad, out, meta, min_bytes=0)
    with pytest.raises(RuntimeError) as e:
        _core.build_stage1(xml, out, tmp_path / "absent.db")
    assert str(e.value).startswith("opening wiki metadata ")
    assert out.read_text() == "old\n"
    assert tmp_leftovers(tmp_path) == []


def test_page_props(tmp_path):
    sql = (
        "INSERT INTO `page_props` VALUES (10,'disambiguation',''),(11,'wikibase_item','Q1'),"
        "(12,'disambiguation',''),(12,'disambiguation','');\n"
    )
    src = tmp_path / "props.sql"
    src.write_text(sql)
    db = tmp_path / "new" / "meta.db"
    with pytest.raises(RuntimeError) as e:
        _core.build_page_props(src, db)
    assert str(e.value).startswith("opening metadata ")
    db = tmp_path / "meta.db"
    assert _core.build_page_props(src, db) == 2
    import sqlite3

    con = sqlite3.connect(db)
    assert sorted(r[0] for r in con.execute("SELECT page_id FROM disambiguation")) == [10, 12]
    con.close()
    with pytest.raises(RuntimeError) as e:
        _core.build_page_props(tmp_path / "missing.sql", db)
    assert str(e.value).startswith(f"opening source {tmp_path / 'missing.sql'}: ")


@pytest.mark.parametrize("threads", ["1", "4", "0"])
def test_compressed_dumps_match_plain(tmp_path, meta, monkeypatch, threads):
    monkeypatch.setenv("RVK_NUM_THREADS", threads)
    text = synthetic_dump(200)
    plain = tmp_path / "d.xml"
    plain.write_text(text, encoding="utf-8")
    (tmp_path / "d.xml.gz").write_bytes(gzip.compress(text.encode(), 6))
    (tmp_path / "d.xml.bz2").write_bytes(bz2.compress(text.encode(), 9))
    expected = _core.build_stage1(plain, tmp_path / "p.jsonl", meta, min_bytes=0)
    for name in ("d.xml.gz", "d.xml.bz2"):
        out = tmp_path / (name + ".jsonl")
        assert _core.build_stage1(tmp_path / name, out, meta, min_bytes=0) == expected
        assert out.read_bytes() == (tmp_path / "p.jsonl").read_bytes()


def test_compression_is_chosen_by_exact_extension(tmp_path, meta):
    text = synthetic_dump(3)
    upper = tmp_path / "d.xml.GZ"
    upper.write_bytes(gzip.compress(text.encode()))
    with pytest.raises(RuntimeError):
        _core.build_stage1(upper, tmp_path / "a.jsonl", meta)  # read raw: not XML
    plain_named_gz = tmp_path / "plain.xml.gz"
    plain_named_gz.write_text(text)
    with pytest.raises(RuntimeError):
        _core.build_stage1(plain_named_gz, tmp_path / "a.jsonl", meta)
    with pytest.raises(RuntimeError) as e:
        _core.build_stage1(tmp_path / "missing.xml.bz2", tmp_path / "a.jsonl", meta)
    assert str(e.value).startswith(f"opening xml {tmp_path / 'missing.xml.bz2'}: No such file or directory")
    truncated = tmp_path / "cut.xml.bz2"
    truncated.write_bytes(bz2.compress(text.encode())[:-10])
    with pytest.raises(RuntimeError):
        _core.build_stage1(truncated, tmp_path / "a.jsonl", meta, min_bytes=0)
    assert not (tmp_path / "a.jsonl").exists()


def test_page_props_from_compressed_dumps(tmp_path):
    sql = b"INSERT INTO `page_props` VALUES " + b",".join(
        b"(%d,'disambiguation','')" % i for i in range(1, 50001)
    ) + b";\n"
    (tmp_path / "p.sql.gz").write_bytes(gzip.compress(sql))
    (tmp_path / "p.sql.bz2").write_bytes(bz2.compress(sql))
    assert _core.build_page_props(tmp_path / "p.sql.gz", tmp_path / "m1.db") == 50000
    assert _core.build_page_props(tmp_path / "p.sql.bz2", tmp_path / "m2.db") == 50000


def test_stage2_matches_dataset_and_batch_sizes(tmp_path, meta):
    xml = tmp_path / "d.xml"
    xml.write_text(synthetic_dump(300), encoding="utf-8")
    a, c = tmp_path / "a.jsonl", tmp_path / "c.jsonl"
    _, n_chunks, _ = _core.build_dataset(xml, a, c, meta, min_bytes=0, target_words=150)
    outputs = set()
    for batch_size in (0, 1, 7, 128, 10**12):
        out = tmp_path / f"s2-{batch_size}.jsonl"
        assert _core.build_stage2(a, out, target_words=150, batch_size=batch_size) == n_chunks
        outputs.add(out.read_bytes())
    assert outputs == {c.read_bytes()}


def test_stage2_edge_cases(tmp_path):
    empty = tmp_path / "empty.jsonl"
    empty.write_text("")
    assert _core.build_stage2(empty, tmp_path / "c0.jsonl") == 0
    assert (tmp_path / "c0.jsonl").read_text() == ""
    with pytest.raises(ValueError) as e:
        _core.build_stage2(empty, tmp_path / "c.jsonl", target_words=0)
    assert str(e.value) == "target_words must be positive"

    record = {"article_id": 3, "page_id": 9, "revision_id": None, "title": "Two words",
              "timestamp": None, "md": "Some text here.\n\n", "warnings": []}
    good = tmp_path / "good.jsonl"
    good.write_text(json.dumps(record) + "\r\n")
    assert _core.build_stage2(good, tmp_path / "c1.jsonl") == 1
    (chunk,) = lines(tmp_path / "c1.jsonl")
    assert chunk == {"article_id": 3, "chunk_id": 0, "start_byte": 0, "byte_len": len("Some text here.\n\n"),
                     "prefix_md": chunk["prefix_md"], "start_kind": "h1", "word_count": 6}
    assert chunk["prefix_md"].startswith("# Two words\n")

    target = tmp_path / "keep.jsonl"
    target.write_text("old\n")
    blank = tmp_path / "blank.jsonl"
    blank.write_text(json.dumps(record) + "\n\n" + json.dumps(record) + "\n")
    with pytest.raises(RuntimeError) as e:
        _core.build_stage2(blank, target)
    assert str(e.value) == f"reading articles {blank}: EOF while parsing a value at line 2 column 0"

    bad = tmp_path / "bad.jsonl"
    bad.write_text(json.dumps(dict(record, md="Some text here.\n\n\n")) + "\n")
    with pytest.raises(BaseException) as e:
        _core.build_stage2(bad, target)
    assert type(e.value).__name__ == "PanicException"
    assert "Stage 1 md must be canonical" in str(e.value)
    assert target.read_text() == "old\n"
    assert tmp_leftovers(tmp_path) == []


def test_stage2_front_matter_and_pages_that_only_look_like_it(tmp_path, converter):
    from conftest import PROSE

    # A converted page that starts with a rule, a "Note: ..." line and another
    # rule looks like front matter but is not: it must still read back.
    md, _ = converter.quillmd("----\nNote: " + PROSE + "\n----\nMore text.\n")
    assert md.startswith("---\n\nNote: ")
    fm = {"article_id": 0, "page_id": 1, "revision_id": 1, "title": "T", "timestamp": "t",
          "md": "---\nauthor: Someone\n---\n\nBody text.\n\n", "warnings": []}
    rule = dict(fm, article_id=1, md=md)
    f = tmp_path / "fm.jsonl"
    f.write_text(json.dumps(fm) + "\n" + json.dumps(rule) + "\n")
    try:
        n = _core.build_stage2(f, tmp_path / "c.jsonl")
    except BaseException as e:  # noqa: BLE001 - report which form failed
        pytest.fail(f"front matter handling: {e}")
    assert n == 2
