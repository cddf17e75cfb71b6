"""A PyTorch ``Dataset`` over written shards."""

from __future__ import annotations

import torch
from torch.utils.data import Dataset

from .shards import load_records


class ShardDataset(Dataset):
    """Every record of the given data folders and/or shard files, in memory.

    Item i: (planes float32 (5, 20, 20), policy float32 (400,), value float32 (4,)),
    all in the frame and seat order of the position's mover.
    """

    def __init__(self, sources) -> None:
        records = load_records(sources)
        self.planes = torch.from_numpy(records["planes"])
        self.policy = torch.from_numpy(records["policy"])
        self.value = torch.from_numpy(records["value"])

    def __len__(self) -> int:
        return len(self.planes)

    def __getitem__(self, index):
        return self.planes[index].float(), self.policy[index], self.value[index]
