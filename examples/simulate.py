"""The main job, as a script: ``kestrova simulate`` with the same options.

Run it with ``python examples/simulate.py [--orders N] [--seed S] [--tick-size T]
[--out DIR] [--plot FILE] [--json]``; the installed ``kestrova`` command does the same.
"""

import sys

from kestrova_replay.cli import main

if __name__ == "__main__":
    sys.exit(main(["simulate", *sys.argv[1:]], prog="simulate.py"))
