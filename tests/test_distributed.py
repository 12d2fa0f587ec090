"""Two ranks under torchrun sample, between them, what one process samples, and a rank that
fails ends the job with its own error."""

import json
import os
import pickle
import signal
import socket
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from graphs import per_seed
from quorvix.dist.part_files import digest_file

pytest.importorskip("quorvix")
pytestmark = pytest.mark.python_only  # multi-process worlds, whose parts other tests sample in one process
torch = pytest.importorskip("torch")
if not torch.distributed.is_available() or not torch.distributed.is_gloo_available():
    pytest.skip("torch.distributed with gloo is not available", allow_module_level=True)

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))

import ddp_train  # noqa: E402

BASE_SEED = 5
SCALE = 0.2  # 60 customers, 240 labelled seeds
TIMEOUT = 240  # seconds for a whole job; the ranks' own collectives give up after 60


def descendants(pid):
    """Ids of every process below pid (torchrun starts its ranks in sessions of their own)."""
    children = {}
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        children.setdefault(int(fields[1]), []).append(int(stat.parent.name))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def torchrun(*args):
    """Run a two-rank job on loopback; (exit code, stdout, stderr). Kills it when over time."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    cmd = [sys.executable, "-m", "torch.distributed.run", "--nproc_per_node=2",
           "--master_addr=127.0.0.1", f"--master_port={port}", *map(str, args)]
    env = dict(os.environ, GLOO_SOCKET_IFNAME="lo", TP_SOCKET_IFNAME="lo", OMP_NUM_THREADS="1")
    proc = subprocess.Popen(cmd, cwd=ROOT, env=env, text=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        out, err = proc.communicate(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        proc.terminate()  # torchrun stops its ranks on SIGTERM and waits for them
        try:
            proc.communicate(timeout=15)
        except subprocess.TimeoutExpired:
            for pid in descendants(proc.pid):  # still below the live torchrun: its ranks
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            proc.kill()
            proc.communicate()
        pytest.fail(f"torchrun {' '.join(map(str, args))} did not end within {TIMEOUT} s")
    return proc.returncode, out, err


def lists(result):
    """A result as plain lists (arrays that went through pickle do not own their data)."""
    return tuple({key: array.tolist() for key, array in table.items()} for table in result)


@pytest.fixture(scope="module")
def graph_dir(tmp_path_factory):
    path = tmp_path_factory.mktemp("graph")
    ddp_train.prepare(path, SCALE)
    return path


def test_two_ranks_split_the_seeds_sample_them_exactly_and_train(graph_dir, tmp_path):
    code, out, err = torchrun(ROOT / "tests" / "ddp_worker.py", graph_dir, tmp_path, BASE_SEED)
    assert code == 0, err
    ranks = [pickle.loads((tmp_path / f"rank{r}.pkl").read_bytes()) for r in (0, 1)]
    data = ddp_train.open_data(graph_dir)
    num_seeds, edge_types = len(data.label), data.graph[1]

    # Temporal rules: one process sampling every seed in one call is the reference.
    everything = np.arange(num_seeds)
    [(_, whole)] = ddp_train.sample_batches(ddp_train.make_sampler(data.graph, "temporal", 0), data,
                                            everything, num_seeds)
    expected = per_seed(lists(whole), num_seeds, edge_types)
    assert sum(len(s[1]["transactions__customer_id__customers"]) for s in expected) > num_seeds
    for epoch in (0, 1):
        taken = []
        for rank in ranks:
            for part, result in rank["temporal", epoch]:
                assert per_seed(lists(result), len(part), edge_types) == [expected[i] for i in part]
                taken += part
        assert sorted(taken) == everything.tolist()  # 240 seeds: no padding, nothing twice
    assert [p for p, _ in ranks[0]["temporal", 0]] != [p for p, _ in ranks[0]["temporal", 1]]  # reshuffled

    # Random rules: a rank's batches are those of the sampler seeded for its (rank, epoch),
    # and the sampler of any other rank or epoch draws differently from the same seeds.
    streams = {(r, e): ranks[r]["random", e] for r in (0, 1) for e in (0, 1)}
    for (rank, epoch), batches in streams.items():
        for other in streams:
            sampler = ddp_train.make_sampler(data.graph, "random", ddp_train.stream_seed(BASE_SEED, *other))
            replay = ddp_train.sample_batches(sampler, data, np.concatenate([p for p, _ in batches]), 16)
            same = [lists(got) == lists(want) for (_, got), (_, want) in zip(replay, batches)]
            assert all(same) if other == (rank, epoch) else not all(same), (rank, epoch, other)

    # Then the example trained two epochs on both ranks and kept the replicas equal.
    assert out.count("over 240 seeds on 2 ranks") == 2
    assert "replicas in sync: yes" in out


def test_a_rank_with_a_bad_seed_ends_the_job_with_its_error(graph_dir, tmp_path):
    # One seed id beyond the customers, placed where epoch 0 gives it to rank 1.
    bad_dir = tmp_path / "graph"
    bad_dir.mkdir()
    for f in graph_dir.iterdir():
        (bad_dir / f.name).symlink_to(f)
    seed_node = np.load(graph_dir / "seed_node.npy")
    position = ddp_train.epoch_indices(len(seed_node), 1, 2, 0, BASE_SEED)[20]
    seed_node[position] = 1_000_000
    (bad_dir / "seed_node.npy").unlink()
    np.save(bad_dir / "seed_node.npy", seed_node)

    code, out, err = torchrun(ROOT / "examples" / "ddp_train.py", "--graph-dir", bad_dir,
                              "--seed", BASE_SEED, "--batch-size", 16, "--timeout", 60)
    assert code == 1
    root_cause = err.split("Root Cause (first observed failure):")[1]
    assert "rank      : 1 (local_rank: 1)" in root_cause
    assert "RuntimeError: Node 1000000 of type 'customers' is not below the type's node count 60." in root_cause
    assert "epoch 1" not in out


def test_the_partitioned_training_example_trains_on_the_whole_graphs_batches(tmp_path):
    """examples/dist_train.py: two ranks, one part each, batches equal to one machine's; then the
    same parts with one feature row changed on part 1 (its manifest rewritten to match, so that the
    file checks pass) end the run with the check's error."""
    pytest.importorskip("torch_geometric")
    parts = tmp_path / "parts"
    prepared = subprocess.run([sys.executable, str(ROOT / "examples" / "dist_train.py"), "--prepare-only", "2",
                               "--parts-dir", str(parts)], check=True, timeout=TIMEOUT, capture_output=True, text=True)
    assert prepared.stdout.split("\n")[:2] == [f"wrote {parts / 'part-0'}", f"wrote {parts / 'part-1'}"]
    code, out, err = torchrun(ROOT / "examples" / "dist_train.py", "--parts-dir", parts)
    assert code == 0, err
    assert out.count("batches equal the single-machine loader's") == 2
    assert out.count("epoch 1: loss") == 2
    features = parts / "part-1" / "feature.0.x.npy"  # customers owned by part 1
    x = np.load(features)
    x[:] += 1
    np.save(features, x)
    manifest = json.loads((parts / "part-1" / "manifest.json").read_text())
    manifest["files"]["feature.0.x.npy"] = {"size": features.stat().st_size, "digest": digest_file(str(features))}
    (parts / "part-1" / "manifest.json").write_text(json.dumps(manifest))
    code, out, err = torchrun(ROOT / "examples" / "dist_train.py", "--parts-dir", parts)
    assert code != 0
    assert "differs from the single-machine loader's" in err
