"""The dataset functions under the mistakes and accidents of real use: a
limit with bad pages read ahead of it, outputs that name an input or each
other, and an interrupted run."""
import bz2
import gzip
import json
import lzma
import os
import random
import sqlite3
import stat
import subprocess
import sys
import threading
import time

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


# Inputs given by mistake for a dump: (file name, content, what the message
# says after "reading xml <path>: ").
NOT_A_DUMP = "the file is not a MediaWiki XML dump: "
NO_ELEMENT_FIRST = NOT_A_DUMP + "it does not begin with an XML element (it begins {})"
LOOKS_COMPRESSED = "the file looks compressed ({}), but only files whose names end in .gz or .bz2 are decoded (as gzip or bzip2); "
WRONG_DUMPS = [
    ("pp.sql", b"INSERT INTO `page_props` VALUES (10,'disambiguation','');\n",
     NO_ELEMENT_FIRST.format("\"INSERT INTO `page_props` VALUES (10,'dis\"")),
    ("empty.xml", b"", "the file is empty, not a MediaWiki XML dump"),
    ("pages.json", b'{"pages": [{"title": "A"}]}\n', NO_ELEMENT_FIRST.format('"{\\"pages\\": [{\\"title\\": \\"A\\"}]}"')),
    ("notes.txt", b"Some notes\nabout a wiki\n", NO_ELEMENT_FIRST.format('"Some notes"')),
    ("blank.xml", b" \n\t\r\n", NOT_A_DUMP + 'it holds no XML element (it begins " ")'),
    ("nul.xml", b"\0" * 3000 + b"<mediawiki/>", NO_ELEMENT_FIRST.format('"' + "\\x00" * 40 + '"')),
    ("text-after-comment.xml", b"<!-- a -->x<mediawiki/>", NO_ELEMENT_FIRST.format('"<!-- a -->x<mediawiki/>"')),
    ("page.html", b"<!DOCTYPE html>\n<html><body><p>A page</p></body></html>\n",
     NOT_A_DUMP + "its root element is \"html\", not \"mediawiki\""),
    ("foo.xml", b"<foo/>", NOT_A_DUMP + "its root element is \"foo\", not \"mediawiki\""),
    ("d.xml.BZ2", bz2.compress(synthetic_dump(2).encode()), LOOKS_COMPRESSED.format("bzip2") + "rename it to end in .bz2, or decompress it first"),
    ("d.xml.gzip", gzip.compress(synthetic_dump(2).encode()), LOOKS_COMPRESSED.format("gzip") + "rename it to end in .gz, or decompress it first"),
    ("d.tgz", gzip.compress(synthetic_dump(2).encode()), LOOKS_COMPRESSED.format("gzip") + "rename it to end in .gz, or decompress it first"),
    ("d.xml.xz", lzma.compress(synthetic_dump(2).encode()), LOOKS_COMPRESSED.format("xz") + "decompress it first"),
    ("d.xml.zst", b"\x28\xb5\x2f\xfd\x24\x10\x81\x00" + bytes(range(1, 200)), LOOKS_COMPRESSED.format("zstd") + "decompress it first"),
    ("d.xml.lz4", b"\x04\x22\x4d\x18\x64\x40\xa7" + bytes(range(1, 200)), LOOKS_COMPRESSED.format("LZ4") + "decompress it first"),
    ("d.xml.gz", gzip.compress(gzip.compress(synthetic_dump(2).encode())),
     "its decoded content looks compressed again (gzip); decompress it first"),
    ("plain.xml.gz", synthetic_dump(2).encode(), "invalid gzip stream: at byte 0: missing 1f 8b magic"),
]


