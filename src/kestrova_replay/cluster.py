"""Many runs at once: jobs of paths and options, run in-process or on a Dask cluster.

A job is a plain dict (``id``, ``kind``, ``inputs``, ``options``); ``run_job``
builds its own book wherever it runs and writes its tables under
``OUT/job=<id>/``. Nothing of kestrova's own types crosses processes: a worker
gets the dict and returns the job's summary dict. ``run_many`` then writes
``OUT/jobs.parquet`` (one row per job, sorted by id, no timings, so the same
jobs give the same bytes whatever ran them) and ``OUT/summary.json`` (the
totals, with the timings).
"""

from __future__ import annotations

import csv
import glob
import importlib
import os
import re
import shutil
import socket
import sys
import time
import tomllib
from collections.abc import Iterable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, TextIO

import pyarrow as pa
import pyarrow.parquet as pq

from .errors import DataError, OptionError
from .runs import replay_csv, replay_itch, replay_lobster, replay_mbo, simulate, version
from .tables import write_json

Job = dict[str, Any]

KINDS = ("simulate", "lobster", "csv", "itch", "mbo")
# The options each kind takes, with the type its text in a manifest converts to;
# list is a list of symbols, written "A,B" in a cell or as a TOML array.
OPTIONS: dict[str, dict[str, type]] = {
    "simulate": {"orders": int, "seed": int, "tick_size": str, "levels": int, "depth_every": int},
    "lobster": {"levels": int, "depth_every": int, "correct": bool},
    "csv": {"tick_size": str, "levels": int, "depth_every": int},
    "itch": {"symbol": list, "levels": int, "depth_every": int},
    "mbo": {"instrument": int, "symbol": str, "tick_size": str, "levels": int, "depth_every": int},
}
REQUIRED = {"itch": ("symbol",)}
INPUTS = {"simulate": (0, 0), "lobster": (1, 2), "csv": (1, 1), "itch": (1, 1), "mbo": (1, 1)}
JOB_ID = re.compile(r"[A-Za-z0-9][A-Za-z0-9._+-]*")
LOBSTER_MESSAGE = re.compile(r"(?P<stem>.+)_message_(?P<levels>\d+)\.csv")
COUNTS = ("events", "fills", "divergences", "rows_compared", "rows_matching")
JOBS_SCHEMA = pa.schema(
    [("id", pa.string()), ("kind", pa.string()), ("status", pa.string())]
    + [(name, pa.int64()) for name in COUNTS]
    + [("error", pa.string())]
)
DEFAULT_CONNECT_TIMEOUT = 10.0
DEFAULT_RETRIES = 2
TABLE_ROWS = 20


# Jobs from the three sources: a manifest, a glob of LOBSTER message files, a range of seeds.


def _a_job(kind: str) -> str:
    return f"{'an' if kind in ('itch', 'mbo') else 'a'} {kind} job"


def check_job(job: Mapping[str, Any]) -> Job:
    """The job as run_job expects it, or OptionError saying what is wrong with it."""
    job_id, kind = job.get("id"), job.get("kind")
    if not isinstance(job_id, str) or not JOB_ID.fullmatch(job_id):
        raise OptionError(f"job id {job_id!r}: use letters, digits and . _ + - (it names a folder)")
    if kind not in KINDS:
        raise OptionError(f"job {job_id}: kind must be one of {', '.join(KINDS)}, got {kind!r}")
    inputs = [str(path) for path in job.get("inputs", [])]
    low, high = INPUTS[kind]
    if not low <= len(inputs) <= high:
        wanted = str(low) if low == high else f"{low} or {high}"
        raise OptionError(
            f"job {job_id}: {_a_job(kind)} takes {wanted} input files, got {len(inputs)}"
        )
    options = dict(job.get("options", {}))
    unknown = sorted(set(options) - set(OPTIONS[kind]))
    if unknown:
        raise OptionError(f"job {job_id}: {_a_job(kind)} takes no option {', '.join(unknown)}")
    for name, option_type in OPTIONS[kind].items():
        if option_type is list and name in options:
            try:
                options[name] = _option(list, options[name])
            except ValueError as error:
                raise OptionError(f"job {job_id}: {name}: {error}") from None
    missing = [name for name in REQUIRED.get(kind, ()) if name not in options]
    if missing:
        raise OptionError(f"job {job_id}: {_a_job(kind)} needs the option {', '.join(missing)}")
    return {"id": job_id, "kind": kind, "inputs": inputs, "options": options}


