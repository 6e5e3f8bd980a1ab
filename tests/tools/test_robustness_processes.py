"""Local worker processes end with the process that started them and leave nothing in /dev/shm."""

from __future__ import annotations

import concurrent.futures
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

from indexfuse_tools._robustness.workers import _unlink_once_mapped

pytest.importorskip("SALib")

on_linux = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")

SEGMENT = "/dev/shm/indexfuse-robustness-"

# Long enough (tens of seconds in two processes) to be killed in the middle.
LONG_RUN = """
import numpy as np, pandas as pd
from indexfuse_tools import robustness

def main():
    rng = np.random.default_rng(0)
    data = pd.DataFrame(rng.normal(size=(300, 6)), columns=list("abcdef"))
    robustness({"A": ["a", "b", "c"], "B": ["d", "e", "f"]}, data, n=4096, scheduler=2, progress=False)

if __name__ == "__main__":
    main()
"""

UNGUARDED = """
import numpy as np, pandas as pd
from indexfuse_tools import robustness

data = pd.DataFrame(np.random.default_rng(0).normal(size=(30, 4)), columns=list("abcd"))
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


def _segments(pid: int) -> set[str]:
    try:
        maps = Path(f"/proc/{pid}/maps").read_text()
    except (FileNotFoundError, ProcessLookupError):
        return set()
    return {line.split(maxsplit=5)[-1].removesuffix(" (deleted)") for line in maps.splitlines() if SEGMENT in line}


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


@on_linux
def test_a_killed_run_leaves_no_worker_and_no_segment(tmp_path):
    parent = subprocess.Popen([sys.executable, str(_script(tmp_path, LONG_RUN))], stderr=subprocess.DEVNULL)
    children: list[int] = []
    segments: set[str] = set()
    try:
        workers_mapped = lambda: len([pid for pid in _children(parent.pid) if _segments(pid)]) == 2
        assert _wait_for(workers_mapped, 90), "the workers never mapped the shared matrix"
        time.sleep(1)  # the parent unlinks the file once both workers have said so
        children = _children(parent.pid)
        segments = set().union(*(_segments(pid) for pid in children))
        parent.send_signal(signal.SIGKILL)
        parent.wait()
        assert _wait_for(lambda: not any(map(_alive, children)), 5), "workers outlived their parent"
        assert not [path for path in segments if os.path.exists(path)]
    finally:
        parent.kill()
        parent.wait()
        _kill_if_alive(children)
        for path in segments:
            Path(path).unlink(missing_ok=True)


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
        [sys.executable, str(_script(tmp_path, UNGUARDED))], capture_output=True, text=True, timeout=300
    )
    assert finished.returncode != 0
    assert 'under if __name__ == "__main__":' in finished.stderr
    # Each worker says it in one line; the caller's own traceback ends with the same advice.
    assert "An attempt has been made to start a new process" not in finished.stderr
    assert finished.stderr.count("Traceback") <= 1
    assert len(finished.stderr.splitlines()) < 30


class _Acknowledgements:
    """A semaphore the test releases by hand."""

    def __init__(self) -> None:
        self.semaphore = threading.Semaphore(0)

    def acquire(self, timeout: float) -> bool:
        return self.semaphore.acquire(timeout=timeout)


@pytest.mark.parametrize("mapped, tasks_end", [(2, False), (1, True)], ids=["every-worker-mapped", "tasks-ended"])
def test_the_shared_file_is_unlinked_once_no_worker_can_still_need_it(tmp_path, mapped, tasks_end):
    path = tmp_path / "segment"
    path.write_bytes(b"\0" * 8)
    acknowledgements = _Acknowledgements()
    futures: set[concurrent.futures.Future] = {concurrent.futures.Future() for _ in range(3)}

    def workers_report() -> None:
        time.sleep(0.3)
        assert path.exists()  # not before
        for _ in range(mapped):
            acknowledgements.semaphore.release()
        if tasks_end:
            for future in futures:
                future.set_result(None)

    reporter = threading.Thread(target=workers_report)
    reporter.start()
    _unlink_once_mapped(str(path), acknowledgements, 2, futures)
    reporter.join()
    assert not path.exists()
