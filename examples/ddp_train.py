"""Train on several processes, or several machines, with PyTorch's DistributedDataParallel.

    torchrun --nproc_per_node=2 examples/ddp_train.py

Needs PyTorch (pip install torch); runs on CPU with the gloo backend. The task: for a
customer at a given time, predict whether the customer buys within the next 30 days, from a
subgraph of the customer's past: the 8 most recent transactions, their products, and each
product's 4 most recent transactions, none later than the seed's time.

- Every rank opens the same graph files with np.load(mmap_mode="r"), so the ranks on one
  machine share one copy of the graph in the page cache. Local rank 0 writes them first (or
  `--prepare-only` writes them in a separate step, e.g. once on a shared file system), and
  the others wait at a barrier.
- Every rank builds its own sampler and takes its share of each epoch's seeds with
  PyTorch's DistributedSampler: a shuffle that is the same on every rank for a given
  (--seed, epoch), split rank-strided, padded so that every rank runs the same number of
  steps.
- With temporal rules (the default) a seed's subgraph depends only on the seed, its time
  and the graph: the ranks together sample exactly what one process would. With
  `--rules random` the sampler ignores time and draws fan-outs uniformly (it then sees
  purchases after the seed time too: it shows the streams, not a sound model); each rank
  and epoch gets a stream of its own, seeded from (--seed, rank, epoch).
- A rank whose sampling fails (a bad seed id, say) raises; torchrun then stops the other
  ranks and exits non-zero, naming the failing rank and its error as the root cause.
  Collectives time out after --timeout seconds, so no rank waits forever.

Run without torchrun (`python examples/ddp_train.py`), it trains as a world of one.
"""

from __future__ import annotations

import argparse
import datetime
import os
import shutil
import socket
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import torch
import torch.distributed as dist
import torch.nn.functional as F
from torch import nn
from torch.distributed.elastic.multiprocessing.errors import record
from torch.nn.parallel import DistributedDataParallel
from torch.utils.data import DistributedSampler

sys.path.insert(0, str(Path(__file__).resolve().parent))  # the sibling examples, under torchrun too

import quorvix  # noqa: E402
from from_tables import DAY, build_graph, feature_matrices, make_tables  # noqa: E402
from torch_loader import load_graph, save_graph  # noqa: E402

ENTITY = "customers"
HORIZON = 30 * DAY  # label: does the customer buy within this long after the seed time?
SEED_TIMES_PER_CUSTOMER = 4
# Three hops: a customer's transactions, their products, the products' transactions. With
# timestamps a fan-out k takes the k most recent neighbours up to the seed's time; without,
# k drawn uniformly.
FANOUTS = {
    "transactions__customer_id__customers": [8, 0, 0],
    "customers__rev_customer_id__transactions": [0, 0, 0],
    "transactions__product_id__products": [0, 0, 4],
    "products__rev_product_id__transactions": [0, 1, 0],
}


# ---- data: written once, memory-mapped by every rank ------------------------------------

def prepare(directory, scale=1.0):
    """Write graph, features and labelled seeds to directory unless they are there already.

    Everything is a deterministic function of scale, so machines that prepare their own
    copy get identical files. graph.json is written last and marks a finished copy.
    """
    directory = Path(directory)
    if (directory / "graph.json").exists():
        return
    directory.mkdir(parents=True, exist_ok=True)
    tables = make_tables(num_customers=max(2, round(300 * scale)), num_products=max(1, round(60 * scale)),
                         num_transactions=max(1, round(5000 * scale)))
    node_types, edge_types, colptr, row, node_time = build_graph(tables)
    for t, x in feature_matrices(tables).items():
        std = x.std(axis=0)
        np.save(directory / f"features.{t}.npy", (x - x.mean(axis=0)) / np.where(std > 0, std, 1))
    seed_node, seed_time, label = labelled_seeds(tables)
    np.save(directory / "seed_node.npy", seed_node)
    np.save(directory / "seed_time.npy", seed_time)
    np.save(directory / "label.npy", label)
    save_graph(directory, node_types, edge_types, colptr, row, node_time)