def check_jobs(jobs: Iterable[Mapping[str, Any]]) -> list[Job]:
    checked = [check_job(job) for job in jobs]
    if not checked:
        raise OptionError("no jobs to run")
    seen: set[str] = set()
    for job in checked:
        if job["id"] in seen:
            raise OptionError(f"duplicate job id {job['id']!r}")
        seen.add(job["id"])
    return sorted(checked, key=lambda job: job["id"])


def _option(kind: type, value: Any) -> Any:
    """A manifest's value as the option's type: CSV gives text, TOML its own types."""
    if kind is list:
        names = value.split(",") if isinstance(value, str) else value
        if not isinstance(names, list) or not all(isinstance(n, str) for n in names):
            raise ValueError(f"expected symbols, as text or a list of text, got {value!r}")
        return [name.strip() for name in names if name.strip()]
    if isinstance(value, str):
        text = value.strip()
        if kind is bool:
            if text.lower() not in ("true", "false", "1", "0", "yes", "no"):
                raise ValueError(f"not true or false: {value!r}")
            return text.lower() in ("true", "1", "yes")
        if kind is int:
            try:
                return int(text)
            except ValueError:
                raise ValueError(f"not a whole number: {value!r}") from None
        return text
    if isinstance(value, bool):
        if kind is bool:
            return value
    elif isinstance(value, int) and kind in (int, str):
        return value if kind is int else str(value)
    elif isinstance(value, float) and kind is str:
        return str(value)
    raise ValueError(f"expected {'text' if kind is str else kind.__name__}, got {value!r}")


def _manifest_job(path: Path, line: int, fields: Mapping[str, Any]) -> Job:
    """One manifest row: id, kind, inputs (relative to the manifest), then the options."""
    fields = {k: v for k, v in fields.items() if v not in ("", None)}
    kind = fields.pop("kind", None)
    job_id = fields.pop("id", None)
    if kind not in KINDS:
        raise DataError(path, line, f"kind must be one of {', '.join(KINDS)}, got {kind!r}")
    inputs = [fields.pop("input")] if "input" in fields else []
    if "book" in fields:
        if kind != "lobster":
            raise DataError(path, line, f"{_a_job(kind)} takes no book file")
        inputs.append(fields.pop("book"))
    options: dict[str, Any] = {}
    for name, value in fields.items():
        wanted = OPTIONS[kind].get(name)
        if wanted is None:
            raise DataError(path, line, f"{_a_job(kind)} takes no option {name!r}")
        try:
            options[name] = _option(wanted, value)
        except ValueError as error:
            raise DataError(path, line, f"{name}: {error}") from None
    resolved = [str((path.parent / str(p)).absolute()) for p in inputs]
    try:
        return check_job({"id": job_id, "kind": kind, "inputs": resolved, "options": options})
    except OptionError as error:
        raise DataError(path, line, str(error)) from None


def jobs_from_manifest(path: str | Path) -> list[Job]:
    """Jobs from a CSV manifest (a header row, then one job a row) or a TOML one ([[job]]).

    Columns or keys: ``id``, ``kind``, ``input`` (the message, CSV, ITCH or DBN
    file), ``book`` (a LOBSTER orderbook file), and options such as ``orders``,
    ``seed``, ``tick_size``, ``levels``, ``depth_every``, ``correct``, ``symbol``,
    ``instrument``. Relative input paths are taken from the manifest's folder.
    """
    path = Path(path)
    if not path.is_file():
        raise OptionError(f"no such manifest: {path}")
    if path.suffix.lower() == ".toml":
        jobs = _toml_jobs(path)
    else:
        jobs = _csv_jobs(path)
    seen: dict[str, int] = {}
    for line, job in jobs:
        if job["id"] in seen:
            raise DataError(path, line, f"job id {job['id']!r} already on line {seen[job['id']]}")
        seen[job["id"]] = line
    if not jobs:
        raise DataError(path, None, "no jobs in the manifest")
    return [job for _, job in jobs]