@pytest.mark.parametrize("name, content, found", WRONG_DUMPS, ids=[c[0] for c in WRONG_DUMPS])
def test_a_file_that_is_no_dump_is_refused_and_outputs_keep_their_bytes(tmp_path, meta, name, content, found):
    xml = tmp_path / name
    xml.write_bytes(content)
    articles, chunks = tmp_path / "a.jsonl", tmp_path / "c.jsonl"
    articles.write_text("earlier articles\n")
    chunks.write_text("earlier chunks\n")
    before = snapshot(articles, chunks)
    for call in (lambda: _core.build_stage1(xml, articles, meta, min_bytes=0),
                 lambda: _core.build_dataset(xml, articles, chunks, meta, min_bytes=0)):
        with pytest.raises(RuntimeError) as e:
            call()
        assert str(e.value) == f"reading xml {xml}: {found}"
        assert snapshot(articles, chunks) == before
        assert [n for n in os.listdir(tmp_path) if n.startswith(".tmp")] == []


def test_binary_junk_is_refused_without_its_bytes_in_the_message(tmp_path, meta):
    rng = random.Random(29)
    for i in range(20):
        xml = tmp_path / f"junk{i}.xml"
        xml.write_bytes(b"\x01" + rng.randbytes(3000))
        with pytest.raises(RuntimeError) as e:
            _core.build_stage1(xml, tmp_path / "a.jsonl", meta)
        message = str(e.value)
        assert message.startswith(f"reading xml {xml}: ")
        assert message.isascii() and message.isprintable(), message


@pytest.mark.parametrize("content", [
    '<mediawiki xmlns="http://www.mediawiki.org/xml/export-0.11/">\n  <siteinfo/>\n</mediawiki>\n',
    '<?xml version="1.0"?>\n<mediawiki/>\n',
    '\ufeff<!-- a dump -->\n<mw:mediawiki xmlns:mw="x"></mw:mediawiki>',
])
def test_a_real_dump_without_pages_stays_accepted(tmp_path, meta, content):
    xml = tmp_path / "d.xml"
    xml.write_text(content, encoding="utf-8")
    assert _core.build_stage1(xml, tmp_path / "a.jsonl", meta) == (0, 0, [])
    assert _core.build_dataset(xml, tmp_path / "a.jsonl", tmp_path / "c.jsonl", meta) == (0, 0, [])
    assert (tmp_path / "a.jsonl").read_bytes() == (tmp_path / "c.jsonl").read_bytes() == b""


NOT_PAGE_PROPS = "not a page-properties SQL dump: "
WRONG_PAGE_PROPS = [
    ("d.xml", synthetic_dump(3).encode(), NOT_PAGE_PROPS + "the table name page_props never occurs in it"),
    ("random.bin", random.Random(2).randbytes(5000), NOT_PAGE_PROPS + "it holds NUL bytes, which no SQL text does"),
    ("letters.bin", random.Random(2).randbytes(5000).translate(bytes(range(1, 256)) + b"a"),
     NOT_PAGE_PROPS + "the table name page_props never occurs in it"),
    ("empty.sql", b"", NOT_PAGE_PROPS + "the file is empty"),
    ("pp.sql.zst", b"\x28\xb5\x2f\xfd\x24\x10\x81\x00" + b"(5,'disambiguation','')",
     LOOKS_COMPRESSED.format("zstd") + "decompress it first"),
    ("pp.sql.BZ2", bz2.compress(b"INSERT INTO `page_props` VALUES (5,'disambiguation','');"),
     LOOKS_COMPRESSED.format("bzip2") + "rename it to end in .bz2, or decompress it first"),
]


@pytest.mark.parametrize("name, content, found", WRONG_PAGE_PROPS, ids=[c[0] for c in WRONG_PAGE_PROPS])
def test_page_props_refuses_a_file_that_is_no_page_props_dump_and_keeps_the_table(tmp_path, name, content, found):
    db = make_metadata(tmp_path / "m.db", disambiguation=[7, 8])
    source = tmp_path / name
    source.write_bytes(content)
    with pytest.raises(RuntimeError) as e:
        _core.build_page_props(source, db)
    assert str(e.value) == f"reading source {source}: {found}"
    con = sqlite3.connect(db)
    assert sorted(r[0] for r in con.execute("SELECT page_id FROM disambiguation")) == [7, 8]
    con.close()


