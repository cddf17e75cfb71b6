"""Matches of any four players on the worker pool: many games at once,
every network player's requests through the same batching server and
cache as self-play. With rotation every player takes every seat equally
often (games in sets of four sharing one random opening), so a four-player
comparison measures the players, not the seats."""

from __future__ import annotations

import logging
import math
import os
import random
import statistics
import sys
import time
from dataclasses import dataclass, field

from ..constants import SEATS
from ..data.games import save_game
from ..errors import OptionError
from ..inference.description import EvaluatorSpec
from ..players.notation import parse_player
from ..pool.api import ServerStats, WorkerEvent
from ..pool.factory import make_pool
from ..pool.protocol import Message
from ..progress import Progress
from ..settings import ArenaOptions
from ..stats import interval
from . import roles

log = logging.getLogger(__name__)

DEFAULT_OPENING_TURNS = 2


def placings(scores) -> list[int]:
    """1 to 4 per seat: one more than the number of seats that scored more
    (equal scores share a place)."""
    return [1 + sum(other > mine for other in scores) for mine in scores]


@dataclass
class PlayerResult:
    name: str
    seats: int  # seats it holds in each game
    payoffs: list = field(default_factory=list)  # per game: the mean payoff of its seats
    scores: list = field(default_factory=list)  # per seat played
    places: list = field(default_factory=lambda: [0] * SEATS)

    def to_dict(self) -> dict:
        return {"player": self.name, "seats": self.seats, "payoff": interval(self.payoffs),
                "mean_score": statistics.fmean(self.scores) if self.scores else math.nan,
                "placings": list(self.places)}


@dataclass
class MatchSummary:
    games_requested: int
    seats: list
    rotate: bool
    opening_turns: int
    results: dict = field(default_factory=dict)  # player name -> PlayerResult
    failures: list = field(default_factory=list)
    games: list = field(default_factory=list)  # finished games' payloads, with their number
    interrupted: bool = False
    server: ServerStats = field(default_factory=ServerStats)
    node_lines: list = field(default_factory=list)
    board: str | None = None
    save_folder: str | None = None
    unsaved: list = field(default_factory=list)  # numbers of played games that could not be saved
    save_error: str = ""

    @property
    def lost(self) -> int:
        """Games that failed, or were played and could not be saved."""
        return len(self.failures) + len(self.unsaved)

    @property
    def payoffs(self) -> list:
        return [g["payoff"] for g in self.games]

    def report(self) -> str:
        lines = []
        if self.board:
            lines += ["final board of one game (seats 0 to 3, . empty):", self.board]
        state = "interrupted: " if self.interrupted else ""
        how = "seats rotated" if self.rotate else "seats fixed"
        lines.append(f"{state}{len(self.games)} of {self.games_requested} games played, {len(self.failures)} "
                     f"failed ({how}; {self.opening_turns} random opening turn(s) per game)")
        lines.append("player                         seats  mean payoff [95% interval]  mean score   "
                     "1st  2nd  3rd  4th")
        for result in self.results.values():
            p = interval(result.payoffs)
            score = statistics.fmean(result.scores) if result.scores else math.nan
            lines.append(f"{result.name[:30]:30} {result.seats:5}  {p['mean']:.3f} [{p['low']:.3f}, {p['high']:.3f}]"
                         f"        {score:8.1f}  " + " ".join(f"{n:4}" for n in result.places))
        equal = 1.0 / SEATS
        lines.append(f"(a player of one seat scores {equal:.2f} against equal players when seats rotate)")
        s = self.server
        if s.wall and s.evaluations:
            lines.append(f"{s.evaluations} evaluations in {s.wall:.1f} s: {s.evaluations / s.wall:.0f} requests/s, "
                         f"mean batch {s.mean_batch:.2f}")
        lines.extend(self.node_lines)
        for worker, game, error in self.failures:
            lines.append(f"failed: game {game} on worker {worker}: {error}")
        if self.unsaved:
            lines.append(f"not saved: {len(self.unsaved)} of {len(self.games)} played games could not be written to "
                         f"{self.save_folder} ({self.save_error}); their results are counted above")
        return "\n".join(lines)


def render_board(history) -> str:
    """The board after ``history``: each cell the seat that placed it."""
    cells = ["."] * 400
    for seat, tile in history:
        cells[tile] = str(seat)
    return "\n".join("".join(cells[row * 20:row * 20 + 20]) for row in range(20))


def match_networks(players, in_memory: dict | None, shape, seed):
    """The distinct networks the players need, and each player's index
    among them (None for players without one)."""
    from ..model.checkpoints import network_from

    nets, index_of, indices = [], {}, []
    for player in players:
        if not player.uses_network:
            indices.append(None)
            continue
        if player.checkpoint not in index_of:
            net = (in_memory or {}).get(player.checkpoint)
            if net is None:
                if not os.path.isfile(player.checkpoint):
                    raise OptionError(f"checkpoint {player.checkpoint!r} does not exist")
                net = network_from(player.checkpoint, shape, seed)[0]
            index_of[player.checkpoint] = len(nets)
            nets.append(net)
        indices.append(index_of[player.checkpoint])
    return nets, indices


