"""The wikitext reader as quillmd shows it: a paragraph reads the same
whatever stands before it, self-closing extension tags are empty elements,
and links are atomic for the quote formatting around them."""

import random
import re

import pytest

from corpuswright import _core
from conftest import PROSE, make_metadata
from dumps import dump, page_xml


@pytest.fixture
def plain(tmp_path):
    """A converter with empty metadata: no template roles, no redirects."""
    from corpuswright import WikiConverter

    return WikiConverter(make_metadata(tmp_path / "empty.db"))


def convert(conv, text):
    md, warnings = conv.quillmd(text)
    assert warnings == []
    assert md is not None, text[:200]
    return md


RAW_BLOCK = re.compile(r"^(`{3,}|~{3,})\{=wikitext\}\n.*?^\1$", re.S | re.M)


def outside_raw_blocks(md):
    """The Markdown without its raw wikitext blocks (a gallery, say), which
    keep their wikitext on purpose."""
    return RAW_BLOCK.sub("", md)


def last_paragraph(md):
    return md.rstrip("\n").split("\n\n")[-1]


# --- Unrelated markup earlier on the page ------------------------------------

TAIL = "{{Infobox|a=1}} see [[Other page]]. " + PROSE


def unclosed_spans(count):
    return "".join(f"<span class=x>word {k} lorem ipsum " for k in range(count))


def stray_openers(count):
    return "".join(f"Paragraph {k} holds a stray {{{{ opener.\n\n" for k in range(count))


def nested_sups(depth):
    return "<sup>" * depth + "[[x]]" + "</sup>" * depth


@pytest.mark.parametrize(
    "before",
    [unclosed_spans(100), unclosed_spans(300), unclosed_spans(3000), stray_openers(300), nested_sups(20)],
    ids=["100 spans", "300 spans", "3000 spans", "300 stray openers", "20 nested sups"],
)
def test_a_paragraph_reads_the_same_whatever_stands_before_it(plain, before):
    alone = last_paragraph(convert(plain, TAIL))
    assert "Other page" in alone and "`{=wikitext}" not in alone
    assert last_paragraph(convert(plain, before + "\n\n" + TAIL)) == alone


def test_a_multi_line_template_after_many_stray_openers_stays_one_call(plain):
    infobox = "{{Infobox\n| name = X\n* item\n}}\n" + PROSE
    alone = convert(plain, infobox)
    page = convert(plain, stray_openers(300) + infobox)
    assert page.endswith(alone)
    assert "}}" not in page and "- item" not in page


# --- Self-closing extension tags ----------------------------------------------


@pytest.mark.parametrize("tag", ["<gallery />", "<gallery/>", "<syntaxhighlight lang=c/>", "<source />"])
def test_self_closing_extension_tags_leave_the_rest_of_the_page(plain, tag):
    md = convert(plain, f"{PROSE}\n{tag}\n== Later ==\n{PROSE}\n")
    assert "## Later" in md
    block = RAW_BLOCK.search(md)
    assert block is not None and block.group(0).count("\n") == 2, md
    assert tag in block.group(0)


def test_self_closing_nowiki_and_math_are_empty(plain):
    md = convert(plain, f"{PROSE} Foo<nowiki/>s and ''x'' <math/> then [[y]].")
    assert "Foos and *x*" in md
    assert "then y." in md


# --- Links inside quote formatting --------------------------------------------


def test_a_label_that_closes_the_quotes_around_its_link(plain):
    md = convert(plain, f"{PROSE} ''[[Republic (Plato)|''Republic'']]'' by Plato.")
    assert "[[" not in md and "{=wikitext}" not in md
    assert "Republic" in md and "by Plato." in md


class ArticleMaker:
    """Pages shaped like encyclopedia articles, with the ways real ones put
    links inside bold and italics."""

    LINKS = [
        "''[[{t} (film)|''{t}'']]''",
        "''[[{t}]]''",
        "'''[[{t}]]'''",
        "'''''[[{t}|''{t}'']]'''''",
        "'''[[{t}|'''{t}''']]'''",
        "[[{t}|''{t}'']]",
        "''[[{t}|{t}'s]] work''",
        "''see [[{t}|''{t}'' (novel)]]''",
        "[[{t}|''{t}'']]'s",
        "''[[{t}]]'''s",
        "''[https://example.org/{t} ''{t}'']''",
        "'''{t}''' ([[{t}|''{t}'']])",
        "''[[{t}|{t}]] and [[{u}|''{u}'']]''",
    ]

    def __init__(self, seed):
        self.rng = random.Random(seed)

    def word(self):
        return self.rng.choice(["Republic", "Odyssey", "Hamlet", "Dune", "Nostromo", "Walden", "Ulysses"])

    def link(self):
        return self.rng.choice(self.LINKS).format(t=self.word(), u=self.word())

    def sentence(self):
        parts = [PROSE.split(".")[0]]
        for _ in range(self.rng.randint(1, 3)):
            parts.append(self.link())
            parts.append(self.rng.choice(["is cited in", "and", "was followed by", "; see also"]))
        return " ".join(parts) + "."

    def page(self):
        out = ["{{Infobox book\n| name = " + self.word() + "\n| author = [[" + self.word() + "]]\n}}"]
        out.append(f"'''{self.word()}''' is a book. " + self.sentence() + " " + PROSE)
        for _ in range(self.rng.randint(2, 4)):
            out.append(f"== {self.word()} ==")
            out.append(" ".join(self.sentence() for _ in range(3)) + "<ref>" + self.link() + "</ref>")
            out.append("\n".join("* " + self.sentence() for _ in range(3)))
        out.append(f"<gallery>\nFile:{self.word()}.jpg|[[{self.word()}]] in ''{self.word()}''\n</gallery>")
        out.append("== References ==\n{{Reflist}}\n\n[[Category:" + self.word() + "]]")
        return "\n\n".join(out)