@pytest.mark.parametrize("sql", [
    "CREATE TABLE `page_props` (`pp_page` int unsigned NOT NULL);\n",
    "INSERT INTO `page_props` VALUES (3,'wikibase_item','Q1'),(4,'defaultsort','B');\n",
])
def test_page_props_dump_without_disambiguation_rows_gives_0(tmp_path, sql):
    db = make_metadata(tmp_path / "m.db", disambiguation=[7])
    for name, content in (("pp.sql", sql.encode()), ("pp.sql.gz", gzip.compress(sql.encode()))):
        (tmp_path / name).write_bytes(content)
        assert _core.build_page_props(tmp_path / name, db) == 0


def file_error_cases(tmp_path, meta):
    """(id, call, message, files that must keep their bytes). Every input
    that is read is also broken, so an error about an output proves that
    the outputs were checked before the input was read."""
    good = tmp_path / "d.xml"
    good.write_text(synthetic_dump(3), encoding="utf-8")
    broken = tmp_path / "broken.xml"
    broken.write_text("<foo/>")
    articles, chunks = tmp_path / "a.jsonl", tmp_path / "c.jsonl"
    _core.build_dataset(good, articles, chunks, meta, min_bytes=0)
    bad_line = tmp_path / "bad-line.jsonl"
    lines = articles.read_text().splitlines(keepends=True)
    bad_line.write_text("".join(lines[:2]) + '{"article_id": 9,\n' + "".join(lines[2:]))
    isdir = tmp_path / "isdir.jsonl"
    isdir.mkdir()
    dir_bz2 = tmp_path / "x.bz2"
    dir_bz2.mkdir()
    not_db = tmp_path / "notes.db"
    not_db.write_text("these are notes, not a database\n" * 100)
    props = tmp_path / "pp.sql"
    props.write_text("INSERT INTO `page_props` VALUES (10,'disambiguation','');\n")
    missing = tmp_path / "missing.jsonl"
    fifo = tmp_path / "consumer.fifo"
    os.mkfifo(fifo)
    to_null = tmp_path / "null.jsonl"
    os.symlink("/dev/null", to_null)
    is_dir = "Is a directory (os error 21)"
    return [
        ("stage1-fifo-output", lambda: _core.build_stage1(broken, fifo, meta),
         f"writing articles {fifo}: " + NOT_REPLACED.format("a FIFO"), [articles]),
        ("dataset-chunks-link-to-dev-null", lambda: _core.build_dataset(broken, articles, to_null, meta),
         f"writing chunks {to_null}: " + NOT_REPLACED.format("a character device"), [articles, chunks]),
        ("dataset-chunks-dir", lambda: _core.build_dataset(broken, articles, isdir, meta),
         f"writing chunks {isdir}: {is_dir}", [articles, chunks]),
        ("dataset-articles-dir", lambda: _core.build_dataset(broken, isdir, chunks, meta),
         f"writing articles {isdir}: {is_dir}", [articles, chunks]),
        ("stage1-dot", lambda: _core.build_stage1(broken, ".", meta), f"writing articles .: {is_dir}", [articles]),
        ("stage1-trailing-slash", lambda: _core.build_stage1(broken, str(tmp_path / "new") + "/", meta),
         f"writing articles {tmp_path / 'new'}/: {is_dir}", [articles]),
        ("stage2-chunks-dir", lambda: _core.build_stage2(bad_line, isdir), f"writing chunks {isdir}: {is_dir}", [chunks]),
        ("stage2-missing", lambda: _core.build_stage2(missing, chunks),
         f"opening articles {missing}: No such file or directory (os error 2)", [chunks]),
        ("stage2-articles-dir", lambda: _core.build_stage2(isdir, chunks), f"opening articles {isdir}: {is_dir}", [chunks]),
        ("stage2-bad-line", lambda: _core.build_stage2(bad_line, chunks, batch_size=2),
         f"reading articles {bad_line}: EOF while parsing an object at line 3 column 17", [chunks]),
        ("stage1-xml-dir-bz2", lambda: _core.build_stage1(dir_bz2, articles, meta), f"opening xml {dir_bz2}: {is_dir}",
         [articles]),
        ("stage1-xml-dir", lambda: _core.build_stage1(isdir, articles, meta), f"opening xml {isdir}: {is_dir}",
         [articles]),
        ("page-props-not-db", lambda: _core.build_page_props(broken, not_db),
         f"opening metadata {not_db}: file is not a database", [not_db]),
        ("page-props-db-dir", lambda: _core.build_page_props(broken, isdir), f"opening metadata {isdir}: {is_dir}", []),
        ("stage1-db-dir", lambda: _core.build_stage1(broken, articles, isdir),
         f"opening wiki metadata {isdir}: {is_dir}", [articles]),
        ("dataset-db-dir", lambda: _core.build_dataset(broken, articles, chunks, isdir),
         f"opening wiki metadata {isdir}: {is_dir}", [articles, chunks]),
        ("converter-db-dir", lambda: _core.WikiConverter(isdir), f"opening wiki metadata {isdir}: {is_dir}", []),
        ("page-props-source-dir", lambda: _core.build_page_props(isdir, tmp_path / "m.db"),
         f"opening source {isdir}: {is_dir}", []),
        ("stage1-no-disambiguation", lambda: _core.build_stage1(good, articles, make_metadata(tmp_path / "nd.db")),
         f"reading metadata {tmp_path / 'nd.db'}: no such table: disambiguation", [articles]),
        ("page-props-missing-dir", lambda: _core.build_page_props(props, tmp_path / "no" / "m.db"),
         f"opening metadata {tmp_path / 'no' / 'm.db'}: No such file or directory (os error 2)", []),
    ]


