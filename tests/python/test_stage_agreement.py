"""The staged run (build_stage1, then build_stage2) and the combined runs
(build_dataset, corpuswright_batch) give the same articles and chunks for
every page, and the chunk stage accepts every article the first stage wrote. Pages are generated to put the
characters the readers classify one by one (controls, format characters,
line and paragraph separators, Unicode spaces, punctuation and symbols of
every category) beside every inline mark, and to fill indented, list and
definition lines with what conversion removes."""
import json
import random

import pytest

from conftest import make_metadata
from corpuswright import WikiConverter, _core

# Every C0 and C1 control, the byte order mark, the line and paragraph
# separators, the Unicode spaces, then a few of every other class the
# flanking rules or the line reader look at: format characters, punctuation
# of each category, symbols of each category, private use and specials.
ODD = ([chr(c) for c in range(0x00, 0x20)] + [chr(c) for c in range(0x7F, 0xA0)] +
       ["\ufeff", "\u2028", "\u2029", "\u00a0", "\u1680", "\u202f", "\u205f", "\u3000"] +
       [chr(c) for c in range(0x2000, 0x200B)] +
       ["\u200b", "\u200d", "\u200e", "\u00ad", "\u061c", "\u2060", "\u2066",
        "\u203f", "\u2010", "\u2014", "\u00ab", "\u00bb", "\u2018", "\u201d", "\u300c", "\u300d", "\u00a1", "\u2026",
        "\u00a9", "\u00d7", "\u20ac", "\u02c6", "\u00b4", "\u2605", "\U0001f600", "\ue000", "\ufffd", "\uffff"])

# Inline marks as wikitext: each a function of its content.
MARKS = [
    lambda x: f"'''{x}'''",
    lambda x: f"''{x}''",
    lambda x: f"'''''{x}'''''",
    lambda x: f"<s>{x}</s>",
    lambda x: f"<sup>{x}</sup>",
    lambda x: f"<sub>{x}</sub>",
    lambda x: f"<code>{x}</code>",
    lambda x: f"<mark>{x}</mark>",
    lambda x: f"[[Target|{x}]]",
    lambda x: f"<span class=\"c\">{x}</span>",
    lambda x: f"[http://example.org/p {x}]",
    lambda x: f"{{{{Nowrap|{x}}}}}",
]


def xml_text(s):
    # The dump reader decodes numeric references to any character, controls
    # included, as real dumps carry them.
    out = []
    for ch in s:
        if ch in "&<>" or ord(ch) < 0x20 and ch != "\n" or ch == "\r":
            out.append(f"&#{ord(ch)};")
        else:
            out.append(ch)
    return "".join(out)


def dump(pages):
    body = "".join(
        f"<page><title>{xml_text(t)}</title><ns>0</ns><id>{i + 1}</id><revision><id>{i + 1}</id>"
        f"<timestamp>2024-01-01T00:00:00Z</timestamp><text>{xml_text(text)}</text></revision></page>\n"
        for i, (t, text) in enumerate(pages))
    return f"<mediawiki>\n{body}</mediawiki>\n"


def odd_pages():
    """One page per character: the character on each side of each mark,
    inside and outside, beside content that starts and ends with a letter or
    with punctuation, alone as the content, and between two marks; as
    itself and as the numeric reference the wikitext reader decodes."""
    pages = []
    for n, c in enumerate(ODD):
        lines = ["The lead sentence of this page holds enough plain words to be kept as an article here."]
        for m in MARKS:
            for x in ("x", "(x)"):
                lines.append(" ".join([f"a{c}{m(x)}b", f"a{m(x)}{c}b", f"a{m(c + x)}b", f"a{m(x + c)}b",
                                       f"{c}{m(c + x + c)}{c}", f"{m(x)}{c}{m(x)}", f"a {m(c)} b"]))
            lines.append(f"{c}{m('y')} &#{ord(c)};{m('(x)')}&#{ord(c)};")
            lines.append(f"{m('y')}{c}")
        # The same beside the marks of other places: headings, items, terms,
        # table cells, attribute values, template arguments, captions.
        lines += [f"== h{c}'''x''' ==", f"* {c}''x''{c}", f"; {c}'''t''' : d{c}", f": {c}<s>q</s>",
                  f"{{|\n|+ {c}cap\n! h{c}\n|-\n| {c}\n| ''x''{c}||{c}<sup>2</sup>\n|}}",
                  f"{{| class=\"wikitable\"\n! h !! i\n|-\n| a<br/>b&#{ord(c)}; || <span title=\"&#{ord(c)};\">s</span>\n|}}",
                  f"<span title=\"a{c}b\" class=\"k\">s{c}</span> {{{{Unknown|a{c}|b=''{c}''}}}}",
                  f"[[T{c}x|y{c}]] <ref>r{c}</ref> [[File:F.png|thumb|cap{c}]] <math>x{c}</math>"]
        pages.append((f"Odd {n}", "\n\n".join(lines)))
    return pages