def test_article_like_pages_keep_no_link_brackets_outside_raw_wikitext_blocks(plain):
    # Every link on these pages is well formed, so no raw wikitext span is
    # deliberate: a "[[" anywhere but in the gallery's raw block is a leak.
    maker = ArticleMaker(22)
    pages = [maker.page() for _ in range(200)]
    leaks = []
    for page, (md, _) in zip(pages, plain.quillmd_batch(pages)):
        assert md is not None
        assert RAW_BLOCK.search(md) is not None
        rest = outside_raw_blocks(md)
        if "[[" in rest:
            at = rest.index("[[")
            leaks.append(rest[max(0, at - 80) : at + 80])
    assert leaks == []


def test_article_like_pages_pass_the_chunk_stage(tmp_path):
    # Unwrapped links leave emphasis directly inside emphasis; the chunk
    # stage refuses any page whose Markdown does not read back to itself,
    # so the staged run must accept what the article stage wrote.
    maker = ArticleMaker(7)
    pages = [page_xml(f"Page {i}", maker.page(), page_id=i + 1, revision_id=i + 1) for i in range(2000)]
    xml = tmp_path / "articles.xml"
    xml.write_text(dump(pages), encoding="utf-8")
    meta = make_metadata(tmp_path / "meta.db", disambiguation=[])
    articles, chunks = tmp_path / "a.jsonl", tmp_path / "c.jsonl"
    assert _core.build_stage1(xml, articles, meta, min_bytes=0)[0] == 2000
    assert _core.build_stage2(articles, chunks) >= 2000


# --- Template calls whose names are no titles ------------------------------------

STRAY = "Start {{ stray\n\nSecond paragraph alpha.\n\n== Heading beta ==\n\nThird gamma }} end."


def test_text_between_a_stray_opener_and_a_later_closer_is_read(converter):
    md = convert(converter, f"{PROSE}\n\n{STRAY}\n\n* item {{{{Navbox}}}} one\n{{{{Navbox\n| a = 1}}}}\n")
    assert "Start " in md and "stray" in md
    assert "\n\nSecond paragraph alpha.\n\n## Heading beta\n\nThird gamma }} end.\n\n" in md
    # Calls with titles for names are still calls: the navigation box goes.
    assert "- item  one" in md or "- item one" in md
    assert "Navbox" not in md


@pytest.mark.parametrize(
    "name, call",
    [
        ("Infobox x", True),
        ("\nInfobox x\n", True),
        (" Infobox x \n ", True),
        ("Infobox x#y", True),
        ("Infobox x\u00a0y", True),
        ("DISPLAYTITLE:<i>x</i>", True),
        ("DEFAULTSORT:\nName", True),
        ("Infobox {{x}}\ny", True),
        ("Infobox x <!-- c\n\n-->", True),
        ("Infobox x\ny", False),
        ("Infobox x\n\ny", False),
        ("Infobox x\ty", False),
        ("Infobox x\x7fy", False),
        ("Infobox x\ufffdy", False),
        ("Infobox x<b>y</b>", False),
        ("Infobox x [y]", False),
        ("Infobox x}y", False),
        ("Infobox\n:x", False),
        ("DISPLAYTITLE:x\ny", False),
    ],
)
def test_a_call_is_text_when_its_name_is_no_title(plain, name, call):
    # Infoboxes and these magic words are removed whatever the roles: a call
    # leaves nothing, text leaves the braces and what they hold.
    md = convert(plain, f"{PROSE}\n\nBefore {{{{{name}|a=1}}}} after.")
    tail = md[md.index("Before") :]
    if call:
        assert tail == "Before  after.\n\n"
    else:
        assert tail.startswith("Before ") and "{{" in tail and "after." in tail
        assert "Infobox" in tail or "DISPLAYTITLE" in tail


def test_pages_with_calls_read_as_text_pass_the_chunk_stage(tmp_path):
    rng = random.Random(28)
    shapes = [
        "{{{{ {w}\n\n{w} [[{w}]] ''{w}''.\n\n== {w} ==\n* {w}\n# {w}\n\n{w} }}}}",
        "{{{{{w} [{w}] ''{w}'' }}}}",
        "{{{{{w}\n{w} {{{{{w}|k={w}}}}} }}}}",
        "{{{{{w}\t{w}}}}} {{{{{w}<br>}}}}",
        "{{{{ {w}\n\n{{| class=wikitable\n! a !! b\n|-\n| {w} || {w}\n|}}\n\n}}}}",
    ]
    words = ["alpha", "beta", "gamma", "delta", "Navbox", "x*y", "a|b", "c=d"]
    pages = []
    for i in range(400):
        parts = [PROSE]
        for _ in range(rng.randint(1, 6)):
            parts.append(rng.choice(shapes).replace("{w}", "{}").format(*(rng.choice(words) for _ in range(12))))
        pages.append(page_xml(f"Page {i}", "\n\n".join(parts), page_id=i + 1, revision_id=i + 1))
    xml = tmp_path / "articles.xml"
    xml.write_text(dump(pages), encoding="utf-8")
    meta = make_metadata(tmp_path / "meta.db", roles=[("Navbox", "navigation")], disambiguation=[])
    articles, chunks = tmp_path / "a.jsonl", tmp_path / "c.jsonl"
    assert _core.build_stage1(xml, articles, meta, min_bytes=0)[0] == 400
    assert _core.build_stage2(articles, chunks) >= 400
