"""What the test files share: where the repository and its Unicode data are,
the hostile objects that fight back from inside a call, the leak
measurements, and a child interpreter for what may crash.

Each family's test file keeps its own behaviour and model tests; only what
two or more of them need lives here.
"""

from __future__ import annotations

import functools
import gc
import os
import subprocess
import sys
import sysconfig
import textwrap
from dataclasses import dataclass, field
from pathlib import Path

import pytest

# ------------------------------------------------------------------ places

REPO = Path(__file__).resolve().parent.parent

# Loaded by the sanitizer run (the ASan runtime is preloaded into the
# interpreter). Memory figures mean nothing there, and everything is slower.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

# A free-threaded interpreter (3.13t and later), whether or not its GIL is on.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

# ------------------------------------------------------------------ Unicode data
# The one place the tests read Unicode data from: the UCD 17.0.0 files bundled
# in data/ucd/17.0.0 (the same files tools/gen_unicode_tables.py generates the
# module's tables from). A missing file is an error, never a reason to skip:
# without the data the case and fraction tests would check nothing.
#
# Python's own str.lower()/str.upper() follow the interpreter's Unicode
# version, not the one the module's tables are generated from, so the tests
# compare against this instead. It is written independently of the generator
# on purpose: a misreading of the files in one is not repeated in the other.

UCD_DIR = REPO / "data" / "ucd" / "17.0.0"
UCD_FILES = ("UnicodeData.txt", "SpecialCasing.txt", "PropList.txt")
LIMIT = 0x20000  # no case mapping from here on


def ucd_path(name: str) -> Path:
    if name not in UCD_FILES:
        raise ValueError(f"not a bundled UCD file: {name}")
    found = UCD_DIR / name
    if not found.is_file():
        raise FileNotFoundError(f"{found} is missing: the Unicode data belongs to the repository")
    return found


def ucd_lines(name: str) -> list[str]:
    return ucd_path(name).read_text(encoding="utf-8").splitlines()


@dataclass
class Ucd:
    uppercase: set[int] = field(default_factory=set)
    lowercase: set[int] = field(default_factory=set)
    white_space: set[int] = field(default_factory=set)
    digits: dict[int, int] = field(default_factory=dict)
    lower: dict[int, str] = field(default_factory=dict)  # full mappings, as text
    upper: dict[int, str] = field(default_factory=dict)

    def to_lower(self, ch: str) -> str:
        return self.lower.get(ord(ch), ch)

    def to_upper(self, ch: str) -> str:
        return self.upper.get(ord(ch), ch)


def _chars(hex_field: str) -> str:
    return "".join(chr(int(h, 16)) for h in hex_field.split())


def _code_points(column: str) -> range:
    lo, _, hi = column.strip().partition("..")
    return range(int(lo, 16), int(hi or lo, 16) + 1)


@functools.cache
def load_ucd() -> Ucd:
    ucd = Ucd()
    rows = [line.split(";") for line in ucd_lines("UnicodeData.txt") if line]
    for number, row in enumerate(rows):
        if row[1].endswith("Last>"):
            continue  # handled with its First line
        cps = _code_points(row[0])
        if row[1].endswith("First>"):
            cps = range(cps.start, int(rows[number + 1][0], 16) + 1)
        for cp in cps:
            if row[2] == "Lu":
                ucd.uppercase.add(cp)
            if row[2] == "Ll":
                ucd.lowercase.add(cp)
            if row[2] == "Nd":
                ucd.digits[cp] = int(row[6])
            if row[12] and cp < LIMIT:
                ucd.upper[cp] = _chars(row[12])
            if row[13] and cp < LIMIT:
                ucd.lower[cp] = _chars(row[13])

    props = {
        "Other_Uppercase": ucd.uppercase,
        "Other_Lowercase": ucd.lowercase,
        "White_Space": ucd.white_space,
    }
    for line in ucd_lines("PropList.txt"):
        data = line.partition("#")[0]
        if ";" in data:
            cps, prop = data.split(";")
            if prop.strip() in props:
                props[prop.strip()].update(_code_points(cps))

    for line in ucd_lines("SpecialCasing.txt"):
        data = [f.strip() for f in line.partition("#")[0].split(";")]
        if len(data) < 4:
            continue
        condition = data[4] if len(data) > 4 else ""
        if condition:
            continue  # locale and context rules are not used
        cp = int(data[0], 16)
        ucd.lower[cp] = _chars(data[1])
        ucd.upper[cp] = _chars(data[3])
    return ucd


def white_space() -> str:
    """The White_Space characters, in code point order."""
    return "".join(map(chr, sorted(load_ucd().white_space)))


