"""One rank of the multi-process tests of partitioned sampling: serves its part over RPC on
127.0.0.1, samples as a trainer and writes what it found to <out>/rank-<r>.json.

python dist_worker.py MODE RANK WORLD PORT GRAPH_DIR PARTS_DIR OUT_DIR
MODE: 'equal' compares with one sampler over the whole graph; 'loader' compares DistNeighborLoader's
batches with NeighborLoader's over the whole graph, and DistLinkNeighborLoader's with LinkNeighborLoader's;
'faults' provokes each fault of a formed world; 'fault CASE' meets one fault while joining, serving or leaving.
"""

import json
import os
import signal
import sys
import time

import numpy as np

import quorvix
import quorvix.dist

USER_ITEM = "item__bought__user"
ITEM_USER = "user__bought_by__item"
USER_USER = "user__follows__user"


def make_graph(num_users=60, num_items=40, seed=0):
    """Users follow users (edges timed), users buy items (items timed); runs sorted by time."""
    rng = np.random.default_rng(seed)
    item_time = rng.integers(0, 50, num_items)
    user_time = rng.integers(0, 50, num_users)
    colptr, row, edge_time = {}, {}, {}

    def runs(key, frontier_count, neighbour_count, times=None):
        lengths = rng.integers(0, 7, frontier_count)
        ids, stamps = [], []
        for n in lengths:
            run = rng.integers(0, neighbour_count, n)
            t = rng.integers(0, 50, n) if times is None else times[run]
            order = np.argsort(t, kind="stable")
            ids.append(run[order])
            stamps.append(t[order])
        colptr[key] = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
        row[key] = np.concatenate(ids).astype(np.int64)
        return np.concatenate(stamps).astype(np.int64)

    runs(USER_ITEM, num_users, num_items, item_time)
    runs(ITEM_USER, num_items, num_users, None)  # users have no node time: edges decide
    edge_time[ITEM_USER] = runs(ITEM_USER, num_items, num_users)
    edge_time[USER_USER] = runs(USER_USER, num_users, num_users)
    return dict(node_types=["user", "item"],
                edge_types=[("item", "bought", "user"), ("user", "bought_by", "item"), ("user", "follows", "user")],
                colptr=colptr, row=row, node_time={"item": item_time.astype(np.int64)}, edge_time=edge_time)


def make_pyg_data(num_users=60, num_items=40, seed=0):
    """Users buy items and follow users; both node types timed, with features and user labels, and
    follows timed per edge (an edge attribute that batches carry, and the edge type's time rule)."""
    import torch
    from torch_geometric.data import HeteroData

    rng = np.random.default_rng(seed)
    data = HeteroData()
    for name, count in (("user", num_users), ("item", num_items)):
        data[name].x = torch.from_numpy(rng.normal(size=(count, 3)).astype(np.float32))
        data[name].time = torch.from_numpy(rng.integers(0, 50, count))
    data["user"].y = torch.from_numpy(rng.integers(0, 2, num_users))
    bought = np.stack([rng.integers(0, num_users, 200), rng.integers(0, num_items, 200)])
    data["user", "bought", "item"].edge_index = torch.from_numpy(bought)
    data["item", "rev_bought", "user"].edge_index = torch.from_numpy(bought[::-1].copy())
    data["user", "follows", "user"].edge_index = torch.from_numpy(rng.integers(0, num_users, (2, 150)))
    data["user", "follows", "user"].time = torch.from_numpy(rng.integers(0, 50, 150))
    return data


LOADER_SETTINGS = dict(num_neighbors=[3, 2], temporal_strategy="last", batch_size=8)
# Links with negatives, and reverse edges searched in runs read over RPC.
LINK_SETTINGS = dict(num_neighbors=[3, 2], temporal_strategy="last", batch_size=8, neg_sampling="binary", seed=5,
                     subgraph_type="bidirectional")


def flat_batch(batch):
    """Every attribute of every store of a batch, by (store, name), tensors as lists."""
    import torch

    stores = [("", batch)] if not hasattr(batch, "node_types") else [
        (key, batch[key]) for key in batch.node_types + batch.edge_types]
    return {(str(key), name): value.tolist() if torch.is_tensor(value) else value
            for key, store in stores for name, value in store.items()}


