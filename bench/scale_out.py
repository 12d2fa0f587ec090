"""What scaling past one machine would cost, measured on the synthetic shop graph (bench/graph.py).

    python bench/scale_out.py               # the figures of docs/guide/scaling-out.md
    python bench/scale_out.py --scale 0.01  # the same at a tiny scale, in a second or two

Three measurements:

1. Ranks on one machine. --ranks processes each map the graph files and sample the last-k
   workload of bench/run.py; each reports, from /proc/self/smaps, the resident bytes of its
   mappings of the graph files and its Pss share of them (proportional set size: a page
   shared by n processes counts 1/n in each). The graph is held once, whatever the ranks.

2. A partitioned graph, for a graph larger than one machine. Each of M machines owns the
   frontier nodes with id % M == its number and stores their runs: colptr entries, row
   entries, and next to each row entry a copy of the neighbour's timestamp, so that the
   window of a run is found where the run lives; plus node_time of the nodes it owns (the
   seeds' own times). The figure is the largest machine's share, in bytes.

3. Network traffic of that design. Seeds are split over trainers by stride (as
   DistributedSampler does after its shuffle), and a trainer samples hop by hop: for each
   frontier node owned by another machine, one request carries the node id and the seed's
   time (16 bytes), and the reply carries the chosen neighbour ids (8 bytes each). The
   counts come from real sampling results: per hop and edge type, the frontier is the nodes
   added in the hop before. Reported per sampled edge and per seed. Feature lookups, which
   would cross the network too, are outside the sampler and not counted.
"""

from __future__ import annotations

import argparse
import multiprocessing
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import graph as shop  # noqa: E402
import workloads  # noqa: E402

MIB = 2**20
REQUEST_BYTES = 16  # node id + seed time
REPLY_BYTES_PER_EDGE = 8  # neighbour id


# ---- 1. ranks on one machine --------------------------------------------------------------

def graph_mapping_bytes(directory: Path) -> tuple[int, int]:
    """(Rss, Pss) in bytes of this process's mappings of the files under directory."""
    rss = pss = 0
    inside = False
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            first = line.split(maxsplit=1)[0]
            if not first.endswith(":"):  # a mapping's header line: address range ... path
                inside = line.rstrip().endswith(".npy") and str(directory) in line
            elif inside and first == "Rss:":
                rss += int(line.split()[1]) * 1024
            elif inside and first == "Pss:":
                pss += int(line.split()[1]) * 1024
    return rss, pss


def rank_process(scale, seed, batches, batch_size, start, done, results, rank, ranks):
    graph = shop.load_graph(scale, seed)
    sampler = workloads.make_sampler(__import__("quorvix"), graph, with_time=True)
    num_neighbors, offsets = workloads.request("last-k")
    pool = workloads.seed_batches(graph, batch_size, batches * ranks, seed=11)[rank::ranks]
    start.wait()
    for users, times in pool:
        sampler.sample(num_neighbors, offsets, "users", users, times)
    done.wait()  # every rank has sampled: the pages they share are mapped by all of them
    results[rank] = graph_mapping_bytes(graph.path)
    done.wait()  # nobody unmaps before everybody has read their figures


def measure_ranks(scale, seed, ranks, batches, batch_size):
    shop.load_graph(scale, seed)  # build the cache before the ranks start
    context = multiprocessing.get_context("spawn")
    start, done = context.Barrier(ranks), context.Barrier(ranks)
    with context.Manager() as manager:
        results = manager.dict()
        processes = [context.Process(target=rank_process,
                                     args=(scale, seed, batches, batch_size, start, done, results, r, ranks))
                     for r in range(ranks)]
        for p in processes:
            p.start()
        for p in processes:
            p.join(timeout=600)
            if p.exitcode != 0:
                raise RuntimeError(f"rank process ended with {p.exitcode}")
        return [results[r] for r in range(ranks)]


# ---- 2. partition sizes ---------------------------------------------------------------------

def partition_bytes(graph: shop.Graph, machines: int) -> np.ndarray:
    """Bytes each machine stores when frontier nodes are partitioned by id % machines."""
    total = np.zeros(machines)
    for (_, _, frontier), key in zip(shop.EDGE_TYPES, shop.EDGE_TYPE_KEYS):
        degree = np.diff(np.asarray(graph.colptr[key]))
        owner = np.arange(degree.size) % machines
        runs = np.bincount(owner, minlength=machines)
        edges = np.bincount(owner, weights=degree, minlength=machines)
        total += 8 * (runs + 1) + 16 * edges  # colptr, row and each neighbour's time
    for node_type, n in graph.num_nodes.items():
        total += 8 * np.bincount(np.arange(n) % machines, minlength=machines)
    return total


