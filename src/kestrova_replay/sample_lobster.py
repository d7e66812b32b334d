"""Writes a LOBSTER message and orderbook pair from a known, seeded order flow.

The flow has what real files have: a book resting before the first message,
orders placed and deleted beyond the file's depth (no message for them),
partial cancels, executions of the front order, hidden executions, crosses and
a halt. The writer keeps the true book, so it knows every row, and it counts
the levels that come into view holding orders the replay never saw: the
resyncs a faithful replay must report.

Its moves keep a replay by ids and levels exact: a partial cancel, or a delete
of an order the file never showed, names the newest order of its level, so the
replay's stand-ins for unseen orders sit where the unseen orders do.
"""

from __future__ import annotations

import bisect
import random
from dataclasses import dataclass
from pathlib import Path

EMPTY_ASK, EMPTY_BID = 9_999_999_999, -9_999_999_999
BUY, SELL = 1, -1
BOOK_SIZE = 5000  # orders the true book holds, about, once the file is under way


@dataclass(frozen=True)
class SamplePair:
    message_file: Path
    orderbook_file: Path
    messages: int
    levels: int
    resyncs: int  # levels that came into view holding unseen orders


class _Side:
    """One side of the true book: price -> queue of [id, size], prices kept sorted."""

    def __init__(self, sign: int) -> None:
        self.sign = sign  # BUY: best is highest
        self.queues: dict[int, list[list[int]]] = {}
        self.totals: dict[int, int] = {}  # price -> size resting there
        self.keys: list[int] = []  # ascending by distance from the touch

    def key(self, price: int) -> int:
        return -price if self.sign == BUY else price

    def rank(self, price: int) -> int:
        """0 for the best level; a missing price's rank if it were added."""
        return bisect.bisect_left(self.keys, self.key(price))

    def add(self, order_id: int, price: int, size: int) -> None:
        queue = self.queues.get(price)
        if queue is None:
            queue = self.queues[price] = []
            self.totals[price] = 0
            bisect.insort(self.keys, self.key(price))
        queue.append([order_id, size])
        self.totals[price] += size

    def remove(self, price: int, order_id: int) -> None:
        queue = self.queues[price]
        for i, entry in enumerate(queue):
            if entry[0] == order_id:
                self.totals[price] -= entry[1]
                del queue[i]
                break
        if not queue:
            del self.queues[price]
            del self.totals[price]
            del self.keys[bisect.bisect_left(self.keys, self.key(price))]

    def shrink(self, price: int, entry: list[int], size: int) -> None:
        entry[1] -= size
        self.totals[price] -= size

    def price_at(self, rank: int) -> int:
        return -self.keys[rank] if self.sign == BUY else self.keys[rank]

    def top(self, levels: int) -> list[tuple[int, int]]:
        totals = self.totals
        if self.sign == BUY:
            return [(-key, totals[-key]) for key in self.keys[:levels]]
        return [(key, totals[key]) for key in self.keys[:levels]]


class _Writer:
    def __init__(self, levels: int, seed: int) -> None:
        self.levels = levels
        self.rng = random.Random(seed)
        self.sides = {BUY: _Side(BUY), SELL: _Side(SELL)}
        self.orders: dict[int, tuple[int, int]] = {}  # id -> (direction, price)
        self.shown: set[int] = set()  # ids the message file has named in an add
        # Per level: unseen size added since the replay last saw the level.
        self.unseen: dict[tuple[int, int], int] = {}
        self.next_id = 1000
        self.time_ns = 34_200 * 10**9
        self.resyncs = 0
        self.prev_full = {BUY: False, SELL: False}
        self.prev_worst = {BUY: 0, SELL: 0}

    def new_id(self) -> int:
        self.next_id += self.rng.randint(1, 9)
        return self.next_id

    def in_view(self, direction: int, price: int) -> bool:
        return self.sides[direction].rank(price) < self.levels

    def add(self, direction: int, price: int, size: int, shown: bool) -> int:
        order_id = self.new_id()
        self.sides[direction].add(order_id, price, size)
        self.orders[order_id] = (direction, price)
        if shown:
            self.shown.add(order_id)
        else:
            key = (direction, price)
            self.unseen[key] = self.unseen.get(key, 0) + size
        return order_id

    def remove(self, order_id: int) -> None:
        direction, price = self.orders.pop(order_id)
        self.sides[direction].remove(price, order_id)
        self.shown.discard(order_id)

    def row(self) -> list[int]:
        asks = self.sides[SELL].top(self.levels)
        bids = self.sides[BUY].top(self.levels)
        out: list[int] = []
        for i in range(self.levels):
            out += asks[i] if i < len(asks) else (EMPTY_ASK, 0)
            out += bids[i] if i < len(bids) else (EMPTY_BID, 0)
        return out

    def after_message(self, row: list[int]) -> None:
        """Counts the levels that came into view with unseen orders, as a replay finds them."""
        for direction, offset in ((SELL, 0), (BUY, 2)):
            shown = [(row[4 * i + offset], row[4 * i + offset + 1]) for i in range(self.levels)]
            shown = [(price, size) for price, size in shown if size > 0]
            for price, _ in shown:
                key = (direction, price)
                beyond = (
                    price > self.prev_worst[direction]
                    if direction == SELL
                    else price < self.prev_worst[direction]
                )
                if self.prev_full[direction] and beyond and self.unseen.get(key, 0):
                    self.resyncs += 1
                # A level in view is known to the replay from here on.
                self.unseen.pop(key, None)
            self.prev_full[direction] = len(shown) == self.levels
            self.prev_worst[direction] = shown[-1][0] if shown else 0

    def mid(self) -> int:
        bids, asks = self.sides[BUY], self.sides[SELL]
        if bids.keys and asks.keys:
            return (bids.price_at(0) + asks.price_at(0)) // 2
        if bids.keys:
            return bids.price_at(0) + 100
        if asks.keys:
            return asks.price_at(0) - 100
        return 1_000_000


