"""Throughput and memory of NeighborSampler.sample on a synthetic shop graph (bench/graph.py).

    python bench/run.py                  # default scale: 1M users, 100k items, 5M orders, ~40M edges
    python bench/run.py --quick          # a few seconds at a tiny scale; exits 0 and prints the table
    python bench/run.py --threads 1,2    # every row with num_threads 1 and 2, and the speed-ups
    python bench/run.py --callgrind      # instructions per sampled edge under valgrind (small scale)

Workloads, all seeded from users:

- last-k:   seed times drawn per seed, fan-outs [16, 8] on every edge type (most recent k).
- window:   the same seeds and times, time windows on every edge type: the last 30 days on
            hop 0 and the last 365 days on hop 1.
- uniform:  a sampler built without timestamps (node_time={}), fan-outs [16, 8], drawn
            uniformly without replacement.
- take-all: fan-outs [-1, -1] with timestamps, on a graph a tenth of --scale (--small-scale),
            since whole neighbourhoods of busy users are large.

Seeds are users drawn uniformly; a seed's time is drawn uniformly between the user's creation
(or the start of the timeline, if later) and the end of the timeline. A uniformly drawn user
is typically light (5 orders over three years on average), so the window workload finds well
under one edge per seed: it measures the per-seed cost more than the per-edge one. Hop 0
expands users into orders and hop 1 orders into users and items; items are reached only in the
last hop, so ("orders", "lists", "items") is walked with an empty frontier.

Method
------
Every (workload, batch size) row runs in a fresh child process, so that its peak RSS is its
own. The child maps the cached graph, builds the sampler, draws a pool of seed batches holding
--distinct-seeds seeds in all (at least two batches), and calls `sample` once per batch as
warm-up. The pool is large so that small batches do not replay a few hundred seeds whose
neighbourhoods then sit in the CPU caches: sampling over a graph of hundreds of MiB mostly
misses them. A measurement loops over the pool until at least --min-time seconds have passed
and divides by the number of calls;
the reported time per call is the median of --repeats such measurements. The garbage
collector is off while timing, and each result is dropped as soon as the call returns, so at
most one result is alive at a time.

- ms/call is that median wall time. CPU ms/call is the calling thread's CPU time over the
  same loops: it suffers less than wall time when other processes share the machine.
- seeds/s and edges/s divide the batch size and the mean number of sampled edges (over the
  pool) by the median time per call. nodes/seed counts sampled nodes of all types, seeds
  included, per seed.
- faults/call is the number of minor page faults per call during the timed loops: memory the
  process gives back to the system and faults in again on every call.
- peak RSS is the child's VmHWM (/proc/self/status), read right after the timed calls, before
  anything else allocates. (Not ru_maxrss: Linux carries the parent's peak into a child across
  fork and exec, so a run that had just built the graph cache reported the builder's peak.) It
  holds the interpreter, NumPy, the pages of the memory-mapped graph that sampling
  touched (the sampler reads the mapped arrays in place), the sampler, the seed pool and one
  result at a time. The JSON also holds base_rss_bytes, the RSS before the first call. The
  budget checked is graph bytes + 4 x output bytes + 100 MiB, with the largest output of the
  pool and the bytes of every graph array the sampler was given, plus PER_THREAD_RSS for each
  thread beyond the first (its stack and allocator arena; the chunks' lists are covered by the
  output term).
- outside is the share of a call spent outside the traversal, estimated as

      outside = fixed + (copy(full result) - copy(result of the fixed call))

  where `fixed` is the median time of a call with the same seeds, seed times and sampler but
  every fan-out 0 (same number of hops, so validation, seeding, the per-hop bookkeeping and
  the assembly of the seed-only result all run, but no neighbour is looked up), and
  copy(result) is the median time to copy all arrays of a result into six new dicts with
  NumPy (allocation plus memcpy of the same bytes the extension copies out of its tables).
  For the window workload the fixed call uses fan-outs too, so the conversion of its offset
  rows (two small rows per edge type and hop) is not included. The estimate does not count
  what the extension spends growing its tables, which is traversal.

With --threads, every (workload, batch) is measured once per thread count, in adjacent child
processes, and a second table gives each count's speed-up over one thread, the serial fraction
f that two threads imply (Amdahl: speed-up S on n threads gives f = (n / S - 1) / (n - 1)) and
the speed-up that f allows on 16 and 64 cores.

The callgrind mode runs the last-k and uniform workloads (or --workloads) under valgrind with
collection switched on only inside the extension's sample function (and, with several threads,
inside the pool workers' share of it) and one profile dump per call, summed over threads; the
first call is a warm-up and is dropped. Instructions per sampled edge do not move
with machine noise, so they suit comparing two builds of the hot path.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import resource
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import graph as shop  # noqa: E402

BENCH_DIR = Path(__file__).resolve().parent
DAY = shop.DAY
MIB = 2**20

WORKLOADS = ["last-k", "window", "uniform", "take-all"]
DESCRIPTIONS = {
    "last-k": "temporal, 16 then 8 most recent per edge type",
    "window": "temporal, last 30 days then last 365 days",
    "uniform": "no timestamps, 16 then 8 uniform per edge type",
    "take-all": "temporal, every neighbour up to the seed time, 2 hops",
}
NUM_HOPS = 2
RSS_SLACK = 100 * MIB
# A pool thread's stack pages and malloc arena, as far as a call touches them.
PER_THREAD_RSS = 16 * MIB

# The extension's sample function, as callgrind names it (C++, demangled).
CALLGRIND_FUNCTION = "quorvix::NeighborSampler::sample(*"
# What a pool worker runs of a call; counted too, so that a call's cost is summed over threads.
CALLGRIND_WORKER_FUNCTION = "quorvix::ThreadPool::take_tasks_on_worker(*"


# ----------------------------------------------------------------------------------------------
# Requests


def fanouts(values: list[int]) -> dict[str, np.ndarray]:
    return {key: np.array(values, dtype=np.int64) for key in shop.EDGE_TYPE_KEYS}


def request(workload: str) -> tuple[dict, dict]:
    """(num_neighbors, sampling_time_offsets) of a workload."""
    if workload in ("last-k", "uniform"):
        return fanouts([16, 8]), {}
    if workload == "take-all":
        return fanouts([-1, -1]), {}
    if workload == "window":
        window = np.array([[-30 * DAY, 0], [-365 * DAY, 0]], dtype=np.int64)
        return {}, {key: window.copy() for key in shop.EDGE_TYPE_KEYS}
    raise ValueError(f"unknown workload {workload!r}")


def fixed_cost_request() -> tuple[dict, dict]:
    """Same hops and seeds, nothing to look up: the cost of everything but the traversal."""
    return fanouts([0] * NUM_HOPS), {}


def uses_time(workload: str) -> bool:
    return workload != "uniform"


def graph_scale(workload: str, scale: float, small_scale: float) -> float:
    return small_scale if workload == "take-all" else scale


def seed_batches(
    graph: shop.Graph, batch_size: int, pool: int, seed: int
) -> list[tuple[np.ndarray, np.ndarray]]:
    """`pool` distinct batches of (user ids, seed times), the same for every workload."""
    user_time = graph.node_time["users"]
    batches = []
    for i in range(pool):
        rng = np.random.default_rng([seed, batch_size, i])
        users = rng.integers(0, graph.num_nodes["users"], batch_size, dtype=np.int64)
        earliest = np.maximum(np.asarray(user_time[users]), graph.time_start)
        times = earliest + (rng.random(batch_size) * (graph.time_end - earliest)).astype(np.int64)
        batches.append((users, times))
    return batches


def make_sampler(quorvix, graph: shop.Graph, with_time: bool, threads: int = 1):
    node_time = dict(graph.node_time) if with_time else {}
    sampler = quorvix.NeighborSampler(
        list(graph.node_types), list(graph.edge_types), dict(graph.colptr), dict(graph.row), node_time
    )
    if threads != 1:
        sampler.num_threads = threads
    return sampler


def result_stats(result) -> tuple[int, int, int]:
    """(sampled edges, sampled nodes, bytes of all result arrays)."""
    out_row, _, out_node = result[0], result[1], result[2]
    edges = sum(a.size for a in out_row.values())
    nodes = sum(a.size for a in out_node.values())
    nbytes = sum(a.nbytes for d in result for a in d.values())
    return int(edges), int(nodes), int(nbytes)


def copy_result(result):
    return tuple({key: array.copy() for key, array in d.items()} for d in result)


# ----------------------------------------------------------------------------------------------
# Child process: one row


def rss_now() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss() -> int:
    # This process's own high-water mark; ru_maxrss would include a parent's peak (see above).
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def minor_faults() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def seconds_per_call(call, args_pool: list, repeats: int, min_time: float) -> dict:
    """Median over `repeats` of (time of a loop over the pool lasting >= min_time) / calls.

    Wall time is the figure reported; the thread's CPU time is kept beside it because it
    suffers less when other processes share the machine. Minor page faults per call show
    memory that is handed back to the system and faulted in again on every call.
    """
    wall, cpu = [], []
    faults_before = minor_faults()
    total_calls = 0
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeats):
            calls = 0
            started, started_cpu = time.perf_counter(), time.thread_time()
            while True:
                for args in args_pool:
                    call(*args)
                calls += len(args_pool)
                elapsed = time.perf_counter() - started
                if elapsed >= min_time:
                    break
            wall.append(elapsed / calls)
            cpu.append((time.thread_time() - started_cpu) / calls)
            total_calls += calls
    finally:
        if gc_was_enabled:
            gc.enable()
    return {
        "wall": statistics.median(wall),
        "cpu": statistics.median(cpu),
        "spread": (max(wall) - min(wall)) / statistics.median(wall),
        "faults": (minor_faults() - faults_before) / total_calls,
    }


def measure_row(plan: dict) -> dict:
    import quorvix

    workload = plan["workload"]
    graph = shop.load_graph(plan["graph_scale"], plan["graph_seed"])
    with_time = uses_time(workload)
    started = time.perf_counter()
    sampler = make_sampler(quorvix, graph, with_time, plan.get("threads", 1))
    construct_seconds = time.perf_counter() - started

    batches = seed_batches(graph, plan["batch_size"], plan["pool"], plan["bench_seed"])
    if not with_time:
        empty = np.empty(0, dtype=np.int64)
        batches = [(users, empty) for users, _ in batches]
    num_neighbors, offsets = request(workload)
    zero_neighbors, zero_offsets = fixed_cost_request()

    def sample(users, times):
        return sampler.sample(num_neighbors, offsets, "users", users, times)

    def sample_fixed(users, times):
        return sampler.sample(zero_neighbors, zero_offsets, "users", users, times)

    base_rss = rss_now()
    # Warm-up, and the per-batch output sizes (a pass over the pool).
    stats = [result_stats(sample(*b)) for b in batches]
    timing = seconds_per_call(sample, batches, plan["repeats"], plan["min_time"])
    peak = peak_rss()
    per_call = timing["wall"]

    fixed_stats = [result_stats(sample_fixed(*b)) for b in batches]
    per_call_fixed = seconds_per_call(sample_fixed, batches, plan["repeats"], plan["min_time"])["wall"]
    # Results of a part of the pool, kept alive only now that the peak RSS has been read.
    full_results = [(sample(*b),) for b in batches[:16]]
    fixed_results = [(sample_fixed(*b),) for b in batches[:16]]
    copy_full = seconds_per_call(copy_result, full_results, plan["repeats"], plan["min_time"])["wall"]
    copy_fixed = seconds_per_call(copy_result, fixed_results, plan["repeats"], plan["min_time"])["wall"]
    del full_results, fixed_results

    edges = statistics.fmean(s[0] for s in stats)
    nodes = statistics.fmean(s[1] for s in stats)
    out_bytes = statistics.fmean(s[2] for s in stats)
    max_out_bytes = max(s[2] for s in stats)
    graph_bytes = graph.nbytes(with_time)
    assembly = max(0.0, copy_full - copy_fixed)
    outside = per_call_fixed + assembly
    batch = plan["batch_size"]
    threads = plan.get("threads", 1)
    budget = graph_bytes + 4 * max_out_bytes + RSS_SLACK + PER_THREAD_RSS * (threads - 1)
    return {
        "workload": workload,
        "batch_size": batch,
        "threads": threads,
        "graph_scale": plan["graph_scale"],
        "seconds_per_call": per_call,
        "cpu_seconds_per_call": timing["cpu"],
        "wall_spread": timing["spread"],
        "page_faults_per_call": timing["faults"],
        "seeds_per_second": batch / per_call,
        "edges_per_second": edges / per_call,
        "edges_per_call": edges,
        "nodes_per_seed": nodes / batch,
        "edges_per_seed": edges / batch,
        "fixed_seconds_per_call": per_call_fixed,
        "fixed_output_bytes": statistics.fmean(s[2] for s in fixed_stats),
        "assembly_seconds_estimate": assembly,
        "outside_share": min(1.0, outside / per_call),
        "output_bytes": out_bytes,
        "max_output_bytes": max_out_bytes,
        "graph_bytes": graph_bytes,
        "base_rss_bytes": base_rss,
        "peak_rss_bytes": peak,
        "rss_budget_bytes": budget,
        "within_rss_budget": peak <= budget,
        "construct_seconds": construct_seconds,
        "repeats": plan["repeats"],
        "pool": plan["pool"],
    }


def callgrind_calls(plan: dict) -> dict:
    """Under valgrind: one warm-up call, then the measured calls; reports edges per call."""
    import quorvix

    workload = plan["workload"]
    graph = shop.load_graph(plan["graph_scale"], plan["graph_seed"])
    with_time = uses_time(workload)
    sampler = make_sampler(quorvix, graph, with_time, plan.get("threads", 1))
    batches = seed_batches(graph, plan["batch_size"], plan["pool"] + 1, plan["bench_seed"])
    if not with_time:
        empty = np.empty(0, dtype=np.int64)
        batches = [(users, empty) for users, _ in batches]
    num_neighbors, offsets = request(workload)
    edges = []
    for users, times in batches:
        edges.append(result_stats(sampler.sample(num_neighbors, offsets, "users", users, times))[0])
    return {"workload": workload, "edges_per_call": edges, "module": quorvix.__file__}


def child_main(mode: str, plan_json: str) -> int:
    plan = json.loads(plan_json)
    result = measure_row(plan) if mode == "row" else callgrind_calls(plan)
    print(json.dumps(result))
    return 0


def run_child(mode: str, plan: dict, prefix: list[str] | None = None, env: dict | None = None) -> dict:
    # sys.executable is the interpreter itself, not a wrapper script, which valgrind needs.
    command = (prefix or []) + [
        sys.executable,
        str(Path(__file__).resolve()),
        f"--child-{mode}",
        json.dumps(plan),
    ]
    env = dict(os.environ if env is None else env)
    # NumPy's BLAS threads spin for a while after start-up; the sampler never uses them, and on
    # a small machine they would take a core from the call being timed.
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        raise RuntimeError(f"benchmark child failed ({mode}, {plan['workload']}, batch {plan['batch_size']})")
    return json.loads(done.stdout.strip().splitlines()[-1])


# ----------------------------------------------------------------------------------------------
# The measured build


def elf_sections(path: Path) -> dict[str, bytes]:
    """Section name -> contents, for the few sections asked about (64-bit little-endian ELF)."""
    data = path.read_bytes()
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        return {}
    (shoff,) = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A)

    def header(i: int) -> tuple[int, int, int]:
        name, _, _, _, offset, size = struct.unpack_from("<IIQQQQ", data, shoff + i * shentsize)
        return name, offset, size

    _, names_offset, names_size = header(shstrndx)
    names = data[names_offset : names_offset + names_size]
    sections = {}
    for i in range(shnum):
        name, offset, size = header(i)
        sections[names[name : names.index(b"\0", name)].decode()] = data[offset : offset + size]
    return sections


def module_info() -> dict:
    """Which build of the extension was measured."""
    done = subprocess.run(
        [sys.executable, "-c", "import quorvix; print(quorvix.__file__)"],
        capture_output=True,
        text=True,
        cwd=tempfile.gettempdir(),
    )
    if done.returncode != 0:
        return {"error": done.stderr.strip().splitlines()[-1:]}
    path = Path(done.stdout.strip())
    note = elf_sections(path).get(".note.gnu.build-id", b"")
    return {
        "path": str(path),
        "modified": time.strftime("%Y-%m-%dT%H:%M:%S", time.localtime(path.stat().st_mtime)),
        # The note is a 16-byte header (sizes, type, "GNU\0") followed by the id.
        "build_id": note[16:].hex(),
    }


# ----------------------------------------------------------------------------------------------
# Reporting


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


def plot(rows: list[dict], path: str) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("--plot: matplotlib is not installed; no plot drawn", file=sys.stderr)
        return
    fig, ax = plt.subplots(figsize=(6, 4))
    for workload in dict.fromkeys(r["workload"] for r in rows):
        points = sorted((r["batch_size"], r["edges_per_second"]) for r in rows if r["workload"] == workload)
        ax.plot([p[0] for p in points], [p[1] for p in points], marker="o", label=workload)
    ax.set_xscale("log", base=2)
    sizes = sorted({r["batch_size"] for r in rows})
    ax.set_xticks(sizes, [str(b) for b in sizes])
    ax.minorticks_off()
    ax.set_yscale("log")
    ax.set_xlabel("seeds per call")
    ax.set_ylabel("sampled edges per second")
    ax.set_title("NeighborSampler.sample throughput")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"plot written to {path}")


# ----------------------------------------------------------------------------------------------
# Callgrind


def module_with_symbols(explicit: str | None) -> tuple[Path, Path | None]:
    """(installed module, a copy of the same build that keeps its symbol table, if needed).

    Callgrind can only switch collection on around a function it can name. Installed wheels are
    stripped; the unstripped twin that the build directory keeps (same build id) names it.
    """
    info = module_info()
    if "path" not in info:
        raise SystemExit(f"quorvix is not importable: {info['error']}")
    installed = Path(info["path"])
    if explicit:
        return installed, Path(explicit)
    sections = elf_sections(installed)
    if ".symtab" in sections:
        return installed, None
    build_id = sections.get(".note.gnu.build-id")
    repo = BENCH_DIR.parent
    for candidate in sorted(
        repo.glob("build*/**/quorvix*.so"), key=lambda p: p.stat().st_mtime, reverse=True
    ):
        other = elf_sections(candidate)
        if ".symtab" in other and other.get(".note.gnu.build-id") == build_id:
            return installed, candidate
    raise SystemExit(
        f"{installed} has no symbol table and no unstripped copy of the same build was found under "
        f"{repo}/build*/; pass --callgrind-module PATH (a quorvix .so built with symbols)"
    )


def callgrind_totals(path: Path) -> int:
    """Instructions (Ir) recorded in one callgrind dump."""
    for line in path.read_text().splitlines():
        if line.startswith("totals:") or line.startswith("summary:"):
            return int(line.split()[1])
    raise RuntimeError(f"no totals in {path}")


def profile_costs(path: Path) -> tuple[dict[str, int], dict[str, int]]:
    """(self, inclusive) instructions per function of one uncompressed callgrind dump.

    Parsed here because callgrind_annotate books a call that began before the dump (the
    interpreter frames above the sample function, recorded with calls=0) as self cost.
    Inclusive cost is self cost plus the cost of the calls a function makes, which is exact
    for functions that do not recurse.
    """
    self_cost: dict[str, int] = {}
    inclusive: dict[str, int] = {}
    function = "?"
    after_calls = False
    for line in path.read_text().splitlines():
        if not line or line[0] not in "0123456789+-*":
            if line.startswith("fn="):
                function = line[3:]
            after_calls = line.startswith("calls=")
            continue
        fields = line.split()
        if len(fields) < 2:
            continue
        cost = int(fields[1])
        inclusive[function] = inclusive.get(function, 0) + cost
        if not after_calls:
            self_cost[function] = self_cost.get(function, 0) + cost
        after_calls = False
    return self_cost, inclusive


def short_name(name: str) -> str:
    """A function name without argument lists and template arguments, for reading."""
    for opening, closing in (("<", ">"), ("(", ")")):
        out, depth = [], 0
        for ch in name:
            if ch == opening:
                if depth == 0:
                    out.append(opening + closing if opening == "(" else "<>")
                depth += 1
            elif ch == closing and depth:
                depth -= 1
            elif depth == 0:
                out.append(ch)
        name = "".join(out)
    return name.replace("(anonymous namespace)", "(anon)")


def merge_by_short_name(costs: dict[str, int]) -> dict[str, int]:
    merged: dict[str, int] = {}
    for name, cost in costs.items():
        key = short_name(name)
        merged[key] = merged.get(key, 0) + cost
    return merged


def top_functions(profile: Path, count: int) -> dict[str, list[str]]:
    self_cost, inclusive = (merge_by_short_name(c) for c in profile_costs(profile))
    total = sum(self_cost.values()) or 1
    top_self = sorted(self_cost.items(), key=lambda kv: -kv[1])[:count]
    # Frames at 100% are the interpreter and the binding above the extension's entry point.
    below = [(f, c) for f, c in inclusive.items() if c < 0.999 * total]
    top_inclusive = sorted(below, key=lambda kv: -kv[1])[:count]
    return {
        "self": [f"{100 * c / total:5.1f}%  {f}" for f, c in top_self],
        "inclusive": [f"{100 * c / total:5.1f}%  {f}" for f, c in top_inclusive],
    }


def run_callgrind(args) -> list[dict]:
    if shutil.which("valgrind") is None:
        raise SystemExit("--callgrind needs valgrind on PATH")
    installed, symbols = module_with_symbols(args.callgrind_module)
    env = dict(os.environ)
    module_dir = None
    if symbols is not None:
        module_dir = Path(tempfile.mkdtemp(prefix="quorvix-module-"))
        shutil.copy2(symbols, module_dir / installed.name)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(module_dir), env.get("PYTHONPATH")]))
        print(f"profiling {installed.name} through its unstripped twin {symbols}")
    out_dir = Path(args.callgrind_dir or tempfile.mkdtemp(prefix="quorvix-callgrind-"))
    out_dir.mkdir(parents=True, exist_ok=True)
    batch_sizes = args.batch_sizes if args.batch_sizes_given else [1024]
    rows = []
    try:
        for workload in args.workloads:
            for batch in batch_sizes:
                for threads in args.threads:
                    rows.append(callgrind_row(args, workload, batch, threads, out_dir, env))
                    r = rows[-1]
                    print(
                        f"  {workload:<9} batch {batch:>5} threads {threads}: "
                        f"{r['instructions_per_edge']:,.1f} instructions/edge",
                        file=sys.stderr,
                        flush=True,
                    )
    finally:
        if module_dir is not None:
            shutil.rmtree(module_dir, ignore_errors=True)
    return rows


def callgrind_row(args, workload: str, batch: int, threads: int, out_dir: Path, env: dict) -> dict:
    plan = {
        "threads": threads,
        "workload": workload,
        "graph_scale": graph_scale(workload, args.scale, args.small_scale),
        "graph_seed": args.graph_seed,
        "batch_size": batch,
        "pool": args.callgrind_calls,
        "bench_seed": args.bench_seed,
    }
    shop.load_graph(plan["graph_scale"], plan["graph_seed"])  # build outside valgrind
    stem = f"callgrind.{workload}.{batch}.t{threads}"
    for old in out_dir.glob(stem + ".*"):
        old.unlink()
    prefix = [
        "valgrind",
        "--tool=callgrind",
        "--collect-atstart=no",
        f"--toggle-collect={args.callgrind_function}",
        f"--toggle-collect={CALLGRIND_WORKER_FUNCTION}",
        # Given the very same pattern string as --toggle-collect, callgrind (3.19) never dumps;
        # a leading wildcard makes an equivalent pattern that it keeps apart.
        f"--dump-after=*{args.callgrind_function}",
        f"--callgrind-out-file={out_dir / stem}.out",
        # Each dump must name its functions in full to be read on its own.
        "--compress-strings=no",
    ]
    started = time.perf_counter()
    child = run_child("callgrind", plan, prefix, env)
    seconds = time.perf_counter() - started
    # One dump per call ({stem}.out.1, .2, ...); the file written at exit holds nothing.
    dumps = sorted(out_dir.glob(f"{stem}.out.*"), key=lambda p: int(p.suffix[1:]))
    instructions = [callgrind_totals(p) for p in dumps]
    edges = child["edges_per_call"]
    if len(instructions) != len(edges) or not all(instructions):
        raise RuntimeError(
            f"callgrind recorded {len(instructions)} calls of {args.callgrind_function!r} for "
            f"{len(edges)} sample calls; set --callgrind-function to the extension's sample "
            "function as the profile names it"
        )
    # The first call is a warm-up: it grows the sampler's tables and warms its caches.
    measured_ir, measured_edges = instructions[1:], edges[1:]
    return {
        "workload": workload,
        "batch_size": batch,
        "threads": threads,
        "graph_scale": plan["graph_scale"],
        "calls": len(measured_ir),
        "instructions_per_call": statistics.fmean(measured_ir),
        "edges_per_call": statistics.fmean(measured_edges),
        "instructions_per_edge": sum(measured_ir) / max(1, sum(measured_edges)),
        "instructions_per_seed": sum(measured_ir) / (batch * len(measured_ir)),
        "profile": str(dumps[-1]),
        "top_functions": top_functions(dumps[-1], 14),
        "module": child["module"],
        "valgrind_seconds": seconds,
    }


def callgrind_table(rows: list[dict]) -> str:
    header = ["workload", "batch", "threads", "graph scale", "edges/call", "instr./call", "instr./edge", "instr./seed"]
    body = [
        [
            r["workload"],
            str(r["batch_size"]),
            str(r["threads"]),
            f"{r['graph_scale']:g}",
            f"{r['edges_per_call']:,.0f}",
            f"{r['instructions_per_call']:,.0f}",
            f"{r['instructions_per_edge']:,.1f}",
            f"{r['instructions_per_seed']:,.0f}",
        ]
        for r in rows
    ]
    return markdown_table(header, body)


# ----------------------------------------------------------------------------------------------
# Main


def parse_args(argv: list[str] | None):
    parser = argparse.ArgumentParser(
        description=__doc__.split("\nWorkloads")[0], formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--scale", type=float, default=None, help="graph scale (default 1.0; 0.05 with --callgrind)"
    )
    parser.add_argument(
        "--small-scale", type=float, default=None, help="graph scale of take-all (default scale / 10)"
    )
    parser.add_argument("--quick", action="store_true", help="a few seconds at a tiny scale (for CI)")
    parser.add_argument(
        "--batch-sizes", type=str, default=None, help="comma-separated (default 128,1024,8192)"
    )
    parser.add_argument(
        "--repeats", type=int, default=None, help="measurements per row, median taken (default 7)"
    )
    parser.add_argument("--min-time", type=float, default=None, help="seconds per measurement (default 0.2)")
    parser.add_argument(
        "--distinct-seeds", type=int, default=None, help="seeds in the pool of each row (default 65536)"
    )
    parser.add_argument(
        "--workloads", type=str, default=None, help="comma-separated subset of " + ",".join(WORKLOADS)
    )
    parser.add_argument(
        "--json", type=str, default=str(BENCH_DIR / "results.json"), help="where to write results"
    )
    parser.add_argument("--plot", type=str, default=None, help="draw edges/s against batch size to this file")
    parser.add_argument(
        "--threads", type=str, default="1", help="comma-separated num_threads values to measure (default 1)"
    )
    parser.add_argument("--graph-seed", type=int, default=0)
    parser.add_argument("--bench-seed", type=int, default=1)
    parser.add_argument(
        "--callgrind",
        action="store_true",
        help="instructions per edge under valgrind (batch 1024 unless --batch-sizes)",
    )
    parser.add_argument("--callgrind-calls", type=int, default=3, help="measured calls per row (default 3)")
    parser.add_argument(
        "--callgrind-function", type=str, default=CALLGRIND_FUNCTION, help="callgrind name pattern"
    )
    parser.add_argument(
        "--callgrind-module", type=str, default=None, help="a quorvix .so with symbols to profile"
    )
    parser.add_argument("--callgrind-dir", type=str, default=None, help="keep the profiles here")
    args = parser.parse_args(argv)

    if args.repeats is not None and args.repeats < 1:
        parser.error("--repeats must be at least 1")
    args.batch_sizes_given = args.batch_sizes is not None
    args.batch_sizes = [int(b) for b in (args.batch_sizes or "128,1024,8192").split(",")]
    args.threads = [int(t) for t in args.threads.split(",")]
    if any(t < 1 for t in args.threads):
        parser.error("--threads values must be at least 1")
    if args.quick:
        args.scale = args.scale if args.scale is not None else 0.002
        args.repeats = args.repeats or 5
        args.min_time = args.min_time if args.min_time is not None else 0.005
        args.distinct_seeds = args.distinct_seeds or 4096
    elif args.callgrind:
        args.scale = args.scale if args.scale is not None else 0.05
    args.scale = args.scale if args.scale is not None else 1.0
    args.small_scale = args.small_scale if args.small_scale is not None else args.scale / 10
    args.repeats = args.repeats or 7
    args.min_time = args.min_time if args.min_time is not None else 0.2
    args.distinct_seeds = args.distinct_seeds or 65536
    default_workloads = "last-k,uniform" if args.callgrind else ",".join(WORKLOADS)
    args.workloads = (args.workloads or default_workloads).split(",")
    unknown = [w for w in args.workloads if w not in WORKLOADS]
    if unknown:
        parser.error(f"unknown workload(s) {unknown}; choose from {WORKLOADS}")
    return args


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) == 2 and argv[0] in ("--child-row", "--child-callgrind"):
        return child_main(argv[0].removeprefix("--child-"), argv[1])
    args = parse_args(argv)

    # Build every graph here, once, so children only map it.
    graphs: dict[float, shop.Graph] = {}
    for workload in args.workloads:
        s = graph_scale(workload, args.scale, args.small_scale)
        if s not in graphs:
            graphs[s] = shop.load_graph(s, args.graph_seed)
            if graphs[s].build_seconds:
                print(f"built graph scale {s:g} in {graphs[s].build_seconds:.1f} s", flush=True)
    for line in graph_lines(graphs):
        print(line)

    load = os.getloadavg()[0]
    if not args.callgrind and load > 0.5 * (os.cpu_count() or 1):
        print(
            f"warning: load average {load:.1f} on {os.cpu_count()} CPUs; wall times will be noisy",
            file=sys.stderr,
        )
    report = {
        "machine": machine_info(),
        "module": module_info(),
        "args": {k: v for k, v in vars(args).items() if k not in ("json", "plot", "callgrind_dir")},
        "graphs": {f"{s:g}": g.info for s, g in graphs.items()},
    }

    if args.callgrind:
        rows = run_callgrind(args)
        print()
        print(callgrind_table(rows))
        for r in rows:
            print(f"\n{r['workload']}, batch {r['batch_size']}: one call, {r['profile']}")
            for kind in ("self", "inclusive"):
                print(f"  {kind} cost:")
                for line in r["top_functions"][kind]:
                    print("    " + line)
        report["callgrind"] = rows
    else:
        rows = []
        started = time.perf_counter()
        for workload in args.workloads:
            for batch in args.batch_sizes:
                # The thread counts of one row run back to back, so machine load drifts little between them.
                for threads in args.threads:
                    plan = {
                        "workload": workload,
                        "graph_scale": graph_scale(workload, args.scale, args.small_scale),
                        "graph_seed": args.graph_seed,
                        "batch_size": batch,
                        "threads": threads,
                        "repeats": args.repeats,
                        "min_time": args.min_time,
                        "pool": max(2, -(-args.distinct_seeds // batch)),
                        "bench_seed": args.bench_seed,
                    }
                    rows.append(run_child("row", plan))
                    r = rows[-1]
                    print(
                        f"  {workload:<9} batch {batch:>5} threads {threads}: "
                        f"{r['seconds_per_call'] * 1e3:9.3f} ms/call",
                        file=sys.stderr,
                        flush=True,
                    )
        print()
        print(table(rows))
        scaling = scaling_rows(rows, "seconds_per_call")
        if scaling:
            print()
            print(scaling_table(scaling))
            report["scaling"] = scaling
        print()
        for workload in args.workloads:
            print(f"{workload}: {DESCRIPTIONS[workload]}")
        print(f"\n{len(rows)} rows in {time.perf_counter() - started:.1f} s")
        report["results"] = rows
        if args.plot:
            plot(rows, args.plot)

    Path(args.json).write_text(json.dumps(report, indent=2) + "\n")
    print(f"results written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
