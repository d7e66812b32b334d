"""Replays an order-flow CSV: ``kestrova replay csv`` with the same options.

Run it with ``python examples/replay_csv.py [FILE] [--tick-size T] [--out DIR]
[--plot FILE]``; FILE defaults to the order_flow.csv shipped beside this script.
"""

import sys
from pathlib import Path

from kestrova_replay.cli import main

# Options of `kestrova replay csv` that take a value.
VALUE_OPTIONS = {"--tick-size", "--levels", "--out", "--depth-every", "--plot"}


def has_file(args: list[str]) -> bool:
    skip = False
    for arg in args:
        if skip:
            skip = False
        elif arg in VALUE_OPTIONS:
            skip = True
        elif not arg.startswith("-"):
            return True
    return False


if __name__ == "__main__":
    args = sys.argv[1:]
    if not has_file(args):
        args = [str(Path(__file__).with_name("order_flow.csv")), *args]
    sys.exit(main(["replay", "csv", *args], prog="replay_csv.py"))
