"""The benchmark order flow: its file form, and the book replaying it as its model says.

Every benchmark trusts that an engine replaying the flow did the work the
flow's matching model accounts for; here kestrova is held to that on small
flows, which also sets the book against an independent matching model.
"""

import sys
from pathlib import Path

import pytest

from kestrova import Order, OrderBook, OrderType

BENCH = Path(__file__).resolve().parent.parent / "bench"
if not (BENCH / "flow.py").is_file():
    # Run against an installed wheel, the tests have no benchmarks beside them.
    pytest.skip("needs bench/ beside the tests", allow_module_level=True)
sys.path.insert(0, str(BENCH))

import flow as flows  # noqa: E402

FLOWS = [
    pytest.param(2_000, 1, id="2k-ops-seed-1"),
    pytest.param(5_000, 7, id="5k-ops-seed-7"),
    pytest.param(10_000, 42, id="10k-ops-seed-42"),
]


def replay(flow):
    book = OrderBook()
    orders, fills, filled, refused = [], 0, 0.0, 0
    sides = {flows.BUY: OrderType.Buy, flows.SELL: OrderType.Sell}
    for op in flow:
        if op[0] == flows.ADD:
            orders.append(Order(sides[op[1]], op[2], float(op[3])))
            made = book.add(orders[-1])
            fills += len(made)
            filled += sum(fill.quantity for fill in made)
        elif op[0] == flows.CANCEL:
            refused += not book.cancel(orders[op[1]].id)
    return book, fills, filled, refused


@pytest.mark.parametrize(("ops", "seed"), FLOWS)
def test_file_round_trip_keeps_every_operation(tmp_path, ops, seed):
    flow, _ = flows.generate(ops, seed)
    path = tmp_path / "flow.txt"
    flows.write(flow, seed, path)
    assert path.read_text().splitlines()[0] == f"# kestrova-flow 1 seed={seed} ops={ops}"
    assert flows.read(path) == flow


@pytest.mark.parametrize(("ops", "seed"), FLOWS)
def test_book_does_the_work_the_model_accounts_for(ops, seed):
    flow, model = flows.generate(ops, seed)
    book, fills, filled, refused = replay(flow)
    want = model.summary()
    assert refused == 0  # every cancel meets a resting order
    assert (fills, filled) == (want["fills"], want["filled"])
    assert book.best_bid()[0] == want["best_bid"]
    assert book.best_ask()[0] == want["best_ask"]
    resting = {
        side: sum(sum(queue.values()) for queue in model.levels[side].values()) for side in "BS"
    }
    assert (book.buy_volume(), book.sell_volume()) == (resting["B"], resting["S"])


@pytest.mark.parametrize(("ops", "seed"), FLOWS)
def test_mix_is_the_documented_one(ops, seed):
    flow, model = flows.generate(ops, seed)
    kinds = flows.counts(flow)
    assert abs(kinds[flows.ADD] / ops - 0.6) < 0.03
    assert abs(kinds[flows.CANCEL] / ops - 0.3) < 0.03
    assert model.fills > 0 and model.cancels == kinds[flows.CANCEL]
