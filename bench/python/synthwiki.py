"""Synthetic wikitext pages, dumps and metadata databases for the benchmarks.

Everything here is generated from a seeded random source, so every run of a
benchmark sees the same corpus. Pages mix the constructs a real encyclopedia
article is made of (lead paragraph with bold title, sections and subsections,
bullet and numbered lists, tables, internal and external links, templates of
every role, references with citation templates, a little non-ASCII text), with
a Zipf-like vocabulary so that bzip2 compresses the dump about as well as it
compresses real prose.
"""
import random
import sqlite3
from xml.sax.saxutils import escape

# Templates and the roles the metadata database gives them.
ROLES = [
    ("Navbox", "navigation"),
    ("Infobox_settlement", "infobox"),
    ("Cite_web", "citation"),
    ("Cite_book", "citation"),
    ("Citation_needed", "maintenance"),
    ("Commons_category", "sister_project"),
    ("Authority_control", "authority"),
    ("Main", "hatnote"),
    ("Nowrap", "unwrap"),
    ("Lang", "unwrap1"),
    ("Stub", "ok"),
]
REDIRECTS = [(10, "Cite", 10, "Cite_web"), (10, "Nobr", 10, "Nowrap")]

_SYLLABLES = ["ka", "to", "ri", "mu", "sen", "la", "vor", "en", "di", "qua", "bel", "or", "tis", "na", "po",
              "gra", "lin", "ex", "um", "sta", "ver", "ol", "che", "an", "mi", "ro", "fal", "ist", "ur", "zen"]


def _vocabulary(rng, n=6000):
    words = set()
    while len(words) < n:
        words.add("".join(rng.choice(_SYLLABLES) for _ in range(rng.choice((1, 2, 2, 3, 3, 4)))))
    words = sorted(words)
    rng.shuffle(words)
    return words


class Generator:
    """Deterministic page text generator (one per seed)."""

    def __init__(self, seed=1):
        self.rng = random.Random(seed)
        self.words = _vocabulary(self.rng)
        # Zipf-like weights: word k has weight 1/(k+10).
        self.cum = []
        total = 0.0
        for k in range(len(self.words)):
            total += 1.0 / (k + 10)
            self.cum.append(total)

    def word(self):
        return self.rng.choices(self.words, cum_weights=self.cum, k=1)[0]

    def phrase(self, lo, hi):
        return " ".join(self.rng.choices(self.words, cum_weights=self.cum, k=self.rng.randint(lo, hi)))

    def title(self):
        return self.phrase(1, 3).title()

    def sentence(self):
        r = self.rng
        parts = []
        for _ in range(r.randint(2, 5)):
            x = r.random()
            if x < 0.55:
                parts.append(self.phrase(2, 7))
            elif x < 0.72:
                target = self.title()
                parts.append(f"[[{target}]]" if r.random() < 0.5 else f"[[{target}|{self.phrase(1, 3)}]]")
            elif x < 0.78:
                parts.append(f"'''{self.phrase(1, 2)}'''")
            elif x < 0.84:
                parts.append(f"''{self.phrase(1, 3)}''")
            elif x < 0.88:
                parts.append(f"{{{{Nowrap|{self.phrase(1, 3)}}}}}")
            elif x < 0.91:
                parts.append(f"{{{{Lang|de|{self.phrase(1, 2)}}}}}")
            elif x < 0.94:
                parts.append(f"[https://example.org/{self.word()}/{r.randint(1, 9999)} {self.phrase(1, 3)}]")
            elif x < 0.97:
                parts.append(f"{self.phrase(1, 3)} ({r.randint(1200, 2024)}–{r.randint(1200, 2024)})")
            else:
                parts.append(f"Žluťoučký {self.word()} café")
        s = " ".join(parts)
        s = s[0].upper() + s[1:] + "."
        if r.random() < 0.25:
            s += self.reference()
        if r.random() < 0.03:
            s += "{{Citation needed|date=May 2020}}"
        return s

    def reference(self):
        r = self.rng
        x = r.random()
        if x < 0.5:
            return (f"<ref>{{{{Cite web|url=https://example.com/{self.word()}|title={self.title()}"
                    f"|publisher={self.title()}|date={r.randint(1990, 2024)}}}}}</ref>")
        if x < 0.7:
            return f'<ref name="r{r.randint(1, 12)}">{{{{Cite book|last={self.word()}|title={self.title()}|year={r.randint(1900, 2024)}}}}}</ref>'
        if x < 0.85:
            return f'<ref name="r{r.randint(1, 12)}" />'
        return f"<ref>{self.sentence_plain()}</ref>"

    def sentence_plain(self):
        s = self.phrase(4, 12)
        return s[0].upper() + s[1:] + "."

    def paragraph(self):
        return " ".join(self.sentence() for _ in range(self.rng.randint(2, 6)))

    def bullet_list(self):
        r = self.rng
        mark = r.choice(("*", "#"))
        lines = []
        for _ in range(r.randint(3, 8)):
            lines.append(f"{mark} {self.sentence()}")
            if r.random() < 0.2:
                lines.append(f"{mark}{mark} {self.sentence_plain()}")
        return "\n".join(lines)

    def table(self):
        r = self.rng
        cols = r.randint(2, 5)
        rows = [f'{{| class="wikitable"', f"|+ {self.title()}", "! " + " !! ".join(self.title() for _ in range(cols))]
        for _ in range(r.randint(2, 8)):
            rows.append("|-")
            rows.append("| " + " || ".join(
                (str(r.randint(1, 100000)) if r.random() < 0.4 else f"[[{self.title()}]]") for _ in range(cols)))
        rows.append("|}")
        return "\n".join(rows)

    def infobox(self):
        r = self.rng
        fields = "\n".join(f"| {self.word()} = {self.phrase(1, 4)}" for _ in range(r.randint(4, 12)))
        return f"{{{{Infobox settlement\n{fields}\n}}}}"

    def page(self, title):
        """One page of wikitext: about 2 to 25 KB, most pages near 6 KB."""
        r = self.rng
        out = []
        if r.random() < 0.4:
            out.append(self.infobox())
        out.append(f"'''{title}''' is {self.paragraph()}")
        for _ in range(int(r.lognormvariate(1.2, 0.6)) + 1):
            out.append(f"== {self.title()} ==")
            if r.random() < 0.2:
                out.append(f"{{{{Main|{self.title()}}}}}")
            for _ in range(r.randint(1, 3)):
                out.append(self.paragraph())
            x = r.random()
            if x < 0.35:
                out.append(self.bullet_list())
            elif x < 0.55:
                out.append(self.table())
            if r.random() < 0.3:
                out.append(f"=== {self.title()} ===")
                out.append(self.paragraph())
        out.append("== References ==")
        out.append("{{Reflist}}" if r.random() < 0.5 else "<references />")
        if r.random() < 0.5:
            out.append("== External links ==")
            out.append(f"* {{{{Commons category|{self.title()}}}}}")
            out.append(f"* [https://example.net/{self.word()} {self.phrase(2, 4)}]")
        out.append("{{Navbox|" + self.title() + "}}")
        out.append("{{Authority control}}")
        if r.random() < 0.2:
            out.append("{{Stub}}")
        out.append(f"[[Category:{self.title()}]]")
        return "\n\n".join(out) + "\n"


