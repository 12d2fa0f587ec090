"""Where the time of a link batch goes: quorvix.pyg's Python side against the native call.

    python bench/pyg_link.py [--scale 1.0] [--batches 40]

The purchases of examples/pyg_link_train.py's shop are the seed links. For each negative
mode, NeighborSampler.sample_from_edges runs on consecutive batches of 256 links; the CPU
time (time.process_time, one thread) of the whole call and of the native sample_groups call
inside it are recorded per batch, and their medians reported, with the number of sampled
nodes per batch.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

import torch

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))
from pyg_link_train import BUYS, make_shop  # noqa: E402
from torch_geometric.sampler import EdgeSamplerInput, NegativeSampling  # noqa: E402

from quorvix.pyg import NeighborSampler  # noqa: E402


class TimedNative:
    """The native sampler, with the CPU time of its sample_groups calls."""

    def __init__(self, native):
        self.native, self.seconds = native, 0.0

    def sample_groups(self, *args):
        start = time.process_time()
        result = self.native.sample_groups(*args)
        self.seconds += time.process_time() - start
        return result


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--batches", type=int, default=40)
    parser.add_argument("--batch-size", type=int, default=256)
    args = parser.parse_args(argv)
    data, customer, product, link_time = make_shop(args.scale)
    sampler = NeighborSampler(data, [8, 1], time_attr="time", seed=0)
    timed = TimedNative(sampler.native_sampler())
    sampler.native_sampler = lambda: timed  # type: ignore[method-assign]
    modes = {"none": None, "binary x1": NegativeSampling("binary", 1),
             "triplet x20": NegativeSampling("triplet", 20)}
    print(f"{customer.size} links, batches of {args.batch_size}; medians over {args.batches} batches")
    print(f"{'negatives':<12} {'total ms':>9} {'native ms':>10} {'python ms':>10} {'nodes':>8}")
    for name, neg in modes.items():
        total, native, nodes = [], [], []
        for b in range(args.batches):
            lo = (b * args.batch_size) % max(customer.size - args.batch_size, 1)
            part = slice(lo, lo + args.batch_size)
            index = EdgeSamplerInput(torch.arange(lo, lo + args.batch_size), torch.from_numpy(customer[part]),
                                     torch.from_numpy(product[part]), time=torch.from_numpy(link_time[part]),
                                     input_type=BUYS)
            timed.seconds = 0.0
            start = time.process_time()
            out = sampler.sample_from_edges(index, neg)
            total.append(time.process_time() - start)
            native.append(timed.seconds)
            nodes.append(sum(v.numel() for v in out.node.values()))
        t, n = statistics.median(total) * 1e3, statistics.median(native) * 1e3
        print(f"{name:<12} {t:>9.2f} {n:>10.2f} {t - n:>10.2f} {statistics.median(nodes):>8.0f}")


if __name__ == "__main__":
    main()
