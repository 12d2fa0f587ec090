"""Small synthetic graphs for examples and documentation: made on the spot from a seed, no download."""

from __future__ import annotations

import numpy as np

from quorvix._core import Graph

__all__ = ["ratings"]


def ratings(num_users: int = 10, num_items: int = 40, num_ratings: int = 120, seed: int = 0) -> Graph:
    """A graph of users rating items: the rating edges both ways, with item times.

    Node types ``"user"`` (time 0) and ``"item"`` (a time from 1 to 39 each; item ids are in
    time order); edge types ``("item", "rated", "user")`` (a user samples the items it rated)
    and ``("user", "rated_by", "item")`` (an item samples its raters).

    Args:
        num_users: how many users.
        num_items: how many items.
        num_ratings: how many ratings, each a random (user, item) pair.
        seed: the seed of the random pairs and times.

    Returns:
        Graph: the graph, its runs sorted by time.

    Example:
        >>> from quorvix.datasets import ratings
        >>> graph = ratings()
        >>> graph.num_nodes
        {'user': 10, 'item': 40}
    """
    rng = np.random.default_rng(seed)
    item_time = np.sort(rng.integers(1, 40, num_items))
    user, item = rng.integers(0, num_users, num_ratings), rng.integers(0, num_items, num_ratings)
    colptr, row = {}, {}
    for key, src, dst, count in (("item__rated__user", item, user, num_users),
                                 ("user__rated_by__item", user, item, num_items)):
        # Item ids follow item time, so runs sorted by id are sorted by time.
        order = np.lexsort((src if key == "item__rated__user" else np.zeros_like(src), dst))
        colptr[key] = np.concatenate([[0], np.cumsum(np.bincount(dst, minlength=count))])
        row[key] = src[order]
    node_time = {"user": np.zeros(num_users, np.int64), "item": item_time}
    return Graph(["user", "item"], [("item", "rated", "user"), ("user", "rated_by", "item")], colptr, row,
                 node_time)
