import os
import pathlib
import threading

import pytest

import corpuswright
from corpuswright import _core
from conftest import PROSE, make_metadata, page

HERE = os.path.dirname(os.path.abspath(__file__))
NAMES = ["WikiConverter", "build_stage1", "build_stage2", "build_dataset", "build_page_props"]


def notes(exc_info):
    return getattr(exc_info.value, "__notes__", [])


def test_module_surface():
    assert _core.__all__ == NAMES
    assert _core.__doc__ == ""
    assert corpuswright.__all__ == NAMES
    cls = _core.WikiConverter
    assert cls.__module__ == "corpuswright"
    assert cls.__qualname__ == "WikiConverter"
    assert cls.__text_signature__ == "(metadata)"
    assert cls.quillmd.__text_signature__ == "($self, source)"
    assert cls.quillmd_batch.__text_signature__ == "($self, sources)"
    assert cls.corpuswright_batch.__text_signature__ == "($self, pages, target_words=700)"
    assert cls.quillmd.__doc__ is None
    assert _core.build_stage1.__text_signature__ == "(xml, articles, metadata, min_bytes=250, limit=None)"
    assert _core.build_page_props.__text_signature__ == "(source, metadata)"


def test_constructor_argument_errors(metadata):
    W = _core.WikiConverter
    with pytest.raises(TypeError) as e:
        W()
    assert str(e.value) == "WikiConverter.__new__() missing 1 required positional argument: 'metadata'"
    with pytest.raises(TypeError) as e:
        W(metadata, metadata)
    assert str(e.value) == "WikiConverter.__new__() takes 1 positional arguments but 2 were given"
    with pytest.raises(TypeError) as e:
        W(meta=metadata)
    assert str(e.value) == "WikiConverter.__new__() got an unexpected keyword argument 'meta'"
    with pytest.raises(TypeError) as e:
        W(metadata, metadata=metadata)
    assert str(e.value) == "WikiConverter.__new__() got multiple values for argument 'metadata'"


def test_constructor_paths(metadata):
    W = _core.WikiConverter
    W(metadata=pathlib.Path(metadata))
    W(str(metadata))
    with pytest.raises(TypeError) as e:
        W(os.fsencode(str(metadata)))
    assert str(e.value) == "'bytes' object is not an instance of 'str'"
    assert notes(e) == ["while processing 'metadata'"]
    with pytest.raises(TypeError) as e:
        W(42)
    assert notes(e) == ["while processing 'metadata'"]
    with pytest.raises(ValueError) as e:
        W(str(metadata) + "\0suffix")
    assert "embedded null byte" in str(e.value)


def test_missing_or_broken_database(tmp_path):
    missing = tmp_path / "absent.db"
    with pytest.raises(RuntimeError) as e:
        _core.WikiConverter(missing)
    assert str(e.value).startswith(f"opening wiki metadata {missing}")
    assert not missing.exists(), "a read-only open must never create the file"
    bad = tmp_path / "bad.db"
    import sqlite3

    con = sqlite3.connect(bad)
    con.execute("CREATE TABLE redirect (namespace INTEGER, title TEXT, to_namespace INTEGER, to_title TEXT)")
    con.commit()
    con.close()
    with pytest.raises(RuntimeError) as e:
        _core.WikiConverter(bad)
    assert "template_role" in str(e.value)


def test_quillmd_basics(converter):
    assert converter.quillmd("") == (None, [])
    assert converter.quillmd(source="short") == (None, [])
    md, warnings = converter.quillmd(PROSE + "\n")
    assert isinstance(md, str) and "quick brown fox" in md
    assert warnings == []
    with pytest.raises(TypeError) as e:
        converter.quillmd(1)
    assert str(e.value) == "'int' object is not an instance of 'str'"
    assert notes(e) == ["while processing 'source'"]
    with pytest.raises(TypeError) as e:
        converter.quillmd(None)
    assert str(e.value) == "'None' is not an instance of 'str'"
    with pytest.raises(UnicodeEncodeError) as e:
        converter.quillmd("bad \ud800 surrogate")
    assert notes(e) == ["while processing 'source'"]
    with pytest.raises(TypeError) as e:
        converter.quillmd()
    assert str(e.value) == "WikiConverter.quillmd() missing 1 required positional argument: 'source'"


