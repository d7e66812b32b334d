"""The ``kestrova`` command: argparse subcommands, each calling one function of the package.

Exit codes: 0 done, 1 bad data or a failed write (``FILE:LINE: reason`` on
stderr), 2 bad options (usage on stderr), 130 interrupted.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Callable, Sequence
from decimal import Decimal, InvalidOperation
from pathlib import Path
from typing import Any

from .errors import DataError, OptionError
from .runs import (
    DEFAULT_DEPTH_EVERY,
    Summary,
    replay_csv,
    replay_itch,
    replay_lobster,
    replay_mbo,
    simulate,
    symbol_summaries,
    version,
)
from .simulation import MAX_ORDERS


def count(minimum: int, maximum: int | None = None) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, got {value}")
        if maximum is not None and value > maximum:
            raise argparse.ArgumentTypeError(f"must be at most {maximum:,}, got {value:,}")
        return value

    return parse


def tick_size(text: str) -> Decimal:
    try:
        value = Decimal(text)
    except InvalidOperation:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value.is_finite() or value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text!r}")
    value = value.normalize()
    if -int(value.as_tuple().exponent) > 9:
        raise argparse.ArgumentTypeError(f"at most 9 decimals, got {text!r}")
    return value


def _output_options(parser: argparse.ArgumentParser, plot: bool = True) -> None:
    parser.add_argument(
        "--out", type=Path, metavar="DIR", help="write the tables and summary.json here"
    )
    parser.add_argument(
        "--depth-every",
        type=count(1),
        default=DEFAULT_DEPTH_EVERY,
        metavar="K",
        help=f"a depth sample every K events (default {DEFAULT_DEPTH_EVERY})",
    )
    if plot:  # the replays of several books or of packet-consistent books draw none
        parser.add_argument(
            "--plot",
            type=Path,
            metavar="FILE",
            help="also draw mid price, spread and final depth; the suffix (.png, .svg, .pdf) "
            "sets the format (needs matplotlib)",
        )
    parser.add_argument("--json", action="store_true", help="print the summary as JSON only")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")


def build_parser(prog: str | None = None) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog or "kestrova",
        description="Replay recorded and simulated order flow through order books.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    sim = commands.add_parser("simulate", help="a seeded simulated order flow")
    sim.add_argument("--orders", type=count(1, MAX_ORDERS), default=5000, metavar="N",
                     help=f"orders in the flow, 1 to {MAX_ORDERS:,} (default 5000)")  # fmt: skip
    sim.add_argument("--seed", type=int, default=7, metavar="S", help="random seed (default 7)")
    sim.add_argument("--tick-size", type=tick_size, default=Decimal("0.01"), metavar="T",
                     help="price of one tick (default 0.01)")  # fmt: skip
    sim.add_argument("--levels", type=count(1, 255), default=10, metavar="N",
                     help="depth levels in the depth table (default 10)")  # fmt: skip
    _output_options(sim)
    sim.set_defaults(run=_simulate, subparser=sim)

    replay = commands.add_parser("replay", help="replay a recorded file")
    formats = replay.add_subparsers(dest="format", required=True, metavar="FORMAT")
    lob = formats.add_parser(
        "lobster", help="a LOBSTER message file, checked against its orderbook file"
    )
    lob.add_argument("message_file", type=Path, metavar="MESSAGE_FILE")
    lob.add_argument("--book", type=Path, metavar="ORDERBOOK_FILE",
                     help="compare the book with this orderbook file after every message")  # fmt: skip
    lob.add_argument("--levels", type=count(1, 255), metavar="N",
                     help="levels to compare and sample (default: the orderbook file's, or 10)")  # fmt: skip
    lob.add_argument("--no-correct", dest="correct", action="store_false",
                     help="let a mismatching row's levels carry on, for study")  # fmt: skip
    _output_options(lob)
    lob.set_defaults(run=_replay_lobster, subparser=lob)

    flow = formats.add_parser("csv", help="an order flow in kestrova's own CSV layout")
    flow.add_argument("file", type=Path, metavar="FILE")
    flow.add_argument("--tick-size", type=tick_size, default=Decimal("0.01"), metavar="T",
                      help="price of one tick (default 0.01)")  # fmt: skip
    flow.add_argument("--levels", type=count(1, 255), default=10, metavar="N",
                      help="depth levels in the depth table (default 10)")  # fmt: skip
    _output_options(flow)
    flow.set_defaults(run=_replay_csv, subparser=flow)
    _add_itch_and_mbo(formats)
    _add_run_many(commands)
    return parser


def _progress_wanted(args: argparse.Namespace) -> bool:
    return not args.quiet and not args.json and sys.stderr.isatty()


def _simulate(args: argparse.Namespace) -> tuple[Summary, str]:
    summary = simulate(
        args.orders, args.seed, args.tick_size, out=args.out, levels=args.levels,
        depth_every=args.depth_every, progress=_progress_wanted(args), plot=args.plot,
    )  # fmt: skip
    title = f"Simulated flow ({args.orders} orders, seed {args.seed}, tick size {args.tick_size})"
    return summary, title


def _replay_lobster(args: argparse.Namespace) -> tuple[Summary, str]:
    summary = replay_lobster(
        args.message_file, args.book, levels=args.levels, out=args.out,
        depth_every=args.depth_every, correct=args.correct, progress=_progress_wanted(args),
        plot=args.plot,
    )  # fmt: skip
    return summary, f"Replay of {args.message_file.name}"


def _replay_csv(args: argparse.Namespace) -> tuple[Summary, str]:
    summary = replay_csv(
        args.file, args.tick_size, out=args.out, levels=args.levels,
        depth_every=args.depth_every, progress=_progress_wanted(args), plot=args.plot,
    )  # fmt: skip
    return summary, f"Replay of {args.file.name} (tick size {args.tick_size})"


def _add_itch_and_mbo(formats: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    itch = formats.add_parser(
        "itch", help="an ITCH 5.0 file (plain or gzip), one book per chosen stock"
    )
    itch.add_argument("file", type=Path, metavar="FILE")
    itch.add_argument("--symbol", dest="symbols", type=_symbols, action="extend", required=True,
                      metavar="SYM[,SYM...]",
                      help="stocks to replay, by their directory symbols; "
                      "a symbol the file lacks is an option error (exit code 2)")  # fmt: skip
    itch.add_argument("--levels", type=count(1, 255), default=10, metavar="N",
                      help="depth levels in the depth table (default 10)")  # fmt: skip
    _output_options(itch, plot=False)
    itch.set_defaults(run=_replay_itch, subparser=itch)

    mbo = formats.add_parser("mbo", help="a Databento MBO file (DBN, plain or zstd)")
    mbo.add_argument("file", type=Path, metavar="FILE")
    chosen = mbo.add_mutually_exclusive_group()
    chosen.add_argument("--instrument", type=count(0, 2**32 - 1), metavar="ID",
                        help="the instrument to replay (needed when the file holds several)")  # fmt: skip
    chosen.add_argument("--symbol", metavar="SYM", help="the instrument, by its raw symbol")
    mbo.add_argument("--tick-size", type=tick_size, metavar="T",
                     help="price of one tick (default: found from the prices)")  # fmt: skip
    mbo.add_argument("--levels", type=count(1, 255), default=10, metavar="N",
                     help="depth levels in the depth table (default 10)")  # fmt: skip
    _output_options(mbo, plot=False)
    mbo.set_defaults(run=_replay_mbo, subparser=mbo)


def _symbols(text: str) -> list[str]:
    names = [name.strip() for name in text.split(",")]
    if not all(names):
        raise argparse.ArgumentTypeError(f"an empty symbol in {text!r}")
    return names


def _replay_itch(args: argparse.Namespace) -> tuple[Summary, str]:
    summary = replay_itch(
        args.file, args.symbols, out=args.out, levels=args.levels,
        depth_every=args.depth_every, progress=_progress_wanted(args),
    )  # fmt: skip
    reports = list(symbol_summaries(summary).items())
    if args.json:
        return summary, ""
    # One report per stock; the last is printed with the others' ending.
    for symbol, report in reports[:-1]:
        _print(report, f"Replay of {args.file.name}, {symbol}", False)
        print()
    symbol, last = reports[-1]
    return last, f"Replay of {args.file.name}, {symbol}"


def _replay_mbo(args: argparse.Namespace) -> tuple[Summary, str]:
    summary = replay_mbo(
        args.file, instrument=args.instrument, symbol=args.symbol, tick_size=args.tick_size,
        out=args.out, levels=args.levels, depth_every=args.depth_every,
        progress=_progress_wanted(args),
    )  # fmt: skip
    return summary, f"Replay of {args.file.name}, instrument {summary.details['instrument_id']}"


def _print(summary: Summary, title: str, as_json: bool) -> None:
    if as_json:
        json.dump(summary.to_dict(), sys.stdout, indent=2)
        sys.stdout.write("\n")
        return
    from .report import print_report

    print_report(summary, title, sys.stdout)


def main(argv: Sequence[str] | None = None, prog: str | None = None) -> int:
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    return run_guarded(lambda: _main(parser, args))


def _main(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    try:
        result = args.run(args)
    except OptionError as error:
        getattr(args, "subparser", parser).error(str(error))
    if isinstance(result, int):  # run-many prints its own table and decides its exit code
        return result
    summary, title = result
    _print(summary, title, args.json)
    sys.stdout.flush()
    return 0


def seeds(text: str) -> tuple[int, int]:
    first, dash, last = text.partition("-")
    try:
        low, high = int(first), int(last if dash else first)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected A-B, whole numbers: {text!r}") from None
    if not 0 <= low <= high:
        raise argparse.ArgumentTypeError(f"expected A-B with 0 <= A <= B, got {text!r}")
    return low, high


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, got {text!r}")
    return value


def _add_run_many(commands: Any) -> None:
    many = commands.add_parser(
        "run-many",
        help="many jobs at once, on a local or remote Dask cluster",
        description="Run many jobs, each into OUT/job=<id>/, and combine their results into "
        "OUT/jobs.parquet and OUT/summary.json. Input paths are opened by the workers.",
    )
    jobs = many.add_mutually_exclusive_group(required=True)
    jobs.add_argument("messages", nargs="*", default=[], metavar="MESSAGE_GLOB",
                      help="LOBSTER message files (globs); X_orderbook_N.csv is paired when present")  # fmt: skip
    jobs.add_argument("--manifest", type=Path, metavar="FILE",
                      help="a CSV or TOML manifest of jobs: id, kind, input, book, options")  # fmt: skip
    jobs.add_argument("--seeds", type=seeds, metavar="A-B", help="simulate one job per seed")
    many.add_argument("--out", type=Path, required=True, metavar="DIR",
                      help="where the jobs' folders and the combined results go")  # fmt: skip
    many.add_argument("--orders", type=count(1, MAX_ORDERS), default=5000, metavar="N",
                      help="orders in each simulation (default 5000)")  # fmt: skip
    many.add_argument("--tick-size", type=tick_size, default=Decimal("0.01"), metavar="T",
                      help="price of one tick in each simulation (default 0.01)")  # fmt: skip
    many.add_argument("--levels", type=count(1, 255), metavar="N",
                      help="depth levels (default: each job's own default)")  # fmt: skip
    many.add_argument("--depth-every", type=count(1), metavar="K",
                      help=f"a depth sample every K events (default {DEFAULT_DEPTH_EVERY})")  # fmt: skip
    many.add_argument("--engine", choices=("dask", "local"), default="dask",
                      help="dask (default) or local: in this process, one job after another")  # fmt: skip
    many.add_argument("--scheduler", metavar="ADDRESS",
                      help="a running Dask scheduler (default: $DASK_SCHEDULER_ADDRESS, "
                      "else a local cluster)")  # fmt: skip
    many.add_argument("--workers", type=count(1), metavar="N",
                      help="worker processes of the local cluster (default: one per core)")  # fmt: skip
    many.add_argument("--connect-timeout", type=seconds, default=10.0, metavar="S",
                      help="give up on the scheduler after S seconds (default 10)")  # fmt: skip
    many.add_argument("--retries", type=count(0), default=2, metavar="N",
                      help="attempts more for a job that raised or, on the local cluster, "
                      "whose worker died (default 2)")  # fmt: skip
    many.add_argument("--json", action="store_true", help="print the summary as JSON only")
    many.add_argument("--quiet", action="store_true", help="no progress bar")
    many.set_defaults(run=_run_many, subparser=many)


def _run_many(args: argparse.Namespace) -> int:
    from .cluster import jobs_from_glob, jobs_from_manifest, jobs_from_seeds, print_table, run_many

    usage: argparse.ArgumentParser = args.subparser
    common = {k: v for k, v in (("levels", args.levels), ("depth_every", args.depth_every))
              if v is not None}  # fmt: skip
    try:
        if args.manifest is not None:
            jobs = jobs_from_manifest(args.manifest)
        elif args.seeds is not None:
            simulation = {"orders": args.orders, "tick_size": str(args.tick_size), **common}
            first, last = args.seeds
            jobs = jobs_from_seeds(first, last, simulation)
        elif args.messages:
            jobs = jobs_from_glob(args.messages, common)
        else:
            raise OptionError("give MESSAGE_GLOB, --manifest FILE or --seeds A-B")
        result = run_many(
            jobs, args.out, engine=args.engine, scheduler=args.scheduler, workers=args.workers,
            connect_timeout=args.connect_timeout, retries=args.retries,
            progress=_progress_wanted(args),
        )  # fmt: skip
    except (OptionError, DataError) as error:  # a manifest's bad row is a bad option too
        usage.error(str(error))
    if args.json:
        json.dump(result.to_dict(), sys.stdout, indent=2)
        sys.stdout.write("\n")
    else:
        print_table(result, sys.stdout)
    sys.stdout.flush()
    return 1 if result.failed else 0


def run_guarded(body: Callable[[], int]) -> int:
    """Ordinary failures end with one line on stderr and an exit code, never a traceback."""
    try:
        return body()
    except DataError as error:
        _error(str(error))
        return 1
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        _quiet_stdout()
        return 1
    except OSError as error:
        name = f"{error.filename}: " if error.filename else ""
        _error(f"{name}{error.strerror or error}")
        _quiet_stdout()
        return 1


def _error(message: str) -> None:
    try:
        print(
            f"kestrova: {message}" if ":" not in message.split(" ")[0] else message, file=sys.stderr
        )
    except OSError:
        pass


def _quiet_stdout() -> None:
    # Output that cannot be written must not fail again when Python exits.
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, ValueError):
        pass
