"""A small synthetic shop as a PyG ``HeteroData``, for examples and documentation."""

from __future__ import annotations

import torch
from torch_geometric.data import HeteroData

__all__ = ["shop"]

DAY = 86_400


def shop(num_customers: int = 50, num_transactions: int = 300, num_products: int = 20,
         num_purchases: int = 80, seed: int = 0) -> HeteroData:
    """Customers, their transactions over a year and the products they buy, with 4 random
    features per node.

    Node types ``"customers"``, ``"transactions"`` (a random time within the first 365 days, in
    seconds) and ``"products"`` (time 0, as customers); edge types ``("transactions", "made_by",
    "customers")``, ``("customers", "made", "transactions")``, ``("customers", "buys",
    "products")`` and ``("products", "rev_buys", "customers")``. Every node type has ``x`` and
    ``time``.

    Args:
        num_customers: how many customers.
        num_transactions: how many transactions, each made by a random customer.
        num_products: how many products.
        num_purchases: how many (customer, product) purchase edges.
        seed: the seed of every random draw.

    Returns:
        HeteroData: the shop.

    Example:
        >>> from quorvix.pyg.datasets import shop
        >>> data = shop()  # kept in a name: a store alone does not know its node count
        >>> data["transactions"].num_nodes
        300
    """
    gen = torch.Generator().manual_seed(seed)
    data = HeteroData()
    for node_type, n in (("customers", num_customers), ("transactions", num_transactions),
                         ("products", num_products)):
        data[node_type].x = torch.randn(n, 4, generator=gen)
        data[node_type].time = torch.zeros(n, dtype=torch.long)
    data["transactions"].time = torch.randint(0, 365 * DAY, (num_transactions,), generator=gen)
    made_by = torch.stack([torch.arange(num_transactions),
                           torch.randint(0, num_customers, (num_transactions,), generator=gen)])
    buys = torch.stack([torch.randint(0, num_customers, (num_purchases,), generator=gen),
                        torch.randint(0, num_products, (num_purchases,), generator=gen)])
    data["transactions", "made_by", "customers"].edge_index = made_by
    data["customers", "made", "transactions"].edge_index = made_by.flip(0)
    data["customers", "buys", "products"].edge_index = buys
    data["products", "rev_buys", "customers"].edge_index = buys.flip(0)
    return data
