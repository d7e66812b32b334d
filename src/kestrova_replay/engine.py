"""Two ways to drive a book with decoded events, giving the same tables.

``NativeBook`` runs the loop in the package's native module, over whole
batches, against the same C++ book the ``kestrova`` classes wrap. ``ClassBook``
is the same loop in Python over ``kestrova.Order`` and ``kestrova.OrderBook``:
one call per move, for tests and for users who interleave their own logic.
"""

from __future__ import annotations

from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

from kestrova import Order, OrderBook, OrderType

from .events import BUY, SELL, Action, Batch

# The raw columns of the engine's tables and their types.
TABLE_TYPES: dict[str, type] = {
    "fill_seq": np.int64,
    "fill_time": np.int64,
    "fill_price": np.int64,
    "fill_quantity": np.int64,
    "fill_maker": np.uint64,
    "fill_taker": np.uint64,
    "fill_maker_known": np.uint8,
    "fill_taker_known": np.uint8,
    "fill_aggressor": np.uint8,
    "fill_code": np.uint8,
    "bbo_seq": np.int64,
    "bbo_time": np.int64,
    "bbo_bid_price": np.int64,
    "bbo_bid_size": np.int64,
    "bbo_ask_price": np.int64,
    "bbo_ask_size": np.int64,
    "depth_seq": np.int64,
    "depth_time": np.int64,
    "depth_side": np.uint8,
    "depth_level": np.uint8,
    "depth_price": np.int64,
    "depth_size": np.int64,
    "depth_orders": np.int64,
    "divergence_seq": np.int64,
    "divergence_time": np.int64,
    "divergence_ref": np.uint64,
    "divergence_reason": np.uint8,
    "divergence_code": np.uint8,
}

# An empty side in the top-of-book rows.
NO_PRICE = np.iinfo(np.int64).min

REASONS = {
    1: "unknown order, and no unknown part at its level to act on",
    2: "execution filled another order than the one named",
    3: "less resting quantity than the execution needed",
    4: "execution price differs from the order's limit",
    5: "new order traded on entry",
    6: "order ref is already resting",
    7: "cancel larger than what the order had left",
}

Tables = dict[str, npt.NDArray[Any]]
Level = tuple[int, float, int]


def tables_from_bytes(raw: dict[str, bytes]) -> Tables:
    """The native engine's raw table columns as arrays."""
    return {name: np.frombuffer(raw[name], dtype) for name, dtype in TABLE_TYPES.items()}


class Replayer(Protocol):
    def seed(self, row: npt.NDArray[np.int64]) -> None: ...
    def run(self, batch: Batch) -> None: ...
    def take_tables(self) -> Tables: ...
    def counts(self) -> dict[str, int]: ...
    def levels(self, side: int, n: int) -> list[Level]: ...
    def book(self) -> dict[str, Any]: ...


class NativeBook:
    """The replay loop in native code, one call per batch."""

    def __init__(
        self,
        *,
        tick_size: float = 1.0,
        levels: int = 10,
        depth_every: int = 0,
        unknown_parts: bool = False,
        recorded: bool = True,
        correct: bool = True,
        sample_code_bit: int = 0,
        expire_after: int = 0,
    ) -> None:
        from . import _native

        self._engine = _native.Engine(
            tick_size, levels, depth_every, unknown_parts, recorded, correct, sample_code_bit,
            expire_after,
        )  # fmt: skip

    def seed(self, row: npt.NDArray[np.int64]) -> None:
        self._engine.seed(np.ascontiguousarray(row, np.int64))

    def run(self, batch: Batch) -> None:
        c = batch.columns
        self._engine.run(
            c["time"],
            c["seq"],
            c["action"],
            c["side"],
            c["code"],
            c["ref"],
            c["new_ref"],
            c["price"],
            c["quantity"],
            batch.rows,
        )

    @property
    def engine(self) -> Any:
        """The native engine, for a native loop that drives it (see ``itch.ItchScan``)."""
        return self._engine

    def take_tables(self) -> Tables:
        return tables_from_bytes(self._engine.take_tables())

    def counts(self) -> dict[str, int]:
        return dict(self._engine.counts())

    def levels(self, side: int, n: int) -> list[Level]:
        return list(self._engine.levels(side, n))

    def book(self) -> dict[str, Any]:
        return dict(self._engine.book())


