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
    "events",
    "fills",
    "traded volume",
    "VWAP",
    "last trade",
    "cancels",
    "resting orders",
    "best bid",
    "best ask",
    "spread",
    "run",
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
    # Prices come from ticks: whole cents, averages to two more places, no noise.
    for label in ("last trade", "best bid", "best ask", "spread"):
        assert re.match(r"\s*\d+\.\d\d\b", lines[label]), lines[label]
    assert re.fullmatch(r"\s*\d+\.\d{4}", lines["VWAP"])
    assert not re.search(r"\d\.\d{5,}", "".join(lines.values()))

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
    [("0.005", 5), ("0.025", 25), ("0.01", 1)],
    ids=["half-cent", "two-and-a-half-cents", "cent"],
)
def test_prices_are_written_in_the_tick_size_decimals(tmp_path, tick_size, step):
    result = run_example("simulate.py", "--orders", "400", "--tick-size", tick_size, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    prices = [row[1] for row in depth_rows(result.stdout)]
    assert prices
    decimals = len(tick_size.split(".")[1])
    for price in prices:
        _, part = price.split(".")
        assert len(part) == decimals and int(part) % step == 0, price


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


MAGIC = {
    "png": b"\x89PNG\r\n\x1a\n",
    "svg": b"<?xml",
    "pdf": b"%PDF-",
    "jpg": b"\xff\xd8\xff",
}


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None, reason="needs matplotlib")
@pytest.mark.parametrize("suffix", sorted(MAGIC))
def test_plot_format_follows_the_suffix(tmp_path, suffix):
    name = f"run.{suffix}"
    result = run_example("simulate.py", "--orders", "500", "--plot", name, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "Warning" not in result.stderr
    assert (tmp_path / name).read_bytes().startswith(MAGIC[suffix])


HEADER = "timestamp,event,order_ref,side,price,quantity\n"
T = "2026-12-07T10:00:00"


def write_csv(tmp_path, text):
    path = tmp_path / "flow.csv"
    path.write_text(text, encoding="utf-8")
    return path


def test_shipped_flow_replays(tmp_path):
    shipped = EXAMPLES / "order_flow.csv"
    rows = shipped.read_text(encoding="utf-8").splitlines()[1:]
    adds = sum(1 for row in rows if row.split(",")[1] == "add")
    result = run_example("replay_csv.py", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("Replay of order_flow.csv (tick size 0.01)")
    lines = report_lines(result.stdout)
    assert list(lines) == REPORT_LABELS
    assert int(lines["events"]) == len(rows)
    cancels = int(lines["cancels"].split()[0])
    assert len(rows) - cancels == adds
    assert len(depth_rows(result.stdout)) == 10


# Sells rest at 100.00 (3) and 100.50 (2); a buy for 4 at 100.50 takes 3 @ 100.00
# and 1 @ 100.50; one resting bid is cancelled, then the filled sell s1.
SMALL_FLOW = HEADER + "".join(
    f"{T}.{n:06d},{row}\n"
    for n, row in enumerate(
        [
            "add,s1,sell,100.00,3",
            "add,s2,sell,100.50,2",
            "add,b1,buy,99.00,1.5",
            "add,b2,buy,100.50,4",
            "cancel,b1,,,",
            "add,b3,BUY,98.75,2",
            "cancel,s1,,,",
        ]
    )
)


def test_replay_report_of_a_small_flow(tmp_path):
    result = run_example("replay_csv.py", write_csv(tmp_path, SMALL_FLOW), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    lines = {k: v.strip() for k, v in report_lines(result.stdout).items()}
    assert lines == {
        "events": "7",
        "fills": "2",
        "traded volume": "4",
        "VWAP": "100.1250",
        "last trade": "100.50",
        "cancels": "2 (1 resting, 1 already gone)",
        "resting orders": "1 buy, 1 sell",
        "best bid": "98.75 (2 in 1 order)",
        "best ask": "100.50 (1 in 1 order)",
        "spread": "1.75 (175 ticks)",
        "run": lines["run"],
    }
    assert depth_rows(result.stdout) == [
        ("ask", "100.50", 1.0, 1),
        ("bid", "98.75", 2.0, 1),
    ]
    # The book holds quantities in units of 0.1, the smallest the file uses.
    assert result.stdout.endswith(
        "Best Bid: 20.00 @ 98.75, Best Ask: 10.00 @ 100.5 (Spread: 1.7500)\n"
        "Open Buy Volume: 20.00, Open Sell Volume: 10.00\n"
    )


ADD = f"{T},add,a,buy,100.00,1\n"


@pytest.mark.parametrize(
    "text, message",
    [
        (HEADER + f"{T},modify,a,buy,100.00,1\n", "line 2: unknown event 'modify'"),
        (HEADER + f"{T},add,a,hold,100.00,1\n", "line 2: unknown side 'hold'"),
        (HEADER + f"{T},add,a,buy,abc,1\n", "line 2: price is not a number: 'abc'"),
        (HEADER + f"{T},add,a,buy,0,1\n", "line 2: price must be positive, got '0'"),
        (
            HEADER + f"{T},add,a,buy,-1.00,1\n",
            "line 2: price must be positive, got '-1.00'",
        ),
        (HEADER + f"{T},add,a,buy,,1\n", "line 2: price is not a number: ''"),
        (
            HEADER + f"{T},add,a,buy,100.005,1\n",
            "line 2: price '100.005' is not a whole number of ticks of 0.01",
        ),
        (HEADER + f"{T},add,a,buy,1e20,1\n", "line 2: price '1e20' is more than"),
        (HEADER + f"{T},add,a,buy,100.00,x\n", "line 2: quantity is not a number: 'x'"),
        (
            HEADER + f"{T},add,a,buy,100.00,0\n",
            "line 2: quantity must be positive, got '0'",
        ),
        (
            HEADER + f"{T},add,a,buy,100.00,nan\n",
            "line 2: quantity is not a number: 'nan'",
        ),
        (
            HEADER + f"{T},add,a,buy,100.00,inf\n",
            "line 2: quantity must be finite, got 'inf'",
        ),
        (HEADER + f"{T},add,a,buy,100.00,1e400\n", "line 2: quantity '1e400' is more than"),
        (HEADER + f"{T},add,,buy,100.00,1\n", "line 2: order_ref is empty"),
        (
            HEADER + f"{T},cancel,zz,,,\n",
            "line 2: unknown order_ref 'zz' (no earlier add)",
        ),
        (HEADER + ADD + ADD, "line 3: order_ref 'a' was already added on line 2"),
        (
            HEADER + ADD + f"{T},cancel,a,,,\n" * 2,
            "line 4: order_ref 'a' was already cancelled on line 3",
        ),
        (HEADER + f"{T},add,a,buy,100.00\n", "line 2: expected 6 fields, found 5"),
        (HEADER + f"{T},add,a,buy,100.00,1,x\n", "line 2: expected 6 fields, found 7"),
        (
            HEADER + "yesterday,add,a,buy,100.00,1\n",
            "line 2: timestamp is not an ISO 8601",
        ),
        (
            HEADER + ADD + "2026-12-07T09:59:59,cancel,a,,,\n",
            "line 3: timestamp '2026-12-07T09:59:59' is earlier than the row before",
        ),
        (HEADER + "\n\n" + f"{T},add,a,buy,x,1\n", "line 4: price is not a number"),
        (
            HEADER + f'{T},add,"a\nb",buy,1.00,1\n{T},add,c,buy,y,1\n',
            "line 4: price is not a number: 'y'",
        ),
        (HEADER + f'{T},add,a,buy,"1.00,1\n', "line 2: not valid CSV"),
        (
            "timestamp,event,order_ref,side,price\n",
            "line 1: header lacks column(s) quantity",
        ),
        ("", "line 1: empty file: expected a header row"),
    ],
    ids=[
        "unknown-event",
        "unknown-side",
        "price-not-a-number",
        "price-zero",
        "price-negative",
        "price-missing",
        "price-off-tick",
        "price-too-large",
        "quantity-not-a-number",
        "quantity-zero",
        "quantity-nan",
        "quantity-infinite",
        "quantity-overflows-float",
        "empty-order-ref",
        "unknown-order-ref",
        "ref-added-twice",
        "ref-cancelled-twice",
        "missing-field",
        "surplus-field",
        "bad-timestamp",
        "timestamp-goes-back",
        "line-count-skips-blank-lines",
        "line-count-spans-quoted-newline",
        "unterminated-quote",
        "missing-column",
        "empty-file",
    ],
)
def test_malformed_rows_are_reported_by_line(tmp_path, text, message):
    result = run_example("replay_csv.py", write_csv(tmp_path, text), cwd=tmp_path)
    assert result.returncode == 1
    assert result.stdout == ""  # nothing was replayed
    line, reason = message.removeprefix("line ").split(": ", 1)
    assert result.stderr.startswith(f"{tmp_path / 'flow.csv'}:{line}: {reason}")
    assert len(result.stderr.splitlines()) == 1


def test_the_first_malformed_row_is_reported(tmp_path):
    rows = [f"{T},add,r{n},buy,bad{n},1\n" for n in range(25)]
    result = run_example("replay_csv.py", write_csv(tmp_path, HEADER + "".join(rows)), cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr == f"{tmp_path / 'flow.csv'}:2: price is not a number: 'bad0'\n"


def test_file_that_is_not_utf8(tmp_path):
    path = tmp_path / "flow.csv"
    path.write_bytes(HEADER.encode() + ADD.encode() + b"\xff\n")
    result = run_example("replay_csv.py", path, cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr == f"{path}:3: not UTF-8 text\n"


@pytest.mark.parametrize(
    "args, message",
    [
        (["missing.csv"], "no such file: missing.csv"),
        (["."], "no such file: ."),
        (["--tick-size", "0"], "argument --tick-size: must be a positive number"),
        (["a.csv", "b.csv"], "unrecognized arguments: b.csv"),
    ],
    ids=["missing-file", "directory", "zero-tick", "two-files"],
)
def test_replay_bad_options_exit_2(tmp_path, args, message):
    result = run_example("replay_csv.py", *args, cwd=tmp_path)
    assert result.returncode == 2
    assert message in result.stderr
    assert "Traceback" not in result.stderr


def test_prices_must_fit_the_tick_size(tmp_path):
    path = write_csv(tmp_path, HEADER + f"{T},add,a,buy,100.25,1\n{T},add,b,buy,100.30,1\n")
    result = run_example("replay_csv.py", "--tick-size", "0.25", path, cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr.splitlines()[0].endswith(
        "flow.csv:3: price '100.30' is not a whole number of ticks of 0.25"
    )