NOT_REPLACED = ("the output exists and is {}, which is never replaced: outputs are written to a new file renamed "
                "over the target; give the name of a regular file or of a new one")
FILE_ERROR_IDS = ["stage1-fifo-output", "dataset-chunks-link-to-dev-null","dataset-chunks-dir", "dataset-articles-dir", "stage1-dot", "stage1-trailing-slash",
                  "stage2-chunks-dir", "stage2-missing", "stage2-articles-dir", "stage2-bad-line",
                  "stage1-xml-dir-bz2", "stage1-xml-dir", "page-props-not-db", "page-props-db-dir",
                  "stage1-db-dir", "dataset-db-dir", "converter-db-dir",
                  "page-props-source-dir", "stage1-no-disambiguation", "page-props-missing-dir"]


@pytest.mark.parametrize("case", FILE_ERROR_IDS)
def test_every_file_error_names_the_argument_and_the_file_and_replaces_nothing(tmp_path, meta, monkeypatch, case):
    monkeypatch.chdir(tmp_path)
    cases = {c[0]: c[1:] for c in file_error_cases(tmp_path, meta)}
    assert sorted(cases) == sorted(FILE_ERROR_IDS)
    call, message, kept = cases[case]
    before = snapshot(*kept)
    with pytest.raises(RuntimeError) as e:
        call()
    assert str(e.value) == message
    assert snapshot(*kept) == before
    assert not (tmp_path / "new").exists() or os.listdir(tmp_path / "new") == []
    assert [n for n in os.listdir(tmp_path) if n.startswith(".tmp") or n.endswith(".lock")] == []
    assert stat.S_ISFIFO(os.lstat(tmp_path / "consumer.fifo").st_mode)
    assert os.readlink(tmp_path / "null.jsonl") == "/dev/null" and stat.S_ISCHR(os.stat("/dev/null").st_mode)


FULL_DISK_CHILD = r"""
import resource, signal, sys
from corpuswright import _core
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
try:
    _core.build_dataset(*sys.argv[1:5], min_bytes=0)
except RuntimeError as e:
    print(e)
"""


def test_a_write_that_fails_names_the_output(tmp_path, meta):
    xml = tmp_path / "d.xml"
    xml.write_text(synthetic_dump(300), encoding="utf-8")
    articles, chunks = tmp_path / "a.jsonl", tmp_path / "c.jsonl"
    articles.write_text("earlier\n")
    out = subprocess.run([sys.executable, "-c", FULL_DISK_CHILD, str(xml), str(articles), str(chunks), str(meta)],
                         capture_output=True, text=True, check=True).stdout
    assert out == f"writing articles {articles}: File too large (os error 27)\n"
    assert articles.read_text() == "earlier\n" and not chunks.exists()
    assert [n for n in os.listdir(tmp_path) if n.startswith(".tmp")] == []


