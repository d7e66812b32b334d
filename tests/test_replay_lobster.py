"""LOBSTER replay against pairs written from a known flow, and against hand-made files."""

import pytest

pytest.importorskip("pyarrow")

import pyarrow.parquet as pq  # noqa: E402

from kestrova_replay import DataError, replay_lobster  # noqa: E402
from kestrova_replay.sample_lobster import write_pair  # noqa: E402


@pytest.mark.parametrize(
    "messages, levels, seed",
    [(4000, 10, 1), (4000, 5, 2), (3000, 1, 3), (6000, 10, 4)],
    ids=["level-10", "level-5", "level-1", "level-10-longer"],
)
def test_generated_pairs_match_every_row(tmp_path, messages, levels, seed):
    pair = write_pair(tmp_path, messages, levels=levels, seed=seed)
    summary = replay_lobster(pair.message_file, pair.orderbook_file)
    assert summary.events == summary.rows_compared == messages
    assert summary.rows_matching == messages
    assert summary.first_mismatch is None
    assert summary.resyncs == pair.resyncs > 0
    assert (summary.divergences, summary.corrections) == (0, 0)
    assert summary.partial_cancels > 0 and summary.unknown_orders > 0
    assert summary.details["hidden_executions"] > 0


@pytest.mark.parametrize("block_bytes", [7, 4096])
def test_lines_split_across_read_blocks_read_whole(tmp_path, monkeypatch, block_bytes):
    from kestrova_replay import lobster

    pair = write_pair(tmp_path / "pair", 2000, levels=5, seed=9)
    reference = replay_lobster(pair.message_file, pair.orderbook_file, out=tmp_path / "a")
    monkeypatch.setattr(lobster, "BLOCK_BYTES", block_bytes)
    small = replay_lobster(pair.message_file, pair.orderbook_file, out=tmp_path / "b")
    assert small.rows_matching == reference.rows_matching == 2000
    for table in ("fills", "bbo", "depth", "divergences"):
        assert (tmp_path / "a" / f"{table}.parquet").read_bytes() == (
            tmp_path / "b" / f"{table}.parquet"
        ).read_bytes(), table


REWRITES = {
    "spaces": lambda fields: [f" {f} " for f in fields],
    "signs": lambda fields: [fields[0], *(f if f.startswith("-") else "+" + f for f in fields[1:])],
    "exponent": lambda fields: [_exponent(fields[0]), *fields[1:]],
    "12 decimals": lambda fields: [fields[0] + "000", *fields[1:]],
}


def _exponent(time):
    whole, fraction = time.split(".")
    return f"{whole[0]}.{whole[1:]}{fraction}e{len(whole) - 1}"


@pytest.mark.parametrize("block_bytes", [97, None], ids=["small-blocks", "default-blocks"])
@pytest.mark.parametrize("form", REWRITES)
def test_rows_written_other_ways_read_as_the_plain_ones(tmp_path, monkeypatch, form, block_bytes):
    """Every 5th row rewritten: the same values, so the same tables."""
    from kestrova_replay import lobster

    if block_bytes:
        monkeypatch.setattr(lobster, "BLOCK_BYTES", block_bytes)
    pair = write_pair(tmp_path / "pair", 1500, levels=5, seed=3)
    rows = pair.message_file.read_text().splitlines()
    other = tmp_path / "other_message_5.csv"
    other.write_text(
        "\n".join(
            ",".join(REWRITES[form](row.split(","))) if i % 5 == 2 else row
            for i, row in enumerate(rows)
        )
        + "\n"
    )
    outs = [tmp_path / "plain", tmp_path / "other"]
    for path, out in zip((pair.message_file, other), outs, strict=True):
        summary = replay_lobster(path, pair.orderbook_file, out=out)
        assert summary.rows_matching == 1500
    for table in ("fills", "bbo", "depth", "divergences"):
        assert pq.read_table(outs[0] / f"{table}.parquet").equals(
            pq.read_table(outs[1] / f"{table}.parquet")
        ), table


def test_fast_path_and_classes_give_the_same_tables(tmp_path):
    pair = write_pair(tmp_path / "data", 2500, levels=5, seed=9)
    runs = {}
    for engine in ("native", "classes"):
        out = tmp_path / engine
        summary = replay_lobster(
            pair.message_file, pair.orderbook_file, out=out, depth_every=7, engine=engine
        )
        runs[engine] = (summary, out)
    (native, native_out), (classes, classes_out) = runs["native"], runs["classes"]
    keep = ("seconds", "events_per_second", "parameters")
    assert {k: v for k, v in native.to_dict().items() if k not in keep} == {
        k: v for k, v in classes.to_dict().items() if k not in keep
    }
    for table in ("fills", "bbo", "depth", "divergences"):
        assert pq.read_table(native_out / f"{table}.parquet").equals(
            pq.read_table(classes_out / f"{table}.parquet")
        ), table


def test_same_input_gives_the_same_bytes(tmp_path):
    pair = write_pair(tmp_path / "data", 3000, seed=5)
    outs = [tmp_path / "a", tmp_path / "b"]
    for out in outs:
        replay_lobster(pair.message_file, pair.orderbook_file, out=out, depth_every=10)
    for table in ("fills", "bbo", "depth", "divergences"):
        assert (outs[0] / f"{table}.parquet").read_bytes() == (
            outs[1] / f"{table}.parquet"
        ).read_bytes()


