"""Small graphs and result helpers shared by the tests."""

import numpy as np

PAPER = "paper__cites__paper"
BOUGHT = "item__bought__user"  # users' neighbours are items
BOUGHT_BY = "user__bought_by__item"  # items' neighbours are users


def i64(*values):
    return np.array(values, dtype=np.int64)


def paper_graph():
    """Node 0 cites 1 and 2, node 1 cites 2, node 2 cites nothing; no timestamps."""
    return dict(
        node_types=["paper"],
        edge_types=[("paper", "cites", "paper")],
        colptr={PAPER: i64(0, 2, 3, 3)},
        row={PAPER: i64(1, 2, 2)},
        node_time={},
    )


def shop_graph():
    """Users 0, 1 and items 0, 1, 2 at times 1, 2, 3; only items have timestamps.
    User 0 bought items 0 and 1, user 1 bought item 2."""
    return dict(
        node_types=["user", "item"],
        edge_types=[("item", "bought", "user"), ("user", "bought_by", "item")],
        colptr={BOUGHT: i64(0, 2, 3), BOUGHT_BY: i64(0, 1, 2, 3)},
        row={BOUGHT: i64(0, 1, 2), BOUGHT_BY: i64(0, 0, 1)},
        node_time={"item": i64(1, 2, 3)},
    )


def star_graph(times, k_key="item__at__user"):
    """One user (id 0) whose neighbours are items 0..len(times)-1 in that order, with the
    given item timestamps."""
    n = len(times)
    return dict(
        node_types=["user", "item"],
        edge_types=[("item", "at", "user")],
        colptr={k_key: i64(0, n)},
        row={k_key: np.arange(n, dtype=np.int64)},
        node_time={"item": np.array(times, dtype=np.int64)},
    )


def draws_graph():
    """User 0 has items 10..19 under 'a' and items 20..23 under 'b'; no timestamps."""
    return dict(
        node_types=["user", "item"],
        edge_types=[("item", "a", "user"), ("item", "b", "user")],
        colptr={"item__a__user": i64(0, 10), "item__b__user": i64(0, 4)},
        row={"item__a__user": np.arange(10, 20, dtype=np.int64), "item__b__user": i64(20, 21, 22, 23)},
        node_time={},
    )


def as_lists(result):
    """The six result dicts (seven with edge ids) as dicts of plain lists, after checking that
    every value is a fresh one-dimensional contiguous int64 array."""
    assert isinstance(result, tuple) and len(result) in (6, 7)
    out = []
    for table in result:
        assert type(table) is dict
        for array in table.values():
            assert type(array) is np.ndarray and array.dtype == np.int64 and array.ndim == 1
            assert array.flags.c_contiguous and array.flags.owndata
        out.append({key: array.tolist() for key, array in table.items()})
    return tuple(out)


def outcome(call, *args, **kwargs):
    """The result as lists, or the (type, message) of the exception raised."""
    try:
        result = call(*args, **kwargs)
    except (RuntimeError, IndexError, KeyError, ValueError) as error:
        return type(error), str(error)
    return None if result is None else as_lists(result)


def check_invariants(lists, edge_types):
    """Counts add up to lengths, and every edge joins two nodes of one seed."""
    out_row, out_col, out_node, out_batch, num_nodes, num_edges = lists[:6]
    for t in out_node:
        assert sum(num_nodes[t]) == len(out_node[t]) == len(out_batch[t])
    for t0, rel, t2 in edge_types:
        key = f"{t0}__{rel}__{t2}"
        assert sum(num_edges[key]) == len(out_row[key]) == len(out_col[key])
        for r, c in zip(out_row[key], out_col[key]):
            assert out_batch[t0][r] == out_batch[t2][c]


def per_seed(lists, num_seeds, edge_types):
    """Each seed's own subgraph in global ids, from the result as lists: per node type the
    nodes in order of reach, per edge type the (neighbour, frontier) pairs in order."""
    out_row, out_col, out_node, out_batch, _, _ = lists
    subgraphs = [({t: [] for t in out_node}, {k: [] for k in out_row}) for _ in range(num_seeds)]
    for t in out_node:
        for node, seed in zip(out_node[t], out_batch[t]):
            subgraphs[seed][0][t].append(node)
    for t0, rel, t2 in dict.fromkeys(tuple(e) for e in edge_types):
        key = f"{t0}__{rel}__{t2}"
        for r, c in zip(out_row[key], out_col[key]):
            subgraphs[out_batch[t2][c]][1][key].append((out_node[t0][r], out_node[t2][c]))
    return subgraphs