NEVER_ENDING_CHILD = r"""
import os, sys
from corpuswright import _core
meta, tmp = sys.argv[1], sys.argv[2]
stalled = os.path.join(tmp, "stalled.fifo")  # never opened for writing
os.mkfifo(stalled)
isdir = os.path.join(tmp, "isdir")
os.mkdir(isdir)
out, chunks, db = (os.path.join(tmp, n) for n in ("a.jsonl", "c.jsonl", "m.db"))
calls = [
    lambda: _core.build_stage1("/dev/zero", out, meta),
    lambda: _core.build_dataset("/dev/zero", out, chunks, meta),
    lambda: _core.build_stage2("/dev/zero", chunks),
    lambda: _core.build_page_props("/dev/zero", db),
    lambda: _core.build_stage2(stalled, isdir),
]
for call in calls:
    try:
        call()
        print("returned")
    except RuntimeError as e:
        print(e)
print(sorted(os.listdir(tmp)))
"""


def test_inputs_that_never_end_or_never_come_are_refused_at_once(tmp_path, meta):
    # /dev/zero is endless; the FIFO has no writer, so opening it waits for
    # ever. Each call must come back with an error, not run on.
    (tmp_path / "w").mkdir()
    proc = subprocess.run([sys.executable, "-c", NEVER_ENDING_CHILD, str(meta), str(tmp_path / "w")],
                          capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    xml_refused = "reading xml /dev/zero: " + NO_ELEMENT_FIRST.format('"' + "\\x00" * 40 + '"')
    assert lines[:2] == [xml_refused] * 2
    assert lines[2].startswith("reading articles /dev/zero: ")
    assert lines[3] == "reading source /dev/zero: " + NOT_PAGE_PROPS + "it holds NUL bytes, which no SQL text does"
    assert lines[4] == f"writing chunks {tmp_path / 'w' / 'isdir'}: Is a directory (os error 21)"
    assert lines[5] == "['isdir', 'stalled.fifo']"


MEMORY_CHILD = r"""
import os, resource, sys
from corpuswright import _core
xml, meta, articles, work = sys.argv[1:5]
with open("/proc/self/status") as f:
    size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize"))
outcomes, left = set(), []
# Each cap in a fork of this process, which has started no thread yet: the
# calls then meet the cap at every step of their set-up in turn.
for mb in range(32):
    out = os.path.join(work, str(mb))
    os.mkdir(out)
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        said = []
        try:
            os.close(r)
            resource.setrlimit(resource.RLIMIT_AS, (size + mb * 2**20, size + mb * 2**20))
            fds = len(os.listdir("/proc/self/fd"))
            for call in (lambda: _core.build_stage2(articles, os.path.join(out, "c.jsonl")),
                         lambda: _core.build_stage1(xml, os.path.join(out, "a.jsonl"), meta, min_bytes=0),
                         lambda: _core.build_dataset(xml, os.path.join(out, "a2.jsonl"),
                                                     os.path.join(out, "c2.jsonl"), meta, min_bytes=0)):
                try:
                    call()
                    said.append("returned")
                except MemoryError:
                    said.append("MemoryError")
                except RuntimeError:
                    said.append("RuntimeError")
            said.append("fds+" + str(len(os.listdir("/proc/self/fd")) - fds))
        finally:
            # Under the smallest caps Python itself may fail: nothing said.
            os.write(w, " ".join(said).encode())
            os._exit(0)
    os.close(w)
    said = os.read(r, 4096).decode().split()
    os.close(r)
    status = os.waitpid(pid, 0)[1]
    outcomes.update(n for n in said if not n.startswith("fds+"))
    stray = [n for n in os.listdir(out) if n.startswith(".tmp") or n.endswith(".lock")]
    if stray or status != 0 or [n for n in said if n.startswith("fds+") and n != "fds+0"]:
        left.append((mb, stray, said, status))
print(sorted(outcomes))
print(left)
"""


def test_no_temporary_file_or_descriptor_is_left_when_memory_runs_out(tmp_path, meta):
    xml = tmp_path / "d.xml"
    xml.write_text(synthetic_dump(40), encoding="utf-8")
    articles = tmp_path / "a.jsonl"
    _core.build_stage1(xml, articles, meta, min_bytes=0)
    (tmp_path / "work").mkdir()
    proc = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(xml), str(meta), str(articles), str(tmp_path / "work")],
                          capture_output=True, text=True, timeout=600,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert proc.returncode == 0, proc.stderr
    outcomes, left = proc.stdout.splitlines()
    assert "MemoryError" in outcomes and "returned" in outcomes
    assert left == "[]"


