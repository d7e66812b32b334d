"""The kestrova command as a user runs it: reports, exit codes, messages, outputs on disk."""

import json
import os
import re
import subprocess
import sys

import pytest

pytest.importorskip("pyarrow")

from kestrova_replay.sample_lobster import write_pair  # noqa: E402


def kestrova(*args, cwd, stdout=subprocess.PIPE):
    return subprocess.run(
        [sys.executable, "-m", "kestrova_replay", *map(str, args)],
        stdout=stdout,
        stderr=subprocess.PIPE,
        text=True,
        cwd=cwd,
        timeout=120,
        check=False,
    )


@pytest.fixture(scope="module")
def pair(tmp_path_factory):
    return write_pair(tmp_path_factory.mktemp("lobster"), 1500, levels=5, seed=11)


def test_simulate_reports_every_figure(tmp_path):
    result = kestrova("simulate", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    labels = re.findall(r"^([A-Za-z ]+):\s", result.stdout.split("depth,")[0], flags=re.MULTILINE)
    assert labels == [
        "events", "fills", "traded volume", "VWAP", "last trade", "cancels",
        "resting orders", "best bid", "best ask", "spread", "run",
    ]  # fmt: skip
    assert re.search(r"^VWAP:\s+\d+\.\d{4}$", result.stdout, flags=re.MULTILINE)
    assert re.search(r"^spread:\s+0\.0\d \(\d+ ticks?\)$", result.stdout, flags=re.MULTILINE)
    assert "Open Buy Volume: " in result.stdout


def test_json_prints_the_summary_only(tmp_path, pair):
    result = kestrova(
        "replay", "lobster", pair.message_file, "--book", pair.orderbook_file, "--json",
        "--out", tmp_path / "out", cwd=tmp_path,
    )  # fmt: skip
    assert result.returncode == 0, result.stderr
    summary = json.loads(result.stdout)
    on_disk = json.loads((tmp_path / "out" / "summary.json").read_text())
    assert summary == on_disk
    assert summary["complete"] is True
    assert summary["rows_matching"] == summary["rows_compared"] == 1500
    for key in ("events", "fills", "first_mismatch", "resyncs", "corrections", "divergences",
                "partial_cancels", "unknown_orders", "seconds", "events_per_second",
                "parameters", "version"):  # fmt: skip
        assert key in summary
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == [
        "bbo.parquet", "depth.parquet", "divergences.parquet", "fills.parquet", "summary.json",
    ]  # fmt: skip


BAD_OPTIONS = [
    (["simulate", "--orders", "0"], "argument --orders: must be at least 1, got 0"),
    (["simulate", "--orders", "-5"], "argument --orders: must be at least 1, got -5"),
    (["simulate", "--orders", "100000001"], "must be at most 100,000,000"),
    (["simulate", "--orders", "2.5"], "not a whole number: '2.5'"),
    (["simulate", "--tick-size", "0"], "must be a positive number"),
    (["simulate", "--tick-size", "nan"], "must be a positive number"),
    (["simulate", "--tick-size", "1e-12"], "at most 9 decimals"),
    (["simulate", "--tick-size", "3"], "fewer than 10 ticks across"),
    (["simulate", "--tick-size", "1e20"], "fewer than 10 ticks across"),
    (["simulate", "--tick-size", "1e300"], "fewer than 10 ticks across"),
    (["simulate", "--depth-every", "0"], "argument --depth-every: must be at least 1"),
    (["simulate", "--levels", "256"], "argument --levels: must be at most 255"),
    (["simulate", "--plot", "run"], "--plot: no file type suffix"),
    (["replay", "itch", "f.itch", "--symbol", "A", "--plot", "p.png"], "unrecognized arguments: --plot"),
    (["replay", "mbo", "f.dbn", "--plot", "p.png"], "unrecognized arguments: --plot"),
    (["simulate", "--plot", "run.xyz"], "--plot: unknown file type '.xyz'"),
    (["simulate", "--plot", "no/such/folder/p.png"], "--plot: folder"),
    (["replay", "lobster", "missing.csv"], "no such file: missing.csv"),
    (["replay", "lobster", "{message}", "--book", "{book}", "--levels", "6"], "--levels must be 1 to 5"),
    (["replay", "lobster", "{message}", "--book", "{short_book}"], "fewer than the 1500 of"),
    (["replay", "csv", "missing.csv"], "no such file: missing.csv"),
    (["replay", "itch-ish", "x"], "invalid choice: 'itch-ish'"),
]  # fmt: skip


@pytest.mark.parametrize("args, message", BAD_OPTIONS, ids=[" ".join(a) for a, _ in BAD_OPTIONS])
def test_bad_options_exit_2_with_usage(tmp_path, pair, args, message):
    short = tmp_path / "short_orderbook_5.csv"
    short.write_text("".join(pair.orderbook_file.read_text().splitlines(True)[:100]))
    names = {"message": pair.message_file, "book": pair.orderbook_file, "short_book": short}
    args = [a.format(**names) for a in args]
    result = kestrova(*args, cwd=tmp_path)
    assert result.returncode == 2, result.stderr
    assert result.stdout == ""
    assert message in result.stderr
    assert "usage: kestrova" in result.stderr
    assert "Traceback" not in result.stderr


GOOD = "34200.000000001,1,11,100,1000000,1\n"
MALFORMED_MESSAGES = [
    ("", "1: empty file"),
    ("Time,Type,OrderID,Size,Price,Direction\n" + GOOD, "1: a header where none belongs"),
    (GOOD + "34200.1,1,12,100,1000000\n", "2: expected 6 columns, found 5"),
    (GOOD + "34200.1,1,12,100,1000000,1,7\n", "2: expected 6 columns, found 7"),
    (GOOD + "34200.1,1,12,abc,1000000,1\n", "2: size is not a whole number: 'abc'"),
    (GOOD + "34200.1,1,12,10.5,1000000,1\n", "2: size is not a whole number: '10.5'"),
    (GOOD + "34200.1,9,12,100,1000000,1\n", "2: unknown event type 9"),
    (GOOD + "34200.1,1,12,0,1000000,1\n", "2: size must be a positive whole number, got 0"),
    (GOOD + "34200.1,1,12,100,-5,1\n", "2: price must be a positive whole number, got -5"),
    (GOOD + "34200.1,1,12,100,1000000,2\n", "2: direction must be 1 or -1, got 2"),
    (GOOD + "34100.0,1,12,100,1000000,1\n", "2: time goes backwards"),
    (GOOD + "34200.1,1,12,100,10", "2: expected 6 columns, found 5"),
    (GOOD + "\n" + GOOD, "2: blank line"),
    ("\x00\x01\x02binary\xff", "1: not a text file"),
]


@pytest.mark.parametrize(
    "text, message",
    MALFORMED_MESSAGES,
    ids=["empty", "header", "short-row", "long-row", "not-a-number", "fraction",
         "unknown-type", "zero-size", "negative-price", "bad-direction", "time-backwards",
         "cut-short", "blank-line", "binary"],
)  # fmt: skip
def test_malformed_message_files_name_file_and_line(tmp_path, text, message):
    path = tmp_path / "m_message_1.csv"
    path.write_bytes(text.encode("latin-1"))
    out = tmp_path / "out"
    result = kestrova("replay", "lobster", path, "--out", out, cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr.startswith(f"{path}:{message}")
    assert len(result.stderr.splitlines()) == 1
    assert "Traceback" not in result.stderr
    # Nothing half-written passes for a result.
    assert sorted(p.name for p in out.iterdir()) == ["summary.json"]
    assert json.loads((out / "summary.json").read_text())["complete"] is False


@pytest.mark.parametrize("ending", ["\r\n", ""], ids=["crlf", "no-final-newline"])
def test_valid_line_endings(tmp_path, ending):
    rows = [GOOD.strip(), "34200.2,3,11,100,1000000,1"]
    path = tmp_path / "m_message_1.csv"
    path.write_bytes(("\r\n" if ending else "\n").join(rows).encode() + ending.encode())
    result = kestrova("replay", "lobster", path, "--json", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["events"] == 2


def test_a_failed_run_removes_the_previous_results(tmp_path, pair):
    out = tmp_path / "out"
    assert kestrova("simulate", "--orders", "500", "--out", out, cwd=tmp_path).returncode == 0
    bad = tmp_path / "bad_message_1.csv"
    bad.write_text(GOOD + "oops\n")
    assert kestrova("replay", "lobster", bad, "--out", out, cwd=tmp_path).returncode == 1
    assert [p.name for p in out.iterdir()] == ["summary.json"]
    assert json.loads((out / "summary.json").read_text())["complete"] is False


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_a_full_disk_ends_with_one_line(tmp_path):
    with open("/dev/full", "w") as full:
        result = kestrova("simulate", "--orders", "200", cwd=tmp_path, stdout=full)
    assert result.returncode == 1
    assert result.stderr.strip() == "kestrova: No space left on device"


def test_simulated_tables_are_the_same_bytes_every_run(tmp_path):
    for out in ("a", "b"):
        args = ["simulate", "--orders", "20000", "--seed", "3", "--depth-every", "50"]
        assert kestrova(*args, "--out", out, cwd=tmp_path).returncode == 0
    for table in ("fills", "bbo", "depth", "divergences"):
        a = (tmp_path / "a" / f"{table}.parquet").read_bytes()
        assert a == (tmp_path / "b" / f"{table}.parquet").read_bytes(), table
