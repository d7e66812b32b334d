"""The benchmark scripts as a shell runs them: a bad option, a bad flow file, an output
that cannot be written or Ctrl-C ends in an exit code and a short message, never a traceback."""

import os
import shlex
import signal
import subprocess
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[1] / "bench"
if not (BENCH / "options.py").is_file():
    # Run against an installed wheel, the tests have no benchmarks beside them.
    pytest.skip("bench/ is not beside the tests", allow_module_level=True)

HEADER = "# kestrova-flow 1 seed=1 ops=3\n"
FILES = {
    "not-a-flow.txt": "hello\n",
    "bad-side.flow": HEADER + "A B 100 5\nA X 100 5\n",
    "bad-quantity.flow": HEADER + "A S 100 nan\n",
    "stale-cancel.flow": HEADER + "A B 100 5\nC 0\nC 0\n",
    "unknown-order.flow": HEADER + "A B 100 5\nC 7\n",
    "empty.flow": HEADER,
}


def case(name, script, args, code, fragment):
    return pytest.param(script, args, code, fragment, id=name)


# script, arguments ({tmp}: a directory holding FILES), exit code, a fragment of stderr
CASES = [
    case("flow-ops-0", "flow.py", "--ops 0", 2, "argument --ops: must be at least 1, not 0"),
    case("flow-ops-negative", "flow.py", "--ops -5", 2, "must be at least 1, not -5"),
    case("flow-ops-word", "flow.py", "--ops ten", 2, "not a whole number: 'ten'"),
    case("flow-rounds-0", "flow.py", "--rounds 0", 2, "argument --rounds"),
    case("flow-file-missing", "flow.py", "--flow {tmp}/none.flow", 2, "No such file or directory"),
    case("flow-file-foreign", "flow.py", "--flow {tmp}/not-a-flow.txt", 2, "not a flow file"),
    case("flow-file-directory", "flow.py", "--flow {tmp}", 2, "Is a directory"),
    case("flow-bad-side", "flow.py", "--flow {tmp}/bad-side.flow", 1, "bad-side.flow:3: side 'X'"),
    case(
        "flow-bad-quantity",
        "flow.py",
        "--flow {tmp}/bad-quantity.flow",
        1,
        "bad-quantity.flow:2: quantity 'nan' is not a positive finite number",
    ),
    case(
        "flow-cancel-twice",
        "flow.py",
        "--flow {tmp}/stale-cancel.flow",
        1,
        "stale-cancel.flow:4: C 0: that order is no longer resting",
    ),
    case(
        "flow-cancel-unknown",
        "flow.py",
        "--flow {tmp}/unknown-order.flow",
        1,
        "unknown-order.flow:3: C 7: that order does not exist",
    ),
    case(
        "flow-no-operations", "flow.py", "--flow {tmp}/empty.flow", 1, "empty.flow:1: no operations"
    ),
    case("flow-write-nowhere", "flow.py", "--ops 10 --write {tmp}/no/dir.flow", 1, "No such file"),
    case("flow-write-tiny", "flow.py", "--ops 50 --write {tmp}/tiny.flow", 0, ""),
    case("floors-rounds-0", "floors.py", "--rounds 0", 2, "argument --rounds"),
    case("memory-orders-0", "memory.py", "--orders 0", 2, "argument --orders"),
    case("memory-orders-1", "memory.py", "--orders 1", 2, "must be at least 2, not 1"),
    case("memory-per-level-0", "memory.py", "--per-level 1 0", 2, "argument --per-level"),
    case("memory-per-level-none", "memory.py", "--per-level", 2, "expected at least one"),
    case("memory-tiny", "memory.py", "--orders 1000 --per-level 1", 0, ""),
    case("time-calls-repeat-0", "time_calls.py", "--repeat 0", 2, "argument --repeat"),
    case("shapes-rounds-0", "shapes.py", "--rounds 0", 2, "argument --rounds"),
    case("peers-ops-0", "peers.py", "--ops 0", 2, "argument --ops"),
    case("peers-rounds-negative", "peers.py", "--rounds -1", 2, "argument --rounds"),
    case("peers-skip-unknown", "peers.py", "--skip nobody", 2, "invalid choice: 'nobody'"),
    case("peers-file-missing", "peers.py", "--flow {tmp}/none.flow", 2, "No such file"),
    case("peers-bad-side", "peers.py", "--flow {tmp}/bad-side.flow", 1, "bad-side.flow:3:"),
    case("compare-rounds-0", "compare_builds.py", "a.so b.so --rounds 0", 2, "argument --rounds"),
    case("compare-size-small", "compare_builds.py", "a.so b.so --size 100", 2, "at least 40000"),
    case("compare-flow-0", "compare_builds.py", "a.so b.so --flow 0", 2, "argument --flow"),
    case("compare-build-missing", "compare_builds.py", "{tmp}/a.so {tmp}/b.so", 2, "build A"),
    case(
        "compare-build-foreign", "compare_builds.py", "{tmp}/empty.flow x.so", 2, "not a loadable"
    ),
    case("peer-core-rounds-0", "core/peer_core.py", "--rounds 0", 2, "argument --rounds"),
    case("peer-core-file-missing", "core/peer_core.py", "--flow {tmp}/none.flow", 2, "No such"),
    case("peer-core-bad-side", "core/peer_core.py", "--flow {tmp}/bad-side.flow", 1, ".flow:3:"),
]


