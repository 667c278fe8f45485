"""Time limits and pipe reading for the test drivers (tools/sweep.py,
tools/hostile.py), the same on every platform.

In a child process, ``arm(Timeout)`` once (from the main thread), then

    with deadline(seconds):
        call()

raises ``Timeout`` in the main thread once ``seconds`` have passed, and again
every ``seconds`` after that until the block ends, at the next point where
the interpreter runs Python code or checks for signals: the same points at
which a signal handler runs. Where the system has interval timers (Linux,
macOS), a SIGALRM timer does it. Elsewhere (Windows) a watchdog thread
interrupts the main thread as Ctrl-C would (``_thread.interrupt_main``), and
the SIGINT handler raises ``Timeout`` when the interruption is for the
deadline that is running (Ctrl-C, and an interruption that was on its way
when its deadline ended, are ignored).

In the parent, ``lines(pipe, idle)`` yields what a child writes, line by
line, and raises ``Silent`` when nothing has come for ``idle`` seconds.
select() waits on pipes only on POSIX; a thread that reads does it anywhere.
"""
from __future__ import annotations

import _thread
import queue
import signal
import threading
import time
from collections.abc import Iterator
from typing import IO

INTERVAL_TIMERS = hasattr(signal, "setitimer")

_exception: type[BaseException] = TimeoutError


class _Watchdog:
    """One thread per process, which looks at the running deadline every
    TICK seconds and interrupts the main thread when it has passed (then
    again each period after). A deadline costs two updates under a lock,
    not a thread of its own."""

    TICK = 0.05

    def __init__(self):
        self.lock = threading.RLock()  # the SIGINT handler may run while the main thread holds it
        self.until: float | None = None
        self.period = 0.0
        self.fired = False  # interrupted for the running deadline, not yet raised
        threading.Thread(target=self.watch, daemon=True).start()

    def watch(self):
        while True:
            time.sleep(self.TICK)
            with self.lock:
                if self.until is None or time.monotonic() < self.until:
                    continue
                self.until += self.period
                self.fired = True
            _thread.interrupt_main()

    def begin(self, seconds: float):
        with self.lock:
            self.until, self.period, self.fired = time.monotonic() + seconds, seconds, False

    def end(self):
        with self.lock:
            self.until, self.fired = None, False

    def take(self) -> bool:
        """Whether an interruption is due to the running deadline (and not to one already ended)."""
        with self.lock:
            fired, self.fired = self.fired, False
            return fired


_watchdog: _Watchdog | None = None


def _raise(signum, frame):
    if INTERVAL_TIMERS or (_watchdog is not None and _watchdog.take()):
        raise _exception()


def arm(exception: type[BaseException]) -> None:
    """Deadlines raise `exception` from now on."""
    global _exception, _watchdog
    _exception = exception
    if INTERVAL_TIMERS:
        signal.signal(signal.SIGALRM, _raise)
    else:
        signal.signal(signal.SIGINT, _raise)
        _watchdog = _watchdog or _Watchdog()


class deadline:
    def __init__(self, seconds: float):
        self.seconds = seconds

    def __enter__(self):
        if INTERVAL_TIMERS:
            signal.setitimer(signal.ITIMER_REAL, self.seconds, self.seconds)
        elif _watchdog is not None:  # not armed: no limit
            _watchdog.begin(self.seconds)
        return self

    def __exit__(self, *exc):
        if INTERVAL_TIMERS:
            signal.setitimer(signal.ITIMER_REAL, 0, 0)
        elif _watchdog is not None:
            _watchdog.end()
        return False


class Silent(Exception):
    """Nothing came from the pipe for the idle time."""


def lines(pipe: IO[str], idle: float) -> Iterator[str]:
    """The lines of a text pipe as they come, until it ends; Silent when none came for `idle` seconds."""
    received: queue.Queue[str | None] = queue.Queue()

    def pump():
        try:
            for line in pipe:
                received.put(line)
        except (OSError, ValueError):  # closed under the reader after a kill
            pass
        received.put(None)

    threading.Thread(target=pump, daemon=True).start()
    while True:
        try:
            line = received.get(timeout=idle)
        except queue.Empty:
            raise Silent() from None
        if line is None:
            return
        yield line
