"""Strength as a rating, from test-game payoffs.

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
