"""The test drivers' time limits and pipe reading (tools/deadline.py), in both
of their ways: the interval timer of POSIX systems and the watchdog thread
that stands in for it elsewhere (Windows), which runs on every platform."""

import os
import subprocess
import sys
import textwrap

import pytest

import deadline

TOOLS = os.path.dirname(os.path.abspath(deadline.__file__))
MODES = [
    pytest.param("timer", marks=pytest.mark.skipif(not deadline.INTERVAL_TIMERS,
                                                   reason=f"no interval timers on {sys.platform}")),
    "watchdog",
]

# A child that arms the deadlines in the chosen way, then runs `body`.
PRELUDE = """
import sys, time
sys.path.insert(0, {tools!r})
import deadline
deadline.INTERVAL_TIMERS = {timer}

class Late(BaseException):
    pass

deadline.arm(Late)

def spin(seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        pass
"""


def run_child(mode, body):
    source = PRELUDE.format(tools=TOOLS, timer=mode == "timer") + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


@pytest.mark.parametrize("mode", MODES)
def test_a_block_that_runs_too_long_is_interrupted_and_again_if_it_goes_on(mode):
    assert run_child(mode, """
        begin = time.monotonic()
        timeouts = []
        try:
            with deadline.deadline(0.2):
                for _ in range(2):
                    try:
                        spin(30)
                    except Late:
                        timeouts.append(time.monotonic() - begin)
                spin(30)
        except Late:
            pass
        print(len(timeouts), all(0.15 < t < 10 for t in timeouts), time.monotonic() - begin < 20)
    """) == ["2", "True", "True"]


@pytest.mark.parametrize("mode", MODES)
def test_nothing_is_raised_after_a_block_that_ended_in_time(mode):
    assert run_child(mode, """
        for _ in range(50):
            with deadline.deadline(0.01):
                pass
        spin(0.5)
        print("quiet")
    """) == ["quiet"]


def test_ctrl_c_outside_a_deadline_does_not_stop_a_watchdog_child():
    assert run_child("watchdog", """
        import _thread
        _thread.interrupt_main()
        spin(0.2)
        print("went-on")
    """) == ["went-on"]


def test_lines_come_as_written_and_silence_is_reported():
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import sys, time
        print("one"); print("two"); sys.stdout.flush()
        time.sleep(60)
    """)], stdout=subprocess.PIPE, text=True)
    try:
        received = []
        with pytest.raises(deadline.Silent):
            for line in deadline.lines(child.stdout, 2.0):
                received.append(line)
        assert received == ["one\n", "two\n"]
    finally:
        child.kill()
        child.wait()


def test_lines_end_with_the_pipe():
    child = subprocess.Popen([sys.executable, "-c", "print('only')"], stdout=subprocess.PIPE, text=True)
    assert list(deadline.lines(child.stdout, 60.0)) == ["only\n"]
    child.wait()