def digit_values() -> dict[str, int]:
    """Every decimal digit (general category Nd) and its value."""
    return {chr(cp): value for cp, value in sorted(load_ucd().digits.items())}


# ------------------------------------------------------------------ hostile objects


def _raise(error):
    """Raises `error`: an exception instance as it is, or what a factory makes."""
    raise error() if callable(error) else error


class Token:
    """A plain object that supports weak references and has no ordering."""

    __slots__ = ("__weakref__", "n")

    def __init__(self, n=0):
        self.n = n


class EqRaises(Token):
    """Its equality raises `error` (an instance, or a factory for a fresh one each time)."""

    __slots__ = ("error",)
    __hash__ = Token.__hash__

    def __init__(self, error=lambda: ArithmeticError("eq failed")):
        super().__init__()
        self.error = error

    def __eq__(self, other):
        _raise(self.error)


class BoolRaises:
    """An answer whose truth raises `error` (an instance, or a factory)."""

    def __init__(self, error=lambda: ZeroDivisionError("no truth")):
        self.error = error

    def __bool__(self):
        _raise(self.error)


class EqGivesBoolRaises(Token):
    """Its equality answers with a BoolRaises(`error`)."""

    __slots__ = ("error",)
    __hash__ = Token.__hash__

    def __init__(self, error=lambda: ZeroDivisionError("no truth")):
        super().__init__()
        self.error = error

    def __eq__(self, other):
        return BoolRaises(self.error)


class LtRaises(Token):
    __slots__ = ()

    def __lt__(self, other):
        raise RuntimeError("lt failed")

    def __gt__(self, other):
        raise RuntimeError("gt failed")


class NumberRaises(Token):
    """Refuses both numeric conversions, so it ends up an opaque object."""

    __slots__ = ()

    def __index__(self):
        raise OverflowError("index failed")

    def __float__(self):
        raise OverflowError("float failed")


class Hook:
    """An element whose comparisons run `action(self, other)` first."""

    __slots__ = ("v", "action", "__weakref__")

    def __init__(self, v, action=None):
        self.v = v
        self.action = action

    def _run(self, other):
        if self.action is not None:
            self.action(self, other)

    def __eq__(self, other):
        self._run(other)
        return isinstance(other, Hook) and self.v == other.v

    def __lt__(self, other):
        self._run(other)
        return self.v < other.v

    def __gt__(self, other):
        self._run(other)
        return self.v > other.v

    __hash__ = object.__hash__

    def __repr__(self):
        return f"Hook({self.v})"


def once(action):
    """`action` on the first call only."""
    done = []

    def wrapped(*args):
        if not done:
            done.append(True)
            action(*args)

    return wrapped


class Lookup(dict):
    """A row whose lookups (an overridden __getitem__) run `action(key)` first."""

    def __init__(self, action, **values):
        super().__init__(values)
        self.action = action

    def __getitem__(self, key):
        self.action(key)
        return super().__getitem__(key)


class Missing(dict):
    """A row whose lookup of an absent key (only __missing__ is overridden)
    answers with `action(key)`, or fails with what it raises."""

    def __init__(self, action, **values):
        super().__init__(values)
        self.action = action

    def __missing__(self, key):
        return self.action(key)


class SequenceTraps:
    """Mixed into a list or tuple subclass: its overridden access fails the test."""

    def __len__(self):
        raise AssertionError("__len__ called")

    def __getitem__(self, index):
        raise AssertionError("__getitem__ called")

    def __iter__(self):
        raise AssertionError("__iter__ called")


class Trap(SequenceTraps, list):
    pass


class TrapTuple(SequenceTraps, tuple):
    pass


class TrapDict(dict):
    def keys(self):
        raise AssertionError("keys called")

    def items(self):
        raise AssertionError("items called")

    def __iter__(self):
        raise AssertionError("__iter__ called")

    def __getitem__(self, key):
        raise AssertionError("__getitem__ called")


def same_objects(result, expected):
    """The same objects, by identity, in the same order."""
    return len(result) == len(expected) and all(x is y for x, y in zip(result, expected))


# ------------------------------------------------------------------ leaks

ROUNDS = 4000
WARMUP = 300
# Free lists, method caches and the like settle within this, far below the
# thousand blocks or more that one leaked object a call gives in the fewest
# rounds measured (1000). A free-threaded interpreter's count wanders further
# (its allocator keeps pages per thread), and so does a test process that has
# run other tests before (pytest-xdist), though not in proportion to the
# calls, as a leak would.
BLOCK_SLACK = 300 if FREE_THREADED else 200
RSS_SLACK = 2 * 1024 * 1024
PAGE = os.sysconf("SC_PAGE_SIZE") if hasattr(os, "sysconf") else 4096  # none on Windows


