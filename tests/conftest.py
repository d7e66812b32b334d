import os
import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_python():
    """Run a snippet in a fresh interpreter, so process-wide state stays untouched here."""

    def run(code, env=None):
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            timeout=60,
            env={**os.environ, **(env or {})},
        )

    return run
