"""Staged and combined runs on pages whose verbatim blocks hold closing lines.

Display math, preformatted code and tag blocks are written as blocks whose
text is copied verbatim between an opening and a closing line. A text holding
a line that would close its block early once made the chunk stage refuse the
articles that the article stage had written, while the combined run accepted
the same dump. Both roads must give the same files.
"""
import json

import pytest

from corpuswright import _core
from conftest import PROSE, make_metadata
from dumps import dump, page_xml

# One page per hazard: wikitext that puts a closing line into a verbatim block.
HAZARDS = {
    "math closer": '<math display="block">a\n\\]\nb</math>',
    "math closer indented": '<math display="block">a\n  \\]  \nb</math>',
    "math both closers": '<math display="block">a\n\\]\n$$\nb</math>',
    "math dollar line": '<math display="block">x\n$$\ny</math>',
    "math after colon": ':<math>a\n\\]\nb</math>',
    "preformatted fences": " code line\n ```\n ````\n more",
    "tag block fences": '<syntaxhighlight lang="python">\nx\n````\n```\n</syntaxhighlight>',
    "source block fences": '<source lang="c">\na\n```\n</source>',
}


def hazard_dump():
    pages = []
    for i, (name, wikitext) in enumerate(HAZARDS.items()):
        text = f"{PROSE}\n\n== {name} ==\n\n{wikitext}\n\nText after the block, {PROSE}\n"
        pages.append(page_xml(f"Page {name}", text, page_id=100 + i, revision_id=500 + i))
    return dump(pages)


def records(path):
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f]


@pytest.mark.parametrize("target_words", [20, 1000])
def test_staged_and_combined_runs_agree_on_verbatim_hazards(tmp_path, target_words):
    meta = make_metadata(tmp_path / "meta.db", disambiguation=[])
    xml = tmp_path / "hazards.xml"
    xml.write_text(hazard_dump(), encoding="utf-8")

    a1, c1 = tmp_path / "a1.jsonl", tmp_path / "c1.jsonl"
    arts, chunks, _ = _core.build_dataset(xml, a1, c1, meta, min_bytes=0, target_words=target_words)
    assert arts == len(HAZARDS)

    a2, c2 = tmp_path / "a2.jsonl", tmp_path / "c2.jsonl"
    assert _core.build_stage1(xml, a2, meta, min_bytes=0)[0] == arts
    assert _core.build_stage2(a2, c2, target_words=target_words) == chunks
    assert a1.read_bytes() == a2.read_bytes()
    assert c1.read_bytes() == c2.read_bytes()

    # Each block's text is still there, between the block's own lines.
    md = {r["title"]: r["md"] for r in records(a1)}
    assert "\n$$\na\n\\]\nb\n$$\n" in md["Page math closer"]
    assert "\n\\[\na\n\\]%\n$$\nb\n\\]\n" in md["Page math both closers"]
    assert "\n\\[\nx\n$$\ny\n\\]\n" in md["Page math dollar line"]
    assert "\n`````\ncode line\n```\n````\nmore\n`````\n" in md["Page preformatted fences"]
