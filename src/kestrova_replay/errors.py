"""The failures a run reports to its user, each with the exit code the command gives."""

from __future__ import annotations

from pathlib import Path


class DataError(Exception):
    """Bad input data: ``FILE:LINE: reason`` (or a byte offset for binary files)."""

    def __init__(self, path: str | Path, line: int | None, reason: str, *, offset: bool = False):
        self.path = str(path)
        self.line = line
        self.reason = reason
        self.offset = offset
        super().__init__(str(self))

    def __str__(self) -> str:
        if self.line is None:
            return f"{self.path}: {self.reason}"
        where = f"byte {self.line}" if self.offset else str(self.line)
        return f"{self.path}:{where}: {self.reason}"


class OptionError(Exception):
    """Options that make the run meaningless; the command answers with usage and exit code 2."""
