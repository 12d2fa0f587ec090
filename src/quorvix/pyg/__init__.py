"""PyTorch Geometric loaders backed by quorvix's temporal neighbour sampler.

A PyG user changes one import::

    from quorvix.pyg import NeighborLoader   # instead of torch_geometric.loader
    loader = NeighborLoader(data, num_neighbors=[8, 4], input_nodes=("user", ids),
                            time_attr="time", batch_size=128)

A ``quorvix.Graph`` (from ``from_tables``/``from_database``, ``load`` or arrays) is taken as
it is: ``NeighborLoader(features, ..., graph=(graph, keys))`` or, in PyG's remote-backend
form, ``NeighborLoader((features, GraphStore(graph, keys)), ...)``.
"""

from .batching import TimeGroupedBatchSampler
from .dist_link_loader import DistLinkNeighborLoader
from .dist_loader import DistNeighborLoader
from .graph import SamplerGraph, graph_from_data, graph_from_hetero_data
from .link_loader import LinkNeighborLoader
from .loader import NeighborLoader
from .output import sampler_output
from .parts import partition_data
from .sampler import NeighborSampler
from .stores import GraphStore

__all__ = ["DistLinkNeighborLoader", "DistNeighborLoader", "GraphStore", "LinkNeighborLoader", "NeighborLoader",
           "NeighborSampler", "SamplerGraph", "TimeGroupedBatchSampler", "graph_from_data", "graph_from_hetero_data",
           "partition_data", "sampler_output"]
