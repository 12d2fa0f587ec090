"""Measuring one row in a child process of its own: time per call, CPU time, page faults, peak
memory, and which build of the extension was measured. See run.py for the method."""

from __future__ import annotations

import gc
import json
import os
import resource
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import graph as shop
from workloads import (
    copy_result,
    fixed_cost_request,
    make_sampler,
    request,
    result_stats,
    seed_batches,
    uses_time,
)

BENCH_DIR = Path(__file__).resolve().parent
MIB = 2**20
RSS_SLACK = 100 * MIB
# A pool thread's stack pages and malloc arena, as far as a call touches them.
PER_THREAD_RSS = 16 * MIB


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
    # Again with the arrays' pages in memory: what building costs per edge (with timestamps, the
    # scan for runs out of time order reads one neighbour timestamp per edge).
    rebuild = seconds_per_call(lambda: make_sampler(quorvix, graph, with_time, 1), [()], plan["repeats"],
                               plan["min_time"])
    num_edges = sum(graph.num_edges.values())

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
        "rebuild_seconds": rebuild["wall"],
        "rebuild_ns_per_edge": rebuild["wall"] / max(1, num_edges) * 1e9,
        "rebuild_cpu_ns_per_edge": rebuild["cpu"] / max(1, num_edges) * 1e9,
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
    return {"workload": workload, "edges_per_call": edges, "module": getattr(quorvix, "_core", quorvix).__file__}


def child_main(mode: str, plan_json: str) -> int:
    plan = json.loads(plan_json)
    result = measure_row(plan) if mode == "row" else callgrind_calls(plan)
    print(json.dumps(result))
    return 0


def run_child(mode: str, plan: dict, prefix: list[str] | None = None, env: dict | None = None) -> dict:
    # sys.executable is the interpreter itself, not a wrapper script, which valgrind needs.
    command = (prefix or []) + [
        sys.executable,
        str(BENCH_DIR / "run.py"),
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
        [sys.executable, "-c", "import quorvix; print(getattr(quorvix, \"_core\", quorvix).__file__)"],
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


def serve_calls(plan: dict) -> int:
    """A child that times single calls on request, so that a parent can alternate several builds
    (one child each) and thread counts call by call. Reads one JSON request per line from stdin,
    {"workload", "batch_size", "threads", "index"}, and answers {"seconds", "edges"}; an empty
    line ends it. The samplers (one per workload and thread count) and the seed batches (one pool
    per batch size) are made once, before the first answer ("ready")."""
    import quorvix

    graph = shop.load_graph(plan["graph_scale"], plan["graph_seed"])
    shared = plan.get("shared", False)
    samplers = {}
    for workload in plan["workloads"]:
        for threads in plan["threads"]:
            sampler = make_sampler(quorvix, graph, uses_time(workload), threads)
            # One subgraph per call: the seeds share it, and one seed time.
            sampler.disjoint = not shared
            samplers[workload, threads] = sampler
    pools = {}
    for batch in plan["batch_sizes"]:
        pool = seed_batches(graph, batch, plan["pool"], plan["bench_seed"])
        if shared:
            pool = [(users, np.full_like(times, graph.time_end)) for users, times in pool]
        pools[batch] = pool
    empty = np.empty(0, dtype=np.int64)
    print(json.dumps({"ready": getattr(quorvix, "_core", quorvix).__file__}), flush=True)
    gc.disable()
    for line in sys.stdin:
        if not line.strip():
            break
        ask = json.loads(line)
        workload = ask["workload"]
        sampler = samplers[workload, ask["threads"]]
        users, times = pools[ask["batch_size"]][ask["index"] % plan["pool"]]
        if not uses_time(workload):
            times = empty
        num_neighbors, offsets = request(workload)
        started = time.perf_counter()
        result = sampler.sample(num_neighbors, offsets, "users", users, times)
        seconds = time.perf_counter() - started
        edges = result_stats(result)[0]
        del result
        print(json.dumps({"seconds": seconds, "edges": edges}), flush=True)
    return 0


class CallServer:
    """The parent's end of serve_calls: a child process importing the build at `python_path`."""

    def __init__(self, python_path: str, plan: dict):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join([python_path, str(BENCH_DIR)])
        env.setdefault("OPENBLAS_NUM_THREADS", "1")
        self.process = subprocess.Popen(
            [sys.executable, str(BENCH_DIR / "measure.py"), "--serve", json.dumps(plan)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env, cwd=tempfile.gettempdir(),
        )
        ready = self.process.stdout.readline()
        if not ready:
            raise RuntimeError(f"call server for {python_path} failed to start")
        self.module = json.loads(ready)["ready"]

    def call(self, workload: str, batch_size: int, threads: int, index: int) -> dict:
        ask = {"workload": workload, "batch_size": batch_size, "threads": threads, "index": index}
        self.process.stdin.write(json.dumps(ask) + "\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

    def close(self) -> None:
        self.process.stdin.write("\n")
        self.process.stdin.flush()
        self.process.wait()


if __name__ == "__main__" and len(sys.argv) == 3 and sys.argv[1] == "--serve":
    sys.exit(serve_calls(json.loads(sys.argv[2])))
