"""Overlaps a run's three stages: reading the input, the book, writing the tables.

The native loop, Arrow's CSV reader and its Parquet writer all let go of the
interpreter while they work, so reading the next batch and writing the last
one's rows go on beside the book, on other cores. One thread per stage and
first-in first-out queues keep every row in its order, so the outputs are the
bytes a run of one thread writes.
"""

from __future__ import annotations

import queue
import threading
from collections.abc import Callable, Generator, Iterable
from typing import Generic, TypeVar

T = TypeVar("T")

# Batches in flight between two stages: enough to ride out a slow batch,
# few enough that memory stays a handful of batches.
DEPTH = 2
_POLL = 0.1  # seconds between looks at the stop flag while a queue is full


class _End:
    """What a stage sends after its last item: nothing, or the error it ended with."""

    def __init__(self, error: BaseException | None = None) -> None:
        self.error = error


def _put(items: queue.Queue[object], item: object, stop: threading.Event) -> bool:
    """Puts ``item`` unless the other side has stopped; whether it went in."""
    while not stop.is_set():
        try:
            items.put(item, timeout=_POLL)
            return True
        except queue.Full:
            continue
    return False


def read_ahead(source: Iterable[T], depth: int = DEPTH) -> Generator[T, None, None]:
    """What ``source`` yields, produced in a thread up to ``depth`` items ahead.

    An error in ``source`` is raised here, at the item it stopped at. Leaving
    the loop early stops the thread.
    """
    items: queue.Queue[object] = queue.Queue(depth)
    stop = threading.Event()

    def produce() -> None:
        iterator = iter(source)
        try:
            for item in iterator:
                if not _put(items, item, stop):
                    return
            _put(items, _End(), stop)
        except BaseException as error:  # handed to the consumer, which raises it
            _put(items, _End(error), stop)
        finally:
            close = getattr(iterator, "close", None)
            if close is not None:
                close()

    thread = threading.Thread(target=produce, name="kestrova-read", daemon=True)
    thread.start()
    try:
        while True:
            item = items.get()
            if isinstance(item, _End):
                if item.error is not None:
                    raise item.error
                return
            yield item  # type: ignore[misc]
    finally:
        stop.set()
        thread.join()


class WriteBehind(Generic[T]):
    """Hands items to ``write`` in a thread, in order.

    An error of ``write`` is raised by the next ``put`` or by ``close``, which
    waits until everything put has been written.
    """

    def __init__(self, write: Callable[[T], None], depth: int = DEPTH) -> None:
        self._write = write
        self._items: queue.Queue[object] = queue.Queue(depth)
        self._stop = threading.Event()
        self._error: BaseException | None = None
        self._thread = threading.Thread(target=self._drain, name="kestrova-write", daemon=True)
        self._thread.start()

    def _drain(self) -> None:
        while not self._stop.is_set():
            try:
                item = self._items.get(timeout=_POLL)
            except queue.Empty:
                continue
            if isinstance(item, _End) or self._stop.is_set():
                return
            try:
                self._write(item)  # type: ignore[arg-type]
            except BaseException as error:  # raised again in the thread that puts
                self._error = error
                self._stop.set()
                return

    def _check(self) -> None:
        if self._error is not None:
            raise self._error

    def put(self, item: T) -> None:
        self._check()
        if not _put(self._items, item, self._stop):
            self._check()

    def close(self) -> None:
        """Waits for every item to be written; raises the error writing one ended with."""
        _put(self._items, _End(), self._stop)
        self._thread.join()
        self._check()

    def abandon(self) -> None:
        """Stops without waiting for what is still queued: the run has failed."""
        self._stop.set()
        self._thread.join()