@pytest.mark.parametrize("table", ["fills", "bbo", "depth", "divergences"])
def test_tables_can_be_filtered_by_time_and_event(tmp_path, table):
    """Row groups carry the bounds of seq and time, which readers' filters skip by."""
    pair = write_pair(tmp_path / "data", 3000, seed=5)
    replay_lobster(pair.message_file, out=tmp_path / "out", depth_every=10)
    path = tmp_path / "out" / f"{table}.parquet"
    group = pq.ParquetFile(path).metadata.row_group(0)
    bounds = {}
    for i in range(group.num_columns):
        column = group.column(i)
        if column.path_in_schema in ("seq", "time"):
            bounds[column.path_in_schema] = (column.statistics.min, column.statistics.max)
    whole = pq.read_table(path, columns=["seq", "time"])
    for name in ("seq", "time"):
        values = whole[name].to_pylist()
        assert bounds[name] == (min(values), max(values)), name


def _corrupt_size(path, line, column, delta):
    rows = path.read_text().splitlines()
    values = rows[line - 1].split(",")
    values[column] = str(int(values[column]) + delta)
    rows[line - 1] = ",".join(values)
    path.write_text("\n".join(rows) + "\n")


@pytest.mark.parametrize("correct", [True, False], ids=["corrected", "carried-on"])
def test_a_wrong_row_is_counted_and_corrected(tmp_path, correct):
    pair = write_pair(tmp_path, 3000, levels=10, seed=6)
    # The best ask's size on one row only: that row misses, and so does the
    # next one, which the correction had taken from the wrong row.
    _corrupt_size(pair.orderbook_file, 1500, 1, +100)
    summary = replay_lobster(pair.message_file, pair.orderbook_file, correct=correct)
    assert summary.first_mismatch == 1500
    if correct:
        assert summary.rows_matching == summary.rows_compared - 2
        assert summary.corrections == 2
    else:
        assert summary.rows_matching == summary.rows_compared - 1
        assert summary.corrections == 0


def test_a_corrupt_orderbook_row_fails_loudly(tmp_path):
    pair = write_pair(tmp_path, 500, levels=5, seed=7)
    rows = pair.orderbook_file.read_text().splitlines()
    values = rows[99].split(",")
    values[0], values[4] = values[4], values[0]  # asks out of order
    rows[99] = ",".join(values)
    pair.orderbook_file.write_text("\n".join(rows) + "\n")
    with pytest.raises(DataError) as caught:
        replay_lobster(pair.message_file, pair.orderbook_file)
    assert str(caught.value) == f"{pair.orderbook_file}:100: levels out of order (corrupt row)"


def write_messages(tmp_path, rows):
    path = tmp_path / "X_2026-12-07_34200000_57600000_message_1.csv"
    path.write_text("".join(f"{row}\n" for row in rows))
    return path


def test_unknown_orders_without_a_level_are_divergence_rows(tmp_path):
    path = write_messages(
        tmp_path,
        [
            "34200.000000001,1,11,100,1000000,1",  # a bid we see placed
            "34200.000000002,3,99,50,999900,1",  # deletes an order placed before the open
            "34200.000000003,4,98,70,1000100,-1",  # executes one: no sell rests there
            "34200.000000004,2,11,40,1000000,1",  # partial cancel of the known bid
            "34200.000000005,5,0,10,1000000,1",  # hidden execution: no book effect
            "34200.000000006,4,11,60,1000000,1",  # executes what is left of 11
        ],
    )
    summary = replay_lobster(path, out=tmp_path / "out")
    assert (summary.events, summary.fills, summary.partial_cancels) == (6, 1, 1)
    assert (summary.unknown_orders, summary.divergences) == (2, 2)
    divergences = pq.read_table(tmp_path / "out" / "divergences.parquet").to_pylist()
    assert [(d["seq"], d["ref"], d["source"]) for d in divergences] == [
        (2, 99, "3 delete"),
        (3, 98, "4 execution"),
    ]
    assert all(d["reason"].startswith("unknown order") for d in divergences)
    fills = pq.read_table(tmp_path / "out" / "fills.parquet").to_pylist()
    assert fills == [
        {
            "seq": 6,
            "time": 34_200_000_000_006,
            "price": 1_000_000,
            "quantity": 60,
            "maker_ref": 11,
            "taker_ref": None,
            "aggressor_side": "sell",
            "source": "4 execution",
        }
    ]
    assert summary.details["resting_buy"] == summary.details["resting_sell"] == 0


@pytest.mark.parametrize("kind", ["simulate", "simulate, orders expiring", "csv"])
def test_other_flows_give_the_same_tables_on_both_paths(tmp_path, monkeypatch, kind):
    from kestrova_replay import replay_csv, simulate, simulation

    if kind == "simulate, orders expiring":
        monkeypatch.setattr(simulation, "EXPIRY", 150)
    outs = {}
    expired = {}
    for engine in ("native", "classes"):
        outs[engine] = out = tmp_path / engine
        if kind.startswith("simulate"):
            expired[engine] = simulate(3000, 4, out=out, depth_every=11, engine=engine).details[
                "expired"
            ]
        else:
            rows = ["timestamp,event,order_ref,side,price,quantity"]
            for n in range(400):
                side = "buy" if n % 3 else "sell"
                rows.append(
                    f"2026-12-07T10:00:{n // 10:02d},add,o{n},{side},{99 + n % 7 * 0.25:.2f},{1 + n % 4}.5"
                )
                if n % 5 == 4:
                    rows.append(f"2026-12-07T10:00:{n // 10:02d},cancel,o{n - 3},,,")
            (tmp_path / "flow.csv").write_text("\n".join(rows) + "\n")
            replay_csv(tmp_path / "flow.csv", "0.25", out=out, depth_every=3, engine=engine)
    for table in ("fills", "bbo", "depth"):
        native = pq.read_table(outs["native"] / f"{table}.parquet")
        assert native.num_rows > 0
        assert native.equals(pq.read_table(outs["classes"] / f"{table}.parquet")), table
    if kind == "simulate, orders expiring":
        assert expired["native"] == expired["classes"] > 0
