"""Makes the sample inputs shipped in examples/: a small synthetic MediaWiki
dump (sample-dump.xml.bz2), a page-properties SQL dump (sample-page-props.sql)
and the metadata database the dataset stages read (sample-metadata.db).

Everything here is generated: invented topics, sentences built from a fixed
word list, and the template, table, list and reference markup a real wiki
uses. The output is deterministic, so the shipped files can be remade.
"""
import bz2
import random
import sqlite3
import sys
from pathlib import Path
from xml.sax.saxutils import escape

WORDS = (
    "river valley stone bridge harbour market council school railway station tower "
    "forest meadow village castle museum library garden festival season harvest "
    "northern southern eastern western ancient modern quiet busy narrow broad "
    "built opened restored extended founded named crossed served linked housed "
    "century decade year population district province region coast island lake"
).split()

ROLES = [
    ("Navbox", "navigation"), ("Sidebar", "sidebar"), ("Infobox_settlement", "infobox"),
    ("Cite_web", "citation"), ("Cite_book", "citation"), ("Citation_needed", "maintenance"),
    ("Commons_category", "sister_project"), ("Official_website", "external_link"),
    ("Authority_control", "authority"), ("About", "hatnote"), ("Nowrap", "unwrap"),
    ("Lang", "unwrap1"), ("Small", "unwrap"), ("Coord", "ok"),
]
REDIRECTS = [(10, "Cite", 10, "Cite_web"), (10, "Nav", 10, "Navbox"), (10, "Cn", 10, "Citation_needed")]


def sentence(rng, words=None):
    n = words or rng.randint(8, 18)
    text = " ".join(rng.choice(WORDS) for _ in range(n))
    return text[0].upper() + text[1:] + "."


def paragraph(rng, links=True):
    parts = []
    for _ in range(rng.randint(2, 5)):
        s = sentence(rng)
        roll = rng.random()
        if links and roll < 0.3:
            w = rng.choice(WORDS)
            s = s.replace(f" {w} ", f" [[{w.title()} {rng.randint(1, 99)}|{w}]] ", 1)
        elif roll < 0.45:
            s += f"<ref>{{{{Cite web|url=https://example.org/{rng.randint(1, 999)}|title={sentence(rng, 4)}}}}}</ref>"
        elif roll < 0.55:
            s += "{{Citation needed|date=May 2020}}"
        elif roll < 0.65:
            s = s[:-1] + f", about {{{{convert|{rng.randint(2, 900)}|km|mi}}}} long."
        elif roll < 0.72:
            s = s[:-1] + f" and '''{rng.choice(WORDS)}''' or ''{rng.choice(WORDS)}''."
        elif roll < 0.78:
            s += f" It lies {{{{frac|{rng.randint(1, 9)}|{rng.randint(2, 9)}}}}} of the way along."
        parts.append(s)
    return " ".join(parts)


def table(rng):
    rows = ["{| class=\"wikitable\"", "! Year !! Event !! Count"]
    for _ in range(rng.randint(2, 5)):
        rows.append("|-")
        rows.append(f"| {rng.randint(1800, 2020)} || {sentence(rng, 3)} || {rng.randint(1, 5000)}")
    rows.append("|}")
    return "\n".join(rows)


def article(rng, title):
    out = []
    if rng.random() < 0.3:
        out.append("{{About|the place|other uses|" + title + " (disambiguation)}}")
    out.append("{{Infobox settlement\n| name = " + title + "\n| population = " + str(rng.randint(100, 90000)) + "\n}}")
    out.append(f"'''{title}''' is a {rng.choice(WORDS)} in the {rng.choice(WORDS)} {rng.choice(WORDS)}. " + paragraph(rng))
    for level_title in rng.sample(["History", "Geography", "Economy", "Culture", "Transport", "Landmarks"], rng.randint(2, 4)):
        out.append(f"== {level_title} ==")
        out.append(paragraph(rng))
        if rng.random() < 0.4:
            out.append(f"=== {rng.choice(WORDS).title()} ===")
            out.append(paragraph(rng))
        roll = rng.random()
        if roll < 0.3:
            out.append("\n".join(f"* {sentence(rng, rng.randint(3, 8))}" for _ in range(rng.randint(2, 5))))
        elif roll < 0.45:
            out.append("\n".join(f"# {sentence(rng, rng.randint(3, 8))}" for _ in range(rng.randint(2, 4))))
        elif roll < 0.6:
            out.append(table(rng))
        elif roll < 0.7:
            out.append(f"[[File:View {rng.randint(1, 99)}.jpg|thumb|{sentence(rng, 5)}]]")
        elif roll < 0.78:
            out.append(f"<math>a^2 + b^{rng.randint(2, 4)} = c</math> and {{{{nowrap|{sentence(rng, 3)}}}}}")
        elif roll < 0.86:
            out.append("{{Weather box|location=" + title + "|jan_high=" + str(rng.randint(1, 9)) + "}}")
        elif roll < 0.92:
            out.append(paragraph(rng) + " {{Sfn|" + rng.choice(WORDS).title() + "|" + str(rng.randint(1900, 2000)) + "}}")
    out.append("== See also ==")
    out.append("* [[" + rng.choice(WORDS).title() + "]]")
    out.append("== References ==")
    out.append("{{Reflist}}")
    out.append("== External links ==")
    out.append("* {{Official website|https://example.org}}")
    out.append("{{Navbox|" + title + "}}")
    out.append("{{Authority control}}")
    out.append(f"[[Category:Places in {rng.choice(WORDS).title()}]]")
    return "\n\n".join(out) + "\n"


