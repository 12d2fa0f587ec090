"""The benchmark's workloads: the requests, the seed batches drawn from the shop graph, the sampler
built for each, and the sizes of a result. See run.py for what each workload measures."""

from __future__ import annotations


import numpy as np

import graph as shop

DAY = shop.DAY

WORKLOADS = ["last-k", "window", "uniform", "take-all"]
DESCRIPTIONS = {
    "last-k": "temporal, 16 then 8 most recent per edge type",
    "window": "temporal, last 30 days then last 365 days",
    "uniform": "no timestamps, 16 then 8 uniform per edge type",
    "take-all": "temporal, every neighbour up to the seed time, 2 hops",
}
NUM_HOPS = 2


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


def random_graph(num_nodes: int, num_edges: int, seed: int) -> dict[str, np.ndarray]:
    """A hub-free random graph of one node type in CSC form: every edge's two ends drawn uniformly,
    so degrees are about Poisson(num_edges / num_nodes). Per position of `row`: an exponential
    weight and a time that increases along each node's run (the runs' order for the time rules).

    Keys: colptr (num_nodes + 1), row, dst (the frontier node of each position), weight (float64),
    time (int64, unique within a run)."""
    rng = np.random.default_rng(seed)
    dst = np.sort(rng.integers(0, num_nodes, num_edges, dtype=np.int64))
    row = rng.integers(0, num_nodes, num_edges, dtype=np.int64)
    colptr = np.zeros(num_nodes + 1, dtype=np.int64)
    np.cumsum(np.bincount(dst, minlength=num_nodes), out=colptr[1:])
    return {
        "colptr": colptr,
        "row": row,
        "dst": dst,
        "weight": rng.exponential(size=num_edges),
        "time": np.arange(num_edges, dtype=np.int64),
    }
