"""The replay command against the C++ core alone and a Python loop, on the same events.

Run (after `pip install ".[replay]"`):
    python bench/replay.py                      # 5,000,000 messages, level 10
    python bench/replay.py --messages 500000    # a quicker look

It writes a seeded LOBSTER pair (level 10, every event type, a pre-open book,
orders placed and deleted out of view) once, into a cache folder, and decodes
its messages once. Each round then runs, in a rotated order:
  - the replay end to end, as `kestrova replay lobster --out DIR` runs it:
    parse, book, all four tables to Parquet and the summary; once on the
    message file alone and once checked against the orderbook file (`--book`);
  - the C++ core alone on the decoded events (bench/core/replay_core.cpp, built
    here with the core's own sources): add, cancel and executions as opposite
    orders, keyed by ref, nothing read, compared or written;
  - a Python loop of `Order(...)`, `add` and `cancel` calls on the same events
    (the first --python-events of them; its rate is what counts).
Figures are medians over the rounds, messages per second of each.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

import floor_build
import numpy as np
import options
import timing

import kestrova
from kestrova_replay import lobster, sample_lobster
from kestrova_replay.events import Action
from kestrova_replay.runs import replay_lobster

ROOT = Path(__file__).resolve().parent.parent
CORE_SOURCE = Path(__file__).with_name("core") / "replay_core.cpp"
COLUMNS = {"action": "u8", "side": "u8", "ref": "u64", "price": "i64", "quantity": "i64"}
DTYPES = {"u8": np.uint8, "u64": np.uint64, "i64": np.int64}


def sample(messages, seed, say):
    """The cached pair for these counts, written on first use."""
    generator = Path(sample_lobster.__file__).read_bytes()
    tag = hashlib.sha256(generator + f"{messages}/{seed}".encode()).hexdigest()[:12]
    folder = floor_build.cache_dir() / f"lobster-{messages}-{tag}"
    if not (folder / "done").exists():
        say(f"writing a {messages:,}-message LOBSTER pair into {folder} (once)")
        shutil.rmtree(folder, ignore_errors=True)
        pair = sample_lobster.write_pair(folder, messages, levels=10, seed=seed)
        decode(pair.message_file, folder / "columns")
        (folder / "done").write_text("")
    message_file = next(folder.glob("*_message_10.csv"))
    book_file = next(folder.glob("*_orderbook_10.csv"))
    return message_file, book_file, folder / "columns"


def decode(message_file, folder):
    """The message file's events as the replay decodes them, one raw file per column."""
    reader = lobster.LobsterReader(message_file, None, 10)
    parts = {name: [] for name in COLUMNS}
    for batch in reader.batches():
        for name in COLUMNS:
            parts[name].append(batch.columns[name])
    folder.mkdir(parents=True)
    for name, kind in COLUMNS.items():
        np.concatenate(parts[name]).tofile(folder / f"{name}.{kind}")


def build_core():
    """The core-alone replay, compiled once per change of it or of the core."""
    sources = [CORE_SOURCE, *sorted((ROOT / "src" / "model").glob("*.cpp"))]
    sources += sorted((ROOT / "src" / "book").glob("*.cpp"))
    headers = sorted((ROOT / "src").glob("*/*.hpp"))
    digest = hashlib.sha256(b"".join(p.read_bytes() for p in [*sources, *headers]))
    target = floor_build.cache_dir() / f"replay_core-{digest.hexdigest()[:16]}"
    if not target.exists():
        target.parent.mkdir(parents=True, exist_ok=True)
        cxx = os.environ.get("CXX", "c++")
        command = [cxx, "-O2", "-DNDEBUG", "-std=c++20", "-Wall", "-Wextra", f"-I{ROOT / 'src'}",
                   *map(str, sources), "-o", f"{target}.tmp"]  # fmt: skip
        subprocess.run(command, check=True)
        os.replace(f"{target}.tmp", target)
    return target


def load_columns(folder):
    return {
        name: np.fromfile(folder / f"{name}.{kind}", dtype=DTYPES[kind])
        for name, kind in COLUMNS.items()
    }


