"""What a run shows of itself: ``metrics.jsonl`` (one JSON object a line:
``"kind": "train"`` per logging interval of training, ``"kind":
"generation"`` per completed generation) and TensorBoard event files when
``tensorboard`` is installed; ``plots`` draws ``progress.png``."""

from __future__ import annotations

import json
import math
import os

from ..files import atomic_write

METRICS = "metrics.jsonl"


def clean(value):
    """JSON has no NaN or infinity: they are written as null."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {k: clean(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [clean(v) for v in value]
    return value


class MetricsLog:
    def __init__(self, run_dir: str) -> None:
        self.path = os.path.join(run_dir, METRICS)
        self.run_dir = run_dir
        # Made at the first record: a writer writes its events file at once,
        # and a run refused before any work must leave its folder as it was.
        self._tensorboard = None
        self._tensorboard_missing = False

    def _lines(self) -> list[tuple[dict | None, str]]:
        """(record, or None and why the line is damaged) per line."""
        if not os.path.exists(self.path):
            return []
        with open(self.path, "rb") as f:
            data = f.read()
        out = []
        for number, line in enumerate(data.split(b"\n"), 1):
            if not line.strip():
                continue
            try:
                record = json.loads(line.decode("utf-8"))
            except UnicodeDecodeError:
                out.append((None, f"line {number} is not UTF-8"))
                continue
            except ValueError:
                out.append((None, f"line {number} is not JSON (cut off?)"))
                continue
            if not isinstance(record, dict) or not isinstance(record.get("generation", -1), int):
                out.append((None, f"line {number} is not a record"))
                continue
            out.append((record, ""))
        return out

    def _ends_whole(self) -> bool:
        """Whether the file is empty or ends with a whole line (the next
        record must not be appended to a cut-off one)."""
        if not os.path.exists(self.path) or os.path.getsize(self.path) == 0:
            return True
        with open(self.path, "rb") as f:
            f.seek(-1, os.SEEK_END)
            return f.read(1) == b"\n"

    def records(self) -> list[dict]:
        """The records; damaged lines are skipped (``restore`` repairs them)."""
        return [record for record, _ in self._lines() if record is not None]

    def restore(self, done: int, training_kept: bool, saved) -> list[str]:
        """Makes the file hold what the run's files say of its ``done``
        complete generations, and of the next one's training when that is
        kept (``training_kept``: its network was written): records of an
        unfinished generation are dropped (they are logged again when it is
        redone), damaged lines are dropped, and the records of a generation
        that are missing or damaged are written again from its own files
        (``saved(g)`` -> (its train records or None, its generation record
        or None)). Returns a note per repair; a record that cannot be
        written again is said to be lost, never dropped unsaid."""
        lines = self._lines()
        notes = [f"{self.path}: {why}: dropped" for record, why in lines if record is None]
        damaged = bool(notes)
        original = [record for record, _ in lines if record is not None]
        kept = [r for r in original if r.get("generation", -1) < done
                or (training_kept and r.get("generation") == done and r.get("kind") == "train")]
        for g in range(done + (1 if training_kept else 0)):
            steps = [r.get("step") for r in kept if r.get("generation") == g and r.get("kind") == "train"]
            logged = g == done or any(r.get("generation") == g and r.get("kind") == "generation" for r in kept)
            if steps and logged and not damaged:
                continue  # a whole file with this generation's records: nothing to compare
            train, record = saved(g)
            if train is not None and sorted(steps, key=str) != sorted((r.get("step") for r in train), key=str):
                kept = [r for r in kept if not (r.get("generation") == g and r.get("kind") == "train")] + train
                notes.append(f"{self.path}: the training records of generation {g} written again from its files")
            if logged:
                continue
            if record is None:
                notes.append(f"{self.path}: the record of generation {g} is lost (missing, and its folder holds "
                             "no copy)")
            else:
                kept.append(record)
                notes.append(f"{self.path}: the record of generation {g} written again from its files")
        kept.sort(key=lambda r: (r.get("generation", -1), r.get("kind") != "train", r.get("step", 0)))
        if notes or kept != original or not self._ends_whole():
            text = "".join(json.dumps(record) + "\n" for record in kept)
            atomic_write(self.path, lambda f: f.write(text), binary=False)
        return notes

    def write(self, record: dict) -> None:
        with open(self.path, "a", encoding="utf-8") as f:
            f.write(json.dumps(clean(record)) + "\n")
            f.flush()
        if self._writer() is not None:
            self._tensorboard_write(record)

    def _writer(self):
        if self._tensorboard is None and not self._tensorboard_missing:
            try:
                from torch.utils.tensorboard import SummaryWriter
            except Exception:  # tensorboard is an optional extra
                self._tensorboard_missing = True
                return None
            self._tensorboard = SummaryWriter(os.path.join(self.run_dir, "tensorboard"))
        return self._tensorboard

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