def _csv_jobs(path: Path) -> list[tuple[int, Job]]:
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.reader(f))
    if not rows:
        raise DataError(path, 1, "empty file")
    header = [name.strip() for name in rows[0]]
    for name in ("id", "kind"):
        if name not in header:
            raise DataError(path, 1, f"the header has no {name!r} column")
    jobs = []
    for line, row in enumerate(rows[1:], start=2):
        if not any(cell.strip() for cell in row):
            continue
        if len(row) != len(header):
            raise DataError(path, line, f"expected {len(header)} columns, found {len(row)}")
        cells = (cell.strip() for cell in row)
        jobs.append((line, _manifest_job(path, line, dict(zip(header, cells, strict=True)))))
    return jobs


def _toml_jobs(path: Path) -> list[tuple[int, Job]]:
    text = path.read_text(encoding="utf-8")
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        found = re.search(r"line (\d+)", str(error))
        raise DataError(path, int(found.group(1)) if found else None, str(error)) from None
    tables = document.get("job", [])
    if not isinstance(tables, list) or set(document) - {"job"}:
        raise DataError(path, None, "expected only [[job]] tables")
    # TOML keeps no line numbers; each [[job]] header's own line stands for its table.
    lines = [n for n, text in enumerate(text.splitlines(), 1) if text.strip() == "[[job]]"]
    return [
        (line, _manifest_job(path, line, table)) for line, table in zip(lines, tables, strict=True)
    ]


def jobs_from_glob(patterns: Sequence[str], options: Mapping[str, Any] | None = None) -> list[Job]:
    """A lobster job per message file; ``X_message_N.csv`` pairs with ``X_orderbook_N.csv``."""
    files = sorted({Path(p).absolute() for pattern in patterns for p in glob.glob(pattern)})
    if not files:
        raise OptionError(f"no files match {' '.join(patterns)}")
    jobs = []
    for message in files:
        named = LOBSTER_MESSAGE.fullmatch(message.name)
        job_id, inputs = message.stem, [str(message)]
        if named:
            job_id = f"{named['stem']}_{named['levels']}"
            book = message.with_name(f"{named['stem']}_orderbook_{named['levels']}.csv")
            if book.is_file():
                inputs.append(str(book))
        jobs.append(
            check_job({"id": job_id, "kind": "lobster", "inputs": inputs, "options": options or {}})
        )
    return jobs


def jobs_from_seeds(first: int, last: int, options: Mapping[str, Any] | None = None) -> list[Job]:
    """A simulate job per seed, ids zero-padded so they sort as the seeds do."""
    if first > last or first < 0:
        raise OptionError(f"--seeds must be A-B with 0 <= A <= B, got {first}-{last}")
    width = len(str(last))
    return [
        check_job(
            {
                "id": f"seed-{seed:0{width}d}",
                "kind": "simulate",
                "inputs": [],
                "options": {**(options or {}), "seed": seed},
            }
        )  # fmt: skip
        for seed in range(first, last + 1)
    ]


# One job, as run in-process or on a worker.


def _run_kind(job: Job, folder: Path) -> Any:
    kind, inputs, options = job["kind"], job["inputs"], job["options"]
    if kind == "simulate":
        return simulate(out=folder, **options)
    if kind == "lobster":
        return replay_lobster(*inputs, out=folder, **options)
    if kind == "itch":
        rest = {k: v for k, v in options.items() if k != "symbol"}
        return replay_itch(inputs[0], options["symbol"], out=folder, **rest)
    if kind == "mbo":
        return replay_mbo(inputs[0], out=folder, **options)
    return replay_csv(inputs[0], out=folder, **options)


