"""Train with DistributedDataParallel on a graph split into parts, one part per rank.

    torchrun --nproc_per_node=2 examples/dist_train.py

Needs PyTorch and PyTorch Geometric; runs on CPU (gloo for the gradients; sampling requests go
over sockets each rank serves). The synthetic shop of examples/pyg_train.py (customers, products,
transactions) is written as one part per rank with quorvix.pyg.partition_data; each rank opens its
part, serves it to the others, and trains on batches of quorvix.pyg.DistNeighborLoader:
a customer's most recent transactions up to the cut-off and their products, sampled across parts,
node features read from the parts that own them. No rank holds the whole graph to sample.

As a check, each rank also builds the synthetic shop whole and compares every batch with
quorvix.pyg.NeighborLoader's over it: the rules take the most recent neighbours, so the batches
must be equal; a mismatch ends the run with exit code 1.

On several machines, write the parts once (--prepare-only), give each machine the directory
with its part-<k> and every part's manifest.json, and start torchrun on each with --nnodes,
--node_rank, --master_addr and --master_port (see docs/guide/distributed.md).
"""

from __future__ import annotations

import argparse
import datetime
import os
import shutil
import sys
import tempfile
from pathlib import Path

import numpy as np
import torch
import torch.distributed as dist
import torch.nn.functional as F
from torch.distributed.elastic.multiprocessing.errors import record
from torch.nn.parallel import DistributedDataParallel

sys.path.insert(0, str(Path(__file__).resolve().parent))  # the sibling examples, under torchrun too

import quorvix.dist  # noqa: E402
from pyg_train import Model, check_no_future, examples_at, make_database  # noqa: E402
from quorvix.pyg import DistNeighborLoader, NeighborLoader, partition_data  # noqa: E402

CUTOFFS = [150, 210]  # days
LOADER = dict(num_neighbors=[8, 1], temporal_strategy="last")  # 8 latest transactions, then their product


def flat_batch(batch):
    """Every attribute of every store of a batch, by (store, name), tensors as lists."""
    return {(str(key), name): value.tolist() if torch.is_tensor(value) else value
            for key in batch.node_types + batch.edge_types for name, value in batch[key].items()}


def rank_examples(data, rank, world_size):
    """This rank's (customer, cut-off, label) examples: every world_size-th one, cut to a length
    every rank shares, so that all ranks take the same number of DDP steps."""
    nodes, times, labels = examples_at(data, CUTOFFS)
    count = len(nodes) // world_size
    picks = np.arange(rank, count * world_size, world_size)
    return nodes[picks], times[picks], labels[picks]


def train(part, data, rank, world_size, epochs, batch_size, timeout):
    nodes, times, labels = rank_examples(data, rank, world_size)
    seeds = ("customers", torch.from_numpy(nodes))
    loader = DistNeighborLoader(part, input_nodes=seeds, input_time=times, batch_size=batch_size, timeout=timeout,
                                **LOADER)
    whole = NeighborLoader(data, input_nodes=seeds, input_time=times, time_attr="time", batch_size=batch_size,
                           **LOADER)
    model = Model(data.metadata())
    with torch.no_grad():  # lazy layers take their input sizes from a first batch
        model(next(iter(loader)))
    # Only the customers' output is read: the layers producing the others get no gradient.
    model = DistributedDataParallel(model, find_unused_parameters=True)
    optimizer = torch.optim.Adam(model.parameters(), lr=0.01)
    checked = 0
    for epoch in range(epochs):
        total, seen = 0.0, 0
        for batch, expected in zip(loader, whole):
            if flat_batch(batch) != flat_batch(expected):
                raise SystemExit(f"rank {rank}: batch {seen // batch_size} of epoch {epoch} differs from the "
                                 "single-machine loader's")
            checked += 1
            check_no_future(batch)
            y = labels[batch["customers"].input_id]
            optimizer.zero_grad()
            loss = F.binary_cross_entropy_with_logits(model(batch), y)
            loss.backward()
            optimizer.step()
            total += loss.item() * len(y)
            seen += len(y)
        print(f"rank {rank}: epoch {epoch}: loss {total / seen:.4f} over {seen} examples", flush=True)
    print(f"rank {rank}: {checked} batches equal the single-machine loader's", flush=True)


def parts_dir(requested):
    """The parts' directory: the one given, else a temporary one rank 0 names (one machine only)."""
    if requested is not None:
        return Path(requested)
    if int(os.environ.get("LOCAL_WORLD_SIZE", 1)) != dist.get_world_size():
        raise SystemExit("dist_train.py: ranks on several machines need --parts-dir")
    name = [tempfile.mkdtemp(prefix="quorvix-parts-") if dist.get_rank() == 0 else None]
    dist.broadcast_object_list(name, src=0)
    return Path(name[0])


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--parts-dir", help="where the parts are, or are written (default: a temporary "
                                            "directory, one machine only)")
    parser.add_argument("--scale", type=float, default=0.04, help="shop size as in pyg_train.py (default 0.04)")
    parser.add_argument("--epochs", type=int, default=2)
    parser.add_argument("--batch-size", type=int, default=16, help="examples per rank and step (default 16)")
    parser.add_argument("--timeout", type=float, default=60.0,
                        help="seconds any collective or part request may wait (default 60)")
    parser.add_argument("--prepare-only", type=int, metavar="NUM_PARTS",
                        help="write NUM_PARTS parts to --parts-dir and exit")
    args = parser.parse_args(argv)
    if args.prepare_only is not None and args.parts_dir is None:
        parser.error("--prepare-only needs --parts-dir")
    return args


@record  # torchrun reports a failing rank's traceback as the job's root cause
def main(argv=None):
    args = parse_args(argv)
    torch.manual_seed(0)
    if args.prepare_only is not None:
        for directory in partition_data(make_database(args.scale), args.prepare_only, args.parts_dir, time_attr="time"):
            print(f"wrote {directory}", flush=True)
        return
    if "OMP_NUM_THREADS" not in os.environ:  # the model is too small for more
        torch.set_num_threads(1)
    if "WORLD_SIZE" not in os.environ:
        raise SystemExit("dist_train.py runs under torchrun, e.g. torchrun --nproc_per_node=2 examples/dist_train.py")
    dist.init_process_group("gloo", timeout=datetime.timedelta(seconds=args.timeout))
    rank, world_size = dist.get_rank(), dist.get_world_size()
    directory = None
    try:
        directory = parts_dir(args.parts_dir)
        data = make_database(args.scale)  # every rank builds it whole, only to check its batches
        if int(os.environ.get("LOCAL_RANK", 0)) == 0 and not (directory / "part-0" / "manifest.json").exists():
            partition_data(data, world_size, directory, time_attr="time")
        dist.barrier()
        # Under torchrun the launcher hosts the store both worlds meet at.
        part = quorvix.dist.init_part_worker(directory, rank, world_size, init_method="env://", timeout=args.timeout)
        try:
            train(part, data, rank, world_size, args.epochs, args.batch_size, args.timeout)
        except BaseException:
            quorvix.dist.shutdown(graceful=False)  # the others may never reach a graceful one
            raise
        quorvix.dist.shutdown()  # waits until every rank has stopped sampling
    finally:
        if args.parts_dir is None and directory is not None and rank == 0:
            shutil.rmtree(directory, ignore_errors=True)
        dist.destroy_process_group()


if __name__ == "__main__":
    main()
