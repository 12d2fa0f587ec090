"""PyTorch Geometric loaders backed by quorvix's per-seed temporal neighbour sampler.

A PyG user changes one import::

    from quorvix_pyg import NeighborLoader
    loader = NeighborLoader(data, num_neighbors=[8, 4], input_nodes=("user", ids),
                            time_attr="time", batch_size=128)
"""

from .graph import SamplerGraph, graph_from_hetero_data
from .link_loader import LinkNeighborLoader
from .loader import NeighborLoader
from .sampler import NeighborSampler

__all__ = ["LinkNeighborLoader", "NeighborLoader", "NeighborSampler", "SamplerGraph", "graph_from_hetero_data"]