def pages(n, seed=1):
    """n synthetic wikitext pages (a list of str)."""
    g = Generator(seed)
    return [g.page(g.title()) for _ in range(n)]


_HEADER = ('<mediawiki xmlns="http://www.mediawiki.org/xml/export-0.11/" version="0.11" xml:lang="en">\n'
           "  <siteinfo><sitename>Synthetic</sitename></siteinfo>\n")


def _page_xml(title, text, ns, page_id, revision_id, redirect=None):
    red = f'    <redirect title="{escape(redirect)}" />\n' if redirect else ""
    return (f"  <page>\n    <title>{escape(title)}</title>\n    <ns>{ns}</ns>\n    <id>{page_id}</id>\n{red}"
            f"    <revision>\n      <id>{revision_id}</id>\n      <timestamp>2024-03-01T12:00:00Z</timestamp>\n"
            f"      <contributor><username>Bench</username><id>7</id></contributor>\n"
            f'      <text bytes="{len(text.encode())}" xml:space="preserve">{escape(text)}</text>\n'
            f"    </revision>\n  </page>\n")


def write_dump(f, target_bytes, seed=1):
    """Writes a dump of at least target_bytes of XML to the binary file f.

    About one page in twelve is not an article (talk page, redirect, stub
    shorter than the default minimum, or listed as a disambiguation page), so
    the stages' filters have work to do. Returns (pages, disambiguation ids).
    """
    g = Generator(seed)
    written = 0
    f.write(_HEADER.encode())
    page_id = 0
    disambiguation = []
    while written < target_bytes:
        page_id += 1
        title = g.title() + f" {page_id}"
        kind = page_id % 12
        if kind == 3:
            xml = _page_xml("Talk:" + title, g.page(title), 1, page_id, 10 * page_id)
        elif kind == 5:
            xml = _page_xml(title, f"#REDIRECT [[{g.title()}]]", 0, page_id, 10 * page_id, redirect=g.title())
        elif kind == 7:
            xml = _page_xml(title, f"'''{title}''' is a stub.", 0, page_id, 10 * page_id)
        elif kind == 9:
            disambiguation.append(page_id)
            xml = _page_xml(title, g.page(title), 0, page_id, 10 * page_id)
        else:
            xml = _page_xml(title, g.page(title), 0, page_id, 10 * page_id)
        data = xml.encode()
        f.write(data)
        written += len(data)
    f.write(b"</mediawiki>\n")
    return page_id, disambiguation


def write_metadata(path, disambiguation=()):
    """A metadata database with the template roles and redirects used above."""
    con = sqlite3.connect(path)
    con.execute("CREATE TABLE redirect (namespace INTEGER, title TEXT, to_namespace INTEGER, to_title TEXT)")
    con.execute("CREATE TABLE template_role (title TEXT, role TEXT)")
    con.execute("CREATE TABLE disambiguation (page_id INTEGER PRIMARY KEY)")
    con.executemany("INSERT INTO redirect VALUES (?, ?, ?, ?)", REDIRECTS)
    con.executemany("INSERT INTO template_role VALUES (?, ?)", ROLES)
    con.executemany("INSERT INTO disambiguation VALUES (?)", [(i,) for i in disambiguation])
    con.commit()
    con.close()
