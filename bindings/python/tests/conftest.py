"""Simulated indicators for the binding tests: each one a pesmo6-testsim
process (PESMO6_TESTSIM, default build/pesmo6-testsim) that prints where it
serves ("device PATH" or "converter ADDRESS ready") and stops when its
standard input closes."""
from __future__ import annotations

import os
import subprocess
import time
from pathlib import Path
from typing import Callable, Iterator, List

import pytest

ROOT = Path(__file__).resolve().parents[3]
TESTSIM = os.environ.get("PESMO6_TESTSIM", str(ROOT / "build" / "pesmo6-testsim"))


def queued(pid: str = "self") -> float:
    """Seconds the threads of a process (this one by default) have waited for
    a core: the machine's load, not the library's waits."""
    total = 0
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return 0.0
    for tid in tids:
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[1])
        except (OSError, IndexError, ValueError):
            pass
    return total / 1e9


class Stopwatch:
    """Wall time of a stretch, and that less the time this process and the
    given ones waited for a core: upper bounds hold on a loaded machine and
    keep their strength on an idle one."""

    def __init__(self, *pids: int) -> None:
        self.pids = ("self",) + tuple(str(p) for p in pids)
        self.queued0 = self.queued()
        self.t0 = time.monotonic()

    def queued(self) -> float:
        return sum(queued(p) for p in self.pids)

    def own(self) -> float:
        wall = time.monotonic() - self.t0
        return max(0.0, wall - max(0.0, self.queued() - self.queued0))


class Sim:
    def __init__(self, args: List[str]) -> None:
        self.proc = subprocess.Popen([TESTSIM, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True)
        assert self.proc.stdout is not None
        first = self.proc.stdout.readline().split()
        if len(first) < 2:
            self.stop()
            raise RuntimeError(f"pesmo6-testsim {' '.join(args)} did not start")
        self.kind, self.where = first[0], first[1]

    def ask(self, command: str) -> str:
        """A command line for the simulator and its one-line answer."""
        assert self.proc.stdin is not None and self.proc.stdout is not None
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().strip()

    def stop(self) -> None:
        if self.proc.stdin:
            self.proc.stdin.close()
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture
def sim() -> Iterator[Callable[..., Sim]]:
    started: List[Sim] = []

    def start(*args: str) -> Sim:
        s = Sim(list(args))
        started.append(s)
        return s

    yield start
    for s in started:
        s.stop()


@pytest.fixture(autouse=True)
def quiet_library() -> Iterator[None]:
    """No hook or log left behind by a test."""
    yield
    import pesmo6
    pesmo6.set_events(None)
    pesmo6.set_log(None)
