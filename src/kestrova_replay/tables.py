"""The run's output folder: Parquet tables appended batch by batch, and summary.json.

Every file is written under a temporary name and renamed only when the whole run
succeeded, so a failed run leaves nothing that passes for a result: its
summary.json says ``complete: false`` and the tables of an earlier run are gone.
"""

from __future__ import annotations

import json
import os
from collections.abc import Mapping, Sequence
from pathlib import Path
from types import TracebackType
from typing import Any, Self

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from .engine import NO_PRICE, REASONS, Tables

SIDE_NAMES = pa.array(["buy", "sell"])
REASON_NAMES = pa.array([REASONS.get(i, "") for i in range(max(REASONS) + 1)])

REF = pa.uint64()


def _field(name: str, kind: pa.DataType, nullable: bool = False) -> pa.Field:
    # Columns that always hold a value are declared so: the writer then spends
    # nothing on their definition levels.
    return pa.field(name, kind, nullable=nullable)


SIDE = pa.dictionary(pa.int8(), pa.string())
SOURCE = pa.dictionary(pa.int16(), pa.string())
SCHEMAS: dict[str, pa.Schema] = {
    "fills": pa.schema(
        [
            _field("seq", pa.int64()),
            _field("time", pa.int64()),
            _field("price", pa.int64()),
            _field("quantity", pa.int64()),
            _field("maker_ref", REF, nullable=True),
            _field("taker_ref", REF, nullable=True),
            _field("aggressor_side", SIDE),
            _field("source", SOURCE),
        ]
    ),
    "bbo": pa.schema(
        [
            _field("seq", pa.int64()),
            _field("time", pa.int64()),
            _field("bid_price", pa.int64(), nullable=True),
            _field("bid_size", pa.int64()),
            _field("ask_price", pa.int64(), nullable=True),
            _field("ask_size", pa.int64()),
        ]
    ),
    "depth": pa.schema(
        [
            _field("seq", pa.int64()),
            _field("time", pa.int64()),
            _field("side", SIDE),
            _field("level", pa.int16()),
            _field("price", pa.int64()),
            _field("size", pa.int64()),
            _field("orders", pa.int64()),
        ]
    ),
    "divergences": pa.schema(
        [
            _field("seq", pa.int64()),
            _field("time", pa.int64()),
            _field("ref", REF),
            _field("reason", pa.dictionary(pa.int8(), pa.string())),
            _field("source", SOURCE),
        ]
    ),
}
TABLES = tuple(SCHEMAS)
ROW_GROUP = 1 << 18


def _codes(values: np.ndarray, names: pa.Array) -> pa.DictionaryArray:
    return pa.DictionaryArray.from_arrays(pa.array(values.astype(np.int16)), names)


def _side(values: np.ndarray) -> pa.DictionaryArray:
    return pa.DictionaryArray.from_arrays(pa.array(values.astype(np.int8)), SIDE_NAMES)


def _price(values: np.ndarray) -> pa.Array:
    return pa.array(values, pa.int64(), mask=values == NO_PRICE)


def record_batches(tables: Tables, sources: pa.Array) -> dict[str, pa.RecordBatch]:
    """The engine's raw columns as the four tables' record batches; ``sources`` names
    the codes of the data's events."""
    t = tables
    return {
        "fills": pa.record_batch(
            [
                t["fill_seq"],
                t["fill_time"],
                t["fill_price"],
                t["fill_quantity"],
                pa.array(t["fill_maker"], REF, mask=t["fill_maker_known"] == 0),
                pa.array(t["fill_taker"], REF, mask=t["fill_taker_known"] == 0),
                _side(t["fill_aggressor"]),
                _codes(t["fill_code"], sources),
            ],
            schema=SCHEMAS["fills"],
        ),
        "bbo": pa.record_batch(
            [
                t["bbo_seq"],
                t["bbo_time"],
                _price(t["bbo_bid_price"]),
                t["bbo_bid_size"],
                _price(t["bbo_ask_price"]),
                t["bbo_ask_size"],
            ],
            schema=SCHEMAS["bbo"],
        ),
        "depth": pa.record_batch(
            [
                t["depth_seq"],
                t["depth_time"],
                pa.DictionaryArray.from_arrays(
                    pa.array(t["depth_side"].astype(np.int8)), pa.array(["bid", "ask"])
                ),
                t["depth_level"].astype(np.int16),
                t["depth_price"],
                t["depth_size"],
                t["depth_orders"],
            ],
            schema=SCHEMAS["depth"],
        ),
        "divergences": pa.record_batch(
            [
                t["divergence_seq"],
                t["divergence_time"],
                pa.array(t["divergence_ref"], REF),
                pa.DictionaryArray.from_arrays(
                    pa.array(t["divergence_reason"].astype(np.int8)), REASON_NAMES
                ),
                _codes(t["divergence_code"], sources),
            ],
            schema=SCHEMAS["divergences"],
        ),
    }


# The columns whose statistics readers filter a table by (a time window, a range of
# events); statistics on every column cost a sixth of the writing time.
FILTERED = ("seq", "time")


