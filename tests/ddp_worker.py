"""One rank of the two-rank job of test_distributed.py, launched by torchrun.

    ddp_worker.py GRAPH_DIR OUT_DIR BASE_SEED

Records the batches this rank samples from GRAPH_DIR in epochs 0 and 1 under both rules
(OUT_DIR/rank<r>.pkl), then runs the training example at a small size.
"""

import pickle
import sys
from pathlib import Path

import torch.distributed as dist

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "examples"))

import ddp_train  # noqa: E402

BATCH_SIZE = 16


def record_batches(graph_dir, base_seed):
    rank, world_size = dist.get_rank(), dist.get_world_size()
    data = ddp_train.open_data(graph_dir)
    batches = {}
    for rules in ("temporal", "random"):
        for epoch in (0, 1):
            sampler = ddp_train.make_sampler(data.graph, rules, ddp_train.stream_seed(base_seed, rank, epoch))
            indices = ddp_train.epoch_indices(len(data.label), rank, world_size, epoch, base_seed)
            sampled = ddp_train.sample_batches(sampler, data, indices, BATCH_SIZE)
            batches[rules, epoch] = [(part.tolist(), result) for part, result in sampled]
    return batches


def main(graph_dir, out_dir, base_seed):
    ddp_train.init_distributed(timeout_seconds=60)
    try:
        batches = record_batches(graph_dir, int(base_seed))
        (Path(out_dir) / f"rank{dist.get_rank()}.pkl").write_bytes(pickle.dumps(batches))
        args = ddp_train.parse_args(["--scale", "0.2", "--epochs", "2", "--batch-size", str(BATCH_SIZE),
                                     "--seed", base_seed])
        ddp_train.run(args)  # the graph in a temporary directory that rank 0 shares
    finally:
        dist.destroy_process_group()


if __name__ == "__main__":
    main(*sys.argv[1:])
