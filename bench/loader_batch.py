"""CPU time of one loader batch on the relational recipe, and builds side by side.

    python bench/loader_batch.py                         # this build
    python bench/loader_batch.py --against /path/python  # and another build, alternating
    python bench/loader_batch.py --quick                 # a smoke run

The recipe is examples/relational_entity.py's: a DuckDB shop of --customers customers (made
once by bench/relational.py's writer), ``make_loader`` with last-k [8, 4], batches of
--batch-size seeds, shuffled. Each round starts one child process per build (rounds
alternate which goes first), and a child times --epochs epochs after a warm-up one:

- loader: CPU time (user + system, this process) per batch, iterating the loader alone;
- with model: the same with a model step between batches (the example's model, forward and
  backward, on one torch thread), minus the step's own time
  measured alone: a batch's cost where a training loop meets it, caches cooled by the step;
- between steps: in that same loop, the CPU time spent fetching each batch from the loader,
  timed around the fetch itself (no subtraction, so a step whose own time varies between the
  loop and its measurement alone does not move it);
- sample, assemble: CPU ms per batch in the sampler's ``sample_from_nodes`` and in the
  loader's ``filter_fn`` (building the batch);
- digest: a hash of every tensor of the first epoch's batches (under one torch seed), the
  same for both builds when they make identical batches.

Reported: the median over rounds, and per build pair the ratio of medians.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def batch_digest(batch, digest) -> None:
    import torch

    for store in batch.stores:
        for key, value in sorted(store.items(), key=lambda item: item[0]):
            digest.update(repr((getattr(store, "_key", None), key)).encode())
            if isinstance(value, torch.Tensor):
                digest.update(str(value.dtype).encode())
                digest.update(value.contiguous().numpy().tobytes())
            else:
                digest.update(repr(value).encode())


def child(path: str, batch_size: int, epochs: int) -> dict:
    import torch

    sys.path.insert(0, str(ROOT / "examples"))
    import relational_entity as example

    torch.set_num_threads(1)
    torch.manual_seed(0)
    loader, graph, table_features, _ = example.make_loader(path, batch_size=batch_size, shuffle=True, seed=0)
    sampler = loader.node_sampler
    spent = {"sample": 0.0, "assemble": 0.0}

    def timed(name, call):
        def run(*args, **kwargs):
            start = time.process_time()
            try:
                return call(*args, **kwargs)
            finally:
                spent[name] += time.process_time() - start
        return run

    sampler.sample_from_nodes = timed("sample", sampler.sample_from_nodes)
    loader.filter_fn = timed("assemble", loader.filter_fn)
    digest = hashlib.sha256()
    for batch in loader:  # warm-up, and the digest
        batch_digest(batch, digest)

    edge_types = [tuple(e) for e in graph.edge_types]
    model = example.Model(table_features, (list(graph.node_types), edge_types), "customers")
    with torch.no_grad():  # lazy layers take their sizes from a first batch
        model(next(iter(loader)), edge_types)
    optimiser = torch.optim.SGD(model.parameters(), lr=1e-3)

    def step(batch) -> None:
        optimiser.zero_grad()
        model(batch, edge_types).sum().backward()
        optimiser.step()

    batches = list(loader)
    step(batches[0])  # the first step allocates what later ones reuse
    timed_steps = batches * max(epochs, -(-20 // len(batches)))
    start = time.process_time()
    for batch in timed_steps:
        step(batch)
    step_only = (time.process_time() - start) / len(timed_steps)

    out = {"digest": digest.hexdigest()}
    for with_model in (False, True):
        spent.update(sample=0.0, assemble=0.0)
        count = 0
        fetching = 0.0
        start = time.process_time()
        for _ in range(epochs):
            batches = iter(loader)
            while True:
                fetch_start = time.process_time()
                batch = next(batches, None)
                fetching += time.process_time() - fetch_start
                if batch is None:
                    break
                count += 1
                if with_model:
                    step(batch)
        cpu = (time.process_time() - start) / count
        name = "with model" if with_model else "loader"
        out[name] = 1e3 * (cpu - step_only if with_model else cpu)
        if with_model:
            out["between steps"] = 1e3 * fetching / count
        if not with_model:
            out["sample"] = 1e3 * spent["sample"] / count
            out["assemble"] = 1e3 * spent["assemble"] / count
    return out


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--against", help="the python/ directory of another build, measured alternately")
    parser.add_argument("--customers", type=int, default=20_000)
    parser.add_argument("--batch-size", type=int, default=512)
    parser.add_argument("--epochs", type=int, default=3)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="a small shop, one round")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        print(json.dumps(child(args.child, args.batch_size, args.epochs)))
        return 0
    if args.quick:
        args.customers, args.rounds, args.epochs = 1_000, 1, 1
    sys.path.insert(0, str(ROOT / "bench"))
    from relational import write_shop

    builds = {"this": None}
    if args.against:
        builds["against"] = str(Path(args.against).resolve())
    results = {name: [] for name in builds}
    with tempfile.TemporaryDirectory() as scratch:
        path = str(Path(scratch) / "shop.duckdb")
        write_shop(path, args.customers)
        for round_ in range(args.rounds):
            names = list(builds) if round_ % 2 == 0 else list(reversed(builds))
            for name in names:
                env = dict(os.environ)
                if builds[name]:
                    env["PYTHONPATH"] = builds[name] + os.pathsep + env.get("PYTHONPATH", "")
                command = [sys.executable, __file__, "--child", path, "--batch-size", str(args.batch_size),
                           "--epochs", str(args.epochs)]
                output = subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout
                results[name].append(json.loads(output.splitlines()[-1]))
    figures = ("loader", "with model", "between steps", "sample", "assemble")
    print(f"CPU ms per batch, median of {args.rounds} rounds ({args.customers} customers, "
          f"batch {args.batch_size}, {args.epochs} epochs per round)")
    print(f"{'build':<10}" + "".join(f"{f:>14}" for f in figures) + "  digest")
    medians = {}
    for name, runs in results.items():
        medians[name] = {f: statistics.median(r[f] for r in runs) for f in figures}
        digests = {r["digest"][:12] for r in runs}
        print(f"{name:<10}" + "".join(f"{medians[name][f]:>14.3f}" for f in figures) + "  " + ",".join(digests))
    if "against" in medians:
        print(f"{'ratio':<10}" + "".join(f"{medians['this'][f] / medians['against'][f]:>14.2f}" for f in figures))
        same = {r["digest"] for r in results["this"]} == {r["digest"] for r in results["against"]}
        print("batches identical" if same else "BATCHES DIFFER")
        return 0 if same else 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