def temporal_requests(rank):
    """Last-k fan-outs and windows, with and without seed times, differing by rank."""
    rng = np.random.default_rng(100 + rank)
    windows = np.array([[None, 0], [-20, 5]], dtype=object)
    out = []
    for call in range(3 + 2 * rank):
        seeds = rng.integers(0, 60, 8).astype(np.int64)
        times = rng.integers(10, 50, 8).astype(np.int64) if call % 2 == 0 else np.sort(rng.integers(10, 50, 8))
        num_neighbors = {USER_ITEM: np.array([2, 3], dtype=np.int64), USER_USER: np.array([3, -1], dtype=np.int64)}
        offsets = {ITEM_USER: windows}
        out.append((num_neighbors, offsets, "user", seeds, times.astype(np.int64)))
    return out


def as_lists(result):
    return [{k: v.tolist() for k, v in table.items()} for table in result]


def equal(rank, world, parts_dir, graph_dir, out):
    part = quorvix.dist.init_part_worker(parts_dir, rank, world, init_method=out["init"], timeout=60)
    whole = quorvix.Graph.load(graph_dir)
    single = quorvix.NeighborSampler(whole, 1)
    dist = quorvix.dist.DistNeighborSampler(part, 1)
    mismatches, calls = 0, 0
    for disjoint in (True, False):
        single.disjoint = dist.disjoint = disjoint
        for request in temporal_requests(rank):
            calls += 1
            mismatches += as_lists(single.sample_with_edge_ids(*request)) != as_lists(dist.sample_with_edge_ids(*request))
            time.sleep(0.05 * rank)  # ranks call when they like, not in step
    x = np.load(os.path.join(graph_dir, "features.npy"))
    ids = np.arange(60, dtype=np.int64)[::-1]
    features_equal = bool(np.array_equal(dist.node_feature("user", "x", ids), x[ids]))
    quorvix.dist.shutdown()
    return {"calls": calls, "mismatches": int(mismatches), "features_equal": features_equal}


def loader(rank, world, parts_dir, graph_dir, out):
    """Rank r takes 2 + 2r batches of its own seeds, sampling across parts, and compares them with
    NeighborLoader's over the whole graph; then 2 batches of its own links with LinkNeighborLoader's."""
    import torch
    from quorvix.pyg import DistLinkNeighborLoader, DistNeighborLoader, LinkNeighborLoader, NeighborLoader

    part = quorvix.dist.init_part_worker(parts_dir, rank, world, init_method=out["init"], timeout=60)
    seeds = ("user", torch.arange(rank, 60, world))
    dist = DistNeighborLoader(part, input_nodes=seeds, **LOADER_SETTINGS)
    whole = NeighborLoader(make_pyg_data(), input_nodes=seeds, time_attr="time", **LOADER_SETTINGS)
    mismatches, batches = 0, 0
    for got, expected in zip(dist, whole):
        mismatches += flat_batch(got) != flat_batch(expected)
        batches += 1
        if batches == 2 + 2 * rank:
            break
        time.sleep(0.05 * rank)
    # A whole epoch sampled by two worker processes, which reach the owners straight.
    workers = DistNeighborLoader(part, input_nodes=seeds, num_workers=2, **LOADER_SETTINGS)
    worker_batches = [flat_batch(got) == flat_batch(expected) for got, expected in zip(workers, whole)]
    data = make_pyg_data()
    bought = ("user", "bought", "item")
    links = (bought, data[bought].edge_index[:, rank::world][:, :16])
    link_time = torch.full((links[1].size(1),), 45)
    dist_links = DistLinkNeighborLoader(part, edge_label_index=links, edge_label_time=link_time, **LINK_SETTINGS)
    whole_links = LinkNeighborLoader(data, edge_label_index=links, edge_label_time=link_time, time_attr="time",
                                     **LINK_SETTINGS)
    compared = [flat_batch(got) == flat_batch(expected) for got, expected in zip(dist_links, whole_links)]
    quorvix.dist.shutdown()
    return {"batches": batches, "mismatches": int(mismatches), "link_batches_equal": compared,
            "worker_batches_equal": worker_batches}