def test_a_relative_output_names_the_folder_it_named_when_the_call_began(tmp_path, meta, monkeypatch):
    # Another thread changes the working directory while the call waits
    # for its dump: the output still goes where it would have at the start.
    a, b = tmp_path / "A", tmp_path / "B"
    a.mkdir()
    b.mkdir()
    (b / "a.jsonl").write_text("B's own file\n")
    fifo = tmp_path / "dump.fifo"
    os.mkfifo(fifo)
    monkeypatch.chdir(a)
    done = threading.Event()

    def feed():
        while not any(n.startswith(".tmp") for n in os.listdir(a)):
            if done.wait(0.001):
                return
        os.chdir(b)
        with open(fifo, "wb") as f:
            f.write(synthetic_dump(3).encode())
    writer = threading.Thread(target=feed)
    writer.start()
    try:
        assert _core.build_stage1(fifo, "a.jsonl", meta, min_bytes=0)[0] == 3
    finally:
        done.set()
        writer.join()
    assert (b / "a.jsonl").read_text() == "B's own file\n"
    assert len((a / "a.jsonl").read_text().splitlines()) == 3
    assert sorted(os.listdir(a)) == ["a.jsonl"] and sorted(os.listdir(b)) == ["a.jsonl"]


def test_a_run_on_outputs_another_run_is_writing_fails_at_once_naming_the_file(tmp_path, meta):
    fifo = tmp_path / "dump.fifo"
    os.mkfifo(fifo)
    xml = tmp_path / "d.xml"
    xml.write_text(synthetic_dump(4), encoding="utf-8")
    articles, chunks, other = tmp_path / "a.jsonl", tmp_path / "c.jsonl", tmp_path / "o.jsonl"
    first = []
    runner = threading.Thread(target=lambda: first.append(
        _core.build_dataset(fifo, articles, chunks, meta, min_bytes=0)))
    runner.start()
    try:
        while len([n for n in os.listdir(tmp_path) if n.startswith(".tmp")]) < 2 and runner.is_alive():
            time.sleep(0.001)
        busy = "another run is writing this output now (it holds the lock \"{}\")"
        cases = [
            (lambda: _core.build_dataset(xml, articles, other, meta), f"writing articles {articles}", articles),
            (lambda: _core.build_dataset(xml, other, chunks, meta), f"writing chunks {chunks}", chunks),
            (lambda: _core.build_stage1(xml, articles, meta), f"writing articles {articles}", articles),
            (lambda: _core.build_stage2(other, chunks), f"writing chunks {chunks}", chunks),
        ]
        for call, context, path in cases:
            with pytest.raises(RuntimeError) as e:
                call()
            assert str(e.value) == context + ": " + busy.format(path.parent / f".{path.name}.lock")
    finally:
        if runner.is_alive():
            with open(fifo, "wb") as f:
                f.write(synthetic_dump(3).encode())
        runner.join()
    assert first[0][0] == 3
    assert sorted(os.listdir(tmp_path)) == ["a.jsonl", "c.jsonl", "d.xml", "dump.fifo", "meta.db"]

    # A run killed while it writes leaves its lock file (and temporary
    # file); its lock died with it, and the next run takes the file over.
    child = subprocess.Popen([sys.executable, "-c", "import sys; from corpuswright import _core; "
                              "_core.build_stage1(*sys.argv[1:4])", str(fifo), str(articles), str(meta)],
                             env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    while not any(n.startswith(".tmp") for n in os.listdir(tmp_path)) and child.poll() is None:
        time.sleep(0.001)
    child.kill()
    child.wait()
    assert ".a.jsonl.lock" in os.listdir(tmp_path)
    assert _core.build_stage1(xml, articles, meta, min_bytes=0)[0] == 4
    assert [n for n in os.listdir(tmp_path) if n.endswith(".lock")] == []


def test_a_metadata_path_is_a_file_name_in_every_function(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "pp.sql").write_text("INSERT INTO `page_props` VALUES (10,'disambiguation','');\n")
    (tmp_path / "d.xml").write_text(synthetic_dump(2), encoding="utf-8")
    name = "file:new.db?mode=memory"
    assert _core.build_page_props("pp.sql", name) == 1
    con = sqlite3.connect(tmp_path / name)
    assert con.execute("SELECT page_id FROM disambiguation").fetchall() == [(10,)]
    con.close()
    make_metadata(tmp_path / "file:m.db", disambiguation=[])
    assert _core.build_stage1("d.xml", "a.jsonl", "file:m.db", min_bytes=0)[0] == 2


@pytest.mark.parametrize("umask, existing, expected", [
    (0o022, None, 0o644), (0o077, None, 0o600), (0o002, None, 0o664), (0o022, 0o640, 0o640), (0o077, 0o644, 0o644),
])
def test_an_output_gets_the_mode_of_an_ordinary_file(tmp_path, meta, umask, existing, expected):
    # A new output gets what any new file gets under the umask; one that
    # replaces a file keeps that file's mode.
    xml = tmp_path / "d.xml"
    xml.write_text(synthetic_dump(2), encoding="utf-8")
    outputs = [tmp_path / n for n in ("a.jsonl", "c.jsonl", "c2.jsonl", "a1.jsonl")]
    if existing is not None:
        for path in outputs:
            path.write_text("earlier\n")
            path.chmod(existing)
    old = os.umask(umask)
    try:
        _core.build_dataset(xml, outputs[0], outputs[1], meta, min_bytes=0)
        _core.build_stage2(outputs[0], outputs[2])
        _core.build_stage1(xml, outputs[3], meta, min_bytes=0)
    finally:
        os.umask(old)
    assert [oct(stat.S_IMODE(p.stat().st_mode)) for p in outputs] == [oct(expected)] * 4


HERE = os.path.dirname(os.path.abspath(__file__))


def run_process_child(test, workdir, arg, timeout=120):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HERE] + sys.path))
    proc = subprocess.run([sys.executable, os.path.join(HERE, "process_child.py"), test, str(workdir), str(arg)],
                          env=env, capture_output=True, text=True, timeout=timeout)
    return proc


