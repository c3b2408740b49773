"""The comparison's outputs: a table on the terminal, a CSV, a Markdown page and a plot."""

from __future__ import annotations

import csv
import math
import os
import platform
import sys
from pathlib import Path

from runner import ANCHOR_TARGET, IDIOM_IN_C, IDIOM_TARGET, PEER_DISTRIBUTIONS, Row


def machine() -> str:
    model = platform.processor() or platform.machine()
    try:
        info = {
            key.strip(): value.strip()
            for key, _, value in (
                line.partition(":") for line in Path("/proc/cpuinfo").read_text().splitlines()
            )
            if value
        }
        model = info.get("model name", model)
        if "cpu family" in info:
            model += f" (family {info['cpu family']}, model {info.get('model', '?')})"
    except OSError:
        pass
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return (
        f"{model}, {cores} cores, "
        f"Python {platform.python_version()} ({platform.python_implementation()})"
    )


def versions() -> str:
    from importlib.metadata import PackageNotFoundError, version

    out = []
    for dist in PEER_DISTRIBUTIONS:
        try:
            out.append(f"{dist} {version(dist)}")
        except PackageNotFoundError:
            out.append(f"{dist} (not installed)")
    return ", ".join(out)


def fmt_time(seconds: float) -> str:
    if math.isnan(seconds):
        return "-"
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e6:.1f} us"


def fmt_speedup(x: float) -> str:
    if math.isnan(x):
        return "-"
    return f"{x:.3g}x" if x < 100 else f"{x:.0f}x"


def target_text(target: float | None) -> str:
    if target is None:
        return ""
    return f">= {target:.2f}x" if target < 1 else f">= {target:g}x" if target > 1 else "> 1x"


COLUMNS = [
    "function",
    "workload",
    "size",
    "kind",
    "reference",
    "_vesk",
    "reference time",
    "speed-up",
    "target",
    "met",
    "note",
]


def cells(row: Row) -> list[str]:
    return [
        row.function,
        row.workload,
        row.size,
        row.kind,
        row.reference,
        fmt_time(row.ours_s),
        fmt_time(row.ref_s),
        fmt_speedup(row.speedup),
        target_text(row.target),
        row.met,
        row.note,
    ]


def print_table(rows: list[Row]) -> None:
    table = [COLUMNS] + [cells(r) for r in rows]
    widths = [min(max(len(line[i]) for line in table), 44) for i in range(len(COLUMNS) - 1)]
    print()
    for line in table:
        print("  ".join(c[:44].ljust(w) for c, w in zip(line, widths)) + "  " + line[-1])


CSV_COLUMNS = [
    "function",
    "workload",
    "size",
    "kind",
    "reference",
    "vesk_s",
    "reference_s",
    "speedup",
    "target",
    "met",
    "agreement",
    "note",
]


def write_csv(rows: list[Row], path: Path) -> None:
    with path.open("w", newline="") as f:
        w = csv.writer(f)
        w.writerow(CSV_COLUMNS)
        for r in rows:
            w.writerow(
                [
                    r.function,
                    r.workload,
                    r.size,
                    r.kind,
                    r.reference,
                    f"{r.ours_s:.6g}",
                    "" if math.isnan(r.ref_s) else f"{r.ref_s:.6g}",
                    "" if math.isnan(r.speedup) else f"{r.speedup:.4g}",
                    "" if r.target is None else f"{r.target:.4g}",
                    r.met,
                    "" if r.agreement is None else f"{r.agreement:.4f}",
                    r.note,
                ]
            )


EXPLANATION = (
    "Each figure is a speed-up: the reference's time divided by _vesk's on the same workload, "
    "measured in the same run (medians of rounds after a warm-up, subjects timed in turn, "
    "collector off). Above 1, _vesk is faster. References: **idiom**, the pure-Python code a "
    "user would write; **peer**, the library people install for the job (records converted in "
    "and out where that is what a user pays); **anchor**, a native single pass over the same "
    "data. Targets: faster than every peer, "
    f"at least {IDIOM_TARGET:g}x the idiom (except {', '.join(sorted(IDIOM_IN_C))}, whose idioms "
    "run in C), and within 3x of the anchor (speed-up >= 0.33) where it does the same job. "
    "The note says where a reference computes something else than _vesk on that workload. "
    "The `columns.*` rows (vesk.columns on 10^6 cells) carry their own targets, in the table."
)


