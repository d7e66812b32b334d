"""The installed type stubs: they match the module, and checkers read them as a user would."""

import ast
import importlib.metadata
import importlib.util
import inspect
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest

import kestrova

HERE = pathlib.Path(__file__).resolve().parent / "typing"
GOOD = HERE / "user_script.py"
MISTAKES = HERE / "user_script_mistakes.py"
MARK = re.compile(r"\S  # E: (.*)$")
EXPECTED = {
    number: match.group(1)
    for number, line in enumerate(MISTAKES.read_text().splitlines(), start=1)
    if (match := MARK.search(line))
}
MYPY_LINE = re.compile(r"^(?P<path>.+?):(?P<line>\d+): error: (?P<message>.*)$")


def installed_text(name):
    files = importlib.metadata.files("kestrova") or []
    path = next((f for f in files if str(f) == name), None)
    assert path is not None, f"{name} is not in the installed distribution"
    return path.read_text()


def run(args, cwd, timeout=100):
    # An empty configuration, so no user or project settings change what is checked.
    (cwd / "none.ini").write_text("[mypy]\n")
    # pyright asks the `python` it finds on PATH for the site directories: this one's.
    env = {
        **os.environ,
        "PATH": os.pathsep.join(
            [str(pathlib.Path(sys.executable).parent), os.environ.get("PATH", "")]
        ),
    }
    return subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=timeout, env=env)


def test_one_stub_in_a_typed_package_serves_every_checker():
    names = {str(f) for f in importlib.metadata.files("kestrova") or []}
    assert {"kestrova/__init__.pyi", "kestrova/py.typed"} <= names
    assert not {name for name in names if name.endswith(".pyi")} - {"kestrova/__init__.pyi"}
    stub = installed_text("kestrova/__init__.pyi")
    assert "def add(self, incoming_order: Order) -> list[Fill]" in stub
    # The directory holds no code: the import system still loads the extension module.
    assert pathlib.Path(kestrova.__file__).suffix == ".so"


def stub_docstrings():
    """{qualified name: docstring} of every class and public method the installed stub holds."""
    tree = ast.parse(installed_text("kestrova/__init__.pyi"))
    found = {}
    for cls in tree.body:
        if isinstance(cls, ast.ClassDef):
            found[cls.name] = ast.get_docstring(cls)
            for member in cls.body:
                if isinstance(member, ast.FunctionDef) and not member.name.startswith("__"):
                    found[f"{cls.name}.{member.name}"] = ast.get_docstring(member)
    return found


def runtime_docstrings():
    """{qualified name: __doc__} of each class and each of its public members."""
    found = {}
    for cls in (kestrova.Order, kestrova.Fill, kestrova.OrderBook):
        found[cls.__name__] = inspect.cleandoc(cls.__doc__)
        for member, value in vars(cls).items():
            if not member.startswith("_"):
                found[f"{cls.__name__}.{member}"] = inspect.cleandoc(value.__doc__)
    # enumeration members are instances, documented by their class
    for cls in (kestrova.OrderType, kestrova.OrderStatus):
        found[cls.__name__] = inspect.cleandoc(cls.__doc__)
    return found


def test_stub_carries_each_runtime_docstring():
    # what an editor shows on hover is what help() shows
    assert stub_docstrings() == runtime_docstrings()


def test_stubs_match_the_module(tmp_path):
    result = run(
        [
            sys.executable,
            "-m",
            "mypy.stubtest",
            "kestrova",
            "--allowlist",
            str(HERE / "stubtest_allowlist.txt"),
            "--mypy-config-file",
            str(tmp_path / "none.ini"),
        ],
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """mypy --strict over the correct script and the one with mistakes: {(file, line): message}."""
    cwd = tmp_path_factory.mktemp("mypy")
    result = run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-pretty",
            "--no-error-summary",
            "--cache-dir",
            str(cwd / "cache"),
            "--config-file",
            str(cwd / "none.ini"),
            str(GOOD),
            str(MISTAKES),
        ],
        cwd=cwd,
    )
    assert result.returncode in (0, 1), result.stdout + result.stderr
    errors = {}
    for line in result.stdout.splitlines():
        if match := MYPY_LINE.match(line):
            key = (pathlib.Path(match["path"]).name, int(match["line"]))
            errors[key] = errors.get(key, "") + match["message"]
    return errors


def test_mypy_accepts_the_correct_script(mypy_errors):
    assert {k: v for k, v in mypy_errors.items() if k[0] == GOOD.name} == {}


def test_mypy_flags_only_the_marked_lines(mypy_errors):
    flagged = {line for name, line in mypy_errors if name == MISTAKES.name}
    assert flagged == set(EXPECTED)


@pytest.mark.parametrize("line, expected", EXPECTED.items(), ids=[f"line{n}" for n in EXPECTED])
def test_mypy_rejects_each_mistake(mypy_errors, line, expected):
    assert expected in mypy_errors.get((MISTAKES.name, line), "no error")


def test_the_correct_script_runs(tmp_path):
    result = run([sys.executable, str(GOOD)], cwd=tmp_path)
    assert result.returncode == 0, result.stderr


needs_pyright = pytest.mark.skipif(
    importlib.util.find_spec("pyright") is None, reason="pyright is not installed (dev extra)"
)


def pyright_error_lines(cwd, config):
    (cwd / "pyrightconfig.json").write_text(json.dumps(config))
    result = run(
        [
            sys.executable,
            "-m",
            "pyright",
            "--outputjson",
            "--pythonpath",
            sys.executable,
            "--project",
            str(cwd),
            str(GOOD),
            str(MISTAKES),
        ],
        cwd=cwd,
    )
    report = json.loads(result.stdout)
    lines = {GOOD.name: set(), MISTAKES.name: set()}
    for diagnostic in report["generalDiagnostics"]:
        if diagnostic["severity"] == "error":
            line = diagnostic["range"]["start"]["line"] + 1
            lines[pathlib.Path(diagnostic["file"]).name].add(line)
    return lines


@needs_pyright
@pytest.mark.parametrize("stub", ["installed", "beside the module"])
def test_pyright_reads_the_stubs(tmp_path, stub):
    config = {}
    if stub == "beside the module":
        # A search root holding only the typed package, as a plain site directory would.
        (tmp_path / "site" / "kestrova").mkdir(parents=True)
        (tmp_path / "site" / "kestrova" / "__init__.pyi").write_text(
            installed_text("kestrova/__init__.pyi")
        )
        (tmp_path / "site" / "kestrova" / "py.typed").write_text("")
        config["extraPaths"] = [str(tmp_path / "site")]
    lines = pyright_error_lines(tmp_path, config)
    assert lines == {GOOD.name: set(), MISTAKES.name: set(EXPECTED)}


@needs_pyright
def test_pyright_verifytypes_finds_every_public_symbol_typed_and_documented(tmp_path):
    (tmp_path / "pyrightconfig.json").write_text("{}")
    result = run(
        [sys.executable, "-m", "pyright", "--verifytypes", "kestrova", "--outputjson"],
        cwd=tmp_path,
    )
    report = json.loads(result.stdout)
    errors = [d["message"] for d in report["generalDiagnostics"] if d["severity"] == "error"]
    completeness = report["typeCompleteness"]
    assert errors == []
    assert completeness["pyTypedPath"].endswith("kestrova/py.typed")
    assert completeness["completenessScore"] == 1
    assert completeness["exportedSymbolCounts"]["withKnownType"] > 0
    assert completeness["missingClassDocStringCount"] == 0
    assert completeness["missingFunctionDocStringCount"] == 0