def python_loop(columns, count):
    """The same moves as the core-alone replay, one Python call per step."""
    Order, Buy, Sell = kestrova.Order, kestrova.OrderType.Buy, kestrova.OrderType.Sell
    actions = columns["action"][:count].tolist()
    sides = columns["side"][:count].tolist()
    refs = columns["ref"][:count].tolist()
    prices = columns["price"][:count].tolist()
    quantities = columns["quantity"][:count].tolist()
    add, reduce, delete, execute = Action.ADD, Action.REDUCE, Action.DELETE, Action.EXECUTE

    def run():
        book = kestrova.OrderBook(1.0)
        live = {}  # ref -> [order id, price, remaining, side]
        by_id = {}  # order id -> ref
        fills = 0

        def settle(made, buyer):
            nonlocal fills
            fills += len(made)
            for fill in made:
                maker = fill.sell_id if buyer else fill.buy_id
                ref = by_id.get(maker)
                if ref is not None:
                    entry = live[ref]
                    entry[2] -= fill.quantity
                    if entry[2] <= 0:
                        book.cancel(maker)
                        del live[ref], by_id[maker]
            return sum(fill.quantity for fill in made)

        for action, side, ref, price, quantity in zip(
            actions, sides, refs, prices, quantities, strict=True
        ):
            if action == add:
                if ref in live:
                    continue
                order = Order(Sell if side else Buy, price, quantity)
                filled = settle(book.add(order), not side)
                if filled < quantity:
                    live[ref] = [order.id, price, quantity - filled, side]
                    by_id[order.id] = ref
                else:
                    book.cancel(order.id)
            elif action == reduce or action == delete:
                entry = live.get(ref)
                if entry is None:
                    continue
                book.cancel(entry[0])
                del by_id[entry[0]]
                if action == delete or quantity >= entry[2]:
                    del live[ref]
                    continue
                entry[2] -= quantity
                order = Order(Sell if entry[3] else Buy, entry[1], entry[2])
                book.add(order)
                entry[0] = order.id
                by_id[order.id] = ref
            elif action == execute:
                entry = live.get(ref)
                if entry is None:
                    continue
                taker = Order(Buy if entry[3] else Sell, entry[1], quantity)
                settle(book.add(taker), bool(entry[3]))
                book.cancel(taker.id)
        return fills

    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--messages", type=options.positive_int, default=5_000_000, metavar="N",
                        help="messages in the generated file (default 5,000,000)")  # fmt: skip
    parser.add_argument("--seed", type=int, default=1, help="the generator's seed (default 1)")
    parser.add_argument("--rounds", type=options.positive_int, default=3, metavar="R",
                        help="rounds of every run (default 3)")  # fmt: skip
    parser.add_argument("--python-events", type=options.positive_int, default=1_000_000,
                        metavar="N", help="events the Python loop replays (default 1,000,000)")  # fmt: skip
    args = parser.parse_args()

    def say(text):
        print(text, file=sys.stderr, flush=True)

    message_file, book_file, columns_folder = sample(args.messages, args.seed, say)
    core = build_core()
    columns = load_columns(columns_folder)
    events = len(columns["action"])
    python_events = min(args.python_events, events)
    loop = python_loop(columns, python_events)
    outcome = {}

    with tempfile.TemporaryDirectory(prefix="kestrova-replay-bench-") as scratch:

        def end_to_end(book):
            def run():
                out = Path(scratch) / ("checked" if book else "messages")
                start = time.perf_counter()
                summary = replay_lobster(message_file, book, levels=10, out=out)
                seconds = time.perf_counter() - start
                outcome["checked" if book else "messages"] = summary
                return summary.events / seconds

            return run

        def core_alone():
            result = subprocess.run([str(core), str(columns_folder), "1"], capture_output=True,
                                    text=True, check=True)  # fmt: skip
            ns, fills, resting = result.stdout.split()
            outcome["core"] = (int(fills), int(resting))
            return 1e9 / float(ns)

        def python():
            start = time.perf_counter()
            outcome["python"] = loop()
            return python_events / (time.perf_counter() - start)

        cases = {
            "replay, messages only": end_to_end(None),
            "replay, checked against --book": end_to_end(book_file),
            "C++ core alone": core_alone,
            "Python loop of Order/add/cancel": python,
        }
        rates = {name: [] for name in cases}
        names = list(cases)
        for round_number in range(args.rounds):
            for name in names[round_number % len(names) :] + names[: round_number % len(names)]:
                rates[name].append(cases[name]())
            say(f"round {round_number + 1}/{args.rounds} done")

    median = {name: sorted(values)[len(values) // 2] for name, values in rates.items()}
    core_rate = median["C++ core alone"]
    python_rate = median["Python loop of Order/add/cancel"]
    rows = []
    for name, values in rates.items():
        low, high = min(values), max(values)
        rows.append([name, f"{median[name]:,.0f}", f"{low:,.0f}-{high:,.0f}",
                     f"{1e9 / median[name]:,.0f}", f"{median[name] / core_rate:.2f}",
                     f"{median[name] / python_rate:.1f}"])  # fmt: skip
    print(timing.machine())
    print(f"{events:,} messages ({message_file.name}), {args.rounds} rounds; "
          f"the Python loop on the first {python_events:,}")  # fmt: skip
    print()
    print(timing.table(["run", "msgs/s", "min-max", "ns/msg", "x core", "x Python"], rows))
    print()
    messages, checked = outcome["messages"], outcome["checked"]
    print(f"replay: {messages.events:,} events, {messages.fills:,} fills, "
          f"{messages.divergences:,} divergences; checked: {checked.rows_matching:,} of "
          f"{checked.rows_compared:,} rows match, {checked.resyncs:,} resyncs")  # fmt: skip
    print(f"core alone: {outcome['core'][0]:,} fills, {outcome['core'][1]:,} orders resting")


if __name__ == "__main__":
    options.run(main)
