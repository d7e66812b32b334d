"""Settings for the whole test run."""

import os

from hypothesis import settings

# Under the sanitizers each call costs many times more: fewer examples keep the run short.
settings.register_profile("sanitized", max_examples=25, deadline=None)
if os.environ.get("KESTROVA_SANITIZED"):
    settings.load_profile("sanitized")
