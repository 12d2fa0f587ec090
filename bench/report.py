"""Reporting: the Markdown tables, the scaling figures Amdahl's law implies, the machine and graph
lines, and the optional plot."""

from __future__ import annotations

import os
import platform
import sys

import numpy as np

import graph as shop
from measure import MIB


def fmt_rate(value: float) -> str:
    for bound, suffix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if value >= bound:
            return f"{value / bound:.2f} {suffix}"
    return f"{value:.0f}"


def markdown_table(header: list[str], body: list[list[str]]) -> str:
    """A Markdown table: the first column left-aligned, the others right-aligned."""
    lines = ["| " + " | ".join(header) + " |", "|---" + "|---:" * (len(header) - 1) + "|"]
    lines += ["| " + " | ".join(cells) + " |" for cells in body]
    return "\n".join(lines)


def table(rows: list[dict]) -> str:
    header = [
        "workload",
        "batch",
        "threads",
        "ms/call",
        "CPU ms/call",
        "seeds/s",
        "edges/s",
        "nodes/seed",
        "edges/seed",
        "outside",
        "faults/call",
        "peak RSS MiB",
        "output MiB",
        "RSS budget",
    ]
    body = [
        [
            r["workload"],
            str(r["batch_size"]),
            str(r.get("threads", 1)),
            f"{r['seconds_per_call'] * 1e3:.3f}",
            f"{r['cpu_seconds_per_call'] * 1e3:.3f}",
            fmt_rate(r["seeds_per_second"]),
            fmt_rate(r["edges_per_second"]),
            f"{r['nodes_per_seed']:.1f}",
            f"{r['edges_per_seed']:.1f}",
            f"{100 * r['outside_share']:.0f}%",
            f"{r['page_faults_per_call']:.0f}",
            f"{r['peak_rss_bytes'] / MIB:.0f}",
            f"{r['max_output_bytes'] / MIB:.1f}",
            "ok" if r["within_rss_budget"] else "OVER",
        ]
        for r in rows
    ]
    return markdown_table(header, body)


def amdahl(speedup: float, threads: int) -> float:
    """The serial fraction f that a speed-up on `threads` threads implies."""
    return (threads / speedup - 1) / (threads - 1)


def scaling_rows(rows: list[dict], key: str) -> list[dict]:
    """Per (workload, batch) and thread count beyond 1: speed-up over one thread, serial fraction,
    and the speed-up that fraction allows on 16 and 64 cores."""
    one = {(r["workload"], r["batch_size"]): r[key] for r in rows if r.get("threads", 1) == 1}
    out = []
    for r in rows:
        threads = r.get("threads", 1)
        base = one.get((r["workload"], r["batch_size"]))
        if threads == 1 or base is None:
            continue
        speedup = base / r[key]
        f = min(1.0, max(0.0, amdahl(speedup, threads)))
        out.append({
            "workload": r["workload"],
            "batch_size": r["batch_size"],
            "threads": threads,
            "speedup": speedup,
            "serial_fraction": f,
            "amdahl_16": 1 / (f + (1 - f) / 16),
            "amdahl_64": 1 / (f + (1 - f) / 64),
        })
    return out


def scaling_table(scaling: list[dict]) -> str:
    header = ["workload", "batch", "threads", "speed-up", "serial fraction", "16 cores (Amdahl)", "64 cores (Amdahl)"]
    body = [
        [
            s["workload"],
            str(s["batch_size"]),
            str(s["threads"]),
            f"{s['speedup']:.2f}x",
            f"{100 * s['serial_fraction']:.0f}%",
            f"{s['amdahl_16']:.1f}x",
            f"{s['amdahl_64']:.1f}x",
        ]
        for s in scaling
    ]
    return markdown_table(header, body)


def graph_lines(graphs: dict[float, shop.Graph]) -> list[str]:
    lines = []
    for scale, g in sorted(graphs.items()):
        nodes = ", ".join(f"{n:,} {t}" for t, n in g.num_nodes.items())
        lines.append(
            f"graph scale {scale:g}: {nodes}; {sum(g.num_edges.values()):,} edges; "
            f"{g.nbytes() / MIB:,.1f} MiB with timestamps, {g.nbytes(False) / MIB:,.1f} MiB without"
        )
    return lines


def machine_info() -> dict:
    cpu = platform.processor() or ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {
        "load_average": os.getloadavg(),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "platform": platform.platform(),
        "cpu": cpu,
        "cpus": os.cpu_count(),
    }


