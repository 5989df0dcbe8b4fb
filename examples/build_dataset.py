"""The main job on the shipped sample: records the disambiguation pages of
the page-properties dump in a fresh metadata database, then builds the
articles and chunks files from the bzip2-compressed sample dump, and prints
what was made.

    python examples/build_dataset.py [OUTPUT_DIR]
"""
import json
import sys
from pathlib import Path

import corpuswright

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from make_sample import make_metadata  # noqa: E402


def main(out_dir: Path) -> None:
    out_dir.mkdir(parents=True, exist_ok=True)
    metadata = out_dir / "metadata.db"
    make_metadata(metadata)
    ids = corpuswright.build_page_props(HERE / "sample-page-props.sql", metadata)
    print(f"disambiguation pages recorded: {ids}")

    articles, chunks = out_dir / "articles.jsonl", out_dir / "chunks.jsonl"
    n_articles, n_chunks, rows = corpuswright.build_dataset(
        HERE / "sample-dump.xml.bz2", articles, chunks, metadata, min_bytes=250, target_words=300
    )
    print(f"articles written: {n_articles} -> {articles}")
    print(f"chunks written:   {n_chunks} -> {chunks}")
    print("templates left unconverted (articles holding them):")
    for kind, name, count in rows:
        print(f"  {count:5d}  {kind}  {name}")

    with open(articles, encoding="utf-8") as f:
        first = json.loads(f.readline())
    print(f"\nfirst article: {first['title']!r} (page {first['page_id']})")
    print(first["md"][:600].rstrip() + "\n...")

    # The chunk stage reads the articles back and checks that their Markdown
    # is canonical before cutting it; it must agree with the combined run.
    again = out_dir / "chunks-stage2.jsonl"
    assert corpuswright.build_stage2(articles, again, target_words=300) == n_chunks
    assert again.read_bytes() == chunks.read_bytes()
    print("\nchunk stage over the articles file agrees with the combined run")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path("sample-output"))
