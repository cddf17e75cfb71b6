"""``progress.png``: a run's strength, rating, losses and speed, redrawn
after every generation."""

from __future__ import annotations

import os

from ..files import atomic_write

PICTURE = "progress.png"


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
    fits = [r.get("ladder") or r.get("ratings") for r in records]
    fits = [fit for fit in fits if isinstance(fit, dict) and fit]
    if fits:
        _ladder_lines(rating_axis, fits[-1])
    rating_axis.axhline(0.0, color="grey", lw=0.8)
    rating_axis.set_xlabel("generation")
    rating_axis.set_ylabel("rating (Elo scale)")
    rating_axis.set_title("ratings (random player = 0)")
    rating_axis.legend(loc="lower right", fontsize="small")  # ratings climb from the lower left

    minutes = lambda r: r.get("wall_seconds", 0.0) / 60.0
    band(time_axis, minutes, "vs_random", "vs three random seats", "tab:green")
    band(time_axis, minutes, "vs_greedy", "vs three greedy seats (rotated)", "tab:red")
    band(time_axis, minutes, "vs_previous", "vs the previous generation (rotated)", "tab:orange")
    band(time_axis, minutes, "equal_players", "equal players, seat 0 (random vs random)", "tab:grey")
    time_axis.axhline(0.25, color="tab:red", lw=0.8, ls=":", label="equal players, rotated seats")
    time_axis.set_xlabel("wall time (minutes)")
    time_axis.set_ylabel("mean payoff of seat 0 (95% interval)")
    time_axis.set_title("strength")
    # Room above the payoffs for the legend: a trained network's line
    # against random seats runs near 0.9, where a legend inside would hide it.
    time_axis.set_ylim(0.0, 1.25)
    time_axis.set_yticks([0.0, 0.2, 0.4, 0.6, 0.8, 1.0])
    time_axis.legend(loc="upper center", ncol=2, fontsize="x-small", columnspacing=1.0)

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
    try:
        atomic_write(path, lambda f: figure.savefig(f, format="png", dpi=80))
    finally:
        plt.close(figure)
    return path


def _ladder_lines(axis, newest: dict) -> None:
    """Each rated generation's own policy and search players, as the newest
    fit of the ladder rates them, with their intervals."""
    for form, color, marker in (("policy", "tab:purple", "s"), ("search", "tab:brown", "^")):
        points = sorted((int(name[4:8]), value) for name, value in newest.items()
                        if name.startswith("gen-") and name.split(" ", 1)[1].startswith(form))
        if points:
            xs = [g for g, _ in points]
            axis.errorbar(xs, [v["rating"] for _, v in points],
                          yerr=[[v["rating"] - v["low"] for _, v in points], [v["high"] - v["rating"] for _, v in points]],
                          fmt=marker + "--", color=color, capsize=3, label=f"ladder: {form} (Bradley-Terry)")
    for name in ("greedy", "lookahead"):
        if name in newest:
            axis.axhline(newest[name]["rating"], color="tab:red" if name == "greedy" else "tab:pink", lw=1, ls="-.",
                         label=f"ladder: {name}")
