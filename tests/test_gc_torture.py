"""Garbage-collection torture of every function, each in a child interpreter
so that a crash is reported as a failure of its own test."""

import json

import pytest
from support import SCALE, run_child

# ------------------------------------------------------------ GC torture

# One child per function. Each case runs first with no torture (the expected
# outcome), then under torture: a collection at every tracked allocation, a
# gc callback that reads every young list and dict (a half-built container
# crashes it) and re-enters the module, and a supply of cyclic garbage whose
# finalizer mutates the inputs once, after a chosen number of collections.
# With no mutation the outcome must be exactly the expected one; with one,
# any result or a clean ordinary exception will do.
TORTURE_CHILD = r"""
import gc, random
import _vesk
FN, FUSES = sys.argv[1], int(sys.argv[2])
fn = getattr(_vesk, FN)

KEEP = []  # what Python code called by a function allocates stays alive,
            # so every such call is followed by a collection

class Obj:
    def __init__(self, v): self.v = v
    def __lt__(self, o): KEEP.append(Obj(0)); return self.v < getattr(o, 'v', 0)
    def __eq__(self, o): KEEP.append(Obj(0)); return isinstance(o, Obj) and self.v == o.v
    def __repr__(self): return f'O({self.v})'
    __hash__ = None

class Num(Obj):
    def __index__(self): KEEP.append(Obj(0)); return self.v

class Flt(Obj):
    def __float__(self): KEEP.append(Obj(0)); return self.v / 2

class Lookup(dict):
    def __missing__(self, key): KEEP.append(Obj(0)); return key

class Seq:
    def __init__(self, *names): self.names = names
    def __len__(self): return len(self.names)
    def __getitem__(self, i): KEEP.append(Obj(0)); return self.names[i]
    def __repr__(self): return f'Seq{self.names}'

def mixed(i):
    return [i, 2.5 * i, str(i), None, Obj(i), [i], '\ud800', Num(i), Flt(i), -i][i % 10]

def rows(n, make=dict):
    return [make(id=i, a=mixed(i), **({'b': i % 3} if i % 3 else {})) for i in range(n)]

TEXTS = ['1,200m', '(1)', '  -3.5e2 ', 'x', '\u00bd and 1\u00bc', 'someCamelCase_and_more',
         '\ud800', '']
CASES = {
    'parse': [lambda t=t: (t,) for t in TEXTS],
    'normalize_numeric_str': [lambda t=t: (t,) for t in TEXTS],
    'sanitize_vulgar_string': [lambda t=t: (t,) for t in TEXTS],
    'uncamel': [lambda t=t: (t,) for t in TEXTS],
    'underscore_to_camelcase': [lambda t=t: (t,) for t in TEXTS],
    'collapse': [
        lambda: ([1, [2, (3, [4, {'a': 1}])]], (5, [6])),
        lambda: ([[Obj(i), (i, [i])] for i in range(30)],),
        lambda: (rows(5), [[], ()], ()),
    ],
    'backfill': [
        lambda: ([None, None, 1, Obj(2), None, 'x', None] * 5,),
        lambda: ([None] * 10,),
        lambda: ([[i] if i % 3 else None for i in range(40)],),
    ],
    'backfill_iterdict': [
        lambda: ([{'a': 1, 'b': None}, {'a': 4, 'b': 2}, {'a': None, 'b': None}] * 4,),
        lambda: ([{'k%d' % (i % 5): (None if i % 2 else [i]), 'z': None} for i in range(30)],),
        lambda: ([{'a': 1}, Lookup(a=None), {'a': None, 'b': Obj(1)}, 5],),
        lambda: ([{'a': None}, {'\ud800': 1}],),
    ],
    'same_order': [
        lambda: (['x', 'y', 'z'], ['x', 'a', 'b', 'y', 'd', 'z']),
        lambda: ([Obj(i) for i in range(0, 20, 2)], [Obj(i) for i in range(20)]),
        lambda: ([[i] for i in range(5)], [[i] for i in range(8)][::-1]),
    ],
    'multikeysort': [
        lambda: (rows(30), ['a', '-id'], False),
        lambda: (rows(30), ('-b', 'a'), True),
        lambda: (rows(8), Seq('b', '-a'), True),
        lambda: (rows(25, Lookup), ['zz', 'a', 'b'], False),
        lambda: ([{'\ud800': 0, **{'k%d' % i: i for i in range(40)}}], 'zz', False),
        lambda: ([{'\ud800': 0, **{'k%d' % i: i for i in range(40)}}] * 3 + rows(3), 'zz', False),
        lambda: ([Obj(i) for i in range(5)] + rows(22), 'b', True),
    ],
}

REENTRY = [
    (lambda: _vesk.collapse([1, [2]]), [1, 2]),
    (lambda: _vesk.parse('1'), 1),
    (lambda: _vesk.multikeysort([{'a': 2}, {'a': 1}], 'a'), [{'a': 1}, {'a': 2}]),
    (lambda: _vesk.backfill([None, 1]), [1, 1]),
    (lambda: _vesk.backfill_iterdict([{'a': None}, {'a': 1}]), [{'a': 1}, {'a': 1}]),
    (lambda: _vesk.same_order([1], [0, 1]), True),
    (lambda: _vesk.uncamel('aB'), 'a_b'),
    (lambda: _vesk.underscore_to_camelcase('a_b'), 'aB'),
    (lambda: _vesk.sanitize_vulgar_string('\u00bd'), '0.5'),
    (lambda: _vesk.normalize_numeric_str('(1)'), '-1'),
]

state = dict(fuse=0, fired=False, targets=[], collections=0, choice=(0, 0), on=False, args=None)
problems = []

def containers(obj, path, found, seen):
    # Paths, not the containers: holding them would keep freed items alive.
    if id(obj) in seen: return
    seen.add(id(obj))
    if isinstance(obj, (list, dict)): found.append(path)
    if isinstance(obj, (list, tuple)):
        for i, x in enumerate(obj): containers(x, path + (i,), found, seen)
    elif isinstance(obj, dict):
        for k, x in obj.items(): containers(x, path + (k,), found, seen)

def mutate():
    state['fired'] = True
    paths, (which, op) = state['targets'], state['choice']
    if not paths: return
    t = state['args']
    try:
        for step in paths[which % len(paths)]: t = t[step]
    except (IndexError, KeyError, TypeError):
        return
    if isinstance(t, list):
        if op == 0: t.clear()
        elif op == 1 and t: t.pop()
        elif op == 2: t.append({'a': None, 'id': Obj(-1)})
        elif op == 3: t.reverse()
        elif op == 4 and t: t[which % len(t)] = {'z': Obj(-2)}
        elif t: del t[0]
    elif isinstance(t, dict):
        if op < 2: t.clear()
        elif op == 2: t['a'] = Obj(7)
        elif op == 3: t['new'] = None
        elif t: t[list(t)[which % len(t)]] = Obj(9) if op == 4 else None

class Fin:
    def __del__(self):
        if state['fuse'] > 0:
            state['fuse'] -= 1
            if state['fuse'] == 0: mutate()

def read(o):
    if isinstance(o, list):
        for x in o: sys.getsizeof(x)
        if len(o) < 4: repr(o)
    elif isinstance(o, dict):
        for k, v in o.items(): sys.getsizeof(k); sys.getsizeof(v)

def callback(phase, info):
    if phase == 'stop':
        f = Fin(); f.me = f  # the next tracked allocation collects again
    if not state['on']: return
    if phase == 'start':
        state['collections'] += 1
        for g in range(info['generation'] + 1):
            for o in gc.get_objects(g): read(o)
        return
    if state['collections'] % 7 == 0:
        call, expected = REENTRY[state['collections'] // 7 % len(REENTRY)]
        if call() != expected: problems.append(('re-entered call', expected))

def outcome(args):
    try: result = fn(*args)
    except Exception as e: return ('raise', type(e).__name__, str(e))
    return ('ok', repr(result), repr(args))

def tortured(args, fuse, choice=(0, 0)):
    found = []
    containers(args, (), found, set())
    # Empty the dict and list free lists, whose reuse counts as no allocation,
    # and leave garbage behind: the call's first tracked allocation collects.
    KEEP.clear()
    drain = [{} for _ in range(100)], [[] for _ in range(100)]
    f = Fin(); f.me = f; del f
    state.update(fuse=fuse, fired=False, targets=found, choice=choice, collections=0, args=args)
    state['on'] = True
    try: got = outcome(args)
    finally: state.update(on=False, args=None)
    del drain
    return got, state['fired'], state['collections']

ALLOWED = {'IndexError', 'ValueError', 'TypeError', 'RuntimeError', 'KeyError',
           'UnicodeEncodeError'}
old = gc.get_threshold()
gc.callbacks.append(callback)
gc.set_threshold(1)
try:
    for c, build in enumerate(CASES[FN]):
        gc.set_threshold(*old)
        expected = outcome(build())
        gc.set_threshold(1)
        print('case', c, 'read-only', file=sys.stderr, flush=True)
        got, _, count = tortured(build(), 0)
        if got != expected: problems.append((c, 'read-only torture', expected, got))
        found = []
        containers(build(), (), found, set())
        # Every (collection, container, mutation) triple, or a sample of them.
        plan = [(k, (p, op)) for k in range(1, count + 3)
                for p in range(max(1, len(found))) for op in range(6)]
        if len(plan) > FUSES: plan = random.Random(c).sample(plan, FUSES)
        for k, choice in plan:
            print('case', c, 'fuse', k, 'mutation', choice, file=sys.stderr, flush=True)
            got, fired, _ = tortured(build(), k, choice)
            if not fired:
                if got != expected: problems.append((c, k, 'untouched', expected, got))
            elif got[0] == 'raise' and got[1] not in ALLOWED:
                problems.append((c, k, 'mutated', got))
finally:
    gc.callbacks.remove(callback)
    gc.set_threshold(*old)
print(json.dumps([repr(p) for p in problems]))
"""


@pytest.mark.parametrize(
    "name",
    [
        "parse",
        "normalize_numeric_str",
        "multikeysort",
        "sanitize_vulgar_string",
        "uncamel",
        "underscore_to_camelcase",
        "collapse",
        "backfill",
        "backfill_iterdict",
        "same_order",
    ],
)
def test_gc_torture(name):
    fuses = max(20, int(300 * SCALE))
    out = run_child("import json\n" + TORTURE_CHILD, name, fuses, timeout=120)
    problems = json.loads(out.splitlines()[-1])
    assert problems == [], "\n".join(problems[:20])
