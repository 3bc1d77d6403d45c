"""The type stubs: their names against the runtime module, and clean type checks.

The stub is taken from the installed module's directory when it is installed there
(as the stub-only package tovrik-stubs/__init__.pyi, or as tovrik.pyi beside the
extension), else from src/tovrik.pyi in the checkout. The type checkers run only when
they are installed (mypy; basedpyright or pyright) and are skipped otherwise.
"""

import ast
import importlib.metadata
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import tovrik

REPO = pathlib.Path(__file__).resolve().parents[1]
EXAMPLE = REPO / "examples" / "typed_usage.py"
ML_EXAMPLE = REPO / "examples" / "typed_ml.py"  # tovrik_ml: apply and the estimator
EXAMPLES = {"tovrik": (EXAMPLE, "typed usage: ok"), "tovrik_ml": (ML_EXAMPLE, "typed ml usage: ok")}
MODULE_DIR = pathlib.Path(tovrik.__file__).resolve().parent
# mypy finds a stub for a single-file module only as a stub-only package; pyright also
# finds tovrik.pyi beside the extension.
STUB_PACKAGE = MODULE_DIR / "tovrik-stubs" / "__init__.pyi"
STUB_BESIDE = pathlib.Path(tovrik.__file__).with_name("tovrik.pyi")
STUB_IN_REPO = REPO / "src" / "tovrik.pyi"
TPFLAGS_BASETYPE = 1 << 10
TIMEOUT = 600


def installed_stub():
    for path in (STUB_PACKAGE, STUB_BESIDE):
        if path.is_file():
            return path
    return None


def stub_path():
    return installed_stub() or STUB_IN_REPO


@pytest.fixture(scope="module")
def stub():
    path = stub_path()
    return ast.parse(path.read_text(encoding="utf-8"), filename=str(path))


def top_level(tree):
    """Map each name bound at the top of the stub (imports left out) to its node."""
    names = {}
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names[node.name] = node
        elif isinstance(node, ast.Assign):
            for target in node.targets:
                if isinstance(target, ast.Name):
                    names[target.id] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = node
    return names


def decorator_names(node):
    out = set()
    for dec in node.decorator_list:
        if isinstance(dec, ast.Name):
            out.add(dec.id)
        elif isinstance(dec, ast.Attribute):
            out.add(dec.attr)
    return out


def methods(cls_node):
    """Map each method name of a stub class to its definitions (several for overloads)."""
    out = {}
    for node in cls_node.body:
        if isinstance(node, ast.FunctionDef):
            out.setdefault(node.name, []).append(node)
    return out


