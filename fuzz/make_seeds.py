#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: small synthetic inputs, one
file each, made here from pieces written for the purpose (nothing is copied
from a real wiki or dump). Each target gets a few shapes of every construct
its reader knows, so that fuzzing starts from inputs that already reach deep
into the code instead of spending its first hour finding the magic bytes.

Usage: make_seeds.py OUTDIR   (writes OUTDIR/<target>/seed-NNN)
"""
import bz2
import gzip
import io
import json
import os
import shutil
import struct
import subprocess
import sys
import zlib

WIKITEXT = [
    "'''Alpha''' is a ''test'' page with a [[Link|label]] and a [[Plain link]].\n\n== Section ==\nText.<ref>A note.</ref>\n\n{{reflist}}\n",
    "= Title =\n* one\n* two\n** nested\n# first\n#: continued\n; term : definition\n",
    "{| class=\"wikitable\"\n|+ Caption\n! H1 !! H2\n|-\n| a || b\n|-\n| colspan=\"2\" | c\n|}\n",
    "{{Infobox thing|name=X|value={{nested|1}}}}\nBody text [http://example.com/x site] and http://bare.example.org.\n",
    "<nowiki>''not italic''</nowiki> <math>x^2+y_1</math> <code>a*b</code> <pre>pre\n text</pre>\n",
    "Line with <span style=\"color:red\">span</span>, <sup>2</sup>, <sub>i</sub>, <br/>, &amp; &nbsp; &#x41; &#66;.\n",
    "<ref name=\"n\">Named</ref> again<ref name=\"n\"/> and <references/>\n",
    "'''''both''''' '''bold ''inner'' still''' ''it '''b''' it''\n",
    " preformatted line\n more\n\n----\n<blockquote>Quoted\ntext</blockquote>\n",
    "<div class=\"x\">\n<gallery>\nFile:A.jpg|cap\n</gallery>\n</div>\n[[File:B.png|thumb|A caption with [[link]]]]\n[[Category:Things]]\n",
    "== A == \n=== B ===\n==== C ====\ntext ~~~~ __NOTOC__ {{#if:x|y|z}} {{{param|default}}}\n",
    "<!-- comment -->Text after comment.<ol><li>one</li><li>two</li></ol>\n<table><tr><td>cell</td></tr></table>\n",
    "caf\u00e9 \u00fcber \u65e5\u672c\u8a9e \U0001F600 \u2014 \u00ab quoted \u00bb\n",
    "* ''a'' [[b]]\n*# c\n*#* d\n:indent\n::more\n",
]

MARKDOWN = [
    "# Heading {#id .class}\n\nParagraph with *emphasis*, **strong**, `code`, [link](http://example.com \"t\").\n",
    "- one\n- two\n  - nested\n\n1. first\n2. second\n\n> quote\n> > nested quote\n",
    "```python {.x}\ncode\n```\n\n~~~\ntilde\n~~~\n\n    indented code\n",
    "| a | b |\n|---|:-:|\n| 1 | 2 |\n| 3 | 4 |\n",
    "Text with a note.[^1]\n\n[^1]: The note.\n    More of it.\n",
    "::: {.note}\nInside a div.\n\n::: nested\nDeeper.\n:::\n:::\n",
    "Term\n: Definition\n\n<div>raw html</div>\n\n<span>inline</span> &amp; \\* escaped\n",
    "Setext\n======\n\nOther\n-----\n\n***\n\n![img](a.png){width=10}\n",
    "[span]{.smallcaps} ^sup^ ~sub~ ~~strike~~ <http://auto.link> a@b.example\n",
    "---\ntitle: front\n---\n\nBody $x^2$ and $$y$$.\n",
    "* a\n\n  b\n* c\n\n10) ten\n11) eleven\n",
    "caf\u00e9 \u65e5\u672c\u8a9e \U0001F600 *\u00fcber*\n",
]

TEXTS = [
    b"",
    b"a",
    b"hello, hello, hello world\n" * 40,
    bytes(range(256)) * 3,
    b"".join(struct.pack("<I", (i * 2654435761) & 0xFFFFFFFF) for i in range(300)),
    b"abababababababababababab" * 20 + b"\x00" * 300,
]

XML_PAGE = """  <page>
    <title>{title}</title>
    <ns>{ns}</ns>
    <id>{id}</id>
{redirect}    <revision>
      <id>{rev}</id>
      <parentid>1</parentid>
      <timestamp>2001-01-0{d}T00:00:00Z</timestamp>
      <contributor><username>Someone</username><id>7</id></contributor>
      <model>wikitext</model>
      <format>text/x-wiki</format>
      <text bytes="{n}" xml:space="preserve">{text}</text>
      <sha1>abc</sha1>
    </revision>
  </page>