def run_match(options: ArenaOptions, stream=None, networks: dict | None = None, workers=None) -> MatchSummary:
    """Plays ``options.games`` games of the four ``options.seats`` players.
    ``networks``: checkpoint name -> a network in memory to use for it;
    ``workers``: worker processes to play on and leave running
    (``pool.local.Workers``)."""
    if len(options.seats) != SEATS:
        raise OptionError(f"a match needs {SEATS} players, got {len(options.seats)}")
    players = [parse_player(text) for text in options.seats]
    rotate = options.rotate if options.rotate is not None else len(set(options.seats)) > 1
    seed = options.seeding.seed if options.seeding.seed is not None else random.randrange(2**62)
    nets, indices = match_networks(players, networks, options.shape, seed)
    opening_turns = options.opening_turns
    if opening_turns is None:
        opening_turns = 0 if any(p.kind == "random" for p in players) else DEFAULT_OPENING_TURNS
    return play_seats(options, [p.native(options.search) for p in players], list(options.seats), nets, indices,
                      rotate, opening_turns, seed, stream, workers)


def play_seats(options: ArenaOptions, natives: list, names: list, nets: list, indices: list, rotate: bool,
               opening_turns: int, seed: int, stream=None, workers=None, label: str = "match") -> MatchSummary:
    """The games of a match on the worker pool: seat k plays ``natives[k]``
    (the match driver's form of a player), named ``names[k]`` in the
    results, with network ``nets[indices[k]]`` (None: no network), seats
    rotated by the game's number when ``rotate``. ``options`` gives the
    games, the pool, device and cluster, and what to show and save."""
    stream = stream if stream is not None else sys.stderr
    games = options.games
    if rotate and games % SEATS:
        games += SEATS - games % SEATS
    spec = EvaluatorSpec(list(nets), cache_mb=options.pool.cache_mb,
                         precision=options.pool.inference_precision) if nets \
        else EvaluatorSpec.zero_cost()
    evaluator = spec if options.cluster.ray else spec.build(options.device)
    summary = MatchSummary(games, list(names), rotate, opening_turns, save_folder=options.save_games)
    for name in names:
        if name not in summary.results:
            summary.results[name] = PlayerResult(name, names.count(name))
    worker_options = {"players": natives, "networks": indices, "rotate": rotate,
                      "opening_turns": opening_turns, "seed": seed, "log_level": options.display.log_level}
    pool = make_pool(roles.match, options, games, worker_options, options.log_dir, workers)
    progress = Progress(label, games, "games", stream, enabled=not options.display.quiet)
    tag = time.strftime("%Y%m%d-%H%M%S")

    def handle(event: WorkerEvent) -> None:
        if event.kind == Message.DONE:
            record = dict(event.payload, game=event.game,
                          seats=[names[(s - event.payload["rotation"]) % SEATS] for s in range(SEATS)])
            summary.games.append(record)
            _account(summary, record)
            if summary.board is None and options.show_board:
                summary.board = render_board(record["history"])
            if options.save_games:
                _save(summary, progress, f"match-{tag}-{event.game:05d}.json", record)
        elif event.kind == Message.FAILED:
            summary.failures.append((event.worker, event.game, event.payload))
            progress.message(f"game {event.game} failed on worker {event.worker}, skipped: {event.payload}")

    def tick() -> None:
        first = next(iter(summary.results.values()))
        mean = statistics.fmean(first.payoffs) if first.payoffs else math.nan
        progress.update(len(summary.games) + len(summary.failures), f"{first.name[:24]} {mean:.3f}")

    summary.interrupted = pool.run(evaluator, handle, tick, options.pool.batch_size,
                                   options.pool.batch_wait_ms / 1000.0, progress, "stopping the workers")
    for worker, error in pool.fatal:
        if not any(f[0] == worker for f in summary.failures):
            progress.message(f"worker {worker} stopped: {error}")
    progress.close(len(summary.games) + len(summary.failures))
    summary.server = pool.stats
    if options.cluster.ray:
        summary.node_lines = pool.node_lines()
    return summary


def _save(summary: MatchSummary, progress, name: str, record: dict) -> None:
    """Saves a played game; one that cannot be written (a full disk, a
    folder gone) is counted and said, and the match goes on: its result
    still counts, and the command exits non-zero."""
    try:
        save_game(summary.save_folder, name, record["seats"], record["history"], record["scores"], record["payoff"])
    except OSError as error:
        summary.unsaved.append(record["game"])
        if len(summary.unsaved) == 1:
            summary.save_error = error.strerror or str(error)
            progress.message(f"game {record['game']} could not be saved in {summary.save_folder}: "
                             f"{summary.save_error}")
        log.error("game %s could not be saved in %s: %s", record["game"], summary.save_folder, error)


def _account(summary: MatchSummary, record: dict) -> None:
    places = placings(record["scores"])
    per_player: dict = {}
    for seat, name in enumerate(record["seats"]):
        result = summary.results[name]
        result.scores.append(record["scores"][seat])
        result.places[places[seat] - 1] += 1
        per_player.setdefault(name, []).append(record["payoff"][seat])
    for name, payoffs in per_player.items():
        summary.results[name].payoffs.append(statistics.fmean(payoffs))
