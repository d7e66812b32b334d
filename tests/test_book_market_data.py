"""Best prices, volumes, spread and the summary text."""

import pytest

from kestrova import Order, OrderBook, OrderType

B, S = OrderType.Buy, OrderType.Sell


def book_with(tick, *shapes):
    book = OrderBook(tick)
    for shape in shapes:
        assert book.add(Order(*shape)) == []
    return book


def test_empty_book():
    book = OrderBook()
    assert (book.best_bid(), book.best_ask(), book.spread()) == (None, None, None)
    assert book.buy_orders == [] and book.sell_orders == []
    assert [repr(book.buy_volume()), repr(book.sell_volume())] == ["-0.0", "-0.0"]
    assert (
        repr(book)
        == str(book)
        == (
            "Best Bid: None, Best Ask: None (Spread: None)\n"
            "Open Buy Volume: -0.00, Open Sell Volume: -0.00"
        )
    )


def test_two_sided_book():
    book = book_with(0.01, (B, 10000, 5.0), (B, 10000, 3.0), (S, 10050, 2.5))
    assert (book.best_bid(), book.best_ask()) == ((10000, 5.0), (10050, 2.5))
    assert [type(x) for x in book.best_bid()] == [int, float]
    assert (book.buy_volume(), book.sell_volume(), book.spread()) == (8.0, 2.5, 50 * 0.01)
    assert (
        repr(book)
        == str(book)
        == (
            "Best Bid: 5.00 @ 100, Best Ask: 2.50 @ 100.5 (Spread: 0.5000)\n"
            "Open Buy Volume: 8.00, Open Sell Volume: 2.50"
        )
    )


@pytest.mark.parametrize(
    "tick, shapes, text",
    [
        (
            0.01,
            [(B, 9900, 1.0), (B, 10000, 2.0)],
            "Best Bid: 2.00 @ 100, Best Ask: None (Spread: None)\n"
            "Open Buy Volume: 3.00, Open Sell Volume: -0.00",
        ),
        (
            0.01,
            [(S, 10001, 0.125)],
            f"Best Bid: None, Best Ask: 0.12 @ {10001 * 0.01!r} (Spread: None)\n"
            "Open Buy Volume: -0.00, Open Sell Volume: 0.12",
        ),
        (
            0.01,
            [(B, 1, 0.375), (S, 2, 2.675)],
            "Best Bid: 0.38 @ 0.01, Best Ask: 2.67 @ 0.02 (Spread: 0.0100)\n"
            "Open Buy Volume: 0.38, Open Sell Volume: 2.67",
        ),
        (
            0.01,
            [(B, 10000, 0.005), (S, 10000 + 10**8, 0.015)],
            "Best Bid: 0.01 @ 100, Best Ask: 0.01 @ 1000100 (Spread: 1000000.0000)\n"
            "Open Buy Volume: 0.01, Open Sell Volume: 0.01",
        ),
        (
            0.01,
            [(B, 9999, 1e20), (S, 10000, 1e-3)],
            "Best Bid: 100000000000000000000.00 @ 99.99000000000001, Best Ask: 0.00 @ 100 "
            "(Spread: 0.0100)\nOpen Buy Volume: 100000000000000000000.00, Open Sell Volume: 0.00",
        ),
        (
            1e10,
            [(B, 10**12, 1.0), (S, 10**12 + 1, 1.0)],
            "Best Bid: 1.00 @ 10000000000000000000000, Best Ask: 1.00 @ 10000000000010000000000 "
            "(Spread: 10000000000.0000)\nOpen Buy Volume: 1.00, Open Sell Volume: 1.00",
        ),
        (
            1e-7,
            [(B, 1, 1.0), (S, 3, 1.0)],
            "Best Bid: 1.00 @ 0.0000001, Best Ask: 1.00 @ 0.0000003 (Spread: 0.0000)\n"
            "Open Buy Volume: 1.00, Open Sell Volume: 1.00",
        ),
        (
            -1e-9,
            [(B, 3, 1.0), (S, 4, 1.0)],
            "Best Bid: 1.00 @ -0.0000000030000000000000004, Best Ask: 1.00 @ -0.000000004 "
            "(Spread: -0.0000)\nOpen Buy Volume: 1.00, Open Sell Volume: 1.00",
        ),
    ],
    ids=[
        "bids-only",
        "asks-only",
        "ties-to-even",
        "binary-values-round",
        "1e20",
        "huge-prices",
        "tiny-prices",
        "negative-tick",
    ],
)
def test_summary_text(tick, shapes, text):
    book = book_with(tick, *shapes)
    assert repr(book) == text
    if "Spread: None" not in text:
        assert book.spread() == float(shapes[1][1] - shapes[0][1]) * tick


# Float addition is not associative: volume is the sum from the lowest price up,
# front to back within a level.
@pytest.mark.parametrize(
    "resting",
    [
        [(10200, 1.0), (10100, 1.0), (10000, 1e16)],
        [(10000, 1e16), (10000, 1.0), (10000, 1.0)],
        [(10000, 0.1), (10100, 0.2), (10000, 0.3), (10200, 1e-17)],
    ],
    ids=["big-lowest-arrives-last", "big-first-in-level", "decimal-fractions"],
)
@pytest.mark.parametrize("side", [B, S])
def test_volume_is_ordered_left_to_right_sum(side, resting):
    book = book_with(0.01, *[(side, p, q) for p, q in resting])
    visiting = [q for _, q in sorted(resting, key=lambda level: level[0])]
    forward = backward = -0.0
    for q, r in zip(visiting, reversed(visiting), strict=True):
        forward, backward = forward + q, backward + r
    assert forward != backward
    volume = book.buy_volume() if side == B else book.sell_volume()
    assert volume == forward
    buy_text, sell_text = (f"{forward:.2f}", "-0.00")[:: 1 if side == B else -1]
    assert repr(book).endswith(f"Open Buy Volume: {buy_text}, Open Sell Volume: {sell_text}")
