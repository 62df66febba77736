"""Instructions per call of the modules' operations, beside the same steps in plain Python.

    python bench/icount.py [OPERATION ...]

Each operation of ops.py runs under callgrind N and 2N times, through the compiled modules
and through plain.py; the difference of the two counts, divided by N, is the cost of one
call. It is deterministic for a given build (PYTHONHASHSEED=0), so a change of a few
percent is real. Without valgrind (apt-get install valgrind) the script says so and prints
wall-clock times instead, which vary from run to run. Figures only: nothing passes or fails.
"""
import os
import re
import shutil
import subprocess
import sys
import timeit
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from ops import OPERATIONS  # noqa: E402

CALLS = {"job_content_1MiB": 4, "hub_id_50": 10, "element_group_100": 10}


def instructions(impl, name, n):
    result = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
         os.path.join(HERE, "ops.py"), impl, name, str(n)],
        capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0"})
    found = re.search(r"Collected : (\d+)", result.stderr)
    if result.returncode != 0 or found is None:
        raise RuntimeError(f"{impl} {name}: {result.stderr[-500:]}")
    return int(found.group(1))


def per_call(impl, name):
    n = CALLS.get(name, 200)
    return (instructions(impl, name, 2 * n) - instructions(impl, name, n)) // n


def by_time(impl, name):
    from ops import setup

    op = setup(impl)[name]
    number = max(1, 2000 // CALLS.get(name, 1))
    return min(timeit.repeat(op, number=number, repeat=5)) / number * 1e9


def main(names):
    names = names or list(OPERATIONS)
    counted = shutil.which("valgrind") is not None
    if counted:
        unit = "instructions per call (callgrind)"
        jobs = [(impl, name) for name in names for impl in ("plain", "compiled")]
        with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
            figures = dict(zip(jobs, pool.map(lambda job: per_call(*job), jobs)))
    else:
        print("valgrind is not installed (apt-get install valgrind): wall-clock times instead, which vary between runs")
        unit = "nanoseconds per call (best of 5)"
        figures = {(impl, name): by_time(impl, name) for name in names for impl in ("plain", "compiled")}
    print(f"\n{unit}")
    print(f"{'operation':26} {'plain Python':>14} {'compiled':>12} {'ratio':>7}  what")
    for name in names:
        plain, compiled = figures["plain", name], figures["compiled", name]
        ratio = f"{compiled / plain:7.2f}" if plain else "      -"
        print(f"{name:26} {plain:>14,.0f} {compiled:>12,.0f} {ratio}  {OPERATIONS[name]}")


if __name__ == "__main__":
    main(sys.argv[1:])
