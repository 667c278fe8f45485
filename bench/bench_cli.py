"""The dump command (`python -m tavro dump|undump`) against xxd, and its start-up.

    python bench/bench_cli.py                      # CPU time of dump and undump of 100 MiB, against xxd
    python bench/bench_cli.py --size 10 --repeat 3 # a smaller file, fewer runs
    python bench/bench_cli.py startup --python PY1 --python PY2
                                                   # python -m tavro dump of an empty file, against
                                                   # python -c pass, for each interpreter given
    python bench/run.py -k cli                     # the two throughput cases in the runner's table

Throughput: 100 MiB of random data is dumped by `python -m tavro dump` and by
`xxd`, and each dump read back by `python -m tavro undump` and `xxd -r`, the
four commands run in turns (rotating which goes first) with their output sent
to /dev/null. The figure is the CPU time of the child process (user + system,
from its resource usage), median of the repeats: on a shared machine CPU time
moves less than the wall clock. Before timing, both round trips are checked to
give the data back. Without xxd (Debian's `xxd` package) the cases skip
themselves: no rows, and a note on standard error.

In bench/run.py the same commands appear as two rows (native: tavro, stdlib:
xxd, target "<= 0.75x xxd"), timed by the runner's wall clock, which for these
single-threaded commands is their CPU time plus any wait for a core.

Start-up: the wall time of `python -m tavro dump EMPTY > /dev/null` and of
`python -c pass`, interleaved, median of the repeats, for each interpreter
(for example one virtual environment with numpy installed and one without).
"""

from __future__ import annotations

import argparse
import atexit
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SIZE_MIB = 100
TARGET = "<= 0.75x xxd"


class Files:
    """The data, its tavro dump and its xxd dump, in a temporary directory removed at exit."""

    def __init__(self, size_mib: int) -> None:
        self.directory = tempfile.mkdtemp(prefix="tavro-bench-cli-")
        atexit.register(shutil.rmtree, self.directory, True)
        self.data = os.path.join(self.directory, "data.bin")
        self.tavro_dump = os.path.join(self.directory, "data.tavro.hex")
        self.xxd_dump = os.path.join(self.directory, "data.xxd.hex")
        rng = random.Random(14)
        with open(self.data, "wb") as sink:
            for _ in range(size_mib):
                sink.write(rng.randbytes(1 << 20))
        for command, path in ((tavro("dump", self.data), self.tavro_dump), (["xxd", self.data], self.xxd_dump)):
            with open(path, "wb") as sink:
                subprocess.run(command, stdout=sink, check=True)
        for command in (tavro("undump", self.tavro_dump), ["xxd", "-r", self.xxd_dump]):
            if not same_as(command, self.data):
                raise RuntimeError(f"{' '.join(command)} does not give the data back")


def tavro(*args: str, python: str | None = None) -> list[str]:
    return [python or sys.executable, "-m", "tavro", *args]


def same_as(command: list[str], path: str) -> bool:
    """Whether `command` writes exactly the bytes of the file `path`."""
    with open(path, "rb") as expected, subprocess.Popen(command, stdout=subprocess.PIPE) as process:
        assert process.stdout is not None
        while True:
            piece = process.stdout.read(1 << 20)
            if piece != expected.read(len(piece)):
                process.kill()
                return False
            if not piece:
                return process.wait() == 0 and expected.read(1) == b""


def cpu_seconds(command: list[str]) -> float:
    """User + system CPU time of one run of `command`, its output discarded."""
    with open(os.devnull, "wb") as sink:
        process = subprocess.Popen(command, stdout=sink)
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} exited with {process.returncode}")
    return usage.ru_utime + usage.ru_stime


def wall_and_cpu_seconds(command: list[str]) -> tuple:
    """(wall time, user + system CPU time) of one run of `command`, its output discarded."""
    with open(os.devnull, "wb") as sink:
        start = time.perf_counter()
        process = subprocess.Popen(command, stdout=sink)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{' '.join(command)} failed")
    return wall, usage.ru_utime + usage.ru_stime


def interleaved(commands: dict, repeat: int, measure) -> dict:
    """Median of `repeat` measurements of each command, taken in turns with a rotating first.

    A measurement that is a tuple gives a tuple of medians.
    """
    samples: dict = {name: [] for name in commands}
    names = list(commands)
    for round_ in range(repeat):
        shift = round_ % len(names)
        for name in names[shift:] + names[:shift]:
            samples[name].append(measure(commands[name]))
    return {name: tuple(map(statistics.median, zip(*values))) if isinstance(values[0], tuple)
            else statistics.median(values) for name, values in samples.items()}


