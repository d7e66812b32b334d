"""How run-many scales: the same simulation jobs in-process, on 1 local worker, on 2.

Run: python bench/run_many.py [--jobs N] [--orders N] [--rounds R] [--out DIR]
Every run writes all its tables (under a temporary folder unless --out is given).
Each round runs the three in a rotated order, and each figure is the median over
the rounds, so a burst of load from elsewhere on the machine skews one round only.
The speedup is 1 worker's time over 2 workers'; the overhead is 1 worker's time
over the in-process run's, less one. Cluster start-up is shown apart: it is paid
once per run, however many jobs follow.
"""

import argparse
import os
import statistics
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

import options

from kestrova_replay.cluster import jobs_from_seeds, run_many


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--jobs", type=options.positive_int, default=16, metavar="N",
                        help="simulation jobs per run (default 16)")  # fmt: skip
    parser.add_argument("--orders", type=options.positive_int, default=1_000_000, metavar="N",
                        help="orders in each job (default 1,000,000)")  # fmt: skip
    parser.add_argument("--rounds", type=options.positive_int, default=3, metavar="R",
                        help="rounds of the three runs (default 3)")  # fmt: skip
    parser.add_argument("--out", type=Path, metavar="DIR",
                        help="write the runs' folders here (default: a temporary folder)")  # fmt: skip
    args = parser.parse_args()

    jobs = jobs_from_seeds(1, args.jobs, {"orders": args.orders})
    runs = [("in-process", {"engine": "local"}), ("1 worker", {"workers": 1}),
            ("2 workers", {"workers": 2})]  # fmt: skip
    seconds = {name: [] for name, _ in runs}
    setup = {name: [] for name, _ in runs}
    with tempfile.TemporaryDirectory(dir=args.out) as folder:
        for round in range(args.rounds):
            for name, settings in runs[round % 3 :] + runs[: round % 3]:
                result = run_many(jobs, Path(folder) / name.replace(" ", "-"), **settings)
                seconds[name].append(result.seconds)
                setup[name].append(result.setup_seconds)
                events = result.events
                print(f"round {round + 1}, {name}: {result.seconds:.2f} s", file=sys.stderr)
    median = {name: statistics.median(values) for name, values in seconds.items()}

    print(f"{args.jobs} jobs of {args.orders:,} orders ({events:,} events), "
          f"{os.cpu_count()} cores, median of {args.rounds} rounds")  # fmt: skip
    print(f"{'run':<12}{'start-up s':>12}{'jobs s':>10}{'jobs/s':>9}{'events/s':>14}")
    for name, value in median.items():
        print(f"{name:<12}{statistics.median(setup[name]):>12.2f}{value:>10.2f}"
              f"{args.jobs / value:>9.2f}{events / value:>14,.0f}")  # fmt: skip
    one, two, local = (median[n] for n in ("1 worker", "2 workers", "in-process"))
    print(f"speedup, 2 workers over 1: {one / two:.2f}x (target >= 1.7x)")
    overhead = one / local - 1
    with_start = (one + statistics.median(setup["1 worker"])) / local - 1
    print(f"Dask overhead, 1 worker over in-process: {overhead:+.1%} "
          f"({with_start:+.1%} with start-up; target <= 5%)")  # fmt: skip
    print(f"jobs per core-hour (in-process): {args.jobs / (local / 3600):,.0f}")


if __name__ == "__main__":
    options.run(main)