def labelled_seeds(tables, per_customer=SEED_TIMES_PER_CUSTOMER, seed=3):
    """(customer, time) seeds after the customer's signup, labelled 1 when the customer has a
    transaction in (time, time + HORIZON]."""
    signup = np.asarray(tables["customers"]["signup"], dtype=np.int64)
    bought_by = np.asarray(tables["transactions"]["customer_id"], dtype=np.int64)
    bought_at = np.asarray(tables["transactions"]["time"], dtype=np.int64)
    rng = np.random.default_rng(seed)
    seed_node = np.repeat(np.arange(len(signup), dtype=np.int64), per_customer)
    last = bought_at.max() - HORIZON
    start = np.minimum(signup[seed_node] + HORIZON, last)
    seed_time = start + (rng.random(len(seed_node)) * (last - start)).astype(np.int64)
    # One sorted key per transaction, customer-major: a seed's future purchases are a range.
    shift = np.int64(1) << 40
    keys = np.sort(bought_by * shift + bought_at)
    base = seed_node * shift + seed_time
    label = np.searchsorted(keys, base + HORIZON, "right") > np.searchsorted(keys, base, "right")
    return seed_node, seed_time, label.astype(np.float32)


@dataclass
class Data:
    graph: tuple  # the NeighborSampler arguments, arrays memory-mapped
    features: dict
    seed_node: np.ndarray
    seed_time: np.ndarray
    label: np.ndarray


def open_data(directory):
    directory = Path(directory)
    graph = load_graph(directory)
    load = lambda name: np.load(directory / name, mmap_mode="r")  # noqa: E731
    return Data(graph, {t: load(f"features.{t}.npy") for t in graph[0]},
                load("seed_node.npy"), load("seed_time.npy"), load("label.npy"))


# ---- sampling: the rank's share of the seeds, a stream per rank and epoch ---------------

def stream_seed(base_seed, rank, epoch):
    """The sampler seed of one rank in one epoch: a 32-bit int of its own per triple."""
    word = int(np.random.SeedSequence([base_seed, rank, epoch]).generate_state(1)[0])
    return word - 2**31


def make_sampler(graph, rules, seed):
    """A sampler over the mapped graph; it copies no graph data, so one per epoch is cheap.
    "random" leaves out the timestamps, which makes every fan-out a uniform draw."""
    node_types, edge_types, colptr, row, node_time = graph
    return quorvix.NeighborSampler(node_types, edge_types, colptr, row,
                                   node_time if rules == "temporal" else {}, seed=seed)


def epoch_indices(num_seeds, rank, world_size, epoch, seed):
    """This rank's seed indices for the epoch, as DistributedSampler splits them."""
    split = DistributedSampler(range(num_seeds), num_replicas=world_size, rank=rank, shuffle=True, seed=seed)
    split.set_epoch(epoch)
    return np.fromiter(iter(split), dtype=np.int64, count=len(split))


def sample_batches(sampler, data, indices, batch_size):
    """(seed indices, sample result) per batch of indices."""
    for start in range(0, len(indices), batch_size):
        part = indices[start:start + batch_size]
        seed_node = np.ascontiguousarray(data.seed_node[part])
        seed_time = np.ascontiguousarray(data.seed_time[part])
        yield part, sampler.sample(FANOUTS, {}, ENTITY, seed_node, seed_time)


# ---- model: message passing over the sampled edges, plain tensors -----------------------

