"""The run's picture: mid price and spread over the run, and the final depth ladder.

The top of book is kept as a thinned trace (at most ``MAX_POINTS`` points, every
k-th change), so a run of any length plots in bounded memory.
"""

from __future__ import annotations

from decimal import Decimal
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .engine import NO_PRICE
from .errors import OptionError

MAX_POINTS = 20_000
LADDER_LEVELS = 10


def supported_suffixes() -> list[str]:
    """The file types matplotlib writes, by suffix."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    return sorted(FigureCanvasAgg(Figure()).get_supported_filetypes())


def check_plot_path(path: Path) -> None:
    """Refuses a plot that cannot be written, before any work is done."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise OptionError(
            "--plot needs matplotlib, which is not installed; install it with: pip install matplotlib"
        ) from None
    if path.is_dir():
        raise OptionError(f"--plot: {str(path)!r} is a folder; give a file name")
    if not path.resolve().parent.is_dir():
        raise OptionError(f"--plot: folder {str(path.resolve().parent)!r} does not exist")
    suffixes = supported_suffixes()
    suffix = path.suffix.lower().lstrip(".")
    if suffix not in suffixes:
        known = ", ".join(f".{s}" for s in suffixes)
        what = f"unknown file type {path.suffix!r}" if suffix else "no file type suffix"
        raise OptionError(f"--plot: {what}; use one of {known}")


class BboTrace:
    """Every k-th top-of-book change, k doubling whenever the trace fills up."""

    def __init__(self) -> None:
        self.stride = 1
        self.seen = 0
        self.parts: list[npt.NDArray[np.int64]] = []
        self.count = 0

    def add(self, tables: dict[str, npt.NDArray[Any]]) -> None:
        times = tables["bbo_time"]
        if not len(times):
            return
        first = (-self.seen) % self.stride
        keep = slice(first, None, self.stride)
        rows = np.column_stack(
            [times[keep], tables["bbo_bid_price"][keep], tables["bbo_ask_price"][keep]]
        )
        self.seen += len(times)
        self.parts.append(rows)
        self.count += len(rows)
        if self.count > MAX_POINTS:
            joined = np.concatenate(self.parts)[::2]
            self.parts = [joined]
            self.count = len(joined)
            self.stride *= 2

    def rows(self) -> npt.NDArray[np.int64]:
        return np.concatenate(self.parts) if self.parts else np.zeros((0, 3), np.int64)


def draw(
    path: Path,
    title: str,
    trace: BboTrace,
    bids: list[tuple[int, float, int]],
    asks: list[tuple[int, float, int]],
    tick_size: Decimal,
    time_axis: str,
    quantity_scale: int = 1,
    time_origin: int = 0,
    time_unit: float = 1.0,
) -> None:
    """Writes the figure in the format its suffix names."""
    import matplotlib

    matplotlib.use("Agg")  # files only: no display needed
    from matplotlib.figure import Figure

    tick = float(tick_size)
    rows = trace.rows()
    both = (rows[:, 1] != NO_PRICE) & (rows[:, 2] != NO_PRICE) if len(rows) else np.zeros(0, bool)
    rows = rows[both]
    x = (rows[:, 0] - time_origin) / time_unit
    mids = (rows[:, 1] + rows[:, 2]) / 2 * tick
    spreads = (rows[:, 2] - rows[:, 1]) * tick
    finite = np.isfinite(x) & np.isfinite(mids) & np.isfinite(spreads)
    x, mids, spreads = x[finite], mids[finite], spreads[finite]

    figure = Figure(figsize=(9, 10), layout="constrained")
    figure.suptitle(title)
    mid_axes, spread_axes, depth_axes = figure.subplots(
        3, 1, gridspec_kw={"height_ratios": [3, 1.5, 3]}
    )
    x_label = time_axis
    mid_axes.plot(x, mids, drawstyle="steps-post", linewidth=0.8, color="tab:blue")
    mid_axes.set_title("mid price (best bid and ask both present)")
    mid_axes.set_ylabel("price")
    mid_axes.set_xlabel(x_label)
    spread_axes.plot(x, spreads, drawstyle="steps-post", linewidth=0.6, color="tab:orange")
    spread_axes.set_title("spread")
    spread_axes.set_ylabel("price")
    spread_axes.set_xlabel(x_label)

    # Bars sit at their prices, so a price with no orders shows as a gap; they are
    # as thick as the closest two prices allow.
    shown = sorted(p for p, _, _ in bids + asks)
    gaps = [b - a for a, b in zip(shown, shown[1:], strict=False) if b > a]
    height = 0.8 * tick * (min(gaps) if gaps else 1)
    for levels, color, label in ((bids, "tab:green", "bid"), (asks, "tab:red", "ask")):
        if levels:
            prices = [p * tick for p, _, _ in levels]
            sizes = [q / quantity_scale for _, q, _ in levels]
            depth_axes.barh(prices, sizes, height=height, color=color, label=label)
    depth_axes.set_title(f"final depth, best {LADDER_LEVELS} levels a side")
    depth_axes.set_xlabel("resting quantity")
    depth_axes.set_ylabel("price")
    if bids or asks:
        depth_axes.legend(loc="lower right")
    if not len(x):
        mid_axes.text(0.5, 0.5, "no time with both sides quoted", ha="center",
                      transform=mid_axes.transAxes)  # fmt: skip
    figure.savefig(path, dpi=100, format=path.suffix.lower().lstrip("."))
