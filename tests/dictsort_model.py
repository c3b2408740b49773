"""A slow twin of the native ordering: the same value kinds, the same comparison
table and the very same sort algorithm (insertion sort up to 20 rows, else a
top-down merge sort over insertion-sorted runs of up to 20 that skips a merge
whose halves are already in order). Because it makes the same comparisons in
the same order, it matches even where the answers contradict each other.
"""

MISSING, INT, FLOAT, TEXT, OBJECT = range(5)
RUN = 20


def model_value(item, name):
    try:
        value = item[name]
    except Exception:
        return (MISSING, None)
    if value is None:
        return (MISSING, None)
    if isinstance(value, int):
        if -(2**63) <= value < 2**63:
            return (INT, int(value))
        try:
            return (FLOAT, float(value))
        except OverflowError:
            return (OBJECT, value)
    if isinstance(value, float):
        return (FLOAT, float(value))
    if isinstance(value, str):
        try:
            value.encode()
            return (TEXT, str(value))
        except UnicodeEncodeError:
            return (OBJECT, value)
    return (OBJECT, value)


def python_order(x, y):
    try:
        if x < y:
            return -1
    except Exception:
        return 0
    try:
        return 1 if x > y else 0
    except Exception:
        return 0


def model_compare(a, b):
    (ka, va), (kb, vb) = a, b
    if ka == MISSING or kb == MISSING:
        return (ka != MISSING) - (kb != MISSING)
    if ka in (INT, FLOAT) and kb in (INT, FLOAT):
        if ka == kb == INT:
            return (va > vb) - (va < vb)
        x, y = float(va), float(vb)
        return -1 if x < y else 1 if x > y else 0
    if ka == kb == TEXT:
        x, y = va.encode(), vb.encode()
        return (x > y) - (x < y)
    return python_order(va, vb)


def model_columns(columns, items):
    if columns is None:
        return []
    texts = [columns] if isinstance(columns, str) else [c for c in columns if isinstance(c, str)]
    parsed = [(t[1:], True) if t.startswith("-") else (t, False) for t in texts]
    keys = {k for item in items if isinstance(item, dict) for k in item if isinstance(k, str)}
    return [c for c in parsed if c[0] in keys]


def model_sort(items, columns):
    """Sorted positions of `items`."""
    cols = model_columns(columns, items)
    if not cols:
        return list(range(len(items)))
    rows = [[model_value(item, name) for name, _ in cols] for item in items]

    def precedes(i, j):
        for (_, descending), a, b in zip(cols, rows[i], rows[j]):
            c = model_compare(a, b)
            if c:
                return (c > 0) if descending else (c < 0)
        return False

    order = list(range(len(items)))
    insertion = _insertion(order, precedes)
    if len(order) <= RUN:
        insertion(0, len(order))
    else:
        _merge_sort(order, precedes, insertion, 0, len(order))
    return order


def _insertion(a, precedes):
    def run(lo, count):
        for i in range(lo + 1, lo + count):
            moving, hole = a[i], i
            while hole > lo and precedes(moving, a[hole - 1]):
                a[hole] = a[hole - 1]
                hole -= 1
            a[hole] = moving

    return run


def _merge_sort(a, precedes, insertion, lo, count):
    if count <= RUN:
        insertion(lo, count)
        return
    left = count // 2
    _merge_sort(a, precedes, insertion, lo, left)
    _merge_sort(a, precedes, insertion, lo + left, count - left)
    mid, end = lo + left, lo + count
    if not precedes(a[mid], a[mid - 1]):
        return
    buf, i, j, out = a[lo:mid], 0, mid, lo
    while i < left and j < end:
        if precedes(a[j], buf[i]):
            a[out], j = a[j], j + 1
        else:
            a[out], i = buf[i], i + 1
        out += 1
    a[out : out + left - i] = buf[i:]