def page_xml(title, ns, pid, rid, text, redirect=None):
    red = f'    <redirect title="{escape(redirect)}" />\n' if redirect else ""
    return (
        f"  <page>\n    <title>{escape(title)}</title>\n    <ns>{ns}</ns>\n    <id>{pid}</id>\n{red}"
        f"    <revision>\n      <id>{rid}</id>\n      <timestamp>2024-0{1 + pid % 9}-1{pid % 10}T12:00:00Z</timestamp>\n"
        f"      <contributor>\n        <username>Editor{pid % 7}</username>\n        <id>{5000 + pid % 7}</id>\n      </contributor>\n"
        f"      <model>wikitext</model>\n      <format>text/x-wiki</format>\n"
        f'      <text bytes="{len(text.encode())}" xml:space="preserve">{escape(text)}</text>\n'
        f"    </revision>\n  </page>\n"
    )


def make(out_dir: Path, pages: int = 300, seed: int = 7) -> None:
    rng = random.Random(seed)
    parts = [
        '<mediawiki xmlns="http://www.mediawiki.org/xml/export-0.11/" version="0.11" xml:lang="en">\n'
        "  <siteinfo>\n    <sitename>Samplepedia</sitename>\n    <dbname>samplewiki</dbname>\n  </siteinfo>\n"
    ]
    disambiguation = []
    for i in range(pages):
        pid = 10 + i
        title = f"{rng.choice(WORDS).title()} {rng.choice(WORDS).title()} {i}"
        if i % 40 == 5:
            parts.append(page_xml(title, 0, pid, 90000 + pid, f"#REDIRECT [[{title} (town)]]", redirect=f"{title} (town)"))
        elif i % 40 == 11:
            parts.append(page_xml("Talk:" + title, 1, pid, 90000 + pid, paragraph(rng)))
        elif i % 40 == 17:
            disambiguation.append(pid)
            parts.append(page_xml(title + " (disambiguation)", 0, pid, 90000 + pid,
                                  f"'''{title}''' may refer to:\n\n" + "\n".join(f"* [[{title} {k}]]" for k in range(4)) * 3))
        else:
            parts.append(page_xml(title, 0, pid, 90000 + pid, article(rng, title)))
    parts.append("</mediawiki>\n")
    xml = "".join(parts).encode("utf-8")
    (out_dir / "sample-dump.xml.bz2").write_bytes(bz2.compress(xml, 9))

    props = ",".join(f"({pid},'disambiguation','')" for pid in disambiguation)
    others = ",".join(f"({10 + k},'wikibase_item','Q{k}')" for k in range(0, pages, 3))
    (out_dir / "sample-page-props.sql").write_text(
        "-- synthetic page_props dump\nINSERT INTO `page_props` VALUES " + props + "," + others + ";\n"
    )


def make_metadata(path: Path) -> None:
    """The role and redirect tables; `build_page_props` adds disambiguation."""
    if path.exists():
        path.unlink()
    con = sqlite3.connect(path)
    con.execute("CREATE TABLE redirect (namespace INTEGER, title TEXT, to_namespace INTEGER, to_title TEXT)")
    con.execute("CREATE TABLE template_role (title TEXT, role TEXT)")
    con.executemany("INSERT INTO redirect VALUES (?, ?, ?, ?)", REDIRECTS)
    con.executemany("INSERT INTO template_role VALUES (?, ?)", ROLES)
    con.commit()
    con.close()


if __name__ == "__main__":
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).parent
    if len(sys.argv) > 2 and sys.argv[2] == "--metadata-only":
        make_metadata(target / "sample-metadata.db")
    else:
        make(target)
        make_metadata(target / "sample-metadata.db")
