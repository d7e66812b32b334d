"""Reading a replay's tables back, for the tests of several formats."""

from pathlib import Path

import pyarrow.parquet as pq


def depth_rows(folder: Path) -> list[tuple]:
    """The depth table's rows in a fixed order: seq, side, level, price, size, orders."""
    t = pq.read_table(folder / "depth.parquet").to_pydict()
    names = ("seq", "side", "level", "price", "size", "orders")
    return sorted(zip(*(t[n] for n in names), strict=True))
