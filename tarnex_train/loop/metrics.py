"""What a run shows of itself: ``metrics.jsonl`` (one JSON object a line:
``"kind": "train"`` per logging interval of training, ``"kind":
"generation"`` per completed generation), ``progress.png`` redrawn after
every generation, and TensorBoard event files when ``tensorboard`` is
installed."""

from __future__ import annotations

import json
import math
import os

METRICS = "metrics.jsonl"
PICTURE = "progress.png"


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


def _series(records, *path):
    xs, ys = [], []
    for r in records:
        value = r
        for key in path:
            value = value.get(key) if isinstance(value, dict) else None
        if isinstance(value, (int, float)):
            xs.append(r)
            ys.append(value)
    return xs, ys


LOSSES = (("policy_loss", "policy", "tab:purple"), ("value_loss", "value", "tab:red"),
          ("ownership_loss", "ownership", "tab:olive"))


def draw_progress(run_dir: str, records: list[dict]) -> str | None:
    """Redraws ``progress.png``: rating and strengths against generation and
    wall time, and the losses. Returns its path (None without matplotlib)."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception:
        return None
    generations = [r for r in records if r.get("kind") == "generation"]
    train = [r for r in records if r.get("kind") == "train"]
    figure, axes = plt.subplots(2, 2, figsize=(12, 8))
    (rating_axis, time_axis), (loss_axis, entropy_axis) = axes

    def band(axis, x_of, key, label, color):
        rows, means = _series(generations, key, "mean")
        if not rows:
            return
        xs = [x_of(r) for r in rows]
        lows = [r[key]["low"] for r in rows]
        highs = [r[key]["high"] for r in rows]
        axis.plot(xs, means, "o-", color=color, label=label)
        axis.fill_between(xs, lows, highs, color=color, alpha=0.2)

    rows, ratings = _series(generations, "rating", "rating")
    if rows:
        xs = [r["generation"] for r in rows]
        lows = [r["rating"]["low"] for r in rows]
        highs = [r["rating"]["high"] for r in rows]
        rating_axis.plot(xs, ratings, "o-", color="tab:blue", label="rating (random player = 0)")
        rating_axis.fill_between(xs, lows, highs, color="tab:blue", alpha=0.2, label="95% interval")
    rating_axis.axhline(0.0, color="grey", lw=0.8)
    rating_axis.set_xlabel("generation")
    rating_axis.set_ylabel("rating (Elo scale)")
    rating_axis.set_title("rating against the random player")
    rating_axis.legend(loc="upper left")

    minutes = lambda r: r.get("wall_seconds", 0.0) / 60.0
    band(time_axis, minutes, "vs_random", "vs three random seats", "tab:green")
    band(time_axis, minutes, "vs_previous", "vs the previous generation", "tab:orange")
    band(time_axis, minutes, "equal_players", "equal players (random vs random)", "tab:grey")
    time_axis.set_xlabel("wall time (minutes)")
    time_axis.set_ylabel("mean payoff of seat 0 (95% interval)")
    time_axis.set_title("strength")
    time_axis.set_ylim(0.0, 1.0)
    time_axis.legend(loc="upper left")

    for key, label, color in LOSSES:
        rows, values = _series(train, key)
        if rows:
            loss_axis.plot([r["total_steps"] for r in rows], values, color=color, alpha=0.5, label=f"{label} (train)")
    steps_of = {r["generation"]: r.get("total_steps", 0) for r in generations}
    for key, label, color in LOSSES:
        rows, values = _series(generations, "heldout", key)
        if rows:
            loss_axis.plot([steps_of[r["generation"]] for r in rows], values, "s--", color=color,
                           label=f"{label} (held out)")
    loss_axis.set_xlabel("training steps")
    loss_axis.set_ylabel("cross-entropy")
    loss_axis.set_title("losses")
    loss_axis.legend(loc="upper right")

    rows, values = _series(generations, "heldout", "policy_entropy")
    if rows:
        entropy_axis.plot([r["generation"] for r in rows], values, "o-", color="tab:brown", label="policy entropy")
    rows, values = _series(generations, "selfplay", "evaluations_per_second")
    if rows:
        speed_axis = entropy_axis.twinx()
        speed_axis.plot([r["generation"] for r in rows], values, "x:", color="tab:cyan", label="evaluations/s")
        speed_axis.set_ylabel("self-play evaluations per second")
        speed_axis.legend(loc="upper right")
    entropy_axis.set_xlabel("generation")
    entropy_axis.set_ylabel("policy entropy (nats, held-out positions)")
    entropy_axis.set_title("policy entropy and self-play speed")
    entropy_axis.legend(loc="upper left")

    figure.tight_layout()
    path = os.path.join(run_dir, PICTURE)
    temporary = os.path.join(run_dir, ".progress.tmp.png")
    figure.savefig(temporary, dpi=80)
    plt.close(figure)
    os.replace(temporary, path)
    return path