def test_templates_follow_roles(converter):
    md, _ = converter.quillmd(PROSE + " {{Navbox_alias|gone}} {{Nowrap|stays here}}\n")
    assert "gone" not in md
    assert "stays here" in md


def test_batch_equals_single_and_keeps_order(converter):
    pages = [page(i) if i % 5 else "" for i in range(1000)]
    pages[7] = "too short"
    single = [converter.quillmd(p) for p in pages]
    assert converter.quillmd_batch(pages) == single
    assert converter.quillmd_batch(tuple(pages)) == single
    assert single[0] == (None, []) and single[7] == (None, [])
    assert all(md is not None for md, _ in single[1:5])

    results = [None] * 8
    def worker(k):
        results[k] = [converter.quillmd(p) for p in pages[k::8]]
    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k in range(8):
        assert results[k] == single[k::8]


def test_batch_argument_errors(converter):
    assert converter.quillmd_batch([]) == []
    assert converter.corpuswright_batch([]) == []
    with pytest.raises(TypeError) as e:
        converter.quillmd_batch("text")
    assert str(e.value) == "Can't extract `str` to `Vec`"
    assert notes(e) == ["while processing 'sources'"]
    with pytest.raises(TypeError) as e:
        converter.quillmd_batch({"a"})
    assert str(e.value) == "'set' object is not an instance of 'Sequence'"
    with pytest.raises(TypeError) as e:
        converter.quillmd_batch(["ok", 3])
    assert notes(e) == ["while processing 'sources'"]
    with pytest.raises(ValueError) as e:
        converter.corpuswright_batch([("t", "x", "y")])
    assert str(e.value) == "expected tuple of length 2, but got tuple of length 3"
    assert notes(e) == ["while processing 'pages'"]
    with pytest.raises(TypeError) as e:
        converter.corpuswright_batch([["t", "x"]])
    assert str(e.value) == "'list' object is not an instance of 'tuple'"
    with pytest.raises(OverflowError) as e:
        converter.corpuswright_batch([], target_words=-1)
    assert notes(e) == ["while processing 'target_words'"]
    with pytest.raises(TypeError):
        converter.corpuswright_batch([], target_words=None)
    with pytest.raises(TypeError) as e:
        converter.corpuswright_batch([], 700, 3)
    assert str(e.value) == "WikiConverter.corpuswright_batch() takes from 1 to 2 positional arguments but 3 were given"


def test_corpuswright_batch_chunks(converter):
    pages = [("Alpha", page(1, sections=6, words=120)), ("Beta", ""), ("Gamma", page(3, sections=1))]
    results = converter.corpuswright_batch(pages, target_words=100)
    assert len(results) == 3
    assert results[1] == (None, [], [])
    for (title, _), (md, warnings, chunks) in zip([pages[0], pages[2]], [results[0], results[2]]):
        assert md is not None and warnings == []
        assert chunks and chunks[0][1] == "h1"
        heading = f"# {title}\n"
        for text, kind in chunks:
            assert text.startswith(heading)
            assert kind == "h1" or kind == "body" or (kind[0] == "h" and kind[1:].isdigit())
        assert all(kind != "h1" for _, kind in chunks[1:])
    assert len(results[0][2]) > 1
    # The title heading and heading prefix aside, the chunks are the page's
    # Markdown in order.
    md, _, chunks = results[0]
    tp = "# Alpha\n\n" if chunks[0][0].startswith("# Alpha\n\n") else "# Alpha\n"
    first = chunks[0][0][len(tp):]
    assert first and md.startswith(first)


@pytest.mark.parametrize("pages", [[("A", page(1))], [("A", ""), ("B", "x")], []])
def test_target_words_zero_is_a_value_error_naming_it(converter, pages):
    # It was a PanicException, which `except Exception` does not catch, and
    # only once a page converted.
    with pytest.raises(ValueError) as e:
        converter.corpuswright_batch(pages, target_words=0)
    assert str(e.value) == "target_words must be positive"
    assert notes(e) == ["while processing 'target_words'"]


def test_dataset_functions_parse_arguments(tmp_path):
    with pytest.raises(TypeError) as e:
        _core.build_stage1()
    assert str(e.value) == "build_stage1() missing 3 required positional arguments: 'xml', 'articles', and 'metadata'"
    with pytest.raises(TypeError) as e:
        _core.build_page_props(source="a")
    assert str(e.value) == "build_page_props() missing 1 required positional argument: 'metadata'"
    with pytest.raises(TypeError) as e:
        _core.build_stage2("a", "b", 1, 2, 3)
    assert str(e.value) == "build_stage2() takes from 2 to 4 positional arguments but 5 were given"