def run_job(job: Job) -> dict[str, Any]:
    """Runs one job into ``job['out']/job=<id>/`` and returns its summary row.

    Bad input fails the job, not the run: its error text is the row's ``error``.
    Anything else is raised, so Dask may retry the job elsewhere.
    """
    folder = Path(job["out"]) / f"job={job['id']}"
    # A retried job starts clean: a killed attempt's files are replaced, never merged.
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True, exist_ok=True)
    row: dict[str, Any] = {"id": job["id"], "kind": job["kind"], "status": "ok"}
    row.update(dict.fromkeys(COUNTS))
    row["error"] = None
    started = time.perf_counter()
    try:
        summary = _run_kind(job, folder).to_dict()
    except (DataError, OptionError, OSError) as error:
        text = str(error) if not isinstance(error, OSError) else _os_error_text(error)
        row.update(status="failed", error=text)
        write_json(folder / "summary.json", {"complete": False, "error": text})
    else:
        row.update({name: summary[name] for name in COUNTS})
    row["seconds"] = round(time.perf_counter() - started, 6)
    row["worker"] = f"{socket.gethostname()}:{os.getpid()}"
    return row


def _os_error_text(error: OSError) -> str:
    name = f"{error.filename}: " if error.filename else ""
    return f"{name}{error.strerror or error}"


def _lost_row(job: Job, error: BaseException) -> dict[str, Any]:
    """The row of a job whose every attempt died with its worker or raised."""
    row: dict[str, Any] = {"id": job["id"], "kind": job["kind"], "status": "failed"}
    row.update(dict.fromkeys(COUNTS))
    row.update(error=f"{type(error).__name__}: {error}", seconds=None, worker=None)
    return row


# Many jobs: the engines, the combined outputs.


@dataclass(frozen=True)
class ManyResult:
    """What run_many did: the totals (``to_dict()`` is summary.json) and a row per job."""

    engine: str
    workers: int
    jobs: int
    ok: int
    failed: int
    events: int
    fills: int
    divergences: int
    rows_compared: int
    rows_matching: int
    seconds: float
    setup_seconds: float
    job_seconds: float
    scheduler: str | None
    out: str
    version: str
    failures: dict[str, str]
    rows: list[dict[str, Any]] = field(repr=False)

    def to_dict(self) -> dict[str, Any]:
        totals = {k: v for k, v in self.__dict__.items() if k != "rows"}
        totals["timings"] = {row["id"]: row["seconds"] for row in self.rows}
        return totals


class _Progress:
    """One bar over the jobs: done in the bar, failed and running beside it."""

    def __init__(self, enabled: bool, total: int, slots: int) -> None:
        self.bar: Any = None
        self.total, self.slots, self.done, self.failed = total, slots, 0, 0
        if enabled:
            from tqdm import tqdm

            self.bar = tqdm(total=total, unit="job", desc="run-many", file=sys.stderr, leave=False)
            self._postfix()

    def _postfix(self) -> None:
        running = min(self.slots, self.total - self.done)
        self.bar.set_postfix_str(f"failed {self.failed}, running {running}")

    def add(self, row: Mapping[str, Any]) -> None:
        self.done += 1
        self.failed += row["status"] != "ok"
        if self.bar is not None:
            self.bar.update(1)
            self._postfix()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


@contextmanager
def _client(
    scheduler: str | None, workers: int | None, connect_timeout: float, retries: int
) -> Iterator[tuple[Any, int]]:
    """A client of the scheduler at ``scheduler``, or of a local cluster made for the run."""
    try:
        # Dask's API has no annotations; it is used through these names as Any.
        distributed: Any = importlib.import_module("distributed")
    except ImportError:
        raise OptionError(
            "the Dask engine needs dask[distributed]: pip install 'kestrova[cluster]'"
        ) from None
    if scheduler is None:
        size = workers or os.cpu_count() or 1
        config: Any = importlib.import_module("dask").config
        # Dask's nanny fixes glibc's trim threshold, which also stops its mmap threshold
        # from adapting: every batch's arrays are then mapped and unmapped afresh, and a
        # job runs about a third slower than in-process. The workers keep glibc's own.
        settings = {
            "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None,
            # A job on a worker that dies is rerun by the scheduler, up to its allowed failures.
            "distributed.scheduler.allowed-failures": retries,
        }
        with (
            config.set(settings),
            distributed.LocalCluster(
                n_workers=size, threads_per_worker=1, processes=True, dashboard_address=None
            ) as cluster,
            distributed.Client(cluster) as client,
        ):
            yield client, size
        return
    try:
        client = distributed.Client(scheduler, timeout=connect_timeout)
    except (OSError, TimeoutError, ValueError) as error:
        raise OptionError(
            f"cannot reach the Dask scheduler at {scheduler} within {connect_timeout:g} s ({error})"
        ) from None
    with client:
        try:
            client.wait_for_workers(1, timeout=connect_timeout)
        except TimeoutError:
            raise OptionError(
                f"no workers joined the Dask scheduler at {scheduler} within {connect_timeout:g} s"
            ) from None
        yield client, sum(client.nthreads().values())


