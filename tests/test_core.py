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


def test_date_texts_are_those_of_timestamps(tmp_path):
    import numpy as np
    import pandas as pd

    exe = build(tmp_path, "stamp_check", *sorted(str(p) for p in (ROOT / "src/core").glob("*.cpp")))
    rng = np.random.default_rng(4)
    cases = []
    for unit, digits in (("s", 0), ("ms", 3), ("us", 6), ("ns", 9)):
        per = 10**digits
        lo, hi = (-9_200_000_000, 9_200_000_000) if unit == "ns" else (-62_135_596_800, 253_402_300_799)
        whole = np.concatenate([rng.integers(lo, hi, 400), [lo, hi, -1, 0, 1, 951_782_400, -2_203_891_200]])
        for w in whole.tolist():
            for f in {0, per - 1, int(rng.integers(0, per)), (int(rng.integers(0, per)) // 1000) * 1000,
                      (int(rng.integers(0, per)) // 10**6) * 10**6}:
                if 0 <= f < per:
                    cases += [(digits, utc, unit, w * per + f) for utc in (0, 1)]
    cases += [(0, 0, "s", 253_402_300_800), (0, 1, "s", -62_135_596_801)]  # years 10000 and 0: declined
    lines = "".join(f"{d} {u} {v}\n" for d, u, _, v in cases)
    r = subprocess.run([str(exe)], input=lines, capture_output=True, text=True, check=True)
    got = r.stdout.splitlines()
    want = []
    for d, u, unit, v in cases:
        year_ok = -62_135_596_800 <= v // 10**d <= 253_402_300_799
        want.append(str(pd.Timestamp(np.datetime64(v, unit), tz="UTC" if u else None)) if year_ok else "-")
    assert got == want
