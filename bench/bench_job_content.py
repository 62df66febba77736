"""Job content of a DunmereAnalysis against the plain b64encode().decode() path.

Prints, for 1 MiB and 64 MiB inputs, the best time of several runs and the peak memory
allocated above the input (tracemalloc), for both paths, and their ratios. The module makes
the same calls, so expect the same figures: a peak about 2.7 times the input (the encoded
bytes, then the str decoded from them) and a time ratio near 1.
"""
import base64
import os
import time
import tracemalloc
from io import BytesIO

from zelmar.external.dunmere import DunmereAnalysis

MiB = 1 << 20


def plain(data: bytes) -> str:
    return base64.b64encode(data).decode("utf-8")


def module(data: bytes) -> str:
    return DunmereAnalysis(BytesIO(data))._generate_job_content().body


def best_time(function, data, runs):
    best = float("inf")
    for _ in range(runs):
        started = time.perf_counter()
        function(data)
        best = min(best, time.perf_counter() - started)
    return best


def peak_above_input(function, data):
    tracemalloc.start()
    tracemalloc.reset_peak()
    base = tracemalloc.get_traced_memory()[0]
    result = function(data)
    peak = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()
    del result
    return peak


def main():
    print(f"{'input':>8} {'path':>7} {'time ms':>9} {'peak MiB':>9} {'peak/input':>10}")
    for size, runs in [(MiB, 50), (64 * MiB, 5)]:
        data = os.urandom(size)
        assert module(data) == plain(data)
        rows = {}
        for name, function in [("plain", plain), ("module", module)]:
            seconds = best_time(function, data, runs)
            peak = peak_above_input(function, data)
            rows[name] = (seconds, peak)
            print(f"{size // MiB:>6}Mi {name:>7} {seconds * 1e3:>9.2f} {peak / MiB:>9.1f} {peak / size:>10.2f}")
        time_ratio = rows["module"][0] / rows["plain"][0]
        print(f"{size // MiB:>6}Mi  module/plain: time {time_ratio:.2f}, "
              f"peak above input {rows['module'][1] / size:.2f} x input (b64encode().decode(): about 2.7)")


if __name__ == "__main__":
    main()