class _Live:
    __slots__ = ("id", "price", "remaining", "side")

    def __init__(self, order_id: str, price: int, remaining: int, side: int) -> None:
        self.id, self.price, self.remaining, self.side = order_id, price, remaining, side


class ClassBook:
    """The same loop over the five classes: one Python call per move of the book."""

    def __init__(
        self,
        *,
        tick_size: float = 1.0,
        levels: int = 10,
        depth_every: int = 0,
        unknown_parts: bool = False,
        recorded: bool = True,
        correct: bool = True,
        sample_code_bit: int = 0,
        expire_after: int = 0,
    ) -> None:
        self.book_ = OrderBook(tick_size)
        # When not 0, the book is sampled only after events whose code has this bit.
        self.sample_code_bit = sample_code_bit
        self.samples = 0
        self.n_levels = levels
        self.depth_every = depth_every
        self.unknown_parts = unknown_parts
        self.recorded = recorded
        self.correct = correct
        # When not 0, an order still resting this many adds after its own is
        # cancelled before the next add: a simulation's orders expire.
        self.expire_after = expire_after
        self.expiry: list[int] = [0] * expire_after  # the last adds' refs, a ring
        self.adds = 0
        self.live: dict[int, _Live] = {}
        self.parts: dict[tuple[int, int], list[list[Any]]] = {}  # level -> [[id, remaining]]
        self.part_levels: dict[str, tuple[int, int]] = {}
        self.ids: dict[str, tuple[bool, int]] = {}  # book id -> (known, ref)
        self.c = dict.fromkeys(
            (
                "events fills partial_cancels unknown_orders divergences resyncs corrections "
                "rows_compared rows_matching deletes_known expired"
            ).split(),
            0,
        )
        self.c["first_mismatch"] = -1
        self.t: dict[str, list[int]] = {name: [] for name in TABLE_TYPES}
        self.last_bbo: tuple[int, int, int, int] | None = None
        self.prev_full = [False, False]
        self.prev_worst = [0, 0]

    # -- orders
    def _order(self, known: bool, ref: int, side: int, price: int, quantity: int) -> Order:
        order = Order(OrderType.Sell if side == SELL else OrderType.Buy, price, float(quantity))
        self.ids[order.id] = (known, ref)
        return order

    def _cancel(self, order_id: str) -> None:
        self.book_.cancel(order_id)
        self.ids.pop(order_id, None)

    # -- the loop
    def seed(self, row: npt.NDArray[np.int64]) -> None:
        row = [int(v) for v in row]
        for side in (SELL, BUY):
            for i in range(self.n_levels):
                if _size(row, side, i) > 0:
                    self._add_part(side, _price(row, side, i), _size(row, side, i))
        self._remember_row(row)

    def run(self, batch: Batch) -> None:
        cols = {name: batch.columns[name].tolist() for name in batch.columns}
        rows = None if batch.rows is None else batch.rows.tolist()
        for i in range(len(batch)):
            e = {name: cols[name][i] for name in cols}
            self.c["events"] += 1
            self._apply(e)
            if rows is not None:
                self._check_row(e, rows[i])
            if not self.sample_code_bit or e["code"] & self.sample_code_bit:
                self._sample(e)

    def _apply(self, e: dict[str, int]) -> None:
        action = e["action"]
        if action == Action.ADD:
            if self.expire_after:
                self._expire_oldest(e["ref"])
            self._add(e, e["ref"], e["side"], e["price"], e["quantity"])
        elif action in (Action.REDUCE, Action.DELETE):
            self._reduce(e, action == Action.DELETE)
        elif action == Action.EXECUTE:
            self._execute(e)
        elif action == Action.REPLACE:
            old = self.live.pop(e["ref"], None)
            if old is None:
                self.c["unknown_orders"] += 1
                if self.recorded:
                    self._diverge(e, e["ref"], 1)
                return
            self._cancel(old.id)
            self._add(e, e["new_ref"], old.side, e["price"], e["quantity"])
        elif action == Action.CLEAR:
            for live in self.live.values():
                self._cancel(live.id)
            for parts in self.parts.values():
                for part in parts:
                    self._cancel(part[0])
            self.live.clear()
            self.parts.clear()
            self.part_levels.clear()
        elif action == Action.MODIFY:
            self._modify(e)

    def _expire_oldest(self, ref: int) -> None:
        slot = self.adds % self.expire_after
        if self.adds >= self.expire_after:
            old = self.live.pop(self.expiry[slot], None)
            if old is not None:
                self._cancel(old.id)
                self.c["expired"] += 1
        self.expiry[slot] = ref
        self.adds += 1

    def _add(self, e: dict[str, int], ref: int, side: int, price: int, quantity: int) -> None:
        if ref in self.live:
            self._diverge(e, ref, 6)
            return
        order = self._order(True, ref, side, price, quantity)
        filled = self._enter(e, order, side, price, True, ref, None, 0)
        if filled > 0 and self.recorded:
            self._diverge(e, ref, 5)
        if filled < quantity:
            self.live[ref] = _Live(order.id, price, quantity - filled, side)
        else:
            self._cancel(order.id)

    def _reduce(self, e: dict[str, int], whole: bool) -> None:
        old = self.live.get(e["ref"])
        if old is not None:
            self.c["deletes_known"] += 1
            self._cancel(old.id)
            if whole or e["quantity"] >= old.remaining:
                if not whole and e["quantity"] > old.remaining:
                    self._diverge(e, e["ref"], 7)
                del self.live[e["ref"]]
                return
            self.c["partial_cancels"] += 1
            rest = old.remaining - e["quantity"]
            order = self._order(True, e["ref"], old.side, old.price, rest)
            self.live[e["ref"]] = _Live(order.id, old.price, rest, old.side)
            self.book_.add(order)
            return
        self.c["unknown_orders"] += 1
        if self.unknown_parts and e["side"] <= SELL:
            left = self._take_parts(e["side"], e["price"], e["quantity"])
            if left == e["quantity"]:
                self._diverge(e, e["ref"], 1)
            elif left > 0:
                self._diverge(e, e["ref"], 7)
        elif self.recorded:
            self._diverge(e, e["ref"], 1)

    def _execute(self, e: dict[str, int]) -> None:
        old = self.live.get(e["ref"])
        known = old is not None
        if old is not None:
            side, price = old.side, old.price
            if e["price"] != 0 and e["price"] != price:
                self._diverge(e, e["ref"], 4)
        else:
            self.c["unknown_orders"] += 1
            if not self.unknown_parts or e["side"] > SELL:
                if self.recorded:
                    self._diverge(e, e["ref"], 1)
                return
            side, price = e["side"], e["price"]
        taker = self._order(False, 0, side ^ 1, price, e["quantity"])
        other: list[bool] = [False]
        filled = self._enter(
            e, taker, side ^ 1, price, False, 0, other if known else None, e["ref"]
        )
        if other[0]:
            self._diverge(e, e["ref"], 2)
        if filled == 0 and not known:
            self._diverge(e, e["ref"], 1)
        elif filled < e["quantity"]:
            self._diverge(e, e["ref"], 3)
        self._cancel(taker.id)

    def _modify(self, e: dict[str, int]) -> None:
        old = self.live.get(e["ref"])
        if old is None:
            self.c["unknown_orders"] += 1
            self._add(e, e["ref"], e["side"], e["price"], e["quantity"])
            return
        if e["price"] == old.price and e["quantity"] == old.remaining:
            return
        if e["price"] == old.price and e["quantity"] < old.remaining:
            self.c["partial_cancels"] += 1
        del self.live[e["ref"]]
        self._cancel(old.id)
        self._add(e, e["ref"], old.side, e["price"], e["quantity"])

    def _enter(
        self,
        e: dict[str, int],
        order: Order,
        side: int,
        price: int,
        taker_known: bool,
        taker_ref: int,
        other: list[bool] | None,
        named_ref: int,
    ) -> int:
        filled = 0
        fills = self.book_.add(order)
        t = self.t
        for fill in fills:
            maker = fill.sell_id if side == BUY else fill.buy_id
            maker_known, maker_ref = self.ids[maker]
            quantity = int(fill.quantity)
            fill_price = price if side == SELL else self._maker_price(maker)
            t["fill_seq"].append(e["seq"])
            t["fill_time"].append(e["time"])
            t["fill_price"].append(fill_price)
            t["fill_quantity"].append(quantity)
            t["fill_maker"].append(maker_ref if maker_known else 0)
            t["fill_taker"].append(taker_ref)
            t["fill_maker_known"].append(int(maker_known))
            t["fill_taker_known"].append(int(taker_known))
            t["fill_aggressor"].append(side)
            t["fill_code"].append(e["code"])
            if other is not None and (not maker_known or maker_ref != named_ref):
                other[0] = True
            self._settle_maker(maker, quantity)
            filled += quantity
        self.c["fills"] += len(fills)
        return filled

    def _maker_price(self, maker: str) -> int:
        known, ref = self.ids[maker]
        if known:
            live = self.live.get(ref)
            return live.price if live is not None else 0
        level = self.part_levels.get(maker)
        return level[1] if level is not None else 0

    def _settle_maker(self, maker: str, quantity: int) -> None:
        known, ref = self.ids[maker]
        if known:
            live = self.live.get(ref)
            if live is None or live.id != maker:
                return
            live.remaining -= quantity
            if live.remaining <= 0:
                self._cancel(maker)
                del self.live[ref]
            return
        level = self.part_levels.get(maker)
        if level is None:
            return
        parts = self.parts[level]
        for i, part in enumerate(parts):
            if part[0] != maker:
                continue
            part[1] -= quantity
            if part[1] <= 0:
                self._cancel(maker)
                del parts[i]
                del self.part_levels[maker]
                if not parts:
                    del self.parts[level]
            return

    # -- unknown parts and level totals
    def _add_part(self, side: int, price: int, quantity: int) -> bool:
        if quantity <= 0 or price <= 0:
            return False
        opposite = self.book_.best_ask() if side == BUY else self.book_.best_bid()
        if opposite is not None and (opposite[0] <= price if side == BUY else opposite[0] >= price):
            return False
        order = self._order(False, 0, side, price, quantity)
        self.book_.add(order)
        self.parts.setdefault((side, price), []).append([order.id, quantity])
        self.part_levels[order.id] = (side, price)
        return True

    def _take_parts(self, side: int, price: int, quantity: int) -> int:
        parts = self.parts.get((side, price))
        if parts is None:
            return quantity
        rest = 0
        while quantity > 0 and parts:
            part_id, remaining = parts.pop()
            self._cancel(part_id)
            del self.part_levels[part_id]
            if remaining > quantity:
                rest = remaining - quantity
                quantity = 0
            else:
                quantity -= remaining
        if not parts:
            del self.parts[(side, price)]
        if rest > 0:
            self._add_part(side, price, rest)
        return quantity

    def _take_known(self, side: int, price: int, quantity: int) -> None:
        orders = self.book_.sell_orders if side == SELL else self.book_.buy_orders
        refs = [
            self.ids[o.id][1]
            for o in orders
            if o.price_in_ticks == price and self.ids.get(o.id, (False, 0))[0]
        ]
        for ref in reversed(refs):
            if quantity <= 0:
                break
            old = self.live.get(ref)
            if old is None:
                continue
            self._cancel(old.id)
            if old.remaining <= quantity:
                quantity -= old.remaining
                del self.live[ref]
                continue
            order = self._order(True, ref, old.side, old.price, old.remaining - quantity)
            self.live[ref] = _Live(order.id, old.price, old.remaining - quantity, old.side)
            self.book_.add(order)
            quantity = 0

    def _level_total(self, side: int, price: int) -> int:
        orders = self.book_.sell_orders if side == SELL else self.book_.buy_orders
        return int(sum(o.quantity for o in orders if o.price_in_ticks == price))

    def _set_level(self, side: int, price: int, target: int) -> bool:
        total = self._level_total(side, price)
        if total == target:
            return False
        if target > total:
            return self._add_part(side, price, target - total)
        left = self._take_parts(side, price, total - target)
        if left > 0:
            self._take_known(side, price, left)
        return True

    # -- book rows
    def _check_row(self, e: dict[str, int], row: list[int]) -> None:
        for side in (SELL, BUY):
            if not self.prev_full[side]:
                continue
            for i in range(self.n_levels):
                size, price = _size(row, side, i), _price(row, side, i)
                if (
                    size > 0
                    and _beyond(side, price, self.prev_worst[side])
                    and self._set_level(side, price, size)
                ):
                    self.c["resyncs"] += 1
        self.c["rows_compared"] += 1
        if self._row_matches(row):
            self.c["rows_matching"] += 1
        else:
            if self.c["first_mismatch"] < 0:
                self.c["first_mismatch"] = e["seq"]
            if self.correct:
                self._correct_row(row)
                self.c["corrections"] += 1
        self._remember_row(row)

    def _row_matches(self, row: list[int]) -> bool:
        for side in (SELL, BUY):
            ours = self.levels(side, self.n_levels)
            for i, (price, quantity, _) in enumerate(ours):
                if _size(row, side, i) <= 0 or _price(row, side, i) != price:
                    return False
                if float(_size(row, side, i)) != quantity:
                    return False
            if len(ours) < self.n_levels and _size(row, side, len(ours)) > 0:
                return False
        return True

    def _correct_row(self, row: list[int]) -> None:
        targets: list[tuple[int, int, int]] = []
        for side in (SELL, BUY):
            shown = 0
            while shown < self.n_levels and _size(row, side, shown) > 0:
                shown += 1
            full = shown == self.n_levels
            worst = _price(row, side, shown - 1) if shown else 0
            prices = [_price(row, side, i) for i in range(shown)]
            for price, _, _ in self.levels(side, self.n_levels + 64):
                if (not full or not _beyond(side, price, worst)) and price not in prices:
                    targets.append((side, price, 0))
            targets += [(side, _price(row, side, i), _size(row, side, i)) for i in range(shown)]
        for side, price, size in targets:
            if self._level_total(side, price) > size:
                self._set_level(side, price, size)
        for side, price, size in targets:
            if self._level_total(side, price) < size:
                self._set_level(side, price, size)

    def _remember_row(self, row: list[int]) -> None:
        for side in (SELL, BUY):
            shown = 0
            while shown < self.n_levels and _size(row, side, shown) > 0:
                shown += 1
            self.prev_full[side] = shown == self.n_levels and shown > 0
            self.prev_worst[side] = _price(row, side, shown - 1) if shown else 0

    def _diverge(self, e: dict[str, int], ref: int, reason: int) -> None:
        self.c["divergences"] += 1
        t = self.t
        t["divergence_seq"].append(e["seq"])
        t["divergence_time"].append(e["time"])
        t["divergence_ref"].append(ref)
        t["divergence_reason"].append(reason)
        t["divergence_code"].append(e["code"])

    def _sample(self, e: dict[str, int]) -> None:
        bid = self.levels(BUY, 1)
        ask = self.levels(SELL, 1)
        top = (
            bid[0][0] if bid else NO_PRICE,
            int(bid[0][1]) if bid else 0,
            ask[0][0] if ask else NO_PRICE,
            int(ask[0][1]) if ask else 0,
        )
        t = self.t
        if top != self.last_bbo:
            self.last_bbo = top
            t["bbo_seq"].append(e["seq"])
            t["bbo_time"].append(e["time"])
            for name, value in zip(
                ("bid_price", "bid_size", "ask_price", "ask_size"), top, strict=True
            ):
                t["bbo_" + name].append(value)
        self.samples += 1
        if self.depth_every and self.samples % self.depth_every == 0:
            for side in (BUY, SELL):
                for level, (price, quantity, orders) in enumerate(
                    self.levels(side, self.n_levels), start=1
                ):
                    t["depth_seq"].append(e["seq"])
                    t["depth_time"].append(e["time"])
                    t["depth_side"].append(side)
                    t["depth_level"].append(level)
                    t["depth_price"].append(price)
                    t["depth_size"].append(int(quantity))
                    t["depth_orders"].append(orders)

    # -- reading
    def take_tables(self) -> Tables:
        tables = {name: np.array(self.t[name], dtype) for name, dtype in TABLE_TYPES.items()}
        for values in self.t.values():
            values.clear()
        return tables

    def counts(self) -> dict[str, int]:
        return {**self.c, "known_orders": len(self.live), "book_index": len(self.ids)}

    def levels(self, side: int, n: int) -> list[Level]:
        orders = self.book_.sell_orders if side == SELL else self.book_.buy_orders
        totals: dict[int, list[Any]] = {}
        for o in orders:
            level = totals.setdefault(o.price_in_ticks, [0.0, 0])
            level[0] += o.quantity
            level[1] += 1
        prices = sorted(totals, reverse=side == BUY)[:n]
        return [(p, totals[p][0], totals[p][1]) for p in prices]

    def book(self) -> dict[str, Any]:
        return {
            "summary": str(self.book_),
            "resting_buy": len(self.book_.buy_orders),
            "resting_sell": len(self.book_.sell_orders),
            "buy_volume": self.book_.buy_volume(),
            "sell_volume": self.book_.sell_volume(),
        }


def _price(row: list[int], side: int, level: int) -> int:
    return row[4 * level + (0 if side == SELL else 2)]


def _size(row: list[int], side: int, level: int) -> int:
    return row[4 * level + (1 if side == SELL else 3)]


def _beyond(side: int, price: int, worst: int) -> bool:
    return price > worst if side == SELL else price < worst