def throughput(size_mib: int, repeat: int) -> int:
    if shutil.which("xxd") is None:
        print("skipped: xxd is not installed (Debian's xxd package)", file=sys.stderr)
        return 0
    files = Files(size_mib)
    commands = {
        "tavro dump": tavro("dump", files.data),
        "xxd": ["xxd", files.data],
        "tavro undump": tavro("undump", files.tavro_dump),
        "xxd -r": ["xxd", "-r", files.xxd_dump],
    }
    times = interleaved(commands, repeat, cpu_seconds)
    print(f"CPU time (user + system), median of {repeat}, {size_mib} MiB of random data, "
          f"{sys.implementation.name} {sys.version.split()[0]}:")
    for ours, theirs in (("tavro dump", "xxd"), ("tavro undump", "xxd -r")):
        ratio = times[ours] / times[theirs]
        print(f"  {ours:<13} {times[ours]:7.3f} s   {theirs:<7} {times[theirs]:7.3f} s   "
              f"ratio {ratio:.3f} (target {TARGET}: {'holds' if ratio <= 0.75 else 'MISSED'})")
    return 0


def startup(pythons: list[str], repeat: int) -> int:
    with tempfile.NamedTemporaryFile(prefix="tavro-empty-") as empty:
        for python in pythons:
            has_numpy = subprocess.run([python, "-c", "import numpy"], capture_output=True).returncode == 0
            commands = {"python -c pass": [python, "-c", "pass"],
                        "python -m tavro dump EMPTY": tavro("dump", empty.name, python=python)}
            for command in commands.values():  # warm the caches (and the .pyc files) first
                wall_and_cpu_seconds(command)
            times = interleaved(commands, repeat, wall_and_cpu_seconds)
            print(f"{python} (numpy {'installed' if has_numpy else 'not installed'}), median of {repeat}:")
            for name, (wall, cpu) in times.items():
                print(f"  {name:<28} wall {wall * 1000:7.1f} ms   CPU {cpu * 1000:7.1f} ms")
            (pass_wall, pass_cpu), (dump_wall, dump_cpu) = times.values()
            print(f"  the empty dump takes {(dump_wall - pass_wall) * 1000:.1f} ms more wall time "
                  f"({(dump_cpu - pass_cpu) * 1000:.1f} ms more CPU time); target: within 60 ms")
    return 0


def one_line_dump(size_mib: int) -> str:
    """A dump of `size_mib` MiB written as one line (--linesize of the whole size), made once."""
    path = os.path.join(tempfile.gettempdir(), f"tavro-bench-one-line-{size_mib}.hex")
    if not os.path.exists(path):
        data = random.Random(size_mib).randbytes(size_mib << 20)
        done = subprocess.run(tavro("dump", "-", "--linesize", str(size_mib << 20)), input=data,
                              stdout=subprocess.PIPE, check=True)
        with open(path + ".part", "wb") as sink:
            sink.write(done.stdout)
        os.replace(path + ".part", path)
    return path


def one_line_cases():
    """undump of a line four times as long must take at most about five times as long (linear reading)."""
    def undump(size_mib):
        def once() -> None:
            subprocess.run(tavro("undump", one_line_dump(size_mib), "--linesize", str(size_mib << 20)),
                           stdout=subprocess.DEVNULL, check=True)
        return once

    return [("python -m tavro undump of a one-line 16 MiB dump (wall clock)", undump(16), None, undump(4),
             "<= 5x the one-line 4 MiB undump")]


def cases():
    """The runner's rows: tavro against xxd, wall-clock times (none when xxd is missing), and
    undump of one long line against one a quarter as long.

    The files are made when a row first runs, not when the runner collects the cases.
    """
    if shutil.which("xxd") is None:
        print("bench_cli: xxd rows skipped, xxd is not installed (Debian's xxd package)", file=sys.stderr)
        return one_line_cases()
    made: list = []

    def run(command):
        def once() -> None:
            if not made:
                made.append(Files(SIZE_MIB))
            files = made[0]
            subprocess.run(command(files), stdout=subprocess.DEVNULL, check=True)
        return once

    return [
        (f"python -m tavro dump {SIZE_MIB} MiB (wall clock)", run(lambda files: tavro("dump", files.data)), None,
         run(lambda files: ["xxd", files.data]), TARGET),
        ("python -m tavro undump of that dump (wall clock)", run(lambda files: tavro("undump", files.tavro_dump)),
         None, run(lambda files: ["xxd", "-r", files.xxd_dump]), TARGET),
    ] + one_line_cases()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python bench/bench_cli.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("what", nargs="?", choices=["throughput", "startup"], default="throughput")
    parser.add_argument("--size", type=int, default=SIZE_MIB, help="MiB of data (default 100)")
    parser.add_argument("--repeat", type=int, default=5, help="runs of each command (default 5; startup 20)")
    parser.add_argument("--python", action="append", default=[],
                        help="interpreter for startup (repeat for several; default this one)")
    args = parser.parse_args(argv)
    if args.what == "startup":
        return startup(args.python or [sys.executable], args.repeat if args.repeat != 5 else 20)
    return throughput(args.size, args.repeat)


if __name__ == "__main__":
    sys.exit(main())