def parameters(func):
    """(name, kind, default) of each parameter after self or cls; default None if absent."""
    args = func.args
    positional = [(a, "positional-only") for a in args.posonlyargs]
    positional += [(a, "positional-or-keyword") for a in args.args]
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    out = [(arg.arg, kind, default) for (arg, kind), default in zip(positional, defaults)]
    out += [(a.arg, "keyword-only", d) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.vararg:
        out.append(("*" + args.vararg.arg, "var-positional", None))
    if args.kwarg:
        out.append(("**" + args.kwarg.arg, "var-keyword", None))
    return out[1:]


def runtime_function(name):
    """The runtime method as an ast function, read from its __text_signature__."""
    if name == "__new__":
        # The class's own text signature describes __new__ without its cls.
        text = tovrik.Encoder.__text_signature__
        assert text == "(encoding=None)"
        text = "(cls, " + text[1:]
    else:
        text = getattr(tovrik.Encoder, name).__text_signature__
        assert text and text.startswith("($self"), (name, text)
        text = "(self" + text[len("($self"):]
    return ast.parse(f"def {name}{text}: pass").body[0]


# --- the stub against the runtime module ---------------------------------------------


def test_stub_is_found():
    path = stub_path()
    assert path.is_file(), f"no stub at {path}"
    if installed_stub() is None:
        pytest.skip(f"no stub installed beside {tovrik.__file__}; checked {STUB_IN_REPO}")


def test_public_names_match(stub):
    names = top_level(stub)
    public_stub = {n for n in names if not n.startswith("_")}
    public_runtime = {n for n in dir(tovrik) if not n.startswith("_")}
    assert public_stub == public_runtime


def test_all_matches(stub):
    node = top_level(stub).get("__all__")
    assert node is not None, "the stub does not declare __all__"
    assert ast.literal_eval(node.value) == tovrik.__all__


def test_encoder_is_final_in_stub_and_at_runtime(stub):
    node = top_level(stub)["Encoder"]
    assert "final" in decorator_names(node)
    assert not tovrik.Encoder.__flags__ & TPFLAGS_BASETYPE
    assert [ast.unparse(b) for b in node.bases] == []


def test_encoder_method_names_match(stub):
    stub_methods = set(methods(top_level(stub)["Encoder"]))
    runtime_methods = {n for n, v in vars(tovrik.Encoder).items() if callable(v)}
    assert stub_methods == runtime_methods


def test_encoder_parameters_match(stub):
    for name, defs in methods(top_level(stub)["Encoder"]).items():
        expected = parameters(runtime_function(name))
        for func in defs:
            got = parameters(func)
            where = (name, func.lineno)
            assert [(n, k) for n, k, _ in got] == [(n, k) for n, k, _ in expected], where
            for (pname, _, default), (_, _, runtime_default) in zip(got, expected):
                assert (default is None) == (runtime_default is None), (where, pname)
                if default is not None and not (isinstance(default, ast.Constant) and default.value is ...):
                    assert ast.literal_eval(default) == ast.literal_eval(runtime_default), (where, pname)


def test_working_methods_have_array_and_frame_overloads(stub):
    defs = methods(top_level(stub)["Encoder"])
    for name in ("encode", "decode"):
        assert all("overload" in decorator_names(f) for f in defs[name]), name
        first = [ast.unparse((f.args.args + f.args.kwonlyargs)[1].annotation) for f in defs[name]]
        # Arrays first: without pandas a checker sees DataFrame as Any, which must not
        # capture array arguments.
        assert len(first) == 2 and "NDArray" in first[0] and "DataFrame" in first[1], first


def test_internal_error_class_matches(stub):
    node = top_level(stub)["PanicException"]
    assert [ast.unparse(b) for b in node.bases] == ["BaseException"]
    assert tovrik.PanicException.__bases__ == (BaseException,)


def test_every_stub_definition_has_a_docstring(stub):
    assert ast.get_docstring(stub)
    for node in ast.walk(stub):
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            assert ast.get_docstring(node), f"{node.name} at line {node.lineno}"


# --- type checkers -------------------------------------------------------------------

# Every line marked "# error" must be reported, and nothing else. The assert_type lines
# fail when the stub is not in effect (the checker would see Any or Unknown).
PROBE = textwrap.dedent(
    """\
    from typing import assert_type

    import numpy as np
    import numpy.typing as npt
    import pandas as pd

    import tovrik

    enc = tovrik.Encoder()
    arr = np.zeros((2, 2))
    frame = pd.DataFrame({"a": [1.0]})
    assert_type(tovrik.Encoder(encoding="label"), tovrik.Encoder)
    assert_type(enc.encode(arr), npt.NDArray[np.float64])
    assert_type(enc.encode(obj=frame), pd.DataFrame)
    assert_type(enc.decode(arr), npt.NDArray[np.float64] | npt.NDArray[np.object_])
    assert_type(enc.decode(obj=frame), pd.DataFrame)
    assert_type(enc.__getstate__(), bytes)
    enc.__setstate__(state=b"")

    _ = tovrik.Encoder("Label")  # error
    _ = enc.encode([["a"]])  # error
    _ = enc.decode(obj=None)  # error
    enc.__setstate__(bytearray(b""))  # error


    class Sub(tovrik.Encoder):  # error
        pass
    """
)
PROBE_ERROR_LINES = {i for i, line in enumerate(PROBE.splitlines(), 1) if line.endswith("# error")}


def have(distribution):
    try:
        importlib.metadata.distribution(distribution)
    except importlib.metadata.PackageNotFoundError:
        return False
    return True


def checker_env():
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    env["PYRIGHT_PYTHON_IGNORE_WARNINGS"] = "1"
    return env


def fallback_stub_dir(tmp_path):
    """A directory holding tovrik.pyi, for a checker that is not to rely on an installed stub."""
    if installed_stub() is not None:
        return None
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copyfile(STUB_IN_REPO, stubs / "tovrik.pyi")
    return stubs


@pytest.fixture
def probe_file(tmp_path):
    path = tmp_path / "probe.py"
    path.write_text(PROBE, encoding="utf-8")
    return path


def run_mypy(tmp_path, *files):
    if not have("mypy"):
        pytest.skip("mypy is not installed")
    if not have("pandas"):
        pytest.skip("pandas is not installed")
    if not have("pandas-stubs"):
        pytest.skip("pandas-stubs is not installed (mypy --strict needs it for pandas)")
    return run_mypy_module(tmp_path, "mypy", "--strict", "--no-error-summary", "--show-error-codes",
                           "--cache-dir", str(tmp_path / "mypy-cache"), *map(str, files))


def run_mypy_module(tmp_path, module, *args):
    """python -m <module> args..., seeing the stub the way mypy is to find it."""
    env = checker_env()
    stubs = fallback_stub_dir(tmp_path)
    if stubs is not None:
        env["MYPYPATH"] = str(stubs)
    return subprocess.run([sys.executable, "-m", module, *args], cwd=tmp_path, env=env, capture_output=True,
                          text=True, timeout=TIMEOUT)


@pytest.mark.parametrize("module", ["tovrik", "tovrik_ml._native"])
def test_stubtest_finds_no_inconsistency(tmp_path, module):
    if not have("mypy"):
        pytest.skip("mypy is not installed")
    proc = run_mypy_module(tmp_path, "mypy.stubtest", "--concise", module)
    assert proc.returncode == 0, mypy_report(proc)


def mypy_errors(output, path):
    lines = set()
    for m in re.finditer(r"^(.*?):(\d+): error:", output, re.M):
        # mypy names files relative to its working directory, the probe's own.
        assert (path.parent / m.group(1)).resolve() == path.resolve(), output
        lines.add(int(m.group(2)))
    return lines


def mypy_report(proc):
    out = proc.stdout + proc.stderr
    if "import-not-found" in out and installed_stub() == STUB_BESIDE:
        out += ("\nmypy ignores a tovrik.pyi beside a single-file module: "
                "install the stub as tovrik-stubs/__init__.pyi as well")
    return out


def needs_sklearn(example):
    if example == "tovrik_ml" and not have("scikit-learn"):
        pytest.skip("scikit-learn is not installed")


@pytest.mark.parametrize("example", list(EXAMPLES))
def test_mypy_strict_accepts_the_example(tmp_path, example):
    needs_sklearn(example)
    proc = run_mypy(tmp_path, EXAMPLES[example][0])
    assert proc.returncode == 0, mypy_report(proc)


def test_mypy_uses_the_stub(tmp_path, probe_file):
    proc = run_mypy(tmp_path, probe_file)
    assert proc.returncode == 1, mypy_report(proc)
    assert mypy_errors(proc.stdout, probe_file) == PROBE_ERROR_LINES, mypy_report(proc)


def pyright_command():
    for module in ("basedpyright", "pyright"):
        if have(module):
            return [sys.executable, "-m", module]
    pytest.skip("neither basedpyright nor pyright is installed")


def run_pyright(tmp_path, mode, *files):
    cmd = pyright_command()
    if not have("pandas"):
        pytest.skip("pandas is not installed")
    config = {"typeCheckingMode": mode, "pythonVersion": "%d.%d" % sys.version_info[:2]}
    stubs = fallback_stub_dir(tmp_path)
    if stubs is not None:
        config["stubPath"] = str(stubs)
    cfg = tmp_path / "pyrightconfig.json"
    cfg.write_text(json.dumps(config), encoding="utf-8")
    cmd += ["-p", str(cfg), "--pythonpath", sys.executable, "--outputjson", *map(str, files)]
    proc = subprocess.run(cmd, cwd=tmp_path, env=checker_env(), capture_output=True, text=True,
                          timeout=TIMEOUT)
    try:
        report = json.loads(proc.stdout)
    except ValueError:
        pytest.fail(f"{cmd[2]} gave no report (exit {proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    errors = [d for d in report["generalDiagnostics"] if d["severity"] == "error"]
    return proc, errors


def describe(diagnostics):
    return "\n".join(f"{d['file']}:{d['range']['start']['line'] + 1}: {d['message']}" for d in diagnostics)


@pytest.mark.parametrize("example", list(EXAMPLES))
def test_pyright_strict_accepts_the_example(tmp_path, example):
    needs_sklearn(example)
    proc, errors = run_pyright(tmp_path, "strict", EXAMPLES[example][0])
    assert not errors, describe(errors)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_pyright_uses_the_stub(tmp_path, probe_file):
    _, errors = run_pyright(tmp_path, "standard", probe_file)
    for d in errors:
        assert pathlib.Path(d["file"]).resolve() == probe_file.resolve(), describe(errors)
    assert {d["range"]["start"]["line"] + 1 for d in errors} == PROBE_ERROR_LINES, describe(errors)


@pytest.mark.parametrize("example", list(EXAMPLES))
def test_example_runs(example):
    pytest.importorskip("pandas")
    needs_sklearn(example)
    path, ok = EXAMPLES[example]
    proc = subprocess.run([sys.executable, str(path)], capture_output=True, text=True, timeout=TIMEOUT)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == ok
