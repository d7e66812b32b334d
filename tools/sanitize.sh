#!/usr/bin/env bash
# Builds kestrova with AddressSanitizer and UndefinedBehaviorSanitizer into a
# virtual environment of its own and runs the whole test suite under them.
# Usage: tools/sanitize.sh [pytest arguments]; SANITIZE_VENV=DIR reuses a venv.
set -euo pipefail
cd "$(dirname "$0")/.."

venv="${SANITIZE_VENV:-$(mktemp -d)/venv}"
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
# shellcheck disable=SC1091
. "$venv/bin/activate"
python -m pip install --quiet --upgrade pip

# -O1 keeps stack traces readable; any UBSan finding is fatal. The Debug build
# type adds only -g, so these flags decide the optimisation level.
export CXXFLAGS="-O1 -g -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
export LDFLAGS="-fsanitize=address,undefined"
pip install --quiet --config-settings=cmake.build-type=Debug ".[test]"

# The interpreter itself is not instrumented, so the runtimes are preloaded;
# the system allocator lets ASan see every Python object.
asan="$(gcc -print-file-name=libasan.so)"
ubsan="$(gcc -print-file-name=libubsan.so)"
for runtime in "$asan" "$ubsan"; do
  [ -f "$runtime" ] || { echo "sanitize.sh: no sanitizer runtime $runtime" >&2; exit 1; }
done
export LD_PRELOAD="$asan $ubsan${LD_PRELOAD:+ $LD_PRELOAD}"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export KESTROVA_SANITIZED=1  # fewer hypothesis examples and leak-test repetitions
python -m pytest -q -p no:cacheprovider "$@"
