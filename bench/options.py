"""The edges every benchmark script shares: count options, and how a run ends.

A count option takes `type=positive_int` (or `at_least(n)`), so 0, a negative
number or a word ends in a usage message and exit code 2 before any work.
`run(main)` calls a script's main and turns the ordinary ways a run fails into
one line on stderr: output that cannot be written (a full disk, a closed pipe),
a file that cannot be opened, bad input, a failed build step (exit code 1), or
Ctrl-C (exit code 130).
"""

import argparse
import errno
import os
import subprocess
import sys
from pathlib import Path


class BadInput(Exception):
    """Input a run cannot use; the message says where and why (`FILE:LINE: reason`)."""


def at_least(minimum):
    """An argparse type: a whole number no smaller than `minimum`."""

    def whole_number(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, not {value}")
        return value

    whole_number.__name__ = f"whole number >= {minimum}"
    return whole_number


positive_int = at_least(1)


def run(main):
    """main(), then the exit code: 0, or 1 / 130 with one line on stderr instead of a traceback."""
    program = Path(sys.argv[0]).name
    code = 0
    try:
        main()
    except SystemExit as done:  # argparse's usage errors and --help, already reported
        code = done.code
    except KeyboardInterrupt:
        _give_up(program, "interrupted", 130)
    except OSError as error:
        _give_up(program, _describe(error), 1)
    except subprocess.CalledProcessError as error:
        _give_up(program, _describe_command(error), 1)
    except BadInput as error:
        _give_up(program, str(error), 1)
    # A file on a full disk takes the writes into its buffer: the failure shows at the flush.
    try:
        sys.stdout.flush()
    except OSError as error:
        _give_up(program, f"cannot write the output: {error.strerror}", 1)
    sys.exit(code)


# What a write to the output meets when the disk is full or the reader has gone.
_OUTPUT_ERRORS = {errno.EPIPE, errno.ENOSPC, errno.EDQUOT, errno.EFBIG}


def _describe(error):
    if error.filename is not None:
        return f"{error.filename}: {error.strerror}"
    reason = error.strerror or str(error)
    if error.errno in _OUTPUT_ERRORS:
        return f"cannot write the output: {reason}"
    return reason


def _describe_command(error):
    command = error.cmd if isinstance(error.cmd, str) else " ".join(map(str, error.cmd))
    said = (error.stderr or "").strip().splitlines() if isinstance(error.stderr, str) else []
    detail = f": {said[-1]}" if said else ""
    return f"command failed with exit code {error.returncode}: {command}{detail}"


def _give_up(program, reason, code):
    try:
        print(f"{program}: {reason}", file=sys.stderr, flush=True)
    except OSError:
        pass
    # The interpreter flushes stdout once more at exit; pointed at /dev/null, that flush is silent.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass
    sys.exit(code)
