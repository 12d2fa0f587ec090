"""Partitioned sampling over torch.distributed: a graph split into parts that open memory-mapped, each
rank serving its part over RPC and sampling across all of them as one sampler over the whole graph."""

from quorvix.dist.direct import DirectTransport
from quorvix.dist.part import Part, open_part, read_manifests
from quorvix.dist.partition import fingerprint, partition
from quorvix.dist.partition import main as partition_main
from quorvix.dist.sampler import (DistNeighborSampler, InProcessTransport, RpcTransport, init_part_worker, served_part,
                                  shutdown, worker_name)

__all__ = ["DirectTransport", "DistNeighborSampler", "InProcessTransport", "RpcTransport", "Part", "fingerprint", "init_part_worker", "open_part", "partition",
           "partition_main",
           "read_manifests", "served_part", "shutdown", "worker_name"]