def parquet_writer(path: Path, schema: pa.Schema) -> pq.ParquetWriter:
    """A table file as every run writes one: zstd, with statistics for readers' filters.

    Columns of names (dictionaries, and short texts such as ITCH's codes) are
    dictionary-encoded. Integer columns (times, refs, prices, sizes) are delta-encoded:
    they move by small steps from row to row, so the file is smaller and its writing
    takes about half the time a dictionary or plain values take.
    """
    names = [f.name for f in schema if pa.types.is_dictionary(f.type) or f.type == pa.string()]
    deltas = {f.name: "DELTA_BINARY_PACKED" for f in schema if pa.types.is_integer(f.type)}
    return pq.ParquetWriter(
        path,
        schema,
        compression="zstd",
        write_statistics=[name for name in FILTERED if name in schema.names],
        use_dictionary=names,
        column_encoding=deltas,
    )


class TableFiles:
    """Parquet tables of one folder, written under temporary names and renamed by ``close``.

    Batches wait until a row group's worth has come: each row group costs the writer
    a few milliseconds of set-up per column, whatever its size, and memory stays
    bounded however long the run. Leaving the block without ``close`` removes the
    temporary files, so nothing half-written looks like a table.
    """

    def __init__(self, folder: str | Path, schemas: Mapping[str, pa.Schema]) -> None:
        self.folder = Path(folder)
        self.schemas = dict(schemas)
        self._writers: dict[str, pq.ParquetWriter] = {}
        self._pending: dict[str, list[pa.RecordBatch]] = {name: [] for name in schemas}
        self._pending_rows = dict.fromkeys(schemas, 0)

    def _temp(self, name: str) -> Path:
        return self.folder / f".{name}.tmp-{os.getpid()}"

    def __enter__(self) -> Self:
        self.folder.mkdir(parents=True, exist_ok=True)
        for name, schema in self.schemas.items():
            (self.folder / f"{name}.parquet").unlink(missing_ok=True)
            self._writers[name] = parquet_writer(self._temp(name), schema)
        return self

    def write(self, name: str, batch: pa.RecordBatch) -> None:
        self._pending[name].append(batch)
        self._pending_rows[name] += batch.num_rows
        if self._pending_rows[name] >= ROW_GROUP:
            self._flush(name)

    def _flush(self, name: str) -> None:
        if self._pending[name]:
            table = pa.Table.from_batches(self._pending[name], self.schemas[name])
            self._writers[name].write_table(table, row_group_size=ROW_GROUP)
        self._pending[name] = []
        self._pending_rows[name] = 0

    def close(self, metadata: Mapping[str, str] | None = None) -> None:
        """Writes what waits, closes every table, then renames them into place."""
        for name, writer in self._writers.items():
            self._flush(name)
            if metadata:
                writer.add_key_value_metadata({f"kestrova.{k}": v for k, v in metadata.items()})
            writer.close()
        for name in self._writers:
            os.replace(self._temp(name), self.folder / f"{name}.parquet")
        self._writers.clear()

    # A name the ITCH and MBO replays use for their extra tables.
    finish = close

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        for name, writer in self._writers.items():
            try:
                writer.close()
            except Exception:  # the run's own failure is the one to report
                pass
            self._temp(name).unlink(missing_ok=True)
        self._writers.clear()


class OutputFolder:
    """Writes the tables of one run into ``folder``, atomically on a clean exit.

    A failed run leaves no table, and a ``summary.json`` that says ``complete: false``.
    """

    def __init__(self, folder: str | Path, sources: Sequence[str]) -> None:
        self.folder = Path(folder)
        self.sources = pa.array(list(sources), pa.string())
        self._files = TableFiles(self.folder, SCHEMAS)

    def __enter__(self) -> Self:
        self._files.__enter__()
        # An earlier run's results must not sit beside this run's failure.
        (self.folder / "summary.json").unlink(missing_ok=True)
        return self

    def append(self, tables: Tables) -> None:
        for name, batch in record_batches(tables, self.sources).items():
            if batch.num_rows:
                self._files.write(name, batch)

    def finish(self, summary: Mapping[str, Any], metadata: Mapping[str, str]) -> None:
        """Closes the tables, then renames them and writes summary.json last."""
        self._files.close(metadata)
        write_json(self.folder / "summary.json", summary)

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        self._files.__exit__(kind, error, trace)
        if kind is None:
            return
        try:
            reason = str(error) if error is not None else kind.__name__
            write_json(self.folder / "summary.json", {"complete": False, "error": reason})
        except OSError:
            pass


def write_json(path: Path, value: Mapping[str, Any]) -> None:
    """Writes JSON under a temporary name, then renames it into place."""
    temp = path.with_name(f".{path.name}.tmp-{os.getpid()}")
    try:
        with open(temp, "w", encoding="utf-8") as out:
            json.dump(value, out, indent=2)
            out.write("\n")
        os.replace(temp, path)
    finally:
        temp.unlink(missing_ok=True)