class SeedClassifier(nn.Module):
    """Per-type encoders, one mean-aggregating message layer per hop, a logit per seed.

    Messages flow from neighbour to frontier, towards the seeds. A layer holds only the edge
    types whose messages can still reach a seed in the layers left: DDP expects every
    parameter to take part in every step.
    """

    def __init__(self, in_dims, edge_types, hidden=16, num_layers=3):
        super().__init__()
        used = [e for e in edge_types if any(FANOUTS["__".join(e)])]
        reach = [{ENTITY}]  # reach[d]: the types within d message steps of a seed
        for _ in range(num_layers - 1):
            reach.append(reach[-1] | {t0 for t0, _, t2 in used if t2 in reach[-1]})
        self.layer_edge_types = [[e for e in used if e[2] in reach[num_layers - 1 - i]] for i in range(num_layers)]
        self.encode = nn.ModuleDict({t: nn.Linear(d, hidden) for t, d in in_dims.items()
                                     if t == ENTITY or any(t == e[0] for e in used)})
        self.layers = nn.ModuleList(nn.ModuleDict({"__".join(e): nn.Linear(hidden, hidden) for e in edge_types})
                                    for edge_types in self.layer_edge_types)
        self.head = nn.Linear(hidden, 1)

    def forward(self, x, edge_index, num_seeds):
        h = {t: torch.relu(encode(x[t])) for t, encode in self.encode.items()}
        for layer, edge_types in zip(self.layers, self.layer_edge_types):
            out = dict(h)
            for t0, rel, t2 in edge_types:
                key = f"{t0}__{rel}__{t2}"
                neighbour, frontier = edge_index[key]
                message = layer[key](h[t0])[neighbour]
                total = torch.zeros_like(h[t2]).index_add_(0, frontier, message)
                count = torch.bincount(frontier, minlength=len(h[t2])).clamp(min=1)
                out[t2] = out[t2] + total / count.unsqueeze(1).to(total.dtype)
            h = {t: torch.relu(v) for t, v in out.items()}
        return self.head(h[ENTITY][:num_seeds]).squeeze(1)  # seeds are the first customers


def to_inputs(result, data, seed_time):
    """Node features plus each node's age in 100 days at its seed's time; (2, E) edge indices."""
    out_row, out_col, out_node, out_batch, _, _ = result
    node_time = data.graph[4]
    x = {}
    for t, ids in out_node.items():
        age = (seed_time[out_batch[t]] - node_time[t][ids]) / (100 * DAY)
        x[t] = torch.from_numpy(np.column_stack([data.features[t][ids], age]).astype(np.float32))
    edge_index = {k: torch.stack([torch.from_numpy(out_row[k]), torch.from_numpy(out_col[k])]) for k in out_row}
    return x, edge_index


# ---- training -----------------------------------------------------------------------------

def train(data, epochs=5, batch_size=32, rules="temporal", seed=0, lr=0.03, log=print):
    """Train a DDP-wrapped model on this rank's share; returns the per-epoch (loss, accuracy)."""
    rank, world_size = dist.get_rank(), dist.get_world_size()
    torch.manual_seed(seed)  # DDP also broadcasts rank 0's initial weights
    in_dims = {t: f.shape[1] + 1 for t, f in data.features.items()}
    model = DistributedDataParallel(SeedClassifier(in_dims, data.graph[1]))
    optimizer = torch.optim.Adam(model.parameters(), lr=lr)
    history = []
    for epoch in range(epochs):
        sampler = make_sampler(data.graph, rules, stream_seed(seed, rank, epoch))
        indices = epoch_indices(len(data.label), rank, world_size, epoch, seed)
        totals = torch.zeros(4, dtype=torch.float64)  # loss sum, correct, seeds, positives
        for part, result in sample_batches(sampler, data, indices, batch_size):
            x, edge_index = to_inputs(result, data, np.asarray(data.seed_time[part]))
            label = torch.from_numpy(np.asarray(data.label[part]))
            logit = model(x, edge_index, len(part))
            loss = F.binary_cross_entropy_with_logits(logit, label)
            optimizer.zero_grad()
            loss.backward()  # DDP averages the gradients over the ranks here
            optimizer.step()
            correct = ((logit > 0) == (label > 0.5)).sum().item()
            totals += torch.tensor([loss.item() * len(part), correct, len(part), label.sum().item()],
                                   dtype=torch.float64)
        dist.all_reduce(totals)
        history.append((float(totals[0] / totals[2]), float(totals[1] / totals[2])))
        if rank == 0:
            log(f"epoch {epoch}: loss {history[-1][0]:.4f}, accuracy {history[-1][1]:.3f} "
                f"(buyers {float(totals[3] / totals[2]):.3f}) over {int(totals[2])} seeds on {world_size} ranks")
    # Every replica must end with the same weights: compare elementwise extremes over the ranks.
    weights = torch.cat([p.detach().flatten() for p in model.parameters()])
    low, high = weights.clone(), weights.clone()
    dist.all_reduce(low, op=dist.ReduceOp.MIN)
    dist.all_reduce(high, op=dist.ReduceOp.MAX)
    if rank == 0:
        log(f"replicas in sync: {'yes' if torch.equal(low, high) else 'NO'}")
    return history


