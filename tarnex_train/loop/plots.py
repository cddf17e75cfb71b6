"""``progress.png``: a run's strength, rating, losses and speed, redrawn
after every generation."""

from __future__ import annotations

import os

from ..constants import EQUAL_ROTATED
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
    """Redraws ``progress.png``: strengths (in seat 0 against random, read
    against the seat-0 payoff of equal players; in rotated matches, read
    against 0.25) against wall time, the seat-0 rating and the ladder's
    Bradley-Terry ratings on axes of their own (they are different
    scales), the losses, entropy and self-play speed. Returns its path
    (None without matplotlib)."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception:
        return None
    generations = [r for r in records if r.get("kind") == "generation"]
    train = [r for r in records if r.get("kind") == "train"]
    figure, axes = plt.subplots(4, 2, figsize=(12, 16))
    (seat0_axis, rotated_axis), (rating_axis, ladder_axis), (loss_axis, entropy_axis), (gap_axis, step_axis) = axes

    def band(axis, x_of, key, label, color):
        rows, means = _series(generations, key, "mean")
        if not rows:
            return
        xs = [x_of(r) for r in rows]
        lows = [r[key]["low"] for r in rows]
        highs = [r[key]["high"] for r in rows]
        axis.plot(xs, means, "o-", color=color, label=label)
        axis.fill_between(xs, lows, highs, color=color, alpha=0.2)

    def payoff_axis(axis, title):
        axis.set_xlabel("wall time (minutes)")
        axis.set_ylabel("mean payoff (95% interval)")
        axis.set_title(title)
        # Room above the payoffs for the legend: a trained network's line
        # against random seats runs near 0.9, where a legend inside would hide it.
        axis.set_ylim(0.0, 1.25)
        axis.set_yticks([0.0, 0.2, 0.4, 0.6, 0.8, 1.0])
        axis.legend(loc="upper center", ncol=2, fontsize="x-small", columnspacing=1.0)

    minutes = lambda r: r.get("wall_seconds", 0.0) / 60.0
    band(seat0_axis, minutes, "vs_random", "vs three random seats", "tab:green")
    rows, _ = _series(generations, "equal_players", "mean")
    if rows:
        equal = rows[-1]["equal_players"]
        seat0_axis.axhline(equal["mean"], color="tab:grey", lw=1, ls=":",
                           label=f"equal players in seat 0 (random vs random): {equal['mean']:.3f}")
        seat0_axis.axhspan(equal["low"], equal["high"], color="tab:grey", alpha=0.15)
    payoff_axis(seat0_axis, "strength in seat 0 against random seats")
    band(rotated_axis, minutes, "vs_greedy", "vs three greedy seats", "tab:red")
    band(rotated_axis, minutes, "vs_heldout", "vs held-out players (centre, blocker)", "tab:purple")
    band(rotated_axis, minutes, "vs_previous", "vs the previous generation", "tab:orange")
    band(rotated_axis, minutes, "search_vs_policy", "its search vs three of its policy seats", "tab:brown")
    rotated_axis.axhline(EQUAL_ROTATED, color="tab:grey", lw=1, ls=":",
                         label=f"equal players, seats rotated: {EQUAL_ROTATED}")
    payoff_axis(rotated_axis, "strength in rotated matches (one seat against three)")

    rows, ratings = _series(generations, "rating", "rating")
    if rows:
        xs = [r["generation"] for r in rows]
        lows = [r["rating"]["low"] for r in rows]
        highs = [r["rating"]["high"] for r in rows]
        rating_axis.plot(xs, ratings, "o-", color="tab:blue", label="from seat-0 games against random")
        rating_axis.fill_between(xs, lows, highs, color="tab:blue", alpha=0.2, label="95% interval")
        rating_axis.legend(loc="lower right", fontsize="small")  # ratings climb from the lower left
    rating_axis.axhline(0.0, color="grey", lw=0.8)
    rating_axis.set_xlabel("generation")
    rating_axis.set_ylabel("rating (Elo scale)")
    rating_axis.set_title("seat-0 rating (random player = 0)")
    fits = [r.get("ladder") or r.get("ratings") for r in records]
    fits = [fit for fit in fits if isinstance(fit, dict) and fit]
    if fits:
        _ladder_lines(ladder_axis, fits[-1])
        ladder_axis.legend(loc="lower right", fontsize="small")
    ladder_axis.axhline(0.0, color="grey", lw=0.8)
    ladder_axis.set_xlabel("generation")
    ladder_axis.set_ylabel("Bradley-Terry rating (Elo scale)")
    ladder_axis.set_title("ladder of four-player games (random player = 0; not the seat-0 scale)")

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
    # Generations whose games asked the network nothing (reference players)
    # have no speed to show: left out, not drawn at 0.
    rows, values = _series([r for r in generations if _used_network(r)], "selfplay", "evaluations_per_second")
    if rows:
        speed_axis = entropy_axis.twinx()
        speed_axis.plot([r["generation"] for r in rows], values, "x:", color="tab:cyan",
                        label="network evaluations per second")
        speed_axis.set_ylabel("self-play evaluations per second")
        speed_axis.set_ylim(bottom=0.0)
        speed_axis.legend(loc="upper right")
    entropy_axis.set_xlabel("generation")
    entropy_axis.set_ylabel("policy entropy (nats, held-out positions)")
    entropy_axis.set_title("policy entropy and self-play speed")
    entropy_axis.legend(loc="upper left")

    _value_measure(generations, gap_axis, step_axis)

    figure.tight_layout()
    path = os.path.join(run_dir, PICTURE)
    try:
        atomic_write(path, lambda f: figure.savefig(f, format="png", dpi=80))
    finally:
        plt.close(figure)
    return path


def _value_measure(generations, gap_axis, step_axis) -> None:
    """How much of what a value can learn the held-out value has, overall
    and by quarter of the games; how far it steps where the move passes
    against within a turn, beside how far it tells sibling tiles apart."""
    rows, values = _series(generations, "heldout", "value_gap_closed")
    if rows:
        gap_axis.plot([r["generation"] for r in rows], values, "o-", color="tab:red", label="all positions")
    quarters = [(r["generation"], r["heldout"]["value_gap_closed_by_quarter"]) for r in generations
                if isinstance(r.get("heldout"), dict) and isinstance(r["heldout"].get("value_gap_closed_by_quarter"), list)]
    for q, style in zip(range(4), (":", "-.", "--", "-")):
        points = [(g, shares[q]) for g, shares in quarters if len(shares) == 4 and isinstance(shares[q], (int, float))]
        if points:
            gap_axis.plot(*zip(*points), style, color="tab:grey", lw=1, label=f"quarter {q + 1} of the games")
    gap_axis.axhline(0.0, color="grey", lw=0.8)
    gap_axis.set_xlabel("generation")
    gap_axis.set_ylabel("share of the gap closed")
    gap_axis.set_title("held-out value: from a uniform guess (0) to the targets' entropy (1)")
    if rows or quarters:
        gap_axis.legend(loc="lower right", fontsize="small")
    for key, label, style in (("value_step_at_completion", "where the move passes", "o-"),
                              ("value_step_within_turn", "within a turn", "s--"),
                              ("sibling_spread", "between sibling tiles (median sd)", "^-.")):
        rows, values = _series(generations, "heldout", key)
        if rows:
            step_axis.plot([r["generation"] for r in rows], values, style, label=label)
    step_axis.set_xlabel("generation")
    step_axis.set_ylabel("mean absolute change of a seat's value")
    step_axis.set_title("held-out value: steps from one position to the next; siblings' spread")
    if step_axis.lines:
        step_axis.legend(loc="upper right", fontsize="small")


def _used_network(record: dict) -> bool:
    selfplay = record.get("selfplay") if isinstance(record.get("selfplay"), dict) else {}
    return selfplay.get("evaluations") != 0 and selfplay.get("evaluations_per_second") != 0


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
