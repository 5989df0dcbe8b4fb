import os
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