@pytest.fixture
def files(tmp_path):
    for name, text in FILES.items():
        (tmp_path / name).write_text(text)
    return tmp_path


def command(script, args, tmp):
    return [sys.executable, str(BENCH / script), *shlex.split(args.format(tmp=tmp))]


@pytest.mark.parametrize("script, args, code, fragment", CASES)
def test_script_ends_with_its_exit_code_and_message(files, script, args, code, fragment):
    result = subprocess.run(
        command(script, args, files), cwd=files, capture_output=True, text=True, timeout=60
    )
    assert result.returncode == code, result.stderr
    assert fragment in result.stderr
    assert "Traceback" not in result.stderr
    if code == 2:
        assert "usage:" in result.stderr
    elif code == 1:
        assert len(result.stderr.splitlines()) == 1, result.stderr


OUTPUT_RUNS = [
    pytest.param("memory.py", "--orders 1000 --per-level 1", id="memory"),
    pytest.param("flow.py", "--ops 100 --write {tmp}/out.flow", id="flow-write"),
]


def closed_pipe():
    """The write end of a pipe whose reader has already gone."""
    read_end, write_end = os.pipe()
    os.close(read_end)
    return write_end


def full_disk():
    return os.open("/dev/full", os.O_WRONLY)


@pytest.mark.parametrize(
    "open_output, reason",
    [
        pytest.param(
            full_disk,
            "No space left on device",
            id="dev-full",
            marks=pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full"),
        ),
        pytest.param(closed_pipe, "Broken pipe", id="closed-pipe"),
    ],
)
@pytest.mark.parametrize("script, args", OUTPUT_RUNS)
def test_output_that_cannot_be_written_ends_in_one_line(
    tmp_path, open_output, reason, script, args
):
    output = open_output()
    try:
        result = subprocess.run(
            command(script, args, tmp_path),
            stdout=output,
            stderr=subprocess.PIPE,
            text=True,
            timeout=60,
        )
    finally:
        os.close(output)
    assert result.returncode == 1
    assert result.stderr == f"{script}: cannot write the output: {reason}\n"


def test_ctrl_c_ends_with_130_and_no_traceback(tmp_path):
    # unbuffered, so the first line says the run is past its imports and into main()
    run = [sys.executable, "-u", str(BENCH / "shapes.py"), "--quick", "--only", "memory"]
    process = subprocess.Popen(
        run, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        assert process.stdout.readline().startswith("Book shapes:")
        process.send_signal(signal.SIGINT)
        _, stderr = process.communicate(timeout=60)
    finally:
        process.kill()
    assert process.returncode == 130
    assert stderr == "shapes.py: interrupted\n"
