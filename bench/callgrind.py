"""The callgrind mode: instruction counts per call and per sampled edge under valgrind, with
collection switched on only inside the extension's sample function and the pool workers' share."""

from __future__ import annotations

import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path


import graph as shop
from measure import BENCH_DIR, elf_sections, module_info, run_child
from report import markdown_table
from workloads import graph_scale

# The extension's sample function, as callgrind names it (C++, demangled).
CALLGRIND_FUNCTION = "quorvix::NeighborSampler::sample(*"
# What a pool worker runs of a call; counted too, so that a call's cost is summed over threads.
CALLGRIND_WORKER_FUNCTION = "quorvix::ThreadPool::take_tasks_on_worker(*"


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
