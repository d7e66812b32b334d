"""kestrova run-many: jobs on a local cluster, on started scheduler and workers, and in-process.

The in-process engine is the reference: whatever runs the jobs, every Parquet
file under the output folder has the same bytes.
"""

from __future__ import annotations

import csv
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import pyarrow.parquet as pq
import pytest

from kestrova_replay.cli import main
from kestrova_replay.cluster import jobs_from_manifest, run_job, run_many
from kestrova_replay.sample_lobster import write_pair

BIN = Path(sys.executable).parent
TABLE_FILES = {"fills.parquet", "bbo.parquet", "depth.parquet", "divergences.parquet"}


def parquet_bytes(folder: Path) -> dict[str, bytes]:
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*.parquet"))}


def assert_same_outputs(got: Path, reference: Path) -> None:
    got_files, reference_files = parquet_bytes(got), parquet_bytes(reference)
    assert sorted(got_files) == sorted(reference_files)
    different = [name for name in got_files if got_files[name] != reference_files[name]]
    assert not different, f"bytes differ: {different}"


def job_rows(out: Path) -> list[dict[str, Any]]:
    rows: list[dict[str, Any]] = pq.read_table(out / "jobs.parquet").to_pylist()
    return rows


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port: int = s.getsockname()[1]
        return port


def lobster_jobs(folder: Path, count: int, messages: int = 300) -> list[dict[str, Any]]:
    """Pairs written by the package's sample writer; every other job without its orderbook."""
    jobs = []
    for i in range(count):
        pair = write_pair(folder / f"pair{i}", messages, levels=5, seed=i + 1)
        inputs = [str(pair.message_file), str(pair.orderbook_file)][: 2 - i % 2]
        jobs.append({"id": f"lob-{i}", "kind": "lobster", "inputs": inputs, "options": {}})
    return jobs


def simulate_jobs(count: int, orders: int) -> list[dict[str, Any]]:
    return [
        {"id": f"sim-{seed:02d}", "kind": "simulate", "inputs": [],
         "options": {"orders": orders, "seed": seed}}
        for seed in range(count)
    ]  # fmt: skip


def write_manifest(path: Path, jobs: list[dict[str, Any]]) -> Path:
    """A CSV manifest of the jobs: input and book columns, then their options."""
    names = sorted({name for job in jobs for name in job["options"]})

    def cell(value: Any) -> str:
        return ",".join(value) if isinstance(value, list) else str(value)

    with open(path, "w", newline="") as f:
        out = csv.writer(f)
        out.writerow(["id", "kind", "input", "book", *names])
        for job in jobs:
            inputs = [*job["inputs"], "", ""][:2]
            options = [cell(job["options"].get(name, "")) for name in names]
            out.writerow([job["id"], job["kind"], *inputs, *options])
    return path


def run_kestrova(*args: str, timeout: float = 60) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [str(BIN / "kestrova"), *args], capture_output=True, text=True, timeout=timeout
    )


@contextmanager
def dask_cluster(
    folder: Path, workers: int = 2
) -> Iterator[tuple[str, list[subprocess.Popen[bytes]]]]:
    """``dask scheduler`` and ``dask worker`` processes on 127.0.0.1, each in its own group."""
    from distributed import Client

    address = f"tcp://127.0.0.1:{free_port()}"
    started: list[subprocess.Popen[bytes]] = []

    def start(*args: str) -> subprocess.Popen[bytes]:
        log = open(folder / f"dask-{len(started)}.log", "wb")
        process = subprocess.Popen(
            [str(BIN / "dask"), *args], stdout=log, stderr=subprocess.STDOUT, cwd=folder,
            start_new_session=True,
        )  # fmt: skip
        log.close()
        started.append(process)
        return process

    try:
        start("scheduler", "--host", "127.0.0.1", "--port", address.rsplit(":", 1)[1],
              "--no-dashboard")  # fmt: skip
        worker_processes = [
            start("worker", address, "--host", "127.0.0.1", "--nthreads", "1",
                  "--no-dashboard", "--local-directory", str(folder))
            for _ in range(workers)
        ]  # fmt: skip
        with Client(address, timeout=30) as client:
            client.wait_for_workers(workers, timeout=30)
        yield address, worker_processes
    finally:
        for process in reversed(started):
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
            process.wait(timeout=10)


