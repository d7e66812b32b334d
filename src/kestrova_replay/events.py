"""Decoded events: the columns every reader yields and the replay loop consumes.

One row per message of the data. ``action`` says what it does to the book (the
values of ``Action``); ``code`` is the format's own event type, carried into
the tables; ``seq`` and ``time`` are the data's own event number and time (ns).
"""

from __future__ import annotations

from dataclasses import dataclass
from enum import IntEnum

import numpy as np
import numpy.typing as npt


class Action(IntEnum):
    ADD = 1
    REDUCE = 2  # quantity off the order (partial cancel)
    DELETE = 3
    EXECUTE = 4  # quantity of the resting order trades; price 0 or the trade's price
    NOTE = 5  # recorded only
    REPLACE = 6  # ref goes, new_ref comes at price and quantity, same side
    CLEAR = 7
    MODIFY = 8


BUY, SELL, NO_SIDE = 0, 1, 2

COLUMNS: dict[str, type] = {
    "time": np.int64,
    "seq": np.int64,
    "action": np.uint8,
    "side": np.uint8,
    "code": np.uint8,
    "ref": np.uint64,
    "new_ref": np.uint64,
    "price": np.int64,
    "quantity": np.int64,
}


@dataclass
class Batch:
    """A run of events as columns, and for a checked replay the visible book after each."""

    columns: dict[str, npt.NDArray[np.generic]]
    rows: npt.NDArray[np.int64] | None = None  # (events, 4 * levels): ask px/sz, bid px/sz
    position: int = 0  # how far into the input the batch ends (bytes or events), for progress

    def __len__(self) -> int:
        return len(self.columns["time"])


def make_batch(
    rows: npt.NDArray[np.int64] | None = None, position: int = 0, **columns: object
) -> Batch:
    """A batch from column values, each converted to its fixed type; missing ones are 0."""
    size = len(np.asarray(columns["time"]))
    made = {}
    for name, dtype in COLUMNS.items():
        value = columns.get(name)
        made[name] = (
            np.zeros(size, dtype=dtype)
            if value is None
            else np.ascontiguousarray(np.asarray(value).astype(dtype, copy=False))
        )
    return Batch(made, None if rows is None else np.ascontiguousarray(rows, np.int64), position)
