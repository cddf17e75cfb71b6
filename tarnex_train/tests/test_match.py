"""Matches of any four players on the pool, and the rating fit."""

import math
import random

from tarnex_train import _rules
from tarnex_train.play.match import placings, run_match
from tarnex_train.settings import ArenaOptions
from tarnex_train.stats import fit_ratings
from tarnex_train.view.runs import open_runs


def test_rotation_seats_every_player_everywhere_and_games_replay(tmp_path):
    seats = ["greedy", "lookahead", "random", "random"]
    options = ArenaOptions.make(games=6, seats=seats, workers=1, games_per_worker=4, quiet=True, seed=5,
                                opening_turns=2, save_games=str(tmp_path / "games"))
    summary = run_match(options)
    # Saved as the view's games page reads them.
    run = open_runs([str(tmp_path)])[0]
    saved = [run.saved_game(name) for name in run.saved_names()]
    assert sorted(map(str, (g["history"] for g in saved))) == sorted(str([list(m) for m in g["history"]])
                                                                       for g in summary.games)
    assert summary.rotate and len(summary.games) == 8  # rounded up to whole rotation sets
    for name in ("greedy", "lookahead"):
        at = [game["seats"].index(name) for game in summary.games]
        assert sorted(at) == [0, 0, 1, 1, 2, 2, 3, 3], name
    for game in summary.games:
        assert list(_rules.scores(game["history"])) == game["scores"]
        _, _, _, payoff, terminal = _rules.replay(game["history"])
        assert terminal and [round(p, 6) for p in payoff] == [round(p, 6) for p in game["payoff"]]
    # A rotation set shares its opening; different sets open differently.
    openings = [tuple(map(tuple, g["history"][:g["opening"]])) for g in sorted(summary.games, key=lambda g: g["game"])]
    assert openings[0] == openings[3] and openings[4] == openings[7] and openings[0] != openings[4]
    greedy = summary.results["greedy"]
    assert sum(greedy.places) == 8 and len(greedy.payoffs) == 8
    assert len(summary.results["random"].scores) == 16  # two seats a game


def test_placings_share_equal_scores():
    assert placings([5, -3, 5, 0]) == [1, 4, 1, 3]


def test_rating_fit_recovers_known_strengths():
    true = {"random": 0.0, "weak": 150.0, "mid": 350.0, "strong": 600.0, "other": 250.0}
    draws = random.Random(0)
    games = []
    for _ in range(400):
        four = draws.sample(sorted(true), 4)
        # Plackett-Luce placings: Gumbel noise on the log-strengths.
        games.append([(name, true[name] * math.log(10) / 400 - math.log(-math.log(draws.random()))) for name in four])
    ratings = fit_ratings(games, "random", resamples=60)
    assert ratings["random"]["rating"] == 0.0
    for name, value in true.items():
        fitted = ratings[name]
        assert fitted["low"] - 1e-9 <= value <= fitted["high"] + 1e-9, (name, fitted)
        assert abs(fitted["rating"] - value) < 60, (name, fitted)
    order = sorted(true, key=lambda n: ratings[n]["rating"])
    assert order == sorted(true, key=true.get)