def write_markdown(rows: list[Row], path: Path, header: str, png: str | None) -> None:
    lines = [
        "# Benchmarks",
        "",
        header,
        "",
        EXPLANATION,
        "",
    ]
    if png:
        lines += [f"![speed-ups]({png})", ""]
    lines.append("| " + " | ".join(COLUMNS) + " |")
    lines.append("|" + "---|" * len(COLUMNS))
    for r in rows:
        lines.append("| " + " | ".join(c.replace("|", "\\|") for c in cells(r)) + " |")
    missed = [r for r in rows if r.met == "NO"]
    lines += ["", f"Targets missed: {len(missed)} of {sum(1 for r in rows if r.met)}."]
    lines += [
        f"- {r.function}, {r.workload}: {fmt_speedup(r.speedup)} against {r.reference}"
        for r in missed
    ]
    lines += [
        "",
        (
            "Absolute times move with the load of the machine; the ratios move much less, since "
            "the subjects of a workload share every round, but a ratio close to its target can "
            "land on either side of it from one run to the next."
        ),
    ]
    path.write_text("\n".join(lines) + "\n")


KIND_COLOURS = {"idiom": "#4c72b0", "peer": "#dd8452", "anchor": "#55a868"}


def write_plot(rows: list[Row], path: Path, title: str) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.lines import Line2D
        from matplotlib.patches import Patch
    except ImportError:
        print("matplotlib is not installed: no plot", file=sys.stderr)
        return False
    shown = [r for r in rows if not math.isnan(r.speedup)]
    groups: list[tuple[str, list[Row]]] = []
    for r in shown:
        label = f"{r.function}: {r.workload}"
        if not groups or groups[-1][0] != label:
            groups.append((label, []))
        groups[-1][1].append(r)
    bar_h, gap = 0.8, 0.7
    y, ticks, labels = 0.0, [], []
    positions: list[tuple[float, Row]] = []
    for label, members in groups:
        start = y
        for r in members:
            positions.append((y, r))
            y += bar_h
        ticks.append((start + y - bar_h) / 2)
        labels.append(label)
        y += gap
    fig, ax = plt.subplots(figsize=(15, 1.2 + 0.2 * y))
    ys = [p for p, _ in positions]
    values = [r.speedup for _, r in positions]
    colours = [KIND_COLOURS[r.kind] for _, r in positions]
    edges = ["#c00000" if r.met == "NO" else "none" for _, r in positions]
    ax.barh(ys, values, height=bar_h * 0.9, color=colours, edgecolor=edges, linewidth=1.5)
    ax.set_xscale("log")
    lo = min(min(values), 0.2) / 3
    hi = max(max(values), 10) * 40
    ax.set_xlim(lo, hi)
    for p, r in positions:
        ax.text(
            r.speedup * 1.08,
            p,
            f"{fmt_speedup(r.speedup)}  {r.reference}",
            va="center",
            fontsize=6.5,
        )
    ax.axvline(1, color="black", linewidth=0.8)
    ax.axvline(IDIOM_TARGET, color=KIND_COLOURS["idiom"], linewidth=0.6, linestyle=":")
    ax.axvline(ANCHOR_TARGET, color=KIND_COLOURS["anchor"], linewidth=0.6, linestyle=":")
    ax.set_yticks(ticks)
    ax.set_yticklabels(labels, fontsize=7.5)
    ax.invert_yaxis()
    ax.set_ylim(y, -gap)
    ax.set_xlabel(
        "speed-up of _vesk = reference time / _vesk time "
        "(log scale; right of the black line: _vesk faster)"
    )
    ax.grid(axis="x", which="major", linewidth=0.3)
    handles: list = [Patch(color=c, label=k) for k, c in KIND_COLOURS.items()]
    handles.append(Patch(facecolor="white", edgecolor="#c00000", label="target missed"))
    handles.append(
        Line2D(
            [],
            [],
            color=KIND_COLOURS["idiom"],
            linestyle=":",
            label=f"idiom target {IDIOM_TARGET:g}x",
        )
    )
    handles.append(
        Line2D([], [], color=KIND_COLOURS["anchor"], linestyle=":", label="anchor target 1/3x")
    )
    ax.legend(handles=handles, loc="lower right", fontsize=8)
    ax.set_title(title, fontsize=9.5)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True