@pytest.fixture(scope="module")
def scheduler(tmp_path_factory: pytest.TempPathFactory) -> Iterator[str]:
    with dask_cluster(tmp_path_factory.mktemp("dask")) as (address, _):
        yield address


def write_flow_csv(path: Path, rows: int) -> Path:
    """Adds around 100.00 that cross now and then, and cancels of earlier adds."""
    rng = random.Random(7)
    lines = ["timestamp,event,order_ref,side,price,quantity"]
    added: list[str] = []
    for i in range(rows):
        stamp = f"2026-12-07T14:30:{i // 10:02d}.{i % 10:06d}"
        if added and rng.random() < 0.25:
            ref = added.pop(rng.randrange(len(added)))
            lines.append(f"{stamp},cancel,{ref},,,")
            continue
        added.append(f"c{i:04d}")
        side = rng.choice(("buy", "sell"))
        price = 100 + (rng.randint(-8, 3) if side == "buy" else rng.randint(-3, 8)) / 100
        lines.append(f"{stamp},add,c{i:04d},{side},{price:.2f},{rng.randint(1, 20) / 2}")
    path.write_text("\n".join(lines) + "\n")
    return path


@pytest.fixture(scope="module")
def mixed_jobs(tmp_path_factory: pytest.TempPathFactory) -> list[dict[str, Any]]:
    """Fourteen small jobs of every kind."""
    folder = tmp_path_factory.mktemp("inputs")
    flow = write_flow_csv(folder / "flow.csv", 300)
    csv_jobs = [
        {"id": f"csv-{i}", "kind": "csv", "inputs": [str(flow)],
         "options": {"tick_size": "0.01", "depth_every": 10 + i}}
        for i in range(2)
    ]  # fmt: skip
    return simulate_jobs(6, 2000) + lobster_jobs(folder, 4) + csv_jobs + feed_jobs(folder)


def feed_jobs(folder: Path) -> list[dict[str, Any]]:
    """An ITCH job of two stocks and an MBO job, on files of the replay tests' writers."""
    from test_replay_itch import day, write
    from test_replay_mbo import Writer

    itch_file = write(folder, day(4, 300).bytes())
    mbo = Writer()
    mbo.flow(random.Random(4), [7, 9], 300)
    mbo_file = mbo.write(folder / "day.dbn")
    return [
        {"id": "itch-0", "kind": "itch", "inputs": [str(itch_file)],
         "options": {"symbol": ["AAA", "BBBB"], "depth_every": 5}},
        {"id": "mbo-0", "kind": "mbo", "inputs": [str(mbo_file)],
         "options": {"instrument": 7, "tick_size": "0.01"}},
    ]  # fmt: skip


@pytest.mark.cluster
@pytest.mark.timeout(90)
def test_local_cluster_writes_the_bytes_of_in_process_runs(
    mixed_jobs: list[dict[str, Any]], tmp_path: Path
) -> None:
    reference = run_many(mixed_jobs, tmp_path / "local", engine="local")
    result = run_many(mixed_jobs, tmp_path / "dask", workers=2)

    assert (result.jobs, result.ok, result.workers) == (14, 14, 2)
    assert_same_outputs(tmp_path / "dask", tmp_path / "local")
    rows = job_rows(tmp_path / "dask")
    assert [row["id"] for row in rows] == sorted(job["id"] for job in mixed_jobs)
    checked = [row for row in rows if row["kind"] == "lobster" and row["rows_compared"]]
    assert len(checked) == 2
    assert all(row["rows_matching"] == row["rows_compared"] > 0 for row in checked)
    assert result.events == reference.events == sum(row["events"] for row in rows)
    totals = json.loads((tmp_path / "dask" / "summary.json").read_text())
    assert totals["fills"] == sum(row["fills"] for row in rows)
    assert sorted(totals["timings"]) == [row["id"] for row in rows]


