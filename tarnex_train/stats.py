"""Intervals and ratings: the statistics of strength measurements.

Means come with the 95% interval of Student's t. Strength as a rating, from
test-game payoffs:

A test game seats one player against three copies of another. Under a
Plackett-Luce model with ratings on the Elo scale, a player of rating R
wins against three of rating r with probability s / (s + 3t), s = 10^(R/400),
t = 10^(r/400). Seat 0 moves first, which is worth something on its own: two
equal players give seat 0 the payoff p0 rather than 0.25. Treating that as a
factor on seat 0's strength, a seat-0 payoff p means

    R - r = 400 * log10(p (1 - p0) / ((1 - p) p0)),

which is 0 exactly when p = p0. The random player is fixed at 0.
"""

from __future__ import annotations

import math
import statistics

# Two-sided 95% quantiles of Student's t for 1..30 degrees of freedom.
_T975 = (
    12.706, 4.303, 3.182, 2.776, 2.571, 2.447, 2.365, 2.306, 2.262, 2.228,
    2.201, 2.179, 2.160, 2.145, 2.131, 2.120, 2.110, 2.101, 2.093, 2.086,
    2.080, 2.074, 2.069, 2.064, 2.060, 2.056, 2.052, 2.048, 2.045, 2.042,
)


def t_quantile_975(df: int) -> float:
    """Student's t 97.5% quantile: the table up to 30 degrees of freedom,
    beyond that the Cornish-Fisher expansion around the normal quantile
    (within 1e-3)."""
    if df <= len(_T975):
        return _T975[df - 1]
    z = 1.959964
    return z + (z**3 + z) / (4 * df) + (5 * z**5 + 16 * z**3 + 3 * z) / (96 * df**2)


def mean_confidence_interval(values) -> tuple[float, float, float]:
    """(mean, low, high): the 95% interval of the mean (Student's t),
    clipped to [0, 1]."""
    values = list(values)
    if not values:
        return math.nan, math.nan, math.nan
    mean = statistics.fmean(values)
    if len(values) < 2:
        return mean, 0.0, 1.0
    half = t_quantile_975(len(values) - 1) * statistics.stdev(values) / math.sqrt(len(values))
    return mean, max(0.0, mean - half), min(1.0, mean + half)


def interval(values) -> dict:
    """{mean, low, high, games} of a list of payoffs."""
    values = list(values)
    mean, low, high = mean_confidence_interval(values)
    return {"mean": mean, "low": low, "high": high, "games": len(values)}


# Payoffs of 0 or 1 over a finite number of games would give infinite ratings.
CLIP = 0.005


def rating_difference(payoff: float, equal_payoff: float) -> float:
    if not (math.isfinite(payoff) and math.isfinite(equal_payoff)):
        return math.nan
    p = min(1 - CLIP, max(CLIP, payoff))
    p0 = min(1 - CLIP, max(CLIP, equal_payoff))
    return 400.0 * math.log10(p * (1 - p0) / ((1 - p) * p0))


def rating_interval(strength: dict, equal_payoff: float) -> dict:
    """{"rating", "low", "high"} from a strength {"mean", "low", "high"};
    the interval maps the payoff's interval (the rating is monotone in it)."""
    return {
        "rating": rating_difference(strength["mean"], equal_payoff),
        "low": rating_difference(strength["low"], equal_payoff),
        "high": rating_difference(strength["high"], equal_payoff),
    }


def interval_problem(value, finite: bool = False) -> str | None:
    """What is wrong with ``value`` as an ``interval`` read back from a file
    (None when nothing). ``finite``: its numbers must be finite (not from
    zero games)."""
    if not isinstance(value, dict):
        return f"{value!r} is not an interval"
    for key in ("mean", "low", "high"):
        number = value.get(key)
        if number is None and not finite and key in value:
            continue  # no games: written as null
        if isinstance(number, bool) or not isinstance(number, (int, float)) or (finite and not math.isfinite(number)):
            return f"{key} is {number!r}, not a number" if key in value else f"no {key}"
    games = value.get("games")
    if isinstance(games, bool) or not isinstance(games, int) or games < 0:
        return f"games is {games!r}, not a count"
    return None