def _run_dask(
    jobs: list[Job], client: Any, retries: int
) -> Iterator[tuple[Job, dict[str, Any] | BaseException]]:
    as_completed: Any = importlib.import_module("distributed").as_completed
    # pure=False: a job is a side effect on the folder, run it even if an identical one ran.
    futures = {
        client.submit(run_job, job, key=f"kestrova-job-{job['id']}-{os.urandom(4).hex()}",
                      retries=retries, pure=False): job
        for job in jobs
    }  # fmt: skip
    for future in as_completed(futures):
        job = futures[future]
        try:
            yield job, future.result()
        except Exception as error:  # the job's last attempt raised or its worker died again
            yield job, error


def run_many(
    jobs: Iterable[Mapping[str, Any]],
    out: str | Path,
    *,
    engine: str = "dask",
    scheduler: str | None = None,
    workers: int | None = None,
    connect_timeout: float = DEFAULT_CONNECT_TIMEOUT,
    retries: int = DEFAULT_RETRIES,
    progress: bool = False,
) -> ManyResult:
    """Runs every job, each into ``out/job=<id>/``; writes jobs.parquet and summary.json.

    ``engine="local"`` runs them here one after another; ``"dask"`` sends them to
    the scheduler at ``scheduler`` (default: ``DASK_SCHEDULER_ADDRESS``) or to a
    local cluster of ``workers`` single-threaded processes (default: one per core).
    Input paths are opened where the job runs, so every worker must see them.
    """
    checked = check_jobs(jobs)
    if engine not in ("dask", "local"):
        raise OptionError(f"unknown engine {engine!r} (dask or local)")
    if engine == "local" and (scheduler is not None or workers is not None):
        raise OptionError("--scheduler and --workers go with the dask engine, not local")
    address = scheduler or os.environ.get("DASK_SCHEDULER_ADDRESS") or None
    if address is not None and workers is not None:
        raise OptionError(f"--workers sizes a local cluster; the scheduler {address} has its own")
    if workers is not None and workers < 1:
        raise OptionError(f"--workers must be at least 1, got {workers}")
    if retries < 0:
        raise OptionError(f"--retries must be at least 0, got {retries}")
    if connect_timeout <= 0:
        raise OptionError(f"--connect-timeout must be positive, got {connect_timeout:g}")
    root = Path(out).absolute()
    root.mkdir(parents=True, exist_ok=True)
    for name in ("jobs.parquet", "summary.json"):
        (root / name).unlink(missing_ok=True)
    # The folder holds one run: an earlier run's other jobs must not read as this run's.
    wanted = {f"job={job['id']}" for job in checked}
    for stale in root.glob("job=*"):
        if stale.name not in wanted and stale.is_dir():
            shutil.rmtree(stale)
    todo = [{**job, "out": str(root)} for job in checked]
    rows: list[dict[str, Any]] = []
    started = time.perf_counter()
    setup = 0.0
    if engine == "local":
        bar = _Progress(progress, len(todo), 1)
        try:
            for job in todo:
                try:
                    row = run_job(job)
                except Exception as error:  # as on a cluster: the job fails, the run goes on
                    row = _lost_row(job, error)
                rows.append(row)
                bar.add(row)
        finally:
            bar.close()
        size, address = 1, None
    else:
        with _client(address, workers, connect_timeout, retries) as (client, size):
            # Starting a local cluster is reported apart from the jobs' own time.
            setup = time.perf_counter() - started
            started += setup
            bar = _Progress(progress, len(todo), size)
            try:
                for job, outcome in _run_dask(todo, client, retries):
                    row = outcome if isinstance(outcome, dict) else _lost_row(job, outcome)
                    rows.append(row)
                    bar.add(row)
            finally:
                bar.close()
    seconds = time.perf_counter() - started
    rows.sort(key=lambda row: row["id"])
    result = _result(rows, engine, size, seconds, setup, address, root)
    write_jobs_table(root / "jobs.parquet", rows)
    write_json(root / "summary.json", result.to_dict())
    return result


