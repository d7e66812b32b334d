"""Shared pieces of the benchmark scripts: interleaved rounds, medians, tables.

Each case is a callable that runs one timed replay loop and returns nanoseconds
per call. All cases run once per round, round after round, so that a slow
spell of a shared machine hits every case alike; the figures are medians over
the rounds with their min-max. The garbage collector is paused inside the
timed loops only, as timeit does.
"""

import gc
import platform
import statistics
import subprocess
import time

clock = time.perf_counter_ns


def timed(loop):
    """Run loop() with the collector paused; the elapsed nanoseconds."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        start = clock()
        loop()
        return clock() - start
    finally:
        if enabled:
            gc.enable()


def interleave(cases, rounds, progress=None):
    """{name: [ns per call, one per round]} running every case once per round."""
    samples = {name: [] for name in cases}
    for round_number in range(rounds):
        for name, run in cases.items():
            samples[name].append(run())
        if progress:
            progress(f"round {round_number + 1}/{rounds} done")
    return samples


def spread(values):
    return statistics.median(values), min(values), max(values)


def ns_cell(values):
    median, low, high = spread(values)
    return f"{median:9.1f} ({low:.0f}-{high:.0f})"


def table(header, rows):
    """Plain text table; the first column left-aligned, the others right-aligned."""
    widths = [max(len(str(row[i])) for row in [header, *rows]) for i in range(len(header))]
    lines = []
    for index, row in enumerate([header, *rows]):
        cells = [str(row[0]).ljust(widths[0])]
        cells += [str(cell).rjust(width) for cell, width in zip(row[1:], widths[1:], strict=False)]
        lines.append("  ".join(cells).rstrip())
        if index == 0:
            lines.append("  ".join("-" * width for width in widths))
    return "\n".join(lines)


def machine():
    """One line: CPU model, cores, Python, date, and the load when it started."""
    model = platform.processor() or "unknown CPU"
    try:
        lscpu = subprocess.run(["lscpu"], capture_output=True, text=True, check=False).stdout
        for line in lscpu.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    cores = len(__import__("os").sched_getaffinity(0))
    when = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    load = __import__("os").getloadavg()[0]
    return f"{model}, {cores} cores, CPython {platform.python_version()}, {when}, load {load:.1f}"


def kestrova_build():
    """Where the kestrova module under test was loaded from, for the record."""
    import kestrova

    return kestrova.__file__