@pytest.mark.cluster
@pytest.mark.timeout(90)
def test_run_against_started_scheduler_and_workers(
    scheduler: str, mixed_jobs: list[dict[str, Any]], tmp_path: Path
) -> None:
    manifest = write_manifest(tmp_path / "jobs.csv", mixed_jobs)
    run = run_kestrova("run-many", "--manifest", str(manifest), "--out", str(tmp_path / "dask"),
                       "--scheduler", scheduler, "--json")  # fmt: skip
    assert run.returncode == 0, run.stderr
    summary = json.loads(run.stdout)  # --json prints the summary only
    assert (summary["jobs"], summary["failed"], summary["scheduler"]) == (14, 0, scheduler)
    assert "run-many" not in run.stderr  # no progress bar off a terminal

    run_many(jobs_from_manifest(manifest), tmp_path / "local", engine="local")
    assert_same_outputs(tmp_path / "dask", tmp_path / "local")


@pytest.mark.cluster
@pytest.mark.timeout(90)
def test_a_job_with_bad_input_fails_alone(scheduler: str, tmp_path: Path) -> None:
    jobs = simulate_jobs(2, 2000) + lobster_jobs(tmp_path, 2)
    message = Path(jobs[-1]["inputs"][0])
    rows = message.read_text().splitlines()
    rows[4] = rows[4].replace(",", ",x", 1)  # line 5: type is no number
    message.write_text("\n".join(rows) + "\n")

    run = run_kestrova("run-many", "--manifest", str(write_manifest(tmp_path / "m.csv", jobs)),
                       "--out", str(tmp_path / "out"), "--scheduler", scheduler)  # fmt: skip
    assert run.returncode == 1, run.stderr
    status = {row["id"]: (row["status"], row["error"]) for row in job_rows(tmp_path / "out")}
    failed, error = status.pop("lob-1")
    assert failed == "failed"
    assert set(status.values()) == {("ok", None)}
    assert error.startswith(f"{message}:5: type is not a whole number")
    assert f"failed lob-1: {error}" in run.stdout
    folder = tmp_path / "out" / "job=lob-1"
    assert [p.name for p in folder.iterdir()] == ["summary.json"]


