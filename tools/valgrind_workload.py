"""A small workload for tools/valgrind.sh: constructions, sample calls of every kind and the ways
both can fail, then everything released."""

import gc
import sys

import numpy as np

import quorvix

KEY = "n__e__n"


def i64(*values):
    return np.array(values, dtype=np.int64)


def ring(size, layout=lambda array: array, timed=True):
    runs = [sorted((v + d) % size for d in (1, 2, 3)) for v in range(size)]
    return dict(
        node_types=["n"],
        edge_types=[("n", "e", "n")],
        colptr={KEY: layout(np.arange(0, 3 * size + 1, 3, dtype=np.int64))},
        row={KEY: layout(np.array(sum(runs, []), dtype=np.int64))},
        node_time={"n": layout(np.arange(size, dtype=np.int64))} if timed else {},
    )


def attempt(call, *args, **kwargs):
    try:
        return call(*args, **kwargs)
    except Exception as error:  # noqa: BLE001 - failures are part of the workload
        return error


def main():
    layouts = [lambda a: a, lambda a: a.tolist(), lambda a: a.astype(">i8"), lambda a: np.repeat(a, 2)[::2]]
    samplers = [quorvix.NeighborSampler(**ring(40, layout)) for layout in layouts]
    samplers.append(quorvix.NeighborSampler(**ring(40, timed=False), seed=-1))
    seeds, times = i64(0, 5, 17, 39), i64(30, 35, 39, 39)
    none = i64()
    window = {KEY: np.array([[-10, 0], [None, 0]], dtype=object)}
    for sampler in samplers:
        for _ in range(20):
            attempt(sampler.sample, {KEY: i64(2, -1)}, {}, "n", seeds, times)
            attempt(sampler.sample, {}, window, "n", seeds, times)
            attempt(sampler.sample, {KEY: i64(2, 2)}, {}, "n", seeds, none)
            attempt(sampler.sample, {KEY: i64(1)}, {}, "n", i64(0, 999), none)  # beyond colptr
            attempt(sampler.sample, {KEY: i64(1)}, window, "n", seeds, times)  # in both dicts
            attempt(sampler.sample, {}, {}, "n", seeds, times)  # KeyError
            attempt(sampler.sample, {}, {KEY: np.array([[0, 1.5]])}, "n", seeds, times)  # float offset
            attempt(sampler.sample, {KEY: i64(1)}, {}, "m", seeds, times)

    # Out-of-order times, a colptr that leaves its row, ids beyond node_time, and a big random window.
    bad = ring(40)
    bad["node_time"]["n"] = bad["node_time"]["n"][::-1].copy()
    attempt(lambda: quorvix.NeighborSampler(**bad).sample({}, window, "n", seeds, times))
    bad = ring(40)
    bad["colptr"][KEY][5] = 10**6
    attempt(lambda: quorvix.NeighborSampler(**bad).sample({KEY: i64(-1)}, {}, "n", i64(4), none))
    bad = ring(40)
    bad["row"][KEY][:] = 10**9
    attempt(lambda: quorvix.NeighborSampler(**bad).sample({KEY: i64(-1)}, {}, "n", seeds, times))
    big = 200_000
    wide = dict(node_types=["u", "i"], edge_types=[("i", "r", "u")], colptr={"i__r__u": i64(0, big)},
                row={"i__r__u": np.arange(big, dtype=np.int64)}, node_time={})
    attempt(quorvix.NeighborSampler(**wide).sample, {"i__r__u": i64(1000, 3)}, {}, "u", i64(0, 0), none)

    # Failed constructions and a name that is not UTF-8.
    good = ring(10)
    attempt(quorvix.NeighborSampler, **{**good, "row": {}})
    attempt(quorvix.NeighborSampler, **{**good, "colptr": {KEY: np.zeros((2, 2), dtype=np.int64)}})
    attempt(quorvix.NeighborSampler, **{**good, "node_time": None})
    attempt(quorvix.NeighborSampler, **{**good, "edge_types": [("x", "e", "n")]})
    attempt(quorvix.NeighborSampler, [b"\xff"], [], {}, {}, {})

    # A sample call made from within a sample call on the same sampler.
    first = samplers[0]

    class Reentrant(dict):
        def __getitem__(self, key, first=first):
            attempt(first.sample, {}, {}, "n", none, none)
            return super().__getitem__(key)

    attempt(first.sample, Reentrant({KEY: i64(2)}), {}, "n", seeds, times)
    # An instance whose __init__ never ran.
    attempt(quorvix.NeighborSampler.__new__(quorvix.NeighborSampler).sample, {}, {}, "n", seeds, times)

    del samplers
    gc.collect()
    print("workload done", file=sys.stderr)


if __name__ == "__main__":
    main()