def resident_bytes():
    # Only Linux has /proc: elsewhere the leak checks count blocks alone.
    if not sys.platform.startswith("linux"):
        return 0
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def settle():
    """Collects garbage until the blocks of collected objects are freed too: a
    free-threaded interpreter frees some of them (list item arrays) only at a
    later collection."""
    for _ in range(3 if FREE_THREADED else 1):
        gc.collect()


def growth(call, rounds=ROUNDS):
    """Blocks and resident bytes gained by `rounds` further calls after a warm-up."""
    for _ in range(WARMUP):
        call()
    settle()
    blocks, rss = sys.getallocatedblocks(), resident_bytes()
    for _ in range(rounds):
        call()
    settle()
    return sys.getallocatedblocks() - blocks, resident_bytes() - rss


def expecting(exc_type, message, fn, *args, **kwargs):
    """A call that must raise exactly `exc_type(message)`; checked once up front."""
    try:
        fn(*args, **kwargs)
    except BaseException as error:
        assert type(error) is exc_type, repr(error)
        assert str(error) == message
    else:
        pytest.fail(f"{fn.__name__} did not raise {exc_type.__name__}")

    def call():
        try:
            fn(*args, **kwargs)
        except exc_type:
            pass

    return call


def succeeding(fn, *args, **kwargs):
    fn(*args, **kwargs)  # must not raise
    return lambda: fn(*args, **kwargs)


def refcounts(objects):
    return [sys.getrefcount(x) for x in objects]


def keeps_refcounts(call, *watched, times=1000):
    """Whether `times` calls leave the reference counts of `watched` as they were."""
    before = refcounts(watched)
    for _ in range(times):
        call()
    return refcounts(watched) == before


def examples(count):
    """A property's example count, `count` under the default profile and cut
    in the same proportion as the lighter profiles that the other interpreters
    and the sanitizer run load (a count set on a test overrides the profile's)."""
    from hypothesis import settings

    return max(10, count * settings.default.max_examples // 100)


# ------------------------------------------------------------------ child interpreters

SCALE = 0.2 if SANITIZED else 1.0  # iteration counts and sizes under ASan
# Linux only (macOS does not enforce RLIMIT_AS, Windows has no resource module):
# 1.5 GiB more than the child has mapped at its start (a free-threaded build's
# allocator reserves about 1 GiB of address space up front).
MEMORY_CAP = (
    ""
    if SANITIZED or not sys.platform.startswith("linux")
    else (
        "import resource\n"
        "with open('/proc/self/status') as _status:\n"
        "    _mapped = next(int(l.split()[1]) for l in _status if l.startswith('VmSize')) << 10\n"
        "resource.setrlimit(resource.RLIMIT_AS, (_mapped + (3 << 29), _mapped + (3 << 29)))\n"
    )
)


# What some children use that Windows lacks: POSIX signals and timers.
POSIX_ONLY = ("SIGALRM", "setitimer", "pthread_kill", "import resource")


def run_child(code, *argv, timeout=20, capped=True):
    """Runs `code` in a fresh isolated interpreter; a crash or a hang is a failure.
    `capped`: with the address space limited (MEMORY_CAP)."""
    if sys.platform == "win32" and any(name in code for name in POSIX_ONLY):
        pytest.skip("the child needs POSIX signals or resource limits")
    # Children put the test run's path first (as it is now, with the build
    # directory that conftest adds), so they import the same _vesk.
    prelude = f"import sys\nsys.path[:0] = {sys.path!r}\n"
    # Not -I: that would drop PYTHONMALLOC=malloc, which lets ASan see freed objects.
    command = [
        sys.executable,
        "-s",
        "-S",
        "-X",
        "faulthandler",
        "-c",
        prelude + (MEMORY_CAP if capped else "") + textwrap.dedent(code),
        *map(str, argv),
    ]
    try:
        proc = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as hung:
        err = (
            hung.stderr.decode(errors="replace") if isinstance(hung.stderr, bytes) else hung.stderr
        )
        pytest.fail(f"hung: no end within {timeout} s\n{(err or '')[-3000:]}")
    if proc.returncode != 0:
        how = f"signal {-proc.returncode}" if proc.returncode < 0 else f"exit {proc.returncode}"
        lines = proc.stderr.splitlines()
        progress = [line for line in lines if line.startswith("case ")][-1:]
        report = "\n".join(
            progress + [line for line in lines if not line.startswith("case ")][-60:]
        )
        pytest.fail(f"child ended with {how}\n{proc.stdout[-2000:]}\n{report}")
    return proc.stdout