def init_distributed(timeout_seconds):
    """Join the job torchrun started, or form a world of one on loopback."""
    timeout = datetime.timedelta(seconds=timeout_seconds)
    if "WORLD_SIZE" in os.environ:
        dist.init_process_group("gloo", timeout=timeout)
    else:
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        dist.init_process_group("gloo", init_method=f"tcp://127.0.0.1:{port}", rank=0, world_size=1,
                                timeout=timeout)


def shared_graph_dir(requested):
    """The graph directory every rank reads; local rank 0 fills it, the others wait."""
    if requested is None:
        if int(os.environ.get("LOCAL_WORLD_SIZE", 1)) != dist.get_world_size():
            raise SystemExit("ddp_train.py: ranks on several machines need --graph-dir")
        # One machine: rank 0 makes a temporary directory and tells the others its name.
        name = [tempfile.mkdtemp(prefix="quorvix-ddp-") if dist.get_rank() == 0 else None]
        dist.broadcast_object_list(name, src=0)
        requested = name[0]
    return Path(requested)


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--graph-dir", help="where the graph files are, or are written (default: a temporary "
                                            "directory, one machine only)")
    parser.add_argument("--scale", type=float, default=1.0, help="graph size: 300 customers and 5000 "
                                                                 "transactions times this (default 1)")
    parser.add_argument("--epochs", type=int, default=5)
    parser.add_argument("--batch-size", type=int, default=32, help="seeds per rank and step (default 32)")
    parser.add_argument("--lr", type=float, default=0.03, help="Adam's learning rate (default 0.03)")
    parser.add_argument("--rules", choices=["temporal", "random"], default="temporal",
                        help="most recent neighbours up to the seed time, or uniform draws ignoring time")
    parser.add_argument("--seed", type=int, default=0, help="base seed of shuffles, weights and samplers (>= 0)")
    parser.add_argument("--timeout", type=float, default=300.0,
                        help="seconds any collective may wait (default 300)")
    parser.add_argument("--prepare-only", action="store_true",
                        help="write the graph files to --graph-dir and exit")
    args = parser.parse_args(argv)
    if args.seed < 0:
        parser.error("--seed must be >= 0")
    if args.prepare_only and args.graph_dir is None:
        parser.error("--prepare-only needs --graph-dir")
    return args


def run(args):
    """Prepare or find the graph, then train; the process group is already set up."""
    graph_dir = None
    try:
        graph_dir = shared_graph_dir(args.graph_dir)
        if int(os.environ.get("LOCAL_RANK", 0)) == 0:
            prepare(graph_dir, args.scale)
        dist.barrier()
        history = train(open_data(graph_dir), args.epochs, args.batch_size, args.rules, args.seed, args.lr)
        dist.barrier()  # nobody reads the graph any more
        return history
    finally:
        if args.graph_dir is None and graph_dir is not None and dist.get_rank() == 0:
            shutil.rmtree(graph_dir, ignore_errors=True)


@record  # torchrun reports a failing rank's traceback as the job's root cause
def main(argv=None):
    args = parse_args(argv)
    if args.prepare_only:
        prepare(args.graph_dir, args.scale)
        return
    if "OMP_NUM_THREADS" not in os.environ:  # as torchrun sets it: the model is too small for more
        torch.set_num_threads(1)
    init_distributed(args.timeout)
    try:
        run(args)
    finally:
        dist.destroy_process_group()


if __name__ == "__main__":
    main()