def _result(
    rows: list[dict[str, Any]],
    engine: str,
    size: int,
    seconds: float,
    setup: float,
    scheduler: str | None,
    root: Path,
) -> ManyResult:
    def total(name: str) -> int:
        return sum(row[name] or 0 for row in rows)

    failures = {row["id"]: row["error"] for row in rows if row["status"] != "ok"}
    return ManyResult(
        engine=engine,
        workers=size,
        jobs=len(rows),
        ok=len(rows) - len(failures),
        failed=len(failures),
        **{name: total(name) for name in COUNTS},
        seconds=round(seconds, 6),
        setup_seconds=round(setup, 6),
        job_seconds=round(sum(row["seconds"] or 0.0 for row in rows), 6),
        scheduler=scheduler,
        out=str(root),
        version=version(),
        failures=failures,
        rows=rows,
    )


def write_jobs_table(path: Path, rows: Sequence[Mapping[str, Any]]) -> None:
    """One row per job, sorted by id and without timings, so equal runs give equal bytes."""
    table = pa.Table.from_pylist(
        [{name: row[name] for name in JOBS_SCHEMA.names} for row in rows], JOBS_SCHEMA
    )
    temp = path.with_name(f".{path.name}.tmp-{os.getpid()}")
    try:
        pq.write_table(table, temp, compression="zstd")
        os.replace(temp, path)
    finally:
        temp.unlink(missing_ok=True)


def print_table(result: ManyResult, out: TextIO) -> None:
    """The jobs (every failed one, the first others), then the totals and the failures."""
    failed = [row for row in result.rows if row["status"] != "ok"]
    shown = [row for row in result.rows if row["status"] == "ok"][
        : max(0, TABLE_ROWS - len(failed))
    ]
    rows = sorted(failed + shown, key=lambda row: row["id"])
    header = ("job", "kind", "status", "events", "fills", "divergences", "rows matching", "seconds")
    texts = [header] + [
        (row["id"], row["kind"], row["status"], _count(row["events"]), _count(row["fills"]),
         _count(row["divergences"]),
         f"{_count(row['rows_matching'])} of {_count(row['rows_compared'])}"
         if row["rows_compared"] else "",
         "" if row["seconds"] is None else f"{row['seconds']:.2f}")
        for row in rows
    ]  # fmt: skip
    widths = [max(len(text[i]) for text in texts) for i in range(len(header))]
    for text in texts:
        cells = [
            cell.ljust(width) if i < 3 else cell.rjust(width)
            for i, (cell, width) in enumerate(zip(text, widths, strict=True))
        ]
        print("  ".join(cells).rstrip(), file=out)
    hidden = result.jobs - len(rows)
    if hidden:
        print(f"... and {hidden} more jobs that succeeded (all in jobs.parquet)", file=out)
    print(file=out)
    print(
        f"{result.jobs} jobs: {result.ok} ok, {result.failed} failed; {result.events:,} events, "
        f"{result.fills:,} fills, {result.divergences:,} divergences; "
        f"{result.seconds:.2f} s on {result.workers} worker{'s' if result.workers != 1 else ''} "
        f"({result.engine})",
        file=out,
    )
    print(f"outputs: {result.out}", file=out)
    for job_id, error in result.failures.items():
        print(f"failed {job_id}: {error}", file=out)


def _count(value: int | None) -> str:
    return "" if value is None else f"{value:,}"