# ---- 3. network per sampled edge -------------------------------------------------------------

def remote_traffic(result, seed_rank: np.ndarray, machines: int, num_neighbors: dict) -> tuple[int, int, int]:
    """(bytes crossing the network, sampled edges, lookups) for one sampled batch."""
    out_row, out_col, out_node, out_batch, num_nodes, num_edges = result
    hop_of = {t: np.repeat(np.arange(len(c)), c) for t, c in num_nodes.items()}  # 0: seeds
    sent = edges = lookups = 0
    for (_, _, frontier), key in zip(shop.EDGE_TYPES, shop.EDGE_TYPE_KEYS):
        nodes, trainer = out_node[frontier], seed_rank[out_batch[frontier]]
        remote = nodes % machines != trainer
        for hop, fanout in enumerate(num_neighbors[key]):
            if fanout == 0:
                continue
            asked = hop_of[frontier] == hop
            lookups += int(asked.sum())
            sent += REQUEST_BYTES * int((asked & remote).sum())
        edge_remote = remote[out_col[key]]
        edges += out_col[key].size
        sent += REPLY_BYTES_PER_EDGE * int(edge_remote.sum())
    return sent, edges, lookups


def measure_traffic(graph, workload, machines, batches, batch_size):
    import quorvix

    sampler = workloads.make_sampler(quorvix, graph, with_time=workloads.uses_time(workload))
    num_neighbors, offsets = workloads.request(workload)
    seed_rank = np.arange(batch_size) % machines  # strided, as DistributedSampler splits
    sent = edges = lookups = seeds = 0
    for users, times in workloads.seed_batches(graph, batch_size, batches, seed=11):
        result = sampler.sample(num_neighbors, offsets, "users", users, times)
        s, e, k = remote_traffic(result, seed_rank, machines, num_neighbors)
        sent, edges, lookups, seeds = sent + s, edges + e, lookups + k, seeds + len(users)
    return sent, edges, lookups, seeds


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--seed", type=int, default=0, help="graph generator seed (default 0)")
    parser.add_argument("--machines", type=int, nargs="+", default=[2, 4, 8])
    parser.add_argument("--ranks", type=int, default=2, help="processes sharing one machine's graph (default 2)")
    parser.add_argument("--batches", type=int, default=16)
    parser.add_argument("--batch-size", type=int, default=1024)
    args = parser.parse_args(argv)

    graph = shop.load_graph(args.scale, args.seed)
    whole = graph.nbytes()
    print(f"graph: {sum(graph.num_edges.values()):,} edges, {whole / MIB:,.1f} MiB of arrays")

    print(f"\n{args.ranks} ranks on one machine, last-k, {args.batches} batches of {args.batch_size} per rank:")
    for rank, (rss, pss) in enumerate(measure_ranks(args.scale, args.seed, args.ranks, args.batches,
                                                    args.batch_size)):
        print(f"  rank {rank}: graph pages resident {rss / MIB:,.1f} MiB, its Pss share {pss / MIB:,.1f} MiB")

    design = partition_bytes(graph, 1)[0]
    print(f"\npartitioned by frontier id % M (runs, row with neighbour times, own node times; "
          f"{design / MIB:,.1f} MiB in all):")
    for m in args.machines:
        share = partition_bytes(graph, m)
        print(f"  M={m}: largest machine {share.max() / MIB:,.1f} MiB, mean {share.mean() / MIB:,.1f} MiB "
              f"({share.max() / whole:.1%} of the graph)")

    print("\nnetwork per batch, trainers split the seeds by stride:")
    print("  workload  M  edges/seed  lookups/seed  bytes/edge  bytes/seed")
    for workload in ("last-k", "uniform"):
        for m in args.machines:
            sent, edges, lookups, seeds = measure_traffic(graph, workload, m, args.batches, args.batch_size)
            print(f"  {workload:8s} {m:2d}  {edges / seeds:10.1f}  {lookups / seeds:12.1f}  "
                  f"{sent / max(edges, 1):10.1f}  {sent / seeds:10.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
