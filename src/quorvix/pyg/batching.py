"""Batches filled from one seed time, so that subgraphs shared by time are shared by many."""

from __future__ import annotations

from itertools import islice
from typing import Any, Iterator, List, Optional

import numpy as np
import torch
from torch.utils.data import BatchSampler, Sampler

from .convert import as_int64


class TimeGroupedBatchSampler(Sampler[List[int]]):
    r"""A batch sampler whose every batch holds seeds of one seed time.

    The seeds of each time are cut into batches of at most ``batch_size``; with
    ``shuffle=True`` the seeds are shuffled within their time and the batches across times
    every epoch, so training still sees the times interleaved. Give it to a loader as
    ``batch_sampler`` (or pass ``batch_by_time=True`` to quorvix.pyg's loaders): with
    ``shared_by_time=True`` each batch is then one subgraph.

    Args:
        seed_time (tensor, array or list): one time per seed, in the loader's seed order.
        batch_size (int): the most seeds in a batch.
        shuffle (bool, optional): shuffle within and across times every epoch; otherwise
            batches come by time, seeds in their order. (default: :obj:`False`)
        drop_last (bool, optional): leave out the last, smaller batch of every time.
            (default: :obj:`False`)
        generator (torch.Generator, optional): the source of the shuffles; by default a
            fresh seed drawn from torch's global generator every epoch, as PyTorch's own
            samplers do. (default: :obj:`None`)

    Raises:
        TypeError: ``seed_time`` holds neither integers nor datetimes.
        ValueError: ``batch_size`` is not an int of at least 1, or ``seed_time`` is not
            one-dimensional or holds times that are not whole seconds. The messages are
            listed in the error reference.
    """

    def __init__(self, seed_time: Any, batch_size: int, shuffle: bool = False, drop_last: bool = False,
                 generator: Optional[torch.Generator] = None):
        if type(batch_size) is not int or batch_size < 1:
            raise ValueError(f"'batch_size' must be an int of at least 1, got {batch_size!r}.")
        times = as_int64(seed_time, "seed_time")
        # Seeds grouped by time, in their order within a time.
        order = np.argsort(times, kind="stable")
        starts = np.flatnonzero(np.r_[True, np.diff(times[order]) != 0]) if times.size else np.empty(0, np.int64)
        self.groups = np.split(order, starts[1:])
        self.batch_size = batch_size
        self.shuffle = bool(shuffle)
        self.drop_last = bool(drop_last)
        self.generator = generator

    def __len__(self) -> int:
        if self.drop_last:
            return sum(len(g) // self.batch_size for g in self.groups)
        return sum(-(-len(g) // self.batch_size) for g in self.groups)

    def __iter__(self) -> Iterator[List[int]]:
        rng = None
        if self.shuffle:
            if self.generator is None:
                seed = int(torch.empty((), dtype=torch.int64).random_().item())
            else:
                seed = int(torch.randint(0, 2**62, (), generator=self.generator).item())
            rng = np.random.default_rng(seed)
        batches = []
        for group in self.groups:
            if rng is not None:
                group = rng.permutation(group)
            stop = len(group) - len(group) % self.batch_size if self.drop_last else len(group)
            batches.extend(group[i:i + self.batch_size] for i in range(0, stop, self.batch_size))
        if rng is not None:
            batches = [batches[i] for i in rng.permutation(len(batches))]
        return iter([b.tolist() for b in batches])


def time_grouped_batches(seed_time: Optional[np.ndarray], loader_kwargs: dict) -> dict:
    """The DataLoader arguments of a loader asked for ``batch_by_time``: its batch size,
    shuffle and drop_last become a :class:`TimeGroupedBatchSampler`."""
    if seed_time is None:
        raise ValueError("'batch_by_time=True' needs seed times: give 'time_attr' and seed or link times.")
    if "batch_sampler" in loader_kwargs or "sampler" in loader_kwargs:
        raise ValueError("'batch_by_time=True' makes the batch sampler; do not give 'batch_sampler' or 'sampler'.")
    kwargs = dict(loader_kwargs)
    kwargs["batch_sampler"] = TimeGroupedBatchSampler(
        seed_time, kwargs.pop("batch_size", 1), shuffle=kwargs.pop("shuffle", False),
        drop_last=kwargs.pop("drop_last", False), generator=kwargs.get("generator"))
    return kwargs


class SeedBatches(BatchSampler):
    """PyTorch's ``BatchSampler`` over the same sampler, giving each batch as one int64 tensor.

    The sampler's order is read in chunks of many batches and cut into views, so that a batch
    costs no Python step per seed while memory stays bounded; the batches hold what
    ``BatchSampler`` would give.
    """

    CHUNK_SEEDS = 1 << 16  # about, read from the sampler at once

    def __iter__(self) -> Iterator[torch.Tensor]:  # type: ignore[override]
        # A generator, as BatchSampler's is: the sampler is read at the first batch, not at
        # iter(), so that its random draws come after the loader's own, in the same order.
        seeds = iter(self.sampler)
        step = self.batch_size * max(1, self.CHUNK_SEEDS // self.batch_size)
        while True:
            chunk = torch.tensor(list(islice(seeds, step)), dtype=torch.int64)
            if chunk.numel() < step:  # the last chunk
                stop = chunk.numel() - chunk.numel() % self.batch_size if self.drop_last else chunk.numel()
                if stop:  # split() gives one empty piece of an empty tensor
                    yield from chunk[:stop].split(self.batch_size)
                return
            yield from chunk.split(self.batch_size)


class SeedIndices:
    """A loader's dataset of seed indices ``0 .. n - 1`` that takes a batch of them whole."""

    def __init__(self, size: int):
        self.size = size

    def __len__(self) -> int:
        return self.size

    def __getitem__(self, index: int) -> int:
        return range(self.size)[index]

    def __getitems__(self, indices: Any) -> Any:
        return indices


def batch_seeds_whole(loader: Any) -> None:
    """Makes a loader without worker processes fetch every batch of seed indices as one
    tensor: its default ``BatchSampler`` becomes :class:`SeedBatches` over the same sampler.

    DataLoader fixes both attributes once made; they are set past that guard, to the same
    batches. A loader with workers keeps lists, which reach the workers cheaper than tensors.
    """
    if loader.num_workers != 0 or type(loader.batch_sampler) is not BatchSampler or type(loader.dataset) is not range:
        return
    if loader.dataset != range(len(loader.dataset)):
        return
    batches = loader.batch_sampler
    object.__setattr__(loader, "batch_sampler", SeedBatches(batches.sampler, batches.batch_size, batches.drop_last))
    object.__setattr__(loader, "dataset", SeedIndices(len(loader.dataset)))
