"""The printed report of a run, from its summary's running aggregates."""

from __future__ import annotations

from decimal import Decimal
from fractions import Fraction
from typing import Any, TextIO

from .runs import Summary


class Prices:
    """Writes prices from integer ticks, so no float rounding shows in the text."""

    def __init__(self, tick_size: Decimal) -> None:
        sign, _, exponent = tick_size.as_tuple()
        assert sign == 0 and isinstance(exponent, int)
        self.decimals = max(0, -exponent)
        self.tick_units = int(tick_size * 10**self.decimals)

    def text(self, ticks: int) -> str:
        return self._units_text(ticks * self.tick_units, self.decimals)

    def text_of(self, ticks: Fraction, extra_decimals: int) -> str:
        """A price between ticks (an average), rounded half to even."""
        units = round(ticks * self.tick_units * 10**extra_decimals)
        return self._units_text(units, self.decimals + extra_decimals)

    @staticmethod
    def _units_text(units: int, decimals: int) -> str:
        sign = "-" if units < 0 else ""
        whole, part = divmod(abs(units), 10**decimals)
        return f"{sign}{whole}.{part:0{decimals}d}" if decimals else f"{sign}{whole}"


def plural(count: int, word: str) -> str:
    return f"{count} {word}" if count == 1 else f"{count} {word}s"


def print_report(summary: Summary, title: str, out: TextIO) -> None:
    d: dict[str, Any] = summary.details
    prices = Prices(Decimal(d["tick_size"]))
    scale = d.get("quantity_scale", 1)

    def line(label: str, value: object) -> None:
        print(f"{label + ':':<16}{value}", file=out)

    print(title, file=out)
    line("events", summary.events)
    line("fills", summary.fills)
    line("traded volume", _quantity(d["traded_volume"], scale))
    volume = d["traded_volume"]
    vwap = Fraction(d["notional_ticks"], volume) if volume else None
    line("VWAP", "none" if vwap is None else prices.text_of(vwap, extra_decimals=2))
    last = d["last_trade_ticks"]
    line("last trade", "none" if last is None else prices.text(last))
    gone = d["cancels"] - d["cancels_resting"]
    line("cancels", f"{d['cancels']} ({d['cancels_resting']} resting, {gone} already gone)")
    if d.get("expired"):
        line("expired", f"{d['expired']} (still resting long after they came)")
    line("resting orders", f"{d['resting_buy']} buy, {d['resting_sell']} sell")
    bids, asks = d["depth"]["bid"], d["depth"]["ask"]
    for label, levels in (("best bid", bids), ("best ask", asks)):
        if levels:
            price, quantity, orders = levels[0]
            total = _quantity(quantity, scale)
            line(label, f"{prices.text(price)} ({total} in {plural(orders, 'order')})")
        else:
            line(label, "none")
    if bids and asks:
        gap = asks[0][0] - bids[0][0]
        line("spread", f"{prices.text(gap)} ({plural(gap, 'tick')})")
    else:
        line("spread", "none")
    if summary.rows_compared:
        line("rows matching", f"{summary.rows_matching} of {summary.rows_compared}")
    if summary.divergences:
        line("divergences", summary.divergences)
    line("run", f"{summary.seconds:.2f} s, {summary.events_per_second:,.0f} events per second")
    print(file=out)
    print_depth(bids, asks, prices, scale, out)
    print(file=out)
    units = "" if scale == 1 else f", quantities in units of {Decimal(1) / scale}"
    print(f"the book's own summary, str(book), prices in shortest form{units}:", file=out)
    print(d["book_summary"], file=out)


def _quantity(units: float, scale: int) -> str:
    """A quantity counted in units of 1/scale, written exactly."""
    value = Fraction(int(units), scale)
    return str(value.numerator) if value.denominator == 1 else f"{float(value):g}"


def print_depth(
    bids: list[list[Any]], asks: list[list[Any]], prices: Prices, scale: int, out: TextIO
) -> None:
    rows = [("ask", *level) for level in reversed(asks)] + [("bid", *level) for level in bids]
    texts = [(side, prices.text(p), _quantity(q, scale), str(n)) for side, p, q, n in rows]
    price_width = max([len("price")] + [len(row[1]) for row in texts])
    quantity_width = max([len("quantity")] + [len(row[2]) for row in texts])
    print(f"depth, best {plural(max(len(bids), len(asks), 1), 'level')} a side:", file=out)
    print(f"side  {'price':>{price_width}}  {'quantity':>{quantity_width}}  orders", file=out)
    for side, price, quantity, count in texts:
        print(
            f"{side:<4}  {price:>{price_width}}  {quantity:>{quantity_width}}  {count:>6}", file=out
        )
    if not texts:
        print("(empty book)", file=out)