def wait_for_exit(pid, seconds=60.0):
    """Until the process is gone or a zombie (its parent, the test, reaps it later)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as file:
                if file.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return
        except OSError:
            return
        time.sleep(0.05)


def faults(rank, world, parts_dir, graph_dir, out):
    """Rank 1 dies when told, rank 2 hangs on every request, rank 0 meets each fault."""
    timeout = 3.0
    with open(os.path.join(out["dir"], f"pid-{rank}"), "w") as file:
        file.write(str(os.getpid()))
    part = quorvix.dist.init_part_worker(parts_dir, rank, world, init_method=out["init"], timeout=timeout)
    server = quorvix.dist.sampler._SERVED["server"].pid  # the process serving the part's socket
    with open(os.path.join(out["dir"], f"server-{rank}"), "w") as file:
        file.write(str(server))
    die_flag = os.path.join(out["dir"], "die")
    if rank == 2:  # hangs on every request, over RPC and over the socket
        part.expand_many = lambda requests: time.sleep(120)
        os.kill(server, signal.SIGSTOP)
    if rank != 0:
        while not os.path.exists(die_flag):
            time.sleep(0.05)
        if rank == 2:
            os.kill(server, signal.SIGKILL)  # stopped, it would outlive the rank
        os._exit(0 if rank == 2 else 3)
    found = {}
    transport = quorvix.dist.RpcTransport(timeout)
    direct = quorvix.dist.DirectTransport.of_world(timeout)
    dist = quorvix.dist.DistNeighborSampler(part, timeout=timeout, transport=transport)
    # Errors rank 1 raises while serving: a foreign id, then a file of its part changed under it;
    # over RPC, and over the sockets, the latter also from a forked process (as a loader worker).
    ids = np.array([0, 1], dtype=np.int64)
    for name, call in (("foreign", lambda: transport.request(1, "node_feature", "user", "x", ids[:1]).wait()),
                       ("foreign direct", lambda: in_child(lambda: direct.request(
                           1, "node_feature", "user", "x", ids[:1]).wait())),
                       ("changed", lambda: dist.node_feature("user", "x", ids[1:])),
                       ("changed direct", lambda: quorvix.dist.DistNeighborSampler(part, timeout=timeout)
                        .node_feature("user", "x", ids[1:]))):
        if name == "changed":
            os.utime(os.path.join(parts_dir, "part-1", "feature.0.x.npy"), ns=(0, 0))
        start = time.monotonic()
        try:
            call()
            found[name] = ["no error", ""]
        except Exception as error:  # noqa: BLE001 - the type a caller sees is what is checked
            found[name] = failure(error, start) + [getattr(error, "__notes__", [])]
    request = ({USER_ITEM: np.array([-1], dtype=np.int64), USER_USER: np.array([-1], dtype=np.int64)},
               {ITEM_USER: np.array([[None, 0]], dtype=object)}, "user")
    for name, seed in (("hung", 2), ("dead", 1)):
        if name == "dead":
            open(die_flag, "w").close()
            for pid in ("pid-1", "server-1"):  # the rank, then its server, which follows it
                wait_for_exit(int(open(os.path.join(out["dir"], pid)).read()))
        start = time.monotonic()
        try:
            dist.sample_with_edge_ids(*request, np.array([seed], dtype=np.int64), np.array([40], dtype=np.int64))
            found[name] = ["no error", ""]
        except Exception as error:  # noqa: BLE001
            found[name] = [type(error).__name__, str(error), time.monotonic() - start]
        start = time.monotonic()
        try:
            in_child(lambda: quorvix.dist.DistNeighborSampler(part, timeout=timeout)  # the sockets by default
                     .sample_with_edge_ids(*request, np.array([seed], dtype=np.int64), np.array([40], dtype=np.int64)))
            found[name + " direct"] = ["no error", ""]
        except Exception as error:  # noqa: BLE001
            found[name + " direct"] = [type(error).__name__, str(error), time.monotonic() - start]
    open(die_flag, "w").close()
    return found


def in_child(call):
    """call() in a forked process, as a loader worker runs it; its error is raised here."""
    import multiprocessing

    context = multiprocessing.get_context("fork")
    answers = context.Queue()

    def child():
        try:
            call()
            answers.put(None)
        except Exception as error:  # noqa: BLE001 - sent back whole, notes included
            answers.put(error)

    process = context.Process(target=child)
    process.start()
    error = answers.get(timeout=60)
    process.join(10)
    if error is not None:
        raise error


def wait_until_stopped(pid_file, limit=60.0):
    """Waits until the process whose pid the file names is stopped (state T in /proc)."""
    if not os.path.isdir("/proc/self"):  # no process table to read: give it a generous moment
        time.sleep(2.0)
        return
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            with open(pid_file) as file:
                pid = int(file.read())
            with open(f"/proc/{pid}/stat") as file:
                if file.read().rsplit(")", 1)[1].split()[0] in ("T", "t"):
                    return
        except (OSError, ValueError):
            pass
        time.sleep(0.01)
    raise RuntimeError(f"the process named in {pid_file} did not stop within {limit} s")


def failure(error, start):
    return [type(error).__name__, str(error), time.monotonic() - start]


def world_fault(rank, world, parts_dir, graph_dir, out):
    """One fault per world (out["case"]), met while joining, serving or leaving; each rank reports
    the error it ended with and how long after the call it came. Rank 0 of 'absent' never joins;
    rank 1 of 'num_parts' starts for a world of 2; rank 1 of 'killed' dies once joined; rank 2 of
    'stopped' and rank 0 of 'host_stopped' stop themselves once joined."""
    import signal

    import torch.distributed.rpc  # noqa: F401 - torch's start-up is the process's, not the call's

    case, timeout = out["case"], 3.0
    if case == "absent" and rank == 0:  # never hosts the store
        return {"join": "absent"}
    start = time.monotonic()
    try:
        part = quorvix.dist.init_part_worker(parts_dir, rank, 2 if case == "num_parts" and rank == 1 else world,
                                             init_method=out["init"], timeout=timeout)
    except Exception as error:  # noqa: BLE001 - what a rank meets is what is checked
        return {"join": failure(error, start)}
    result = {"join": "joined"}
    if case == "killed" and rank == 1:
        os._exit(3)
    pid_file = os.path.join(out["dir"], "stopped.pid")
    if (case, rank) in (("stopped", 2), ("host_stopped", 0)):
        with open(pid_file + ".tmp", "w") as file:
            file.write(str(os.getpid()))
        os.replace(pid_file + ".tmp", pid_file)
        os.kill(os.getpid(), signal.SIGSTOP)
    if case == "stopped":
        wait_until_stopped(pid_file)  # asked before it stops, rank 2 would still answer
        for name, transport in (("request", quorvix.dist.RpcTransport(timeout)), ("request direct", None)):
            sampler = quorvix.dist.DistNeighborSampler(part, timeout=timeout, transport=transport)
            start = time.monotonic()
            try:
                sampler.node_time("item", np.array([2, 5], dtype=np.int64))
                result[name] = "answered"
            except Exception as error:  # noqa: BLE001
                result[name] = failure(error, start)
    start = time.monotonic()
    try:
        quorvix.dist.shutdown()
        result["leave"] = "left"
    except Exception as error:  # noqa: BLE001
        result["leave"] = failure(error, start)
    return result


def main():
    mode, rank, world, port, graph_dir, parts_dir, out_dir, *case = sys.argv[1:]
    rank, world = int(rank), int(world)
    out = {"init": f"tcp://127.0.0.1:{port}", "dir": out_dir, "case": case[0] if case else None}
    result = {"equal": equal, "loader": loader, "faults": faults, "fault": world_fault}[mode](
        rank, world, parts_dir, graph_dir, out)
    with open(os.path.join(out_dir, f"rank-{rank}.json"), "w") as file:
        json.dump(result, file)
    if mode not in ("faults", "fault") and rank == 0:
        # Rank 0 hosts the tcp:// store that the others' shutdown still talks to: it leaves last.
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and not all(
                os.path.exists(os.path.join(out_dir, f"rank-{r}.json")) for r in range(1, world)):
            time.sleep(0.05)
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    main()
