"""The examples as a user runs them: report lines, bad options, CSV replay, plot."""

import importlib.util
import pathlib
import re
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
if not (EXAMPLES / "simulate.py").is_file():
    pytest.skip("examples/ is not beside the tests", allow_module_level=True)

REPORT_LABELS = [
    "orders",
    "fills",
    "traded volume",
    "VWAP",
    "last trade",
    "cancels",
    "resting orders",
    "best bid",
    "best ask",
    "spread",
    "book calls",
]


def run_example(script, *args, cwd, python_code=None):
    command = [sys.executable, str(EXAMPLES / script), *map(str, args)]
    if python_code is not None:
        command = [sys.executable, "-c", python_code, str(EXAMPLES / script), *args]
    return subprocess.run(
        command, capture_output=True, text=True, cwd=cwd, timeout=120, check=False
    )


def report_lines(stdout):
    """The script's own "label: value" lines, before the book's summary."""
    own = stdout.split("the book's own summary")[0]
    return dict(
        line.split(":", 1)
        for line in own.splitlines()
        if re.match(r"[A-Za-z ]+:\s", line) and not line.startswith("depth")
    )


def depth_rows(stdout):
    return [
        (side, price, float(quantity), int(count))
        for side, price, quantity, count in re.findall(
            r"^(ask|bid)\s+(\S+)\s+(\S+)\s+(\d+)$", stdout, flags=re.MULTILINE
        )
    ]


def test_default_simulation_reports_every_figure(tmp_path):
    result = run_example("simulate.py", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    lines = report_lines(result.stdout)
    assert list(lines) == REPORT_LABELS
    assert lines["orders"].strip() == "5000"
    # Prices come from ticks: whole cents, averages to two more places, no noise.
    for label in ("last trade", "best bid", "best ask", "spread"):
        assert re.match(r"\s*\d+\.\d\d\b", lines[label]), lines[label]
    assert re.fullmatch(r"\s*\d+\.\d{4}", lines["VWAP"])
    assert not re.search(r"\d\.\d{5,}", "".join(lines.values()))
    assert re.fullmatch(r"\s*[\d.]+ ms, \d+ ns per order", lines["book calls"])

    rows = depth_rows(result.stdout)
    asks = [r for r in rows if r[0] == "ask"]
    bids = [r for r in rows if r[0] == "bid"]
    assert len(asks) == len(bids) == 5
    # A ladder: prices fall from the top ask to the bottom bid.
    ladder = [float(r[1]) for r in rows]
    assert ladder == sorted(ladder, reverse=True)
    assert lines["best bid"].split()[0] == bids[0][1]
    assert lines["best ask"].split()[0] == asks[-1][1]
    assert "Open Buy Volume: " in result.stdout


@pytest.mark.parametrize(
    "tick_size, step",
    [("0.05", 5), ("0.25", 25), ("1", 100)],
    ids=["nickel", "quarter", "whole"],
)
def test_prices_are_written_in_the_tick_size_decimals(tmp_path, tick_size, step):
    result = run_example(
        "simulate.py", "--orders", "400", "--tick-size", tick_size, cwd=tmp_path
    )
    assert result.returncode == 0, result.stderr
    prices = [row[1] for row in depth_rows(result.stdout)]
    assert prices
    for price in prices:
        if "." in price:
            _, cents = price.split(".")
            assert len(cents) == 2 and int(cents) % step == 0, price
        else:
            assert step == 100, price


@pytest.mark.parametrize(
    "args, message",
    [
        (["--orders", "0"], "argument --orders: must be at least 1, got 0"),
        (["--orders", "-5"], "argument --orders: must be at least 1, got -5"),
        (["--orders", "x"], "argument --orders: not a whole number: 'x'"),
        (["--orders", "2.5"], "argument --orders: not a whole number: '2.5'"),
        (["--orders", "10000001"], "argument --orders: at most 1000000"),
        (["--orders"], "argument --orders: expected one argument"),
        (["--seed", "x"], "argument --seed: invalid int value: 'x'"),
        (["--tick-size", "0"], "argument --tick-size: must be a positive number"),
        (["--tick-size", "-0.01"], "argument --tick-size: must be a positive number"),
        (["--tick-size", "nan"], "argument --tick-size: must be a positive number"),
        (["--tick-size", "cent"], "argument --tick-size: not a number: 'cent'"),
        (["--tick-size", "1e-12"], "argument --tick-size: at most 9 decimals"),
        (["--fast"], "unrecognized arguments: --fast"),
        (["--plot", "no/such/folder/p.png"], "--plot: folder"),
    ],
    ids=lambda v: " ".join(v) if isinstance(v, list) else None,
)
def test_bad_options_exit_2_with_a_message(tmp_path, args, message):
    result = run_example("simulate.py", *args, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stdout == ""
    assert message in result.stderr
    assert "usage: simulate.py" in result.stderr
    assert "Traceback" not in result.stderr


HIDE_MATPLOTLIB = (
    "import os, runpy, sys; sys.modules['matplotlib'] = None; "
    "script = sys.argv.pop(1); sys.path.insert(0, os.path.dirname(script)); "
    "sys.argv[0] = script; runpy.run_path(script, run_name='__main__')"
)


def test_plot_without_matplotlib_exits_2(tmp_path):
    result = run_example(
        "simulate.py", "--plot", "p.png", cwd=tmp_path, python_code=HIDE_MATPLOTLIB
    )
    assert result.returncode == 2
    assert "--plot needs matplotlib" in result.stderr
    assert "Traceback" not in result.stderr
    assert not (tmp_path / "p.png").exists()


@pytest.mark.skipif(
    importlib.util.find_spec("matplotlib") is None, reason="needs matplotlib"
)
def test_plot_writes_a_png(tmp_path):
    result = run_example(
        "simulate.py", "--orders", "500", "--plot", "run.png", cwd=tmp_path
    )
    assert result.returncode == 0, result.stderr
    png = (tmp_path / "run.png").read_bytes()
    assert png.startswith(b"\x89PNG\r\n\x1a\n") and len(png) > 10_000
    assert "plot written to run.png" in result.stdout
