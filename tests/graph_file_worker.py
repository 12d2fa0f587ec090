"""A second process for the saved-graph tests.

python graph_file_worker.py sample <directory> <calls>: opens the saved graph memory-mapped,
prints "ready" after its first call, then repeats the call and exits 0 if every result equals the
first one (a SIGBUS ends it with -7).
python graph_file_worker.py save <directory> <which> <go file>: builds graph <which> (0 or 1), waits
for <go file> to appear, saves, and prints "saved" or the type and text of the error.
"""

import os
import sys
import time

import numpy as np

import quorvix

KEY = "node__to__node"


def graph(which, n=40_000, degree=4):
    """n nodes, each with `degree` neighbours sorted by time; graphs 0 and 1 differ in every row entry."""
    rng = np.random.default_rng(which)
    times = np.sort(rng.integers(0, 10**6, n)).astype(np.int64)
    row = rng.integers(0, n, n * degree).astype(np.int64)
    row = row.reshape(n, degree)
    row = np.take_along_axis(row, np.argsort(times[row], axis=1, kind="stable"), axis=1).reshape(-1)
    colptr = np.arange(0, n * degree + 1, degree, dtype=np.int64)
    return quorvix.Graph(["node"], [("node", "to", "node")], {KEY: colptr}, {KEY: row}, {"node": times})


def draw(loaded):
    seeds = np.arange(0, 40_000, 97, dtype=np.int64)
    out = quorvix.NeighborSampler(loaded).sample({KEY: np.array([3, 2], dtype=np.int64)}, {}, "node", seeds,
                                                 np.full(seeds.size, 10**6, dtype=np.int64))
    return [array.tolist() for table in out for array in table.values()]


def main():
    mode, directory = sys.argv[1], sys.argv[2]
    if mode == "sample":
        loaded = quorvix.Graph.load(directory)
        first = draw(loaded)
        print("ready", flush=True)
        same = all(draw(loaded) == first for _ in range(int(sys.argv[3])))
        sys.exit(0 if same else 1)
    built = graph(int(sys.argv[3]))
    while not os.path.exists(sys.argv[4]):
        time.sleep(0.001)
    try:
        built.save(directory)
        print("saved", flush=True)
    except Exception as error:  # noqa: BLE001 - reported to the parent as it is
        print(type(error).__name__, error, flush=True)


if __name__ == "__main__":
    main()