def pyplot():
    """matplotlib's pyplot on the file-only backend, with SVG ids that do not change from run to run;
    None, with a note, when matplotlib is not installed."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("--plot: matplotlib is not installed; no plot drawn", file=sys.stderr)
        return None
    matplotlib.rcParams["svg.hashsalt"] = "quorvix"
    return plt


def save_figure(plt, fig, path: str, note: str) -> None:
    """Writes the figure, with `note` along its foot; an SVG without a date."""
    if note:
        fig.text(0.01, 0.01, note, fontsize=8, color="dimgrey")
    fig.tight_layout(rect=(0, 0.04 if note else 0, 1, 1))
    fig.savefig(path, dpi=120, metadata={"Date": None} if path.endswith(".svg") else None)
    plt.close(fig)
    print(f"plot written to {path}")


def plot(rows: list[dict], path: str, note: str = "") -> None:
    """Edges per second against batch size on one thread, and beside it, when the rows hold
    other thread counts, each count's speed-up over one thread. The format follows the file's
    suffix (.svg, .png); an SVG is written without a date, so an unchanged figure is unchanged."""
    plt = pyplot()
    if plt is None:
        return
    scaling = scaling_rows(rows, "seconds_per_call")
    fig, axes = plt.subplots(1, 2 if scaling else 1, figsize=(11 if scaling else 6, 4.2), squeeze=False)
    workloads = list(dict.fromkeys(r["workload"] for r in rows))
    sizes = sorted({r["batch_size"] for r in rows})
    colours = {w: f"C{k}" for k, w in enumerate(workloads)}

    def batch_axis(ax):
        ax.set_xscale("log", base=2)
        ax.set_xticks(sizes, [str(b) for b in sizes])
        ax.minorticks_off()
        ax.set_xlabel("seeds per call")
        ax.grid(True, which="both", alpha=0.3)

    ax = axes[0][0]
    for workload in workloads:
        points = sorted((r["batch_size"], r["edges_per_second"]) for r in rows
                        if r["workload"] == workload and r.get("threads", 1) == 1)
        ax.plot([p[0] for p in points], [p[1] for p in points], marker="o", label=workload,
                color=colours[workload])
    batch_axis(ax)
    ax.set_yscale("log")
    ax.set_ylabel("sampled edges per second")
    ax.set_title("NeighborSampler.sample throughput, one thread")
    ax.legend()
    if scaling:
        ax = axes[0][1]
        counts = sorted({s["threads"] for s in scaling})
        for workload in workloads:
            for n, style in zip(counts, ["-", "--", ":", "-."] * len(counts)):
                points = sorted((s["batch_size"], s["speedup"]) for s in scaling
                                if s["workload"] == workload and s["threads"] == n)
                label = workload if len(counts) == 1 else f"{workload}, {n} threads"
                ax.plot([p[0] for p in points], [p[1] for p in points], marker="o", linestyle=style,
                        label=label, color=colours[workload])
        ax.axhline(1, color="grey", linewidth=0.8)
        batch_axis(ax)
        ax.set_ylabel("speed-up over one thread")
        ax.set_title(f"speed-up on {' and '.join(map(str, counts))} threads (identical results)")
        ax.legend()
    save_figure(plt, fig, path, note)


def plot_instructions(rows: list[dict], path: str, note: str = "") -> None:
    """Instructions per sampled edge under callgrind, per workload, a bar per thread count:
    the figure that machine load does not move."""
    plt = pyplot()
    if plt is None:
        return
    workloads = list(dict.fromkeys(r["workload"] for r in rows))
    counts = sorted({r["threads"] for r in rows})
    width = 0.8 / len(counts)
    fig, ax = plt.subplots(figsize=(6, 4.2))
    for k, n in enumerate(counts):
        xs, ys = [], []
        for i, workload in enumerate(workloads):
            for r in rows:
                if r["workload"] == workload and r["threads"] == n:
                    xs.append(i + (k - (len(counts) - 1) / 2) * width)
                    ys.append(r["instructions_per_edge"])
        bars = ax.bar(xs, ys, width, label=f"{n} thread{'s' if n > 1 else ''}")
        ax.bar_label(bars, fmt="%.0f", fontsize=8)
    ax.set_xticks(range(len(workloads)), workloads)
    ax.set_yscale("log")
    ax.set_ylabel("instructions per sampled edge")
    batches = sorted({r["batch_size"] for r in rows})
    ax.set_title(f"sample() under callgrind, {', '.join(map(str, batches))} seeds per call")
    ax.grid(True, axis="y", which="both", alpha=0.3)
    ax.margins(y=0.15)
    ax.legend(loc="upper left")
    save_figure(plt, fig, path, note)


def plot_note(report: dict) -> str:
    """Where and how a report was measured, for the figure's foot."""
    machine = report.get("machine", {})
    args = report.get("args", {})
    load = machine.get("load_average")  # 1, 5 and 15 minutes
    per_row = (f"{args.get('callgrind_calls', '?')} calls per row" if "callgrind" in report
               else f"median of {args.get('repeats', '?')}")
    parts = [machine.get("cpu", ""), f"{machine.get('cpus', '?')} CPUs", f"graph scale {args.get('scale', '?')}",
             per_row]
    if load is not None and "callgrind" not in report:
        parts.append(f"load average {load[0]:.1f} at the start")
    return "; ".join(p for p in parts if p)


if __name__ == "__main__":
    # Redraw the figure of a saved run: python bench/report.py bench/results.json perf.svg
    import json

    if len(sys.argv) != 3:
        sys.exit("usage: python bench/report.py RESULTS.json FIGURE.svg")
    saved = json.loads(open(sys.argv[1]).read())
    if "callgrind" in saved:
        plot_instructions(saved["callgrind"], sys.argv[2], plot_note(saved))
    else:
        plot(saved["results"], sys.argv[2], plot_note(saved))
