"""Replays recorded and simulated order flow through kestrova books, into Parquet tables."""

from .errors import DataError, OptionError
from .runs import Summary, replay_csv, replay_lobster, simulate, version

__all__ = [
    "DataError",
    "OptionError",
    "Summary",
    "replay_csv",
    "replay_lobster",
    "simulate",
    "version",
]
