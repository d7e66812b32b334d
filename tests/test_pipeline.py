"""The stages of a run in threads: order kept, errors raised where the run can report them."""

import threading

import pytest

pytest.importorskip("numpy")

import numpy as np  # noqa: E402

from kestrova_replay import pipeline  # noqa: E402
from kestrova_replay.engine import NativeBook  # noqa: E402
from kestrova_replay.events import Action, make_batch  # noqa: E402


def failing_source(after: int):
    yield from range(after)
    raise ValueError("bad row")


@pytest.mark.parametrize("after", [0, 1, 5, 50])
def test_read_ahead_keeps_order_and_raises_at_the_failing_item(after: int) -> None:
    seen = []
    with pytest.raises(ValueError, match="bad row"):
        for item in pipeline.read_ahead(failing_source(after)):
            seen.append(item)
    assert seen == list(range(after))


def test_read_ahead_left_early_stops_its_thread() -> None:
    before = threading.active_count()
    stream = pipeline.read_ahead(iter(range(1000)), depth=1)
    assert next(stream) == 0
    stream.close()
    assert threading.active_count() == before


@pytest.mark.parametrize("fail_at", [None, 0, 3])
def test_write_behind_writes_in_order_and_reports_a_failed_write(fail_at: int | None) -> None:
    written = []

    def write(item: int) -> None:
        if item == fail_at:
            raise OSError(28, "No space left on device")
        written.append(item)

    writer = pipeline.WriteBehind(write, depth=1)
    try:
        if fail_at is None:
            for item in range(10):
                writer.put(item)
            writer.close()
            assert written == list(range(10))
        else:
            with pytest.raises(OSError, match="No space"):
                for item in range(10):
                    writer.put(item)
                writer.close()
            assert written == list(range(fail_at))
    finally:
        writer.abandon()


def test_an_engine_running_in_one_thread_refuses_calls_from_another() -> None:
    n = 3_000_000
    batch = make_batch(
        time=np.arange(n), seq=np.arange(n), action=np.full(n, Action.ADD),
        side=np.arange(n) % 2, ref=np.arange(1, n + 1), price=1000 + (np.arange(n) % 2) * 10,
        quantity=np.ones(n),
    )  # fmt: skip
    book = NativeBook(levels=5)
    runner = threading.Thread(target=book.run, args=(batch,))
    refused = []
    runner.start()
    while runner.is_alive():
        try:
            book.counts()
        except RuntimeError as error:
            refused.append(str(error))
    runner.join()
    assert book.counts()["events"] == n
    assert refused and all("another thread" in text for text in refused)
