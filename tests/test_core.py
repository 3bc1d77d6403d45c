"""The C++ engine on its own: label assignment against its sort-every-row
reference, the state codec's round trip, and the growth of the list of
references an intake keeps. Needs g++ and oneTBB's headers (the tbb-devel
wheel) in the environment."""

import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
PREFIX = pathlib.Path(sys.prefix)


def build(tmp_path, name, *sources):
    if shutil.which("g++") is None or not (PREFIX / "include/oneapi/tbb.h").exists():
        pytest.skip("needs g++ and the tbb-devel headers")
    exe = tmp_path / name
    subprocess.run(
        ["g++", "-std=c++20", "-O1", "-I", str(ROOT / "src"), "-I", str(PREFIX / "include"),
         str(ROOT / f"tests/core/{name}.cpp"), *sources, "-o", str(exe),
         "-L", str(PREFIX / "lib"), f"-Wl,-rpath,{PREFIX / 'lib'}", "-ltbb"],
        check=True)
    return exe


def test_engine_matches_sorting_every_row(tmp_path):
    exe = build(tmp_path, "label_check", *sorted(str(p) for p in (ROOT / "src/core").glob("*.cpp")))
    for threads in ("1", "2"):
        r = subprocess.run([str(exe)], capture_output=True, text=True,
                           env={"RAYON_NUM_THREADS": threads})
        assert r.returncode == 0 and r.stdout.startswith("ok"), r.stdout + r.stderr


def test_kept_references_move_a_bounded_number_of_times(tmp_path):
    r = subprocess.run([str(build(tmp_path, "growth_check"))], capture_output=True, text=True)
    assert (r.returncode, r.stdout) == (0, "ok\n"), r.stdout + r.stderr
