import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"


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


@pytest.mark.parametrize("folder, complaint", [("missing", "does not exist"), ("empty", "holds no .cpp file")])
def test_a_test_folder_that_is_missing_or_empty_stops_the_configure(tmp_path, folder, complaint):
    (tmp_path / "empty").mkdir()
    (tmp_path / "empty" / "notes.txt").write_text("no sources here\n")
    project = tmp_path / "project"
    project.mkdir()
    (project / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.20)\nproject(probe NONE)\n"
        f'include("{ROOT / "cmake" / "CorpuswrightHelpers.cmake"}")\n'
        f'cw_tests(probe_tests DIR "{tmp_path / folder}" DEPS nothing)\n'
    )
    cmake = shutil.which("cmake", path=os.path.dirname(sys.executable)) or shutil.which("cmake")
    result = subprocess.run([cmake, "-S", str(project), "-B", str(tmp_path / "build")], capture_output=True, text=True)
    assert result.returncode != 0
    assert f"cw_tests(probe_tests): test folder {tmp_path / folder} {complaint}" in " ".join(result.stderr.split())


def readme_python_example():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    blocks = re.findall(r"^```python\n(.*?)^```$", text, flags=re.S | re.M)
    assert len(blocks) == 1, "the README holds one Python example"
    return blocks[0]


def test_the_readme_python_example_runs_as_written_in_a_fresh_clone(tmp_path):
    shutil.copytree(EXAMPLES, tmp_path / "examples")
    result = subprocess.run([sys.executable, "-c", readme_python_example()], cwd=tmp_path,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert out.startswith("**Harbour Bridge** is a small market town")
    articles = [json.loads(line) for line in (tmp_path / "out" / "articles.jsonl").open(encoding="utf-8")]
    assert f"{len(articles)} articles," in out and len(articles) > 100
    # The example's last print is the first chunk: its prefix, then its body
    # cut from the article's Markdown by UTF-8 byte offsets.
    with (tmp_path / "out" / "chunks.jsonl").open(encoding="utf-8") as f:
        chunk = json.loads(f.readline())
    md = articles[0]["md"].encode()
    body = md[chunk["start_byte"]:chunk["start_byte"] + chunk["byte_len"]].decode()
    assert chunk["article_id"] == 0 and body
    assert out.endswith(chunk["prefix_md"] + body + "\n")
