"""Peak memory of hostile wikitext and Markdown shapes at 256 KB and 1 MB.

Each shape is written to a temporary file and given to `memory_peak` (built
with -DCORPUSWRIGHT_BENCH=ON, in build/tests/bench/memory/ by default), once
per shape and size, each run a process of its own. Wikitext shapes go
through convert_document and render_md (what `quillmd` runs per page),
Markdown shapes through parse_source and render_md. Printed per shape and
size: the process's peak resident size (VmHWM, MB), the heap's peak while
reading and while writing (MB, every allocation counted; the tree read is
part of the second), and the peak resident size over the input size.

    python bench/memory/memory_shapes.py [--program PATH] [--only a,b] [--sizes 262144,1048576]
    python bench/memory/memory_shapes.py --quillmd   # also the peak of WikiConverter.quillmd

`--quillmd` runs each wikitext shape through the installed corpuswright
module in a child interpreter (empty template roles) and prints its peak
resident size too (interpreter and module included).

Bounds the shapes are kept under: no 1 MB wikitext page above 250 MB in
quillmd, no 1 MB Markdown text above 300 MB read and written, and nesting
depth not multiplying memory (nested shapes close to their flat ones).
"""
import argparse
import json
import os
import sqlite3
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def times(unit, n):
    """`unit` repeated to at least n bytes."""
    return unit * max(1, -(-n // len(unit)))


def nested(open_, close, n, inner="x"):
    k = max(1, (n - len(inner)) // (len(open_) + len(close)))
    return open_ * k + inner + close * k


def numbered(unit, n):
    """`unit` % 0, `unit` % 1, ... to at least n bytes."""
    parts, size = [], 0
    while size < n:
        parts.append(unit % len(parts))
        size += len(parts[-1])
    return "".join(parts)


def lazy(prefix, n):
    return prefix + "a\n" + times("b\n", n - len(prefix) - 2)


WIKITEXT = {
    "nested <span>": lambda n: nested("<span>", "</span>", n),
    "nested <small>": lambda n: nested("<small>", "</small>", n),
    "nested <sup>": lambda n: nested("<sup>", "</sup>", n),
    "alternating list kinds": lambda n: times("* a\n# a\n", n),
    "alternating list depths": lambda n: times("* a\n** a\n", n),
    "flat bullet list": lambda n: times("* a\n", n),
    "definition list": lambda n: times(";t\n:d\n", n),
    "<b>x</b> runs": lambda n: times("<b>x</b>", n),
    "'''x''' runs": lambda n: times("'''x''' ", n),
    "small templates": lambda n: times("{{t|a|b=c}} ", n),
    "CR-only line ends": lambda n: times("a\r\r", n),
    "lines of one word": lambda n: times("a\n", n),
    "prose": lambda n: times("The river valley station [[railway|rail]] under the ''bridge''. ", n),
}

MARKDOWN = {
    "lazy lines under 127 items": lambda n: lazy("- " * 127, n),
    "lazy lines under 127 quotes": lambda n: lazy("> " * 127, n),
    "lazy lines under 60 \"- >\"": lambda n: lazy("- > " * 60, n),
    "- - a lines": lambda n: times("- - a\n", n),
    "lazy lines, flat": lambda n: lazy("", n),
    "lines under 128 divs": lambda n: lazy("::: x\n" * 128, n),
    "lines under 128 md containers": lambda n: lazy('<div markdown="1">\n\n' * 128, n),
    "paragraphs under 128 md containers": lambda n: '<div markdown="1">\n\n' * 128 + times("b\n\n", n - 2560),
    "lines under 16 divs in quotes": lambda n: lazy("".join(">" * i + " ::: x\n" for i in range(16)) + ">" * 16 + " ", n),
    "paragraph of a\\n lines": lambda n: times("a\n", n),
    "*a* runs": lambda n: times("*a* ", n),
    "hard breaks": lambda n: times("a\\\n", n),
    "- a lines": lambda n: times("- a\n", n),
    "^a^ runs": lambda n: times("^a^ ", n),
    "~~a~~ runs": lambda n: times("~~a~~ ", n),
    "==a== runs": lambda n: times("==a== ", n),
    "inline notes": lambda n: times("^[a] ", n),
    "table rows": lambda n: "| a | b |\n|---|---|\n" + times("| a | b |\n", n),
    "headings": lambda n: times("# a\n\n", n),
    "*a* then {.c} blocks": lambda n: "*a*" + times("{.c}", n),
    "*a* then {.cN} blocks": lambda n: "*a*" + numbered("{.c%d}", n),
    "[a](b) then {ref=x kN=v}": lambda n: "[a](b)" + numbered("{ref=x k%d=v}", n),
    "[@a0; @a1] then {ref=x}": lambda n: "[@a0; @a1]" + times("{ref=x}", n),
    "[@a0; ...] then {ref=}": lambda n: "[" + numbered("@a%d; ", n // 2) + "@z]" + times("{ref=}", n // 2),
    "[@a0; @a1] then {.cN}": lambda n: "[@a0; @a1]" + numbered("{.c%d}", n),
    "[@a; @b]{ref=x}x64 runs": lambda n: times("[@a; @b]" + "{ref=x}" * 64 + " ", n),
    "prose": lambda n: times("The river *valley* station [rail](http://x.org) under the **bridge**. ", n),
}

QUILLMD = r"""
import sys, time
from corpuswright import WikiConverter
def hwm():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
conv = WikiConverter(sys.argv[2])
text = open(sys.argv[1], encoding="utf-8", newline="").read()
conv.quillmd(text)
print(hwm())
"""


def empty_metadata(path):
    con = sqlite3.connect(path)
    con.execute("CREATE TABLE redirect (namespace INTEGER, title TEXT, to_namespace INTEGER, to_title TEXT)")
    con.execute("CREATE TABLE template_role (title TEXT, role TEXT)")
    con.execute("CREATE TABLE disambiguation (page_id INTEGER PRIMARY KEY)")
    con.commit()
    con.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--program", default=os.path.join(ROOT, "build/tests/bench/memory/memory_peak"))
    ap.add_argument("--sizes", default="262144,1048576")
    ap.add_argument("--only", default="", help="comma-separated substrings of shape names")
    ap.add_argument("--quillmd", action="store_true")
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    only = [s for s in args.only.split(",") if s]

    with tempfile.TemporaryDirectory() as tmp:
        meta = os.path.join(tmp, "meta.db")
        if args.quillmd:
            empty_metadata(meta)
        header = f"{'reader':9} {'shape':30} {'size':>8} {'peak MB':>8} {'read MB':>8} {'write MB':>8} {'x input':>8}"
        if args.quillmd:
            header += f" {'quillmd MB':>10}"
        print(header)
        for reader, shapes in (("wikitext", WIKITEXT), ("markdown", MARKDOWN)):
            for name, make in shapes.items():
                if only and not any(o in name for o in only):
                    continue
                for n in sizes:
                    path = os.path.join(tmp, "input")
                    with open(path, "w", encoding="utf-8", newline="") as f:
                        f.write(make(n))
                    kind = "wiki" if reader == "wikitext" else "md"
                    r = subprocess.run([args.program, kind, path], capture_output=True, text=True)
                    if r.returncode != 0:
                        print(f"{reader:9} {name:30} {n:>8} failed: {r.stderr.strip()[-200:]}")
                        continue
                    d = json.loads(r.stdout)
                    peak = d["rss_kb"] / 1024
                    row = (f"{reader:9} {name:30} {n:>8} {peak:8.0f} {d['read_heap'] / 1e6:8.0f}"
                           f" {d['write_heap'] / 1e6:8.0f} {peak * 1024 * 1024 / d['input']:8.0f}")
                    if args.quillmd and reader == "wikitext":
                        q = subprocess.run([sys.executable, "-c", QUILLMD, path, meta], capture_output=True, text=True)
                        row += f" {int(q.stdout) / 1024:10.0f}" if q.returncode == 0 else "     failed"
                    print(row, flush=True)


if __name__ == "__main__":
    main()
