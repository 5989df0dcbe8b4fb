"""The dataset functions under the mistakes and accidents of real use: a
limit with bad pages read ahead of it, outputs that name an input or each
other, and an interrupted run."""
import bz2
import gzip
import os

import pytest

from corpuswright import _core
from conftest import make_metadata, page
from dumps import dump, page_xml, synthetic_dump


@pytest.fixture
def meta(tmp_path):
    return make_metadata(tmp_path / "meta.db", roles=[("Navbox", "navigation")], disambiguation=[])


def dump_with_bad_page(good_before, good_after=200):
    """Good pages, then one whose text holds an entity XML does not know,
    then more good pages."""
    pages = [page_xml(f"Good {i}", page(i), page_id=i) for i in range(1, good_before + 1)]
    bad = page_xml("Bad", "BADMARK " + page(0), page_id=good_before + 1).replace("BADMARK", "&nbsp;")
    pages.append(bad)
    pages += [page_xml(f"Later {i}", page(i), page_id=10_000 + i) for i in range(good_after)]
    return dump(pages)


@pytest.mark.parametrize("threads", ["1", "2", "8"])
@pytest.mark.parametrize("good_before", [100, 300])
def test_limit_reached_before_a_bad_page_is_not_affected_by_it(tmp_path, meta, monkeypatch, threads, good_before):
    # With 300 good pages the bad one is only read ahead, in a later batch;
    # with 100 it is in the batch that reaches the limit, after the page
    # that reaches it.
    monkeypatch.setenv("RVK_NUM_THREADS", threads)
    text = dump_with_bad_page(good_before)
    (tmp_path / "d.xml").write_text(text, encoding="utf-8")
    (tmp_path / "d.xml.bz2").write_bytes(bz2.compress(text.encode(), 9))
    (tmp_path / "d.xml.gz").write_bytes(gzip.compress(text.encode(), 6))
    for limit in (5, good_before):
        expected = None
        for name in ("d.xml", "d.xml.bz2", "d.xml.gz"):
            for run in range(4):
                out = tmp_path / f"a-{name}-{run}.jsonl"
                result = _core.build_stage1(tmp_path / name, out, meta, min_bytes=0, limit=limit)
                assert result[:2] == (limit, 0)
                arts, chunks = tmp_path / f"da-{run}.jsonl", tmp_path / f"dc-{run}.jsonl"
                combined = _core.build_dataset(tmp_path / name, arts, chunks, meta, min_bytes=0, limit=limit)
                assert combined[0] == limit
                got = (result, out.read_bytes(), combined, arts.read_bytes(), chunks.read_bytes())
                if expected is None:
                    expected = got
                assert got == expected


@pytest.mark.parametrize("good_before", [100, 300])
def test_a_bad_page_before_the_limit_is_reached_fails_every_time(tmp_path, meta, good_before):
    xml = tmp_path / "d.xml"
    xml.write_text(dump_with_bad_page(good_before), encoding="utf-8")
    for limit in (None, good_before + 1, 1000):
        for _ in range(3):
            with pytest.raises(RuntimeError) as e:
                _core.build_stage1(xml, tmp_path / "a.jsonl", meta, min_bytes=0, limit=limit)
            assert "unknown XML entity &nbsp;" in str(e.value)
    assert not (tmp_path / "a.jsonl").exists()


def snapshot(*paths):
    return {str(p): p.read_bytes() for p in paths}


def test_outputs_that_name_an_input_or_each_other_are_refused(tmp_path, meta, monkeypatch):
    xml = tmp_path / "d.xml"
    xml.write_text(synthetic_dump(5), encoding="utf-8")
    articles, chunks = tmp_path / "a.jsonl", tmp_path / "c.jsonl"
    _core.build_dataset(xml, articles, chunks, meta, min_bytes=0)
    props = tmp_path / "props.sql"
    props.write_text("INSERT INTO `page_props` VALUES (10,'disambiguation','');\n")
    (tmp_path / "sub").mkdir()
    os.link(xml, tmp_path / "hard.xml")
    os.symlink(articles, tmp_path / "soft.jsonl")
    files = (xml, articles, chunks, meta, props)
    before = snapshot(*files)
    monkeypatch.chdir(tmp_path)
    cases = [
        (lambda: _core.build_dataset(xml, articles, articles, meta), "articles and chunks", articles),
        (lambda: _core.build_dataset(xml, "a.jsonl", "./sub/../a.jsonl", meta), "articles and chunks", articles),
        (lambda: _core.build_dataset(xml, meta, chunks, meta), "articles and metadata", meta),
        (lambda: _core.build_dataset(xml, articles, xml, meta), "xml and chunks", xml),
        (lambda: _core.build_dataset(xml, articles, "hard.xml", meta), "xml and chunks", xml),
        (lambda: _core.build_stage1(xml, "./d.xml", meta), "xml and articles", xml),
        (lambda: _core.build_stage1(xml, meta, meta), "articles and metadata", meta),
        (lambda: _core.build_stage2(articles, articles), "articles and chunks", articles),
        (lambda: _core.build_stage2("soft.jsonl", articles), "articles and chunks", articles),
        (lambda: _core.build_page_props(props, props), "source and metadata", props),
        (lambda: _core.build_page_props(meta, meta), "source and metadata", meta),
    ]
    for call, names, path in cases:
        with pytest.raises(ValueError) as e:
            call()
        message = str(e.value)
        assert message.startswith(names + " name the same file: "), message
        assert str(path.resolve()) in message
        assert snapshot(*files) == before
        assert [n for n in os.listdir(tmp_path) if n.startswith(".tmp")] == []
    # Two inputs may be one file, and distinct outputs still work.
    assert _core.build_stage1(xml, tmp_path / "sub" / "a.jsonl", meta, min_bytes=0)[0] == 5
