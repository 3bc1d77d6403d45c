"""How the module is installed and which oneTBB it loads."""

import os
import pathlib
import sys
import sysconfig

import tovrik


def loaded_libraries():
    with open("/proc/self/maps") as f:
        return {line.split()[-1] for line in f if line.rstrip().endswith((".so", ".so.12")) or ".so." in line}


def test_module_is_a_single_file_at_the_top_of_site_packages():
    path = pathlib.Path(tovrik.__file__)
    assert path.name.startswith("tovrik.") and path.suffix == ".so"
    assert path.parent.resolve() == pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()


def test_tbb_comes_from_the_environment():
    tovrik.Encoder().encode(__import__("numpy").array([["a"]], dtype=object))  # pool in use
    tbb = [p for p in loaded_libraries() if os.path.basename(p).startswith("libtbb.so")]
    assert len(tbb) == 1, tbb
    env_copy = pathlib.Path(sys.prefix) / "lib" / "libtbb.so.12"
    if env_copy.exists():
        assert pathlib.Path(tbb[0]).resolve() == env_copy.resolve()
