"""Every Python example of the README runs, in order, in one namespace, so the
README cannot drift from what the module does."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)


def test_readme_has_examples():
    assert len(BLOCKS) >= 6


def test_readme_examples_run(tmp_path, monkeypatch):
    pytest.importorskip("sklearn")
    pytest.importorskip("dask.dataframe")
    pytest.importorskip("joblib")
    monkeypatch.chdir(tmp_path)  # examples may write files
    # The examples' Dask workers may run in this process and size its pool
    # through these variables. setenv first, so that the undo after the test
    # also removes what the examples set (a delenv of an absent variable
    # records nothing to undo).
    for name in ("RAYON_NUM_THREADS", "TOVRIK_WORKERS_ON_HOST"):
        monkeypatch.setenv(name, "")
        monkeypatch.delenv(name)
    namespace: dict = {}
    for i, block in enumerate(BLOCKS):
        exec(compile(block, f"README.md example {i + 1}", "exec"), namespace)
