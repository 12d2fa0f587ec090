"""A pure-Python model of NeighborSampler.sample_groups for the rules that draw nothing.

Seeds of several node types; seeds with the same group index share one subgraph and one
time. It covers take-all fan-outs, fan-outs of at least the degree and temporal last-k;
random fan-outs are refused, since their draws are the extension's own.
"""

import numpy as np


def sample_groups(graph_arguments, num_neighbors, seed_nodes, seed_groups, group_time):
    node_types, edge_types, colptr, row, node_time = graph_arguments
    keys = ["__".join(e) for e in edge_types]
    group_time = [int(x) for x in group_time]
    out_node = {t: [] for t in node_types}
    out_batch = {t: [] for t in node_types}
    local = {}  # (node type, group, id) -> local index of the node's first occurrence
    for t in node_types:
        for v, g in zip(np.asarray(seed_nodes.get(t, [])).tolist(), np.asarray(seed_groups.get(t, [])).tolist()):
            local.setdefault((t, g, v), len(out_node[t]))
            out_node[t].append(v)
            out_batch[t].append(g)
    num_nodes = {t: [len(out_node[t])] for t in node_types}
    num_edges = {k: [] for k in keys}
    out_row, out_col, out_edge = ({k: [] for k in keys} for _ in range(3))
    frontier = {t: range(len(out_node[t])) for t in node_types}
    for hop in range(max(len(num_neighbors[k]) for k in keys)):
        size_before = {t: len(out_node[t]) for t in node_types}
        for (t0, _, t2), key in zip(edge_types, keys):
            k = num_neighbors[key][hop] if hop < len(num_neighbors[key]) else 0
            edges_before = len(out_row[key])
            for f in frontier[t2]:
                v, g = out_node[t2][f], out_batch[t2][f]
                run = list(range(colptr[key][v], colptr[key][v + 1]))
                if t0 in node_time and group_time:
                    run = [p for p in run if node_time[t0][row[key][p]] <= group_time[g]]
                    chosen = run if k < 0 else run[len(run) - min(k, len(run)):]
                elif k < 0 or k >= len(run):
                    chosen = run
                else:
                    raise NotImplementedError("random fan-outs are not modelled")
                for p in chosen:
                    u = int(row[key][p])
                    if (t0, g, u) not in local:
                        local[(t0, g, u)] = len(out_node[t0])
                        out_node[t0].append(u)
                        out_batch[t0].append(g)
                    out_row[key].append(local[(t0, g, u)])
                    out_col[key].append(f)
                    out_edge[key].append(p)
            num_edges[key].append(len(out_row[key]) - edges_before)
        for t in node_types:
            frontier[t] = range(size_before[t], len(out_node[t]))
            num_nodes[t].append(len(out_node[t]) - size_before[t])

    def arrays(d):
        return {k: np.array(v, dtype=np.int64) for k, v in d.items()}

    return (arrays(out_row), arrays(out_col), arrays(out_node), arrays(out_batch), arrays(num_nodes),
            arrays(num_edges), arrays(out_edge))


class ModelSampler:
    """Stands in for the extension's sampler where only sample_groups is called."""

    def __init__(self, graph_arguments):
        self.graph_arguments = graph_arguments

    def sample_groups(self, num_neighbors, sampling_time_offsets, seed_nodes, seed_groups, group_time):
        assert not sampling_time_offsets, "time windows are not modelled"
        return sample_groups(self.graph_arguments, num_neighbors, seed_nodes, seed_groups, group_time)