"""


def xml_escape(s):
    return s.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;").replace('"', "&quot;")


def xml_dump(pages):
    head = ('<mediawiki xmlns="http://www.mediawiki.org/xml/export-0.10/" version="0.10" xml:lang="en">\n'
            "  <siteinfo>\n    <sitename>Test</sitename>\n    <namespaces>\n"
            '      <namespace key="0" case="first-letter" />\n'
            '      <namespace key="10" case="first-letter">Template</namespace>\n'
            "    </namespaces>\n  </siteinfo>\n")
    body = ""
    for i, (title, ns, text, redirect) in enumerate(pages):
        body += XML_PAGE.format(title=xml_escape(title), ns=ns, id=10 + i, rev=100 + i, d=1 + i % 9,
                                redirect='    <redirect title="Target" />\n' if redirect else "",
                                n=len(text.encode()), text=xml_escape(text))
    return (head + body + "</mediawiki>\n").encode()


def article(i, md, warnings=(), rev=True, ts=True):
    return json.dumps({"article_id": i, "page_id": 100 + i, "revision_id": 500 + i if rev else None,
                       "title": f"Page {i} \u00e9", "timestamp": "2001-01-01T00:00:00Z" if ts else None,
                       "md": md, "warnings": list(warnings)}, ensure_ascii=(i % 2 == 0))


def lz4_cli(data, *flags):
    tool = shutil.which("lz4")
    if not tool:
        return None
    return subprocess.run([tool, "-q", "-c", *flags], input=data, stdout=subprocess.PIPE, check=True).stdout


def test_literals(folder):
    """The string literals of the C++ tests in `folder`, decoded: the
    Markdown reader's and writer's tests hold the hard cases found so far,
    from which mutations reach the shapes around them."""
    import ast
    import re
    import warnings
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", folder)
    found = set()
    for name in sorted(os.listdir(root)):
        if not name.endswith(".cpp"):
            continue
        with open(os.path.join(root, name), encoding="utf-8") as f:
            source = f.read()
        for m in re.finditer(r'"((?:[^"\\\n]|\\.)*)"', source):
            try:
                with warnings.catch_warnings():
                    # C escapes Python does not know ("\{") stay as they are.
                    warnings.simplefilter("ignore")
                    value = ast.literal_eval('b"' + m.group(1) + '"')
            except (SyntaxError, ValueError):
                continue
            if len(value) >= 2:
                found.add(value)
    return sorted(found)


def main():
    out = sys.argv[1]
    seeds = {name: [] for name in ["fuzz_wikitext", "fuzz_markdown", "fuzz_bzip2", "fuzz_gzip", "fuzz_deflate",
                                   "fuzz_lz4", "fuzz_pages", "fuzz_records", "fuzz_pageprops"]}
    seeds["fuzz_wikitext"] = [t.encode() for t in WIKITEXT]
    seeds["fuzz_markdown"] = [t.encode() for t in MARKDOWN] + test_literals("tests/cpp/markdown")

    for i, t in enumerate(TEXTS):
        seeds["fuzz_bzip2"].append(bz2.compress(t, 1 + i % 9))
        seeds["fuzz_gzip"].append(gzip.compress(t, i % 10, mtime=0))
        for level in (0, 1, 6, 9):
            seeds["fuzz_deflate"].append(zlib.compress(t, level, wbits=-15) if sys.version_info >= (3, 11)
                                         else zlib.compressobj(level, zlib.DEFLATED, -15).compress(t))
        for strategy in (zlib.Z_FIXED, zlib.Z_RLE, zlib.Z_HUFFMAN_ONLY):
            c = zlib.compressobj(6, zlib.DEFLATED, -15, 8, strategy)
            seeds["fuzz_deflate"].append(c.compress(t) + c.flush())
    seeds["fuzz_bzip2"].append(bz2.compress(TEXTS[2]) + bz2.compress(TEXTS[3]))  # two streams
    # Empty streams packed denser than the parallel path decodes magics
    # speculatively, around a stream with data.
    seeds["fuzz_bzip2"].append(bz2.compress(b"") * 300 + bz2.compress(TEXTS[1]) + bz2.compress(b"") * 300)
    # Named member with a header CRC, then a second member.
    buf = io.BytesIO()
    with gzip.GzipFile(filename="name.txt", mode="wb", fileobj=buf, mtime=0) as f:
        f.write(TEXTS[2])
    seeds["fuzz_gzip"].append(buf.getvalue() + gzip.compress(TEXTS[4], mtime=0))
    flagged = bytearray(gzip.compress(TEXTS[1], mtime=0))
    flagged[3] |= 0x02 | 0x04 | 0x10  # FHCRC, FEXTRA, FCOMMENT
    hdr = bytes(flagged[:10]) + b"\x04\x00AB\x00\x00" + b"comment\x00"
    hdr += struct.pack("<H", zlib.crc32(hdr) & 0xFFFF)
    seeds["fuzz_gzip"].append(hdr + bytes(flagged[10:]))
    seeds["fuzz_gzip"].append(gzip.compress(TEXTS[2], mtime=0) + b"\x00" * 8)  # zero padding

    lz4_variants = [(), ("-1",), ("-9",), ("-BD",), ("--content-size",), ("-BX",), ("--no-frame-crc",),
                    ("-l",), ("-B4", "-BD", "-BX")]
    for i, t in enumerate(TEXTS):
        c = lz4_cli(t, *lz4_variants[i % len(lz4_variants)])
        if c is not None:
            seeds["fuzz_lz4"].append(c)
    if shutil.which("lz4"):
        for flags in lz4_variants:
            seeds["fuzz_lz4"].append(lz4_cli(TEXTS[2] + TEXTS[3], *flags))
        skippable = struct.pack("<II", 0x184D2A50, 4) + b"skip"
        seeds["fuzz_lz4"].append(skippable + lz4_cli(TEXTS[2]) + lz4_cli(TEXTS[1]))
    else:
        print("make_seeds: no lz4 tool, LZ4 seeds skipped", file=sys.stderr)

    seeds["fuzz_pages"] = [
        xml_dump([("Alpha", 0, WIKITEXT[0], False)]),
        xml_dump([("Beta & Gamma", 0, WIKITEXT[2], False), ("Redirect", 0, "#REDIRECT [[Target]]", True),
                  ("Template:T", 10, "{{{1}}}", False)]),
        xml_dump([("Empty", 0, "", False)]).replace(b'<text bytes="0" xml:space="preserve"></text>',
                                                   b'<text bytes="0" />'),
        xml_dump([("Entities", 0, "a &lt; b &#x263A; &#9731; caf\u00e9", False)]),
        xml_dump([("Trunc", 0, WIKITEXT[1], False)])[:-40],
    ]

    seeds["fuzz_records"] = [
        article(1, "# Title\n\nBody *text*.\n").encode(),
        article(2, "line\nwith \"quotes\" \\ and \t tab \u0001", ["unclosed template"], rev=False).encode(),
        article(3, "caf\u00e9 \U0001F600", ts=False).encode(),
        b'{"article_id":4,"page_id":5,"revision_id":null,"title":"\\ud83d\\ude00","timestamp":null,'
        b'"md":"\\u00e9\\n","warnings":[]}',
        b'[7,8,9,"t","2001","m",["w"]]',
        b'  {"md":"x","warnings":["a","b"],"title":"T","timestamp":"s","revision_id":1,"page_id":2,'
        b'"article_id":3}  ',
    ]

    seeds["fuzz_pageprops"] = [
        b"INSERT INTO `page_props` VALUES (1,'disambiguation','',NULL),(2,'wikibase_item','Q1',NULL),"
        b"(30,'disambiguation','',NULL);\n",
        b"-- MySQL dump\nCREATE TABLE `page_props` (`pp_page` int);\n"
        b"INSERT INTO `page_props` VALUES (18446744073709551615,'disambiguation','',NULL),"
        b"(18446744073709551616,'disambiguation','',NULL),(x,'disambiguation','',0);\n",
        b"(" + b"9" * 40 + b",'disambiguation','',NULL),(5,'disambiguation',''",
    ]

    for name, items in seeds.items():
        d = os.path.join(out, name)
        os.makedirs(d, exist_ok=True)
        for i, data in enumerate(items):
            with open(os.path.join(d, f"seed-{i:03d}"), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
