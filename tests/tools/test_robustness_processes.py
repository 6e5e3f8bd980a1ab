"""Local worker processes end with the process that started them, and however a run ends it leaves no spill file."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

pytest.importorskip("SALib")

on_linux = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")

# Long enough (tens of seconds in two processes) to be stopped in the middle; its spill directory is argv[1].
LONG_RUN = """
import sys
import numpy as np, pandas as pd
from indexfuse_tools import robustness

def main():
    rng = np.random.default_rng(0)
    data = pd.DataFrame(rng.normal(size=(300, 6)), columns=list("abcdef"))
    robustness({"A": ["a", "b", "c"], "B": ["d", "e", "f"]}, data, n=4096, scheduler=2, progress=False,
               spill_dir=sys.argv[1])

if __name__ == "__main__":
    main()
"""

# The job (its table) is larger than a pipe holds: a worker that stops while
# starting must not leave the parent waiting to hand it over.
UNGUARDED = """
import numpy as np, pandas as pd
from indexfuse_tools import robustness

data = pd.DataFrame(np.random.default_rng(0).normal(size=(20_000, 4)), columns=list("abcd"))
robustness({"A": ["a", "b"], "B": ["c", "d"]}, data, n=8, factors={"scale_method": None}, scheduler=2,
           progress=False)
"""

# Asks to end with its parent, on the given platform's path, and waits.
WORKER = """
import os, sys, time
from indexfuse_tools._robustness.workers import _end_with_parent
sys.platform = {platform!r}
_end_with_parent(os.getppid())
print("ready", flush=True)
time.sleep(600)
"""

# Starts a worker, prints its pid and waits.
PARENT = """
import subprocess, sys, time
child = subprocess.Popen([sys.executable, "-c", sys.argv[1]], stdout=subprocess.PIPE, text=True)
assert child.stdout.readline() == "ready\\n"
print(child.pid, flush=True)
time.sleep(600)
"""


def _script(tmp_path: Path, text: str) -> Path:
    path = tmp_path / "script.py"
    path.write_text(textwrap.dedent(text))
    return path


def _stat(pid: int) -> list[str] | None:
    try:
        text = Path(f"/proc/{pid}/stat").read_text()
    except (FileNotFoundError, ProcessLookupError):
        return None
    return text.rsplit(")", 1)[1].split()  # the name in parentheses may hold spaces


def _alive(pid: int) -> bool:
    fields = _stat(pid)
    return fields is not None and fields[0] != "Z"  # a zombie has ended, whoever reaps it


def _children(pid: int) -> list[int]:
    found = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            fields = _stat(int(entry.name))
            if fields is not None and int(fields[1]) == pid:
                found.append(int(entry.name))
    return found


def _holds(pid: int, directory: Path) -> bool:
    """Whether process ``pid`` has a file of ``directory`` open (named or not)."""
    try:
        fds = list(Path(f"/proc/{pid}/fd").iterdir())
    except (FileNotFoundError, ProcessLookupError, PermissionError):
        return False
    for fd in fds:
        try:
            if os.readlink(fd).startswith(f"{directory}/"):
                return True
        except OSError:
            continue
    return False


def _wait_for(condition, seconds: float) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return condition()


def _kill_if_alive(pids) -> None:
    for pid in pids:  # only processes this test started, so that a failure leaves nothing running
        if _alive(pid):
            os.kill(pid, signal.SIGKILL)


def _start_long_run(tmp_path: Path) -> tuple[subprocess.Popen[str], Path, list[int]]:
    """The long analysis in a subprocess, once both its workers hold the spill files: (process, spill dir, workers)."""
    spill_dir = tmp_path / "spill"
    spill_dir.mkdir()
    parent = subprocess.Popen(
        [sys.executable, str(_script(tmp_path, LONG_RUN)), str(spill_dir)], stderr=subprocess.PIPE, text=True
    )
    workers_hold = lambda: len([pid for pid in _children(parent.pid) if _holds(pid, spill_dir)]) == 2
    if not _wait_for(workers_hold, 90):
        parent.kill()
        raise AssertionError("the workers never got the spill files")
    time.sleep(1)  # well into the runs
    return parent, spill_dir, [pid for pid in _children(parent.pid) if _holds(pid, spill_dir)]


def _nothing_left(spill_dir: Path, workers: list[int]) -> None:
    assert _wait_for(lambda: not any(map(_alive, workers)), 10), "workers outlived the run"
    assert list(spill_dir.iterdir()) == []
    assert not any(_holds(int(p.name), spill_dir) for p in Path("/proc").iterdir() if p.name.isdigit())


@on_linux
@pytest.mark.parametrize("stop", ["SIGINT", "SIGKILL", "a killed worker"])
def test_a_run_stopped_in_the_middle_leaves_no_worker_and_no_spill_file(tmp_path, stop):
    parent, spill_dir, workers = _start_long_run(tmp_path)
    try:
        if stop == "a killed worker":
            os.kill(workers[0], signal.SIGKILL)
        else:
            parent.send_signal(getattr(signal, stop))
        _, stderr = parent.communicate(timeout=60)
        assert parent.returncode != 0
        if stop == "SIGINT":
            assert "KeyboardInterrupt" in stderr
        elif stop == "a killed worker":
            assert "a local worker process ended abruptly" in stderr
        _nothing_left(spill_dir, workers)
    finally:
        parent.kill()
        parent.communicate()
        _kill_if_alive(workers)


@on_linux
@pytest.mark.parametrize("platform", ["linux", "darwin"])  # the parent death signal, the watching thread
def test_a_worker_ends_when_its_parent_is_killed(tmp_path, platform):
    parent = subprocess.Popen(
        [sys.executable, str(_script(tmp_path, PARENT)), WORKER.format(platform=platform)],
        stdout=subprocess.PIPE,
        text=True,
    )
    child = 0
    try:
        child = int(parent.stdout.readline())
        assert _alive(child)
        parent.kill()
        parent.wait()
        assert _wait_for(lambda: not _alive(child), 5)
    finally:
        parent.kill()
        parent.wait()
        parent.stdout.close()
        if child:
            _kill_if_alive([child])


def test_a_script_without_the_main_guard_is_told_in_one_line(tmp_path):
    finished = subprocess.run(
        [sys.executable, str(_script(tmp_path, UNGUARDED))], capture_output=True, text=True, timeout=120
    )
    assert finished.returncode != 0
    assert 'under if __name__ == "__main__":' in finished.stderr
    # Each worker says it in one line; the caller's own traceback ends with the same advice.
    assert "An attempt has been made to start a new process" not in finished.stderr
    assert finished.stderr.count("Traceback") <= 1
    assert len(finished.stderr.splitlines()) < 30
