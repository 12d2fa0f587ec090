"""Threads inside a training loop: each call preceded by what a training step does between calls.

    python bench/loop.py                 # the shop graph at scale 1.0, every mode below
    python bench/loop.py --quick         # a tiny graph and few calls (checks that it runs)
    python bench/loop.py --shared        # one subgraph per call (disjoint=False, one seed time)

Back-to-back calls keep the pool's workers awake; a training loop does not. Here every call is
preceded by one of these steps (--before):

- nothing:  back to back, as bench/run.py measures.
- pause10:  an idle pause of 10 ms (collation, a data-loader hand-over).
- pause100: an idle pause of 100 ms.
- model:    a model step: five 600x600 float32 matrix products on torch's default threads.
- model1:   the same model step after torch.set_num_threads(1), leaving a core to the sampler.

Each (step, workload, batch) is measured with one and two threads in the same process, the
two samplers alternating call by call (which one goes first alternates too), so that machine
load drifts alike for both; the ratio of the medians is the speed-up. Every step runs in a
child process of its own, once with the environment as given and once with
OMP_WAIT_POLICY=PASSIVE (torch's OpenMP threads then sleep right after an operator instead
of spinning on the cores for milliseconds), which torch reads only when it starts.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import graph as shop  # noqa: E402
from report import markdown_table  # noqa: E402
from workloads import make_sampler, request, seed_batches, uses_time  # noqa: E402

STEPS = ["nothing", "pause10", "pause100", "model", "model1"]
MODEL_SIZE = 600
MODEL_PRODUCTS = 5


def make_step(name: str):
    if name == "nothing":
        return lambda: None
    if name in ("pause10", "pause100"):
        seconds = int(name.removeprefix("pause")) / 1000
        return lambda: time.sleep(seconds)
    if name in ("model", "model1"):
        import torch

        if name == "model1":
            torch.set_num_threads(1)
        generator = torch.Generator().manual_seed(0)
        weights = [torch.randn(MODEL_SIZE, MODEL_SIZE, generator=generator) for _ in range(MODEL_PRODUCTS)]
        state = torch.randn(MODEL_SIZE, MODEL_SIZE, generator=generator)

        def model_step():
            x = state
            for w in weights:
                x = torch.tanh(x @ w)
            return x

        return model_step
    raise ValueError(f"unknown step {name!r}")


def child(plan: dict) -> dict:
    """One step, every workload and batch: per (workload, batch) the 1- and 2-thread timings."""
    import quorvix

    step = make_step(plan["step"])
    graph = shop.load_graph(plan["scale"], plan["graph_seed"])
    rows = []
    for workload in plan["workloads"]:
        with_time = uses_time(workload)
        samplers = {t: make_sampler(quorvix, graph, with_time, t) for t in (1, 2)}
        for sampler in samplers.values():  # one subgraph per call: the seeds share it, and one time
            sampler.disjoint = not plan.get("shared", False)
        num_neighbors, offsets = request(workload)
        for batch in plan["batch_sizes"]:
            batches = seed_batches(graph, batch, plan["pool"], plan["bench_seed"])
            if plan.get("shared", False):
                batches = [(users, np.full_like(times, graph.time_end)) for users, times in batches]
            if not with_time:
                empty = np.empty(0, dtype=np.int64)
                batches = [(users, empty) for users, _ in batches]
            for sampler in samplers.values():  # warm-up: pools started, lists grown
                for users, times in batches:
                    sampler.sample(num_neighbors, offsets, "users", users, times)
            seconds = {1: [], 2: []}
            # The step's own time, by the thread count of the call before it: workers that watch
            # for the next call must not slow the model step down.
            step_seconds = {1: [], 2: []}
            previous = 1
            for call in range(plan["calls"]):
                users, times = batches[call % len(batches)]
                order = (1, 2) if call % 2 == 0 else (2, 1)
                for threads in order:
                    started = time.perf_counter()
                    step()
                    step_seconds[previous].append(time.perf_counter() - started)
                    started = time.perf_counter()
                    samplers[threads].sample(num_neighbors, offsets, "users", users, times)
                    seconds[threads].append(time.perf_counter() - started)
                    previous = threads
            one, two = statistics.median(seconds[1]), statistics.median(seconds[2])
            rows.append({"workload": workload, "batch_size": batch, "one_thread": one, "two_threads": two,
                         "speed_up": one / two, "step_after_one": statistics.median(step_seconds[1]),
                         "step_after_two": statistics.median(step_seconds[2])})
    return {"step": plan["step"], "passive": plan["passive"], "rows": rows}


def run_step(plan: dict) -> dict:
    env = dict(os.environ)
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    if plan["passive"]:
        env["OMP_WAIT_POLICY"] = "PASSIVE"
    command = [sys.executable, str(Path(__file__).resolve()), "--child", json.dumps(plan)]
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        raise RuntimeError(f"loop child failed ({plan['step']}, passive={plan['passive']})")
    return json.loads(done.stdout.strip().splitlines()[-1])


def loop_table(results: list[dict]) -> str:
    header = ["before each call", "OMP_WAIT_POLICY", "workload", "batch", "ms/call, 1 thread",
              "ms/call, 2 threads", "speed-up", "step ms after 1 / 2 threads"]
    body = []
    for result in results:
        for r in result["rows"]:
            body.append([result["step"], "PASSIVE" if result["passive"] else "default", r["workload"],
                         str(r["batch_size"]), f"{r['one_thread'] * 1e3:.3f}", f"{r['two_threads'] * 1e3:.3f}",
                         f"{r['speed_up']:.2f}x", f"{r['step_after_one'] * 1e3:.2f} / {r['step_after_two'] * 1e3:.2f}"])
    return markdown_table(header, body)


def parse_args(argv: list[str]):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=None, help="graph scale (default 1.0)")
    parser.add_argument("--quick", action="store_true", help="a tiny graph and few calls")
    parser.add_argument("--batch-sizes", default="128,1024,8192")
    parser.add_argument("--workloads", default="last-k,uniform")
    parser.add_argument("--before", default=None, help="comma-separated subset of " + ",".join(STEPS))
    parser.add_argument("--omp", default="default,passive", help="default, passive or both (comma-separated)")
    parser.add_argument("--calls", type=int, default=None, help="timed calls per thread count (default 60)")
    parser.add_argument("--pool", type=int, default=16, help="distinct seed batches per row")
    parser.add_argument("--graph-seed", type=int, default=0)
    parser.add_argument("--bench-seed", type=int, default=1)
    parser.add_argument("--json", default=None, help="also write the results here")
    parser.add_argument("--shared", action="store_true", help="one subgraph per call instead of one per seed")
    args = parser.parse_args(argv)
    if args.quick:
        args.scale = args.scale if args.scale is not None else 0.002
        args.calls = args.calls or 6
        args.pool = 2
        args.before = args.before or "nothing,pause10"
    args.scale = args.scale if args.scale is not None else 1.0
    args.calls = args.calls or 60
    args.before = args.before or ",".join(STEPS)
    args.batch_sizes = [int(b) for b in args.batch_sizes.split(",")]
    args.workloads = args.workloads.split(",")
    args.before = args.before.split(",")
    unknown = [s for s in args.before if s not in STEPS]
    if unknown:
        parser.error(f"unknown step(s) {unknown}; choose from {STEPS}")
    args.omp = [o == "passive" for o in args.omp.split(",")]
    return args


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) == 2 and argv[0] == "--child":
        print(json.dumps(child(json.loads(argv[1]))))
        return 0
    args = parse_args(argv)
    graph = shop.load_graph(args.scale, args.graph_seed)  # built here once, so children only map it
    if graph.build_seconds:
        print(f"built graph scale {args.scale:g} in {graph.build_seconds:.1f} s", flush=True)
    load = os.getloadavg()[0]
    if load > 0.5 * (os.cpu_count() or 1):
        print(f"warning: load average {load:.1f} on {os.cpu_count()} CPUs; wall times will be noisy", file=sys.stderr)
    results = []
    for passive in args.omp:
        for step in args.before:
            plan = {"step": step, "passive": passive, "scale": args.scale, "graph_seed": args.graph_seed,
                    "bench_seed": args.bench_seed, "workloads": args.workloads, "batch_sizes": args.batch_sizes,
                    "calls": args.calls, "pool": args.pool, "shared": args.shared}
            results.append(run_step(plan))
            print(f"  {step} ({'PASSIVE' if passive else 'default'}) done", file=sys.stderr, flush=True)
    print(f"one subgraph per {'call' if args.shared else 'seed'}")
    print(loop_table(results))
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