def test_a_cap_on_the_users_threads_leaves_fewer_threads_never_a_signal():
    # The cap lets some threads start and refuses the next, which used to
    # end the process (SIGABRT). Each call now runs with the threads it got;
    # a compressed dump needs its decoder thread, and says so when it has
    # none. Root is not held to the cap: the child runs as nobody.
    if os.geteuid() != 0:
        pytest.skip("needs root to run the child as an unprivileged user")
    import shutil
    import tempfile
    expected = None
    for limit in range(1, 9):
        workdir = tempfile.mkdtemp(prefix="cw-nproc-")
        os.chmod(workdir, 0o777)
        try:
            proc = run_process_child("thread-cap", workdir, limit)
        finally:
            shutil.rmtree(workdir)
        assert proc.returncode == 0, (limit, proc.returncode, proc.stderr[-2000:])
        got = json.loads(proc.stdout.strip().splitlines()[-1])
        bz2_outcome = got.pop("build_stage1 bz2")
        assert bz2_outcome == got["build_stage1"] or "could not start the decoder thread" in bz2_outcome, limit
        if expected is None:
            expected = got
        assert got == expected, limit
    assert all(not isinstance(v, str) for v in expected.values()), expected


@pytest.mark.parametrize("how", ["fork", "multiprocessing"])
def test_a_forked_child_gets_a_pool_of_its_own(tmp_path, how):
    # The parent's pool threads are not in the child: its calls used to wait
    # for them forever.
    proc = run_process_child("fork", tmp_path, how)
    assert proc.returncode == 0, proc.stderr[-2000:]
    got = json.loads(proc.stdout.strip().splitlines()[-1])
    assert got["same"], got["child"]


