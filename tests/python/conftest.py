import sqlite3

import pytest


def make_metadata(path, redirects=(), roles=(), disambiguation=None):
    """A metadata database as the other tools of a wiki pipeline write it."""
    con = sqlite3.connect(path)
    con.execute("CREATE TABLE redirect (namespace INTEGER, title TEXT, to_namespace INTEGER, to_title TEXT)")
    con.execute("CREATE TABLE template_role (title TEXT, role TEXT)")
    con.executemany("INSERT INTO redirect VALUES (?, ?, ?, ?)", redirects)
    con.executemany("INSERT INTO template_role VALUES (?, ?)", roles)
    if disambiguation is not None:
        con.execute("CREATE TABLE disambiguation (page_id INTEGER PRIMARY KEY)")
        con.executemany("INSERT INTO disambiguation VALUES (?)", [(i,) for i in disambiguation])
    con.commit()
    con.close()
    return path


@pytest.fixture
def metadata(tmp_path):
    return make_metadata(
        tmp_path / "meta.db",
        redirects=[(10, "Navbox_alias", 10, "Navbox")],
        roles=[("Navbox", "navigation"), ("Nowrap", "unwrap"), ("Cite_web", "citation")],
        disambiguation=[],
    )


@pytest.fixture
def converter(metadata):
    from corpuswright import WikiConverter

    return WikiConverter(metadata)


PROSE = (
    "The quick brown fox jumps over the lazy dog near the quiet river bank, "
    "while the evening light fades slowly behind the distant hills."
)


def page(i, sections=2, words=40):
    """A synthetic wikitext page with prose, a few sections and templates."""
    parts = [f"'''Topic {i}''' is a synthetic subject. {PROSE}", "{{Navbox|x}}"]
    for s in range(sections):
        parts.append(f"== Section {s} of {i} ==")
        parts.append(" ".join(f"word{(i * 7 + s * 3 + k) % 97}" for k in range(words)) + ".")
        parts.append(f"* item {s} with [[Link {s}|a link]] and {{{{Nowrap|kept text}}}}")
    return "\n\n".join(parts) + "\n"
