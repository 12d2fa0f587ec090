"""The loader benchmark's graph and its timers: what it measures must be what it says."""

import math
import multiprocessing
import sys
from pathlib import Path

import numpy as np
import pytest

pytestmark = pytest.mark.python_only  # the benchmark harness's timers, with worker processes
torch = pytest.importorskip("torch")
pytest.importorskip("torch_geometric")

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import loader as bench  # noqa: E402

SCALE = 0.001  # 1,000 users, 100 items, 5,000 orders


@pytest.fixture(scope="module")
def data():
    return bench.build_data(SCALE, features=3)


def pairs(data, edge_type):
    src, dst = data[edge_type].edge_index.numpy()
    return set(zip(src.tolist(), dst.tolist()))


def test_derived_edge_types_follow_the_orders(data):
    assert len(data.edge_types) == 8
    # (item, user) pairs by brute force over the orders and their lines.
    user_of_order = {order: user for user, order in pairs(data, ("users", "places", "orders"))}
    expected = {(item, user_of_order[order]) for item, order in pairs(data, ("items", "listed_in", "orders"))}
    assert pairs(data, ("items", "bought_by", "users")) == expected
    assert pairs(data, ("users", "bought", "items")) == {(u, i) for i, u in expected}
    assert data["items", "bought_by", "users"].num_edges == len(expected)  # each pair once

    referred = pairs(data, ("users", "referred", "users"))
    assert referred and all(referrer < user for referrer, user in referred)  # ids follow creation
    assert len({user for _, user in referred}) == len(referred)  # one referrer per user
    assert pairs(data, ("users", "referred_by", "users")) == {(u, r) for r, u in referred}
    for node_type in data.node_types:
        assert data[node_type].x.shape == (data[node_type].num_nodes, 3)


@pytest.mark.parametrize("config", [
    bench.Config(workers=0, persistent=False, filter_per_worker=False, threads=2),
    bench.Config(workers=1, persistent=True, filter_per_worker=True, threads=1),
    bench.Config(workers=2, persistent=False, filter_per_worker=False, threads=1),
], ids=lambda c: c.label)
def test_timers_count_every_batch_where_it_is_made(data, config):
    """run_once raises unless the sampler and collation timers saw each timed batch once, in the
    main process or in forked workers; the per-batch times cannot exceed the batch's share."""
    from quorvix.pyg import graph_from_hetero_data

    class Args:
        fanouts, batch_size, epochs = [2, 1], 64, 2

    users, times = bench.seeds(data, batches=3, batch_size=Args.batch_size)
    result = bench.run_once(data, graph_from_hetero_data(data, "time"), users, times, config, Args)
    assert result["batches_per_s"] > 0 and result["sample_ms"] > 0 and result["collate_ms"] > 0
    if config.workers == 0:
        # Everything runs in the main process: sampling and collation fit in the wall time.
        wall_ms = 1000 / result["batches_per_s"]
        assert result["sample_ms"] + result["collate_ms"] <= wall_ms
    elif multiprocessing.get_start_method() == "fork":  # else the workers are not our children
        assert result["worker_cpu_ms"] > 0
    else:
        assert math.isnan(result["worker_cpu_ms"])


def test_seed_times_start_at_the_seed_and_stay_on_the_timeline(data):
    users, times = bench.seeds(data, batches=4, batch_size=100)
    created = data["users"].time.numpy()[users]
    assert len(np.unique(users)) == users.size == 400
    assert np.all(times >= np.maximum(created, bench.shop.TIME_START)) and np.all(times <= bench.shop.TIME_END)
