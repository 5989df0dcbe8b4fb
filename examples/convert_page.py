"""Converts the sample wikitext page to canonical Markdown and prints it.

    python examples/convert_page.py [PAGE.wiki]
"""
import sys
import tempfile
from pathlib import Path

import corpuswright

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from make_sample import make_metadata  # noqa: E402

with tempfile.TemporaryDirectory() as tmp:
    metadata = Path(tmp) / "metadata.db"
    make_metadata(metadata)
    converter = corpuswright.WikiConverter(metadata)

source = Path(sys.argv[1] if len(sys.argv) > 1 else HERE / "sample_page.wiki").read_text(encoding="utf-8")
markdown, warnings = converter.quillmd(source)
print(markdown if markdown is not None else "(too little prose: no Markdown)")
for w in warnings:
    print("warning:", w, file=sys.stderr)
