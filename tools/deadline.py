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
the SIGINT handler raises ``Timeout`` while a deadline is running (and
ignores Ctrl-C outside one: an interruption that a watchdog sent just before
its deadline ended may still be on its way).

In the parent, ``lines(pipe, idle)`` yields what a child writes, line by
line, and raises ``Silent`` when nothing has come for ``idle`` seconds.
select() waits on pipes only on POSIX; a thread that reads does it anywhere.
"""
from __future__ import annotations

import _thread
import queue
import signal
import threading
from collections.abc import Iterator
from typing import IO

INTERVAL_TIMERS = hasattr(signal, "setitimer")

_exception: type[BaseException] = TimeoutError
_running: threading.Event | None = None  # the watchdog's current deadline


def _raise(signum, frame):
    if INTERVAL_TIMERS or _running is not None:
        raise _exception()


def arm(exception: type[BaseException]) -> None:
    """Deadlines raise `exception` from now on."""
    global _exception
    _exception = exception
    signal.signal(signal.SIGALRM if INTERVAL_TIMERS else signal.SIGINT, _raise)


class deadline:
    def __init__(self, seconds: float):
        self.seconds = seconds

    def __enter__(self):
        global _running
        if INTERVAL_TIMERS:
            signal.setitimer(signal.ITIMER_REAL, self.seconds, self.seconds)
            return self
        ended = _running = threading.Event()

        def watch():
            while not ended.wait(self.seconds):
                _thread.interrupt_main()

        threading.Thread(target=watch, daemon=True).start()
        return self

    def __exit__(self, *exc):
        global _running
        if INTERVAL_TIMERS:
            signal.setitimer(signal.ITIMER_REAL, 0, 0)
        elif _running is not None:
            _running.set()
            # An interruption already on its way is ignored: _raise sees no deadline.
            _running = None
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
