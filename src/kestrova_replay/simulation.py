"""A seeded simulated order flow around a wandering mid price, made batch by batch.

Each order rests a little away from the mid or crosses it; about one in five is
followed by a cancel of an order added shortly before, which may have filled
already. An order still resting EXPIRY orders after its own is cancelled then,
as a day's orders are (the replay does it: it takes no event): without that,
orders deep in the book, which the touch never reaches, would pile up, and a
long run's memory would grow with its length. Refs are the orders' positions
in the flow, so the same seed gives the same events and the same tables.
"""

from __future__ import annotations

from collections.abc import Iterator
from decimal import Decimal

import numpy as np
import numpy.typing as npt

from .errors import OptionError
from .events import BUY, SELL, Action, Batch, make_batch

MAX_ORDERS = 100_000_000
START_MID = 100.0
# Orders rest from 0.05 through the mid to 0.25 away from it.
LOW_OFFSET, HIGH_OFFSET = -0.05, 0.25
MIN_TICKS_ACROSS = 10
CANCEL_SHARE = 0.2
CANCEL_REACH = 1000  # a cancel names one of the last this many orders
EXPIRY = 50_000  # orders after which an order still resting is cancelled
# The mid wanders like a random walk over thousands of orders but is pulled
# back towards START_MID over longer runs (its spread settles near
# MID_STEP / sqrt(2 * MID_PULL), about 1.4): a free walk drifts without bound
# over a long run, down to the floor of one price unit.
MID_STEP = 0.02
MID_PULL = 1e-4
QUANTITIES = np.array([1, 2, 5, 10], np.int64)
CHUNK = 1 << 16
SOURCES = ["", "add", "cancel"]


def check_tick_size(tick_size: Decimal) -> None:
    span = Decimal(str(HIGH_OFFSET - LOW_OFFSET))
    if tick_size * MIN_TICKS_ACROSS > span:
        raise OptionError(
            f"--tick-size {tick_size} leaves fewer than {MIN_TICKS_ACROSS} ticks across the "
            f"simulation's prices (they span {span} around a mid of {START_MID:g}); "
            f"use at most {span / MIN_TICKS_ACROSS}"
        )


def _pulled_walk(start: float, steps: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """x[k] = (1 - MID_PULL) * x[k - 1] + steps[k] from x[-1] = start, without a loop."""
    decay = (1.0 - MID_PULL) ** np.arange(1, len(steps) + 1)
    return decay * (start + np.cumsum(steps / decay))


def simulated_batches(orders: int, seed: int, tick_size: Decimal) -> Iterator[Batch]:
    rng = np.random.Generator(np.random.PCG64(seed))
    tick = float(tick_size)
    mid = START_MID
    seq = 0
    for start in range(0, orders, CHUNK):
        n = min(CHUNK, orders - start)
        steps = rng.normal(0.0, MID_STEP, n)
        mids = np.maximum(1.0, START_MID + _pulled_walk(mid - START_MID, steps))
        mid = float(mids[-1])
        buy = rng.random(n) < 0.5
        offset = rng.uniform(LOW_OFFSET, HIGH_OFFSET, n)
        price = np.where(buy, mids - offset, mids + offset)
        ticks = np.maximum(1, np.rint(price / tick)).astype(np.int64)
        quantity = QUANTITIES[rng.integers(0, len(QUANTITIES), n)]
        cancels = rng.random(n) < CANCEL_SHARE
        refs = np.arange(start + 1, start + n + 1, dtype=np.int64)
        targets = np.maximum(1, refs - rng.integers(0, CANCEL_REACH, n))

        # Each add, then its cancel if it has one.
        add_at = np.arange(n) + np.concatenate(([0], np.cumsum(cancels)[:-1]))
        total = n + int(cancels.sum())
        action = np.full(total, Action.DELETE, np.uint8)
        action[add_at] = Action.ADD
        ref = np.empty(total, np.int64)
        ref[add_at] = refs
        ref[add_at[cancels] + 1] = targets[cancels]
        side = np.full(total, BUY, np.uint8)
        side[add_at] = np.where(buy, BUY, SELL)
        prices = np.zeros(total, np.int64)
        prices[add_at] = ticks
        quantities = np.zeros(total, np.int64)
        quantities[add_at] = quantity
        seqs = np.arange(seq + 1, seq + total + 1, dtype=np.int64)
        seq += total
        yield make_batch(
            None,
            start + n,
            time=seqs,
            seq=seqs,
            action=action,
            side=side,
            code=np.where(action == Action.ADD, 1, 2),
            ref=ref,
            price=prices,
            quantity=quantities,
        )