# Lines that write nothing once converted: removed templates (the hatnote
# and navigation roles), comments, empty items and bare markers.
NOTHING = ["", " ", "{{Main|History of Foo}}", "{{Navbox}}", "<!-- c -->", "{{Main|A}}<!-- c -->",
           "<ref>r</ref>", "{{Navbox}} {{Main|B}}", "[[Category:C]]", "__NOTOC__"]
MARKERS = [":", "::", ":::", "*", "**", "#", "##", "*:", "#:", ":*", ";", ";:", "; t :", "*#:"]


def indented_pages(count, seed):
    rng = random.Random(seed)
    pages = []
    for n in range(count):
        blocks = []
        for s in range(rng.randint(1, 5)):
            if rng.random() < 0.6:
                blocks.append("=" * rng.randint(2, 4) + f" Section {s} " + "=" * rng.randint(2, 4))
            for _ in range(rng.randint(1, 4)):
                k = rng.random()
                if k < 0.4:
                    blocks.append(" ".join(f"word{rng.randint(0, 99)}" for _ in range(rng.randint(1, 12))) + ".")
                else:
                    lines = []
                    for _ in range(rng.randint(1, 4)):
                        body = rng.choice(NOTHING) if rng.random() < 0.6 else f"text {rng.randint(0, 9)}"
                        lines.append(rng.choice(MARKERS) + body)
                    blocks.append("\n".join(lines))
        lead = "alpha " * 10 + "\n\n" + "gamma " * 10
        pages.append((f"Indented {n}", lead + "\n" + rng.choice(["", "\n"]).join(b + "\n\n" for b in blocks)))
    return pages


def records(path):
    # Only "\n" ends a record: texts hold U+2028 and other line separators.
    return [json.loads(line) for line in path.read_bytes().split(b"\n") if line]


def run_both(tmp_path, pages, target_words):
    meta = make_metadata(tmp_path / "m.db", roles=[("Main", "hatnote"), ("Navbox", "navigation"),
                                                   ("Nowrap", "unwrap")], disambiguation=[])
    xml = tmp_path / "d.xml"
    xml.write_text(dump(pages), encoding="utf-8")
    a1, c1, a2, c2 = (tmp_path / n for n in ("a1", "c1", "a2", "c2"))
    written = _core.build_stage1(xml, a1, meta, min_bytes=0)[0]
    _core.build_stage2(a1, c1, target_words=target_words)
    _core.build_dataset(xml, a2, c2, meta, min_bytes=0, target_words=target_words)
    assert a2.read_bytes() == a1.read_bytes()
    articles = {r["article_id"]: r for r in records(a1)}
    chunks = records(c1)
    staged = {}
    for c in chunks:
        staged.setdefault(c["article_id"], []).append(c)
    combined = {}
    for c in records(c2):
        combined.setdefault(c["article_id"], []).append(c)
    differ = [articles[k]["title"] for k in articles if staged.get(k) != combined.get(k)]
    assert not differ, f"{len(differ)} articles chunked differently, first {differ[:5]}"
    empty = [(articles[c["article_id"]]["title"], c["chunk_id"]) for c in chunks
             if not articles[c["article_id"]]["md"].encode()[c["start_byte"]:c["start_byte"] + c["byte_len"]].strip()]
    assert not empty, f"empty chunks: {empty[:5]}"
    # The batch method chunks as the stages do. The dump reader reads U+0085
    # and U+2028 as line ends (XML 1.1); the batch gets the text it hands on.
    converter = WikiConverter(meta)
    got = converter.corpuswright_batch(
        [(t, text.replace("\x85", "\n").replace("\u2028", "\n")) for t, text in pages], target_words=target_words)
    assert len(got) == len(pages)
    by_title = {a["title"]: (a["md"], staged[k]) for k, a in articles.items()}
    for (title, _), (md, _, batch_chunks) in zip(pages, got):
        stored, records_of = by_title[title]
        assert md == stored, title
        texts = [(c["prefix_md"] + stored.encode()[c["start_byte"]:c["start_byte"] + c["byte_len"]].decode(),
                  c["start_kind"]) for c in records_of]
        assert [tuple(c) for c in batch_chunks] == texts, title
    return written


def test_odd_characters_beside_inline_marks_pass_both_stages(tmp_path):
    pages = odd_pages()
    assert run_both(tmp_path, pages, 40) == len(pages)


@pytest.mark.parametrize("target_words", [5, 25, 700])
def test_lines_that_write_nothing_chunk_alike_in_both_runs(tmp_path, target_words):
    pages = indented_pages(400, target_words)
    assert run_both(tmp_path, pages, target_words) == len(pages)