@pytest.mark.parametrize("kind", ["quillmd", "quillmd_batch", "build_stage1", "build_stage2", "build_dataset"])
def test_exit_while_a_call_runs_in_a_daemon_thread_stops_it_cleanly(tmp_path, kind):
    # The interpreter ends such a thread when it takes the lock again, which
    # crashed the process under the running work (SIGSEGV, SIGABRT) and left
    # its temporary files.
    proc = run_process_child("exit", tmp_path, kind)
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-2000:])
    assert '"exiting": true' in proc.stdout
    assert [n for n in os.listdir(tmp_path / "out") if n.startswith(".tmp")] == []


METADATA_UNDER_A_CAP = r"""
import os, resource, sys
from corpuswright import _core
meta, xml, work = sys.argv[1:4]
with open("/proc/self/status") as f:
    size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize"))
said = set()
for mb in range(0, 64, 2):
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        resource.setrlimit(resource.RLIMIT_AS, (size + mb * 2**20, size + mb * 2**20))
        out = []
        for call in (lambda: _core.WikiConverter(meta),
                     lambda: _core.build_stage1(xml, os.path.join(work, str(mb)), meta)):
            try:
                call()
                out.append("ok")
            except MemoryError:
                out.append("MemoryError")
            except RuntimeError as e:
                out.append("RuntimeError: " + str(e))
        os.write(w, "|".join(out).encode())
        os._exit(0)
    os.close(w)
    said.update(n for n in os.read(r, 4096).decode().split("|") if n)
    os.close(r)
    os.waitpid(pid, 0)
print(sorted(said))
"""


def test_running_out_of_memory_while_loading_the_metadata_is_a_memory_error(tmp_path):
    # SQLite's "out of memory" was a RuntimeError ("opening wiki metadata
    # m.db: reading table redirect: out of memory").
    meta = make_metadata(tmp_path / "m.db", redirects=[(10, f"Alias_{i}_" + "x" * 40, 10, f"T_{i}") for i in range(100_000)],
                         roles=[(f"R{i}", "navigation") for i in range(50_000)], disambiguation=[])
    xml = tmp_path / "d.xml"
    xml.write_text(dump([]))
    out = subprocess.run([sys.executable, "-c", METADATA_UNDER_A_CAP, str(meta), str(xml), str(tmp_path)],
                         capture_output=True, text=True, check=True).stdout
    assert eval(out) == ["MemoryError", "ok"]


# An exit callback registered before the module's own runs after it, while
# the interpreter goes on exiting: its calls run as ever.
LATE_EXIT_CALLBACK = r"""
import atexit, os, sys
def late():
    from conftest import page
    conv = corpuswright.WikiConverter(sys.argv[1])
    n = len(conv.quillmd_batch([page(i) for i in range(64)]))
    arts = corpuswright.build_stage1(sys.argv[2], sys.argv[3], sys.argv[1], min_bytes=0)[0]
    os.write(1, f"late {n} {arts}\n".encode())
atexit.register(late)
import corpuswright
"""


def test_calls_from_a_later_exit_callback_still_run(tmp_path, meta):
    xml = tmp_path / "d.xml"
    xml.write_text(synthetic_dump(40), encoding="utf-8")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HERE] + sys.path))
    proc = subprocess.run([sys.executable, "-c", LATE_EXIT_CALLBACK, str(meta), str(xml), str(tmp_path / "a.jsonl")],
                          env=env, capture_output=True, text=True, timeout=60)
    assert (proc.returncode, proc.stdout) == (0, "late 64 40\n"), proc.stderr[-2000:]