def write_pair(
    folder: str | Path,
    messages: int,
    *,
    levels: int = 10,
    seed: int = 1,
    ticker: str = "SAMPLE",
    tick: int = 100,
) -> SamplePair:
    """Writes ``messages`` messages and their rows; prices are dollars x 10,000."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    stem = f"{ticker}_2026-12-07_34200000_57600000"
    message_path = folder / f"{stem}_message_{levels}.csv"
    book_path = folder / f"{stem}_orderbook_{levels}.csv"
    w = _Writer(levels, seed)
    rng = w.rng
    # The book before the open: a few more levels than the file shows.
    for direction in (BUY, SELL):
        for depth in range(levels + 4):
            price = 1_000_000 - direction * (depth + 1) * tick
            for _ in range(rng.randint(1, 3)):
                w.add(direction, price, rng.randint(1, 5) * 100, shown=False)
    for key in list(w.unseen):  # rows will show the first levels; deeper ones stay unseen
        direction, price = key
        if w.in_view(direction, price):
            del w.unseen[key]
    first = w.row()
    w.after_message(first)

    written = 0
    with (
        open(message_path, "w", encoding="ascii") as message_out,
        open(book_path, "w", encoding="ascii") as book_out,
    ):
        while written < messages:
            w.time_ns += rng.randint(1_000, 5_000_000)
            message = _step(w, tick, first=written == 0)
            if message is None:
                continue
            kind, order_id, size, price, direction = message
            seconds, fraction = divmod(w.time_ns, 10**9)
            message_out.write(
                f"{seconds}.{fraction:09d},{kind},{order_id},{size},{price},{direction}\n"
            )
            row = w.row()
            book_out.write(",".join(map(str, row)) + "\n")
            w.after_message(row)
            written += 1
    return SamplePair(message_path, book_path, written, levels, w.resyncs)


def _step(w: _Writer, tick: int, first: bool) -> tuple[int, int, int, int, int] | None:
    """One move of the true book; the message it shows, or None if it shows none."""
    rng = w.rng
    direction = rng.choice((BUY, SELL))
    side = w.sides[direction]
    roll = rng.random()
    # Adds outnumber removals while the book is small and fall behind once it
    # is large, so a long file's book, like a real day's, stays about one size.
    if first or roll < (0.40 if len(w.orders) < BOOK_SIZE else 0.30):
        # A new order, usually near the touch, sometimes deep out of view. A
        # side that shows fewer levels than the file is refilled first, as
        # traders would, so the mid does not run away from a dry side.
        other = w.sides[-direction]
        if not first and len(other.keys) < w.levels <= len(side.keys):
            direction, side = -direction, other
        mid = w.mid()
        depth = rng.randint(0, w.levels + 5) if not first else 0
        if first and side.keys:
            price = side.price_at(0)  # the first message keeps the level count
        else:
            price = (mid // tick) * tick - direction * (depth + 1) * tick
        if price <= 0:
            return None
        size = rng.randint(1, 8) * 100
        if w.in_view(direction, price):
            order_id = w.add(direction, price, size, shown=True)
            return 1, order_id, size, price, direction
        w.add(direction, price, size, shown=False)
        return None
    if not side.keys:
        return None
    if roll < 0.62:
        # A delete anywhere in view, or of an unseen order deep out of view.
        rank = rng.randrange(len(side.keys))
        price = side.price_at(rank)
        queue = side.queues[price]
        if rank >= w.levels:
            key = (direction, price)
            unseen = w.unseen.get(key, 0)
            order_id, size = queue[-1]
            if order_id in w.shown or size > unseen:
                return None
            w.unseen[key] = unseen - size
            w.remove(order_id)
            return None
        entry = rng.choice(queue)
        if entry[0] not in w.shown and entry is not queue[-1]:
            entry = queue[-1]  # an unseen order's delete names its level's newest
        if entry[0] not in w.shown and _shown_behind(w, queue):
            return None
        order_id, size = entry
        w.remove(order_id)
        return 3, order_id, size, price, direction
    if roll < 0.74:
        # A partial cancel of the newest order of a level in view.
        rank = rng.randrange(min(len(side.keys), w.levels))
        price = side.price_at(rank)
        entry = side.queues[price][-1]
        if entry[1] < 200:
            return None
        cut = rng.randint(1, entry[1] // 100 - 1) * 100
        side.shrink(price, entry, cut)
        return 2, entry[0], cut, price, direction
    if roll < 0.94:
        # An execution of the front order at the best price.
        price = side.price_at(0)
        entry = side.queues[price][0]
        size = entry[1] if rng.random() < 0.6 else max(1, entry[1] // 2)
        order_id = entry[0]
        if size >= entry[1]:
            w.remove(order_id)
        else:
            side.shrink(price, entry, size)
        return 4, order_id, size, price, direction
    if roll < 0.985:
        return 5, 0, rng.randint(1, 5) * 100, side.price_at(0), direction
    if roll < 0.995:
        return 6, 0, rng.randint(1, 5) * 1000, side.price_at(0), BUY
    return 7, 0, 0, rng.choice((-1, 0, 1)), BUY


def _shown_behind(w: _Writer, queue: list[list[int]]) -> bool:
    """Whether a shown order sits behind the level's newest unseen one."""
    last_unseen = max(i for i, entry in enumerate(queue) if entry[0] not in w.shown)
    return any(entry[0] in w.shown for entry in queue[last_unseen + 1 :])
