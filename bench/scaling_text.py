"""Text functions on long texts from several threads, and their short-call cost.

    PYTHONPATH=<build dir> python bench/scaling_text.py

1. Two threads converting two 17 MB texts, against the same two conversions
   one after the other (ratio: threads / sequential; 1.0 means no overlap,
   0.5 is perfect overlap on two cores).
2. A pure-Python loop in one thread while another thread converts 17 MB texts
   back to back, against the loop alone (ratio: its speed / solo speed).
3. Short calls (1M-call medians, ns per call) of the five text functions.
4. The peak-memory rise (high-water RSS delta, in a fresh subprocess) of
   sanitize_vulgar_string on 20M x "½", next to the result's size, with
   re.sub + a callback as the reference.

All figures are medians; timings are never asserted anywhere.
"""

from __future__ import annotations

import gc
import json
import os
import statistics
import subprocess
import sys
import threading
import time
import timeit
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _vesk  # noqa: E402

SIZE = 17_000_000
REPEAT = 5


def texts() -> dict[str, tuple]:
    """Two distinct 17 MB texts per transform, each made for its function."""
    def pair(unit: str, fn):
        n = SIZE // len(unit.encode())
        a, b = unit * n, (unit * n)[::-1][::-1]  # equal, but two objects
        assert a is not b
        fn(a), fn(b)  # warm-up: the UTF-8 forms are made once per str
        return fn, a, b

    return {
        "sanitize_vulgar_string": pair(
            "Mix 4¾ cups and 1 ⅛ tsp of salt, then some plain text here. ",
            _vesk.sanitize_vulgar_string),
        "uncamel": pair("getHTTPResponseCode forSomeValueNow ", _vesk.uncamel),
        "underscore_to_camelcase": pair("foo_bar_baz_quux_some_more_text ",
                                        _vesk.underscore_to_camelcase),
    }


def two_threads(fn, a, b) -> float:
    def sequential():
        fn(a)
        fn(b)

    def threaded():
        ts = [threading.Thread(target=fn, args=(t,)) for t in (a, b)]
        for t in ts:
            t.start()
        for t in ts:
            t.join()

    seq = statistics.median(timeit.repeat(sequential, number=1, repeat=REPEAT))
    par = statistics.median(timeit.repeat(threaded, number=1, repeat=REPEAT))
    return par / seq


def loop_rate(seconds: float = 0.4) -> float:
    """Iterations per second of a plain Python loop."""
    count = 0
    end = time.perf_counter() + seconds
    while True:
        for _ in range(1000):
            count += 1
        if time.perf_counter() >= end:
            return count / seconds


def loop_while_converting(fn, a) -> float:
    solo = statistics.median(loop_rate() for _ in range(REPEAT))
    shared = []
    for _ in range(REPEAT):
        stop = threading.Event()

        def convert():
            while not stop.is_set():
                fn(a)

        worker = threading.Thread(target=convert)
        worker.start()
        time.sleep(0.05)
        shared.append(loop_rate())
        stop.set()
        worker.join()
    return statistics.median(shared) / solo


SHORT = {
    "parse": (_vesk.parse, "1,234.5"),
    "normalize_numeric_str": (_vesk.normalize_numeric_str, "(1,234.56%)"),
    "sanitize_vulgar_string": (_vesk.sanitize_vulgar_string, "4¾ cups"),
    "uncamel": (_vesk.uncamel, "getHTTPResponseCode"),
    "underscore_to_camelcase": (_vesk.underscore_to_camelcase, "foo_bar_baz"),
}


def short_call_ns(fn, arg) -> float:
    runs = timeit.repeat(lambda: fn(arg), number=1_000_000, repeat=REPEAT)
    return statistics.median(runs) * 1e3  # seconds per 1M calls -> ns per call


MEMORY = r"""
import gc, resource, sys
sys.path.insert(0, sys.argv[2])
which = sys.argv[1]

def peak():
    # The high-water mark of this process's own memory: ru_maxrss would start
    # from the parent's size at fork.
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

s = "\u00bd" * 20_000_000
if which == "vesk":
    import _vesk  # the rise includes the str's UTF-8 form (40 MB), made by the call
    fn = _vesk.sanitize_vulgar_string
else:
    from idioms import py_sanitize as fn
gc.collect()
before = peak()
out = fn(s)
after = peak()
print(after - before, len(out))
"""


def memory_rise(which: str) -> tuple[int, int]:
    done = subprocess.run(
        [sys.executable, "-c", MEMORY, which, str(Path(__file__).resolve().parent)],
        capture_output=True, text=True, check=True, env=os.environ)
    rise, size = done.stdout.split()
    return int(rise), int(size)


def main() -> None:
    print(f"python {sys.version.split()[0]}, module {_vesk.__file__}, "
          f"{os.cpu_count()} cores")
    print("\n1. two threads on two 17 MB texts / sequential (median of 5)")
    work = texts()
    for name, (fn, a, b) in work.items():
        print(f"   {name:26s} {two_threads(fn, a, b):5.2f}")
    print("\n2. Python loop speed while another thread converts 17 MB / solo (median of 5)")
    for name, (fn, a, _b) in work.items():
        print(f"   {name:26s} {loop_while_converting(fn, a):5.2f}")
    del work
    gc.collect()
    print("\n3. short calls, ns per call (median of 5 x 1M calls)")
    for name, (fn, arg) in SHORT.items():
        print(f"   {name:26s} {short_call_ns(fn, arg):6.1f}  ({arg!r})")
    print('\n4. peak-memory rise of 20M x "½" (high-water RSS delta, MB; result size in chars)')
    for which in ("vesk", "re.sub"):
        rise, size = memory_rise("vesk" if which == "vesk" else "re")
        print(f"   {which:8s} rise {rise / 1e6:8.1f} MB   result {size / 1e6:6.1f} M chars")
    print(json.dumps({"done": True}))


if __name__ == "__main__":
    main()