@pytest.mark.cluster
@pytest.mark.timeout(120)
def test_a_killed_worker_costs_only_a_retry(tmp_path: Path) -> None:
    jobs = simulate_jobs(5, 1_000_000)
    manifest = write_manifest(tmp_path / "jobs.csv", jobs)
    out = tmp_path / "dask"
    with dask_cluster(tmp_path) as (address, workers):
        run = subprocess.Popen(
            [str(BIN / "kestrova"), "run-many", "--manifest", str(manifest), "--out", str(out),
             "--scheduler", address, "--quiet"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )  # fmt: skip
        try:
            # Kill one worker once both are busy writing, before the run is over.
            deadline = time.monotonic() + 30
            while len(list(out.glob("job=*/.*.tmp-*"))) < 2 * len(TABLE_FILES):
                assert time.monotonic() < deadline, "the jobs never started"
                time.sleep(0.05)
            done_at_kill = len(list(out.glob("job=*/fills.parquet")))
            os.killpg(workers[0].pid, signal.SIGKILL)
            stdout, stderr = run.communicate(timeout=90)
        finally:
            if run.poll() is None:
                run.kill()
    assert done_at_kill < len(jobs)
    assert run.returncode == 0, stderr
    assert "5 jobs: 5 ok, 0 failed" in stdout

    for job in jobs:  # each job's files once: the killed attempt's temp files are gone
        names = {p.name for p in (out / f"job={job['id']}").iterdir()}
        assert names == TABLE_FILES | {"summary.json"}
    run_many(jobs, tmp_path / "local", engine="local")
    assert_same_outputs(out, tmp_path / "local")


def test_a_rerun_job_replaces_what_an_earlier_attempt_left(tmp_path: Path) -> None:
    folder = tmp_path / "job=sim-00"
    folder.mkdir()
    for stale in (".fills.parquet.tmp-999", "old.parquet", "fills.parquet"):
        (folder / stale).write_bytes(b"partial")
    row = run_job({**simulate_jobs(1, 500)[0], "out": str(tmp_path)})
    assert row["status"] == "ok"
    assert {p.name for p in folder.iterdir()} == TABLE_FILES | {"summary.json"}


def test_csv_and_toml_manifests_give_the_same_jobs(tmp_path: Path) -> None:
    (tmp_path / "jobs.csv").write_text(
        "id,kind,input,book,orders,seed,tick_size,levels,correct,symbol,instrument\n"
        "a,simulate,,,2000,3,0.05,,,,\n"
        "\n"
        "b,lobster,data/m.csv,data/b.csv,,,,5,false,,\n"
        "c,csv,flow.csv,,,,0.01,,,,\n"
        'd,itch,day.itch,,,,,5,," AAA, BBB",\n'
        "e,mbo,day.dbn,,,,0.25,,,,7\n"
    )
    (tmp_path / "jobs.toml").write_text(
        '[[job]]\nid = "a"\nkind = "simulate"\norders = 2000\nseed = 3\ntick_size = 0.05\n\n'
        '[[job]]\nid = "b"\nkind = "lobster"\ninput = "data/m.csv"\nbook = "data/b.csv"\n'
        "levels = 5\ncorrect = false\n\n"
        '[[job]]\nid = "c"\nkind = "csv"\ninput = "flow.csv"\ntick_size = "0.01"\n\n'
        '[[job]]\nid = "d"\nkind = "itch"\ninput = "day.itch"\nsymbol = ["AAA", "BBB"]\n'
        "levels = 5\n\n"
        '[[job]]\nid = "e"\nkind = "mbo"\ninput = "day.dbn"\ntick_size = 0.25\n'
        "instrument = 7\n"
    )
    from_csv = jobs_from_manifest(tmp_path / "jobs.csv")
    assert from_csv == jobs_from_manifest(tmp_path / "jobs.toml")
    assert from_csv[1] == {
        "id": "b", "kind": "lobster",
        "inputs": [str(tmp_path / "data" / "m.csv"), str(tmp_path / "data" / "b.csv")],
        "options": {"levels": 5, "correct": False},
    }  # fmt: skip
    assert [job["options"] for job in from_csv[3:]] == [
        {"symbol": ["AAA", "BBB"], "levels": 5},
        {"tick_size": "0.25", "instrument": 7},
    ]


@pytest.mark.parametrize(
    ("make", "message"),
    [
        pytest.param(
            lambda d: [
                "--scheduler",
                f"tcp://127.0.0.1:{free_port()}",
                "--connect-timeout",
                "2",
                "--seeds",
                "1-2",
            ],
            "cannot reach the Dask scheduler at tcp://127.0.0.1:",
            id="unreachable-scheduler",
        ),  # fmt: skip
        pytest.param(lambda d: [str(d / "none_message_*.csv")], "no files match", id="empty-glob"),
        pytest.param(
            lambda d: [str(d / "*" / "X_message_1.csv")],
            "duplicate job id 'X_1'",
            id="duplicate-ids-from-glob",
        ),
        pytest.param(
            lambda d: ["--manifest", str(d / "missing.csv")],
            "no such manifest",
            id="missing-manifest",
        ),
        pytest.param(
            lambda d: ["--manifest", str(d / "dup.csv")],
            "dup.csv:3: job id 'a' already on line 2",
            id="duplicate-ids-in-manifest",
        ),
        pytest.param(
            lambda d: ["--manifest", str(d / "bad.csv")],
            "bad.csv:3: kind must be one of simulate, lobster, csv, itch, mbo, got 'sim'",
            id="bad-kind",
        ),
        pytest.param(
            lambda d: ["--manifest", str(d / "bad.toml")],
            "bad.toml:4: orders: not a whole number: 'many'",
            id="bad-toml-value",
        ),
        pytest.param(
            lambda d: ["--manifest", str(d / "badopt.csv")],
            "badopt.csv:2: a lobster job takes no option 'orders'",
            id="option-of-another-kind",
        ),
        pytest.param(
            lambda d: ["--manifest", str(d / "nosymbol.csv")],
            "nosymbol.csv:2: job a: an itch job needs the option symbol",
            id="itch-without-symbol",
        ),
        pytest.param(
            lambda d: ["--manifest", str(d / "symbols.toml")],
            "symbols.toml:1: symbol: expected symbols, as text or a list of text, got 5",
            id="itch-symbol-not-text",
        ),
        pytest.param(
            lambda d: ["--manifest", str(d / "mboopt.csv")],
            "mboopt.csv:2: an mbo job takes no option 'correct'",
            id="option-of-another-kind-mbo",
        ),
        pytest.param(
            lambda d: ["--seeds", "1-2", "--scheduler", "tcp://127.0.0.1:1", "--workers", "2"],
            "--workers sizes a local cluster",
            id="workers-with-scheduler",
        ),
        pytest.param(
            lambda d: ["--seeds", "1-2", "--engine", "local", "--workers", "2"],
            "go with the dask engine",
            id="workers-without-dask",
        ),
    ],
)
def test_bad_options_exit_2_with_a_reason(
    make: Any, message: str, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    for name in ("a", "b"):
        (tmp_path / name).mkdir()
        (tmp_path / name / "X_message_1.csv").write_text("")
    (tmp_path / "dup.csv").write_text("id,kind,orders\na,simulate,10\na,simulate,20\n")
    (tmp_path / "bad.csv").write_text("id,kind\na,simulate\nb,sim\n")
    (tmp_path / "badopt.csv").write_text("id,kind,input,orders\na,lobster,m.csv,10\n")
    (tmp_path / "nosymbol.csv").write_text("id,kind,input,levels\na,itch,day.itch,5\n")
    (tmp_path / "symbols.toml").write_text('[[job]]\nid = "a"\nkind = "itch"\nsymbol = 5\n')
    (tmp_path / "mboopt.csv").write_text("id,kind,input,correct\na,mbo,day.dbn,true\n")
    (tmp_path / "bad.toml").write_text('[[job]]\nid = "a"\nkind = "simulate"\n[[job]]\nid = "b"\n'
                                       'kind = "simulate"\norders = "many"\n')  # fmt: skip
    started = time.monotonic()
    with pytest.raises(SystemExit) as raised:
        main(["run-many", "--out", str(tmp_path / "out"), *make(tmp_path)])
    assert raised.value.code == 2
    assert time.monotonic() - started < 10
    err = capsys.readouterr().err
    assert err.startswith("usage: kestrova run-many")
    assert message in err


def test_seeds_name_jobs_that_sort_as_the_seeds(tmp_path: Path, capsys: Any) -> None:
    def run(seeds: str) -> int:
        return main(["run-many", "--seeds", seeds, "--orders", "300", "--engine", "local",
                     "--out", str(tmp_path)])  # fmt: skip

    assert run("8-10") == 0
    assert [row["id"] for row in job_rows(tmp_path)] == ["seed-08", "seed-09", "seed-10"]
    assert "3 jobs: 3 ok, 0 failed" in capsys.readouterr().out
    # A later run into the same folder leaves no job of the earlier one behind.
    assert run("9-9") == 0
    assert [p.name for p in tmp_path.glob("job=*")] == ["job=seed-9"]


@pytest.fixture(autouse=True)
def _no_inherited_scheduler(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.delenv("DASK_SCHEDULER_ADDRESS", raising=False)
    assert shutil.which("kestrova", path=str(BIN)), "the kestrova command is not installed"
