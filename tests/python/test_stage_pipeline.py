"""The chunk stage parses article lines on the pool; which failure a run
reports must still be the one met first when reading the file in order."""
import json

import pytest

from corpuswright import _core

RECORD = {"article_id": 0, "page_id": 1, "revision_id": None, "title": "T",
          "timestamp": None, "md": "Some text here.\n\n", "warnings": []}


def write_lines(path, lines):
    path.write_text("".join(line + "\n" for line in lines))
    return path


def test_unreadable_line_wins_over_an_earlier_non_canonical_one_in_its_batch(tmp_path):
    non_canonical = json.dumps(dict(RECORD, md="Some text here.\n\n\n"))
    src = write_lines(tmp_path / "a.jsonl", [json.dumps(RECORD), non_canonical, "{", json.dumps(RECORD)])
    # One batch: the line "{" stops the reading before anything is chunked.
    with pytest.raises(RuntimeError) as e:
        _core.build_stage2(src, tmp_path / "c.jsonl", batch_size=128)
    assert str(e.value) == f"reading articles {src}: EOF while parsing an object at line 3 column 1"
    # Batches of one: the non-canonical article is met first.
    with pytest.raises(BaseException) as e:
        _core.build_stage2(src, tmp_path / "c.jsonl", batch_size=1)
    assert type(e.value).__name__ == "PanicException"
    assert not (tmp_path / "c.jsonl").exists()


def test_many_batches_in_flight_keep_line_order(tmp_path):
    lines = []
    for i in range(700):
        md = f"Paragraph {i} " + "word " * (i % 40) + "end.\n\n"
        lines.append(json.dumps(dict(RECORD, article_id=i, page_id=10 + i, md=md)))
    src = write_lines(tmp_path / "a.jsonl", lines)
    outs = []
    for batch_size in (1, 3, 128, 0):
        out = tmp_path / f"c{batch_size}.jsonl"
        assert _core.build_stage2(src, out, target_words=5, batch_size=batch_size) >= 700
        outs.append(out.read_bytes())
    assert outs[1:] == outs[:1] * 3
    ids = [json.loads(line)["article_id"] for line in outs[0].splitlines()]
    assert ids == sorted(ids) and set(ids) == set(range(700))
