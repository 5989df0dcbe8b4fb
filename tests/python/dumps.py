"""Synthetic MediaWiki XML dumps for the dataset tests."""
from xml.sax.saxutils import escape

from conftest import page as wiki_page


def page_xml(title, text, ns=0, page_id=1, revision_id=100, timestamp="2024-01-01T00:00:00Z", redirect=False):
    parts = [f"  <page>\n    <title>{escape(title)}</title>\n    <ns>{ns}</ns>\n    <id>{page_id}</id>\n"]
    if redirect:
        parts.append(f'    <redirect title="{escape(title)}" />\n')
    parts.append(
        f"    <revision>\n      <id>{revision_id}</id>\n      <timestamp>{timestamp}</timestamp>\n"
        f"      <contributor><username>Someone</username><id>77</id></contributor>\n"
        f'      <text bytes="{len(text.encode())}" xml:space="preserve">{escape(text)}</text>\n'
        f"    </revision>\n  </page>\n"
    )
    return "".join(parts)


def dump(pages_xml):
    return (
        '<mediawiki xmlns="http://www.mediawiki.org/xml/export-0.11/" version="0.11" xml:lang="en">\n'
        "  <siteinfo><sitename>Synthetic</sitename></siteinfo>\n" + "".join(pages_xml) + "</mediawiki>\n"
    )


def synthetic_dump(n, start_id=1000):
    """n article pages, with a few non-articles mixed in."""
    out = []
    for i in range(n):
        pid = start_id + i
        out.append(page_xml(f"Topic {pid}", wiki_page(pid), page_id=pid, revision_id=1000 + pid))
        if i % 50 == 7:
            out.append(page_xml(f"Talk:Topic {pid}", wiki_page(pid), ns=1, page_id=900000 + pid))
            out.append(page_xml(f"Alias {pid}", "#REDIRECT [[Topic]]", page_id=800000 + pid, redirect=True))
    return dump(out)
