import subprocess
import sys
from pathlib import Path

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def test_convert_page_example_prints_markdown():
    out = subprocess.run(
        [sys.executable, str(EXAMPLES / "convert_page.py")], capture_output=True, text=True, check=True
    ).stdout
    assert out.startswith("**Harbour Bridge** is a small market town")
    assert "## History" in out and "| Year | Market stalls |" in out
    assert "Infobox" not in out and "Cite" not in out and "Category" not in out


def test_main_job_on_the_sample(tmp_path):
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "build_dataset.py"), str(tmp_path)], capture_output=True, text=True, check=True
    )
    assert "disambiguation pages recorded: 8" in result.stdout
    assert "chunk stage over the articles file agrees with the combined run" in result.stdout
    assert result.stderr.startswith("Processed ")
    assert (tmp_path / "articles.jsonl").stat().st_size > 0
