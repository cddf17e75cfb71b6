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


# -- ratings from four-player placings ----------------------------------------

ELO = 400.0 / math.log(10.0)  # natural-log strengths to the Elo scale
PRIOR_TIES = 0.5  # virtual ties with the anchor: keeps an unbeaten or winless player finite


def pairwise(games) -> tuple[list, dict]:
    """(players, {(i, j): wins of i over j}) from games given as lists of
    (player, score) per seat: every two seats of different players are one
    comparison, an equal score half a win each."""
    players = sorted({name for game in games for name, _ in game})
    index = {name: k for k, name in enumerate(players)}
    wins: dict = {}
    for game in games:
        for a, (name_a, score_a) in enumerate(game):
            for name_b, score_b in game[a + 1:]:
                if name_a == name_b:
                    continue
                i, j = index[name_a], index[name_b]
                share = 1.0 if score_a > score_b else 0.5 if score_a == score_b else 0.0
                wins[(i, j)] = wins.get((i, j), 0.0) + share
                wins[(j, i)] = wins.get((j, i), 0.0) + 1.0 - share
    return players, wins


def bradley_terry(players: list, wins: dict, anchor: int, iterations: int = 500) -> list[float]:
    """Strengths (Elo scale, the anchor at 0) maximising the Bradley-Terry
    likelihood of the pairwise results, by Hunter's MM updates; each player
    also has PRIOR_TIES virtual ties with the anchor."""
    n = len(players)
    wins = dict(wins)
    for k in range(n):
        if k != anchor:
            for pair in ((k, anchor), (anchor, k)):
                wins[pair] = wins.get(pair, 0.0) + PRIOR_TIES
    total = [0.0] * n
    games = {}
    for (i, j), w in wins.items():
        total[i] += w
        games[(min(i, j), max(i, j))] = games.get((min(i, j), max(i, j)), 0.0) + w
    gamma = [1.0] * n
    for _ in range(iterations):
        new = []
        for i in range(n):
            denominator = sum(count / (gamma[i] + gamma[j if i == a else a])
                              for (a, j), count in games.items() if i in (a, j))
            new.append(total[i] / denominator if denominator > 0 else gamma[i])
        scale = new[anchor]
        gamma = [g / scale for g in new]
    return [ELO * math.log(g) for g in gamma]


def fit_ratings(games, anchor: str, resamples: int = 100, seed: int = 0) -> dict:
    """{player: {"rating", "low", "high", "games"}}: Bradley-Terry ratings
    over the pairwise placings of all ``games`` (lists of (player, score)),
    ``anchor`` fixed at 0; the 95% interval from refits on games drawn with
    replacement (the comparisons within one game are not independent)."""
    import random

    games = [list(game) for game in games]
    players, wins = pairwise(games)
    if anchor not in players:
        raise ValueError(f"the anchor {anchor!r} played no game")
    at = players.index(anchor)
    ratings = bradley_terry(players, wins, at)
    draws = random.Random(seed)
    samples: list = [[] for _ in players]
    for _ in range(resamples):
        chosen = [games[draws.randrange(len(games))] for _ in games]
        names, sample_wins = pairwise(chosen)
        if anchor not in names:
            continue
        fitted = dict(zip(names, bradley_terry(names, sample_wins, names.index(anchor), iterations=200)))
        for k, name in enumerate(players):
            if name in fitted:
                samples[k].append(fitted[name])
    out = {}
    for k, name in enumerate(players):
        values = sorted(samples[k]) or [ratings[k]]
        low = values[int(0.025 * (len(values) - 1))]
        high = values[int(math.ceil(0.975 * (len(values) - 1)))]
        played = sum(1 for game in games if any(p == name for p, _ in game))
        out[name] = {"rating": ratings[k], "low": low, "high": high, "games": played}
    return out


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
