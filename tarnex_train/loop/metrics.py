"""What a run shows of itself: ``metrics.jsonl`` (one JSON object a line:
``"kind": "train"`` per logging interval of training, ``"kind":
"generation"`` per completed generation) and TensorBoard event files when
``tensorboard`` is installed; ``plots`` draws ``progress.png``."""

from __future__ import annotations

import json
import math
import os

METRICS = "metrics.jsonl"


def _clean(value):
    """JSON has no NaN or infinity: they are written as null."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {k: _clean(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_clean(v) for v in value]
    return value


class MetricsLog:
    def __init__(self, run_dir: str) -> None:
        self.path = os.path.join(run_dir, METRICS)
        self.run_dir = run_dir
        self._tensorboard = None
        try:
            from torch.utils.tensorboard import SummaryWriter
        except Exception:  # tensorboard is an optional extra
            SummaryWriter = None
        if SummaryWriter is not None:
            self._tensorboard = SummaryWriter(os.path.join(run_dir, "tensorboard"))

    def records(self) -> list[dict]:
        if not os.path.exists(self.path):
            return []
        out = []
        with open(self.path, encoding="utf-8") as f:
            for line in f:
                try:
                    out.append(json.loads(line))
                except ValueError:
                    pass  # a line cut short by a kill
        return out

    def keep_generations_before(self, generation: int) -> None:
        """Drops the lines of generations from ``generation`` on (and a line
        torn by a kill): what an interrupted generation logged is logged
        again when it is redone."""
        if not os.path.exists(self.path):
            return
        with open(self.path, "rb") as f:
            data = f.read()
        records = self.records()
        kept = [r for r in records if r.get("generation", -1) < generation]
        if len(kept) == len(records) and data.endswith(b"\n"):
            return
        temporary = self.path + ".tmp"
        with open(temporary, "w", encoding="utf-8") as f:
            for record in kept:
                f.write(json.dumps(record) + "\n")
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, self.path)

    def write(self, record: dict) -> None:
        with open(self.path, "a", encoding="utf-8") as f:
            f.write(json.dumps(_clean(record)) + "\n")
            f.flush()
        if self._tensorboard is not None:
            self._tensorboard_write(record)

    def _tensorboard_write(self, record: dict) -> None:
        kind = record.get("kind")
        step = record.get("total_steps") if kind == "train" else record.get("generation")
        for name, value in _flatten(record).items():
            if isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value):
                self._tensorboard.add_scalar(f"{kind}/{name}", value, step)
        self._tensorboard.flush()

    def close(self) -> None:
        if self._tensorboard is not None:
            self._tensorboard.close()


def _flatten(record: dict, prefix: str = "") -> dict:
    out = {}
    for key, value in record.items():
        if isinstance(value, dict):
            out.update(_flatten(value, f"{prefix}{key}/"))
        else:
            out[f"{prefix}{key}"] = value
    return out