def test_sequence_whose_length_fails_is_still_read(converter):
    class Pages:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            if i >= 3:
                raise IndexError
            return page(i + 1)

    expected = [converter.quillmd(page(i + 1)) for i in range(3)]
    assert converter.quillmd_batch(Pages()) == expected


def test_sequence_iteration_error_carries_the_note(converter):
    class Broken:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            raise KeyError("boom")

    with pytest.raises(KeyError) as e:
        converter.quillmd_batch(Broken())
    assert notes(e) == ["while processing 'sources'"]


def test_panic_exception_is_exported_and_caught_by_name(tmp_path):
    assert corpuswright.PanicException is _core.PanicException
    assert issubclass(corpuswright.PanicException, BaseException)
    assert not issubclass(corpuswright.PanicException, Exception)
    assert corpuswright.PanicException.__module__ == "corpuswright"
    assert corpuswright.PanicException.__name__ == "PanicException"
    assert "PanicException" not in _core.__all__
    import json

    record = {"article_id": 0, "page_id": 1, "revision_id": None, "title": "T", "timestamp": None,
              "md": "Not canonical.\n\n\n", "warnings": []}
    src = tmp_path / "a.jsonl"
    src.write_text(json.dumps(record) + "\n")
    with pytest.raises(corpuswright.PanicException) as e:
        _core.build_stage2(src, tmp_path / "c.jsonl")
    assert "Stage 1 md must be canonical" in str(e.value)


def test_sequences_whose_length_lies_do_not_end_the_process(metadata):
    # Run apart: before the reservation was capped, these ended the
    # interpreter with an uncaught allocation failure.
    import subprocess
    import sys

    code = f"""
import corpuswright
conv = corpuswright.WikiConverter({str(metadata)!r})
class Lying(list):
    def __len__(self):
        return 2**62
for call in (lambda: conv.quillmd_batch(range(10**12)), lambda: conv.corpuswright_batch(range(10**12))):
    try:
        call()
    except TypeError as e:
        print("TypeError", e, e.__notes__)
print(len(conv.quillmd_batch(Lying(["", "x"]))), len(conv.corpuswright_batch(Lying([("T", "")]))))
"""
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "TypeError 'int' object is not an instance of 'str' [\"while processing 'sources'\"]",
        "TypeError 'int' object is not an instance of 'tuple' [\"while processing 'pages'\"]",
        "2 1",
    ]


def test_allocation_failures_raise_memory_error(tmp_path, metadata):
    # Under a cap on the address space, converting a large page runs out of
    # memory: every call reports MemoryError and the process goes on.
    import subprocess
    import sys

    code = f"""
import os, resource, sys
sys.path.insert(0, {HERE!r})
import corpuswright
from conftest import page
from dumps import dump, page_xml
meta, out = {str(metadata)!r}, {str(tmp_path)!r}
conv = corpuswright.WikiConverter(meta)
small = os.path.join(out, "small.xml")
with open(small, "w") as f:
    f.write(dump([page_xml(f"P{{i}}", page(i), page_id=i) for i in range(300)]))
corpuswright.build_dataset(small, os.path.join(out, "wa"), os.path.join(out, "wc"), meta)  # threads started
big_text = "[[a|b]] ''c'' " * 2_000_000
big = os.path.join(out, "big.xml")
with open(big, "w") as f:
    f.write(dump([page_xml("Big", big_text, page_id=1)]))
with open("/proc/self/status") as f:
    size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize"))
limit = size + 128 * 2**20
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
calls = [
    lambda: conv.quillmd(big_text),
    lambda: conv.quillmd_batch([big_text, big_text]),
    lambda: conv.corpuswright_batch([("T", big_text), ("U", big_text)]),
    lambda: corpuswright.build_stage1(big, os.path.join(out, "a.jsonl"), meta),
    lambda: corpuswright.build_dataset(big, os.path.join(out, "a.jsonl"), os.path.join(out, "c.jsonl"), meta),
]
for call in calls:
    try:
        call()
        print("returned")
    except MemoryError:
        print("MemoryError")
print(sorted(n for n in os.listdir(out) if n.startswith((".tmp", "a.", "c."))))
"""
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["MemoryError"] * 5 + ["[]"]
