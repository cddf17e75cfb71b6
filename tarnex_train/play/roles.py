"""The games a worker process can play, one function per role, handed to
``pool.factory.make_pool`` (module-level, so that a spawned worker imports
it by reference): each takes the worker's options and stop flag and returns
``play(batcher, slot_id, game)``, which plays game number ``game`` on the
slot's channel and returns (DONE, payload, stats), (FAILED, error text,
stats), or None when the worker is stopping. A game's traceback goes into
the worker's log."""

from __future__ import annotations

import logging
import random
import time

from greenlet import GreenletExit

from ..players.notation import REFERENCES
from ..pool.channel import GameChannel, PackedChannel
from ..pool.protocol import Message
from ..pool.worker import describe

log = logging.getLogger(__name__)


def selfplay(options, stop):
    """play(batcher, game_id) -> (DONE, records, stats), (FAILED,
    error text, stats), or None when the worker is stopping."""
    from ..data.positions import training_records
    from ..settings import SearchConfig

    config = SearchConfig(**options["search"])
    play_game = training_game(config)
    target = target_kind(config)
    channel_kind = GameChannel if _engine_plays(config) else PackedChannel

    def play(batcher, game_id, game):
        channel = channel_kind(batcher, game_id)
        started = time.perf_counter()
        try:
            history, policies, payoff, seats = play_game(game_id, channel)
        except (KeyboardInterrupt, SystemExit, GreenletExit):  # the worker itself is ending
            raise
        except BaseException as error:  # Exception or the engine's PanicException
            return _failed(error, stop, f"game {game}", _stats(started, time.perf_counter(), channel))
        played = time.perf_counter()
        try:
            records = training_records(history, policies, payoff, quick_searches=config.cheap_sims > 0, target=target)
        except Exception as error:
            log.warning("game %s left a bad record", game_id, exc_info=True)
            return Message.FAILED, "bad game record: " + describe(error), _stats(started, played, channel)
        stats = _stats(started, played, channel)
        stats["records_seconds"] = time.perf_counter() - played
        records["payoff"] = list(payoff)
        records["seats"] = list(seats)
        return Message.DONE, records, stats

    return play


def target_kind(config) -> str:
    """What the policy target of the games ``config`` plays is, as the
    shards record it (a quick search's tile has none)."""
    if config.teacher != "none":
        return f"teacher:{config.teacher}"
    if config.player in REFERENCES:
        return "placement"
    return config.policy_target


def training_game(config):
    """play(game_id, channel) -> (history, policies, payoff, seats):
    tarnex_self_play's driver, or tarnex_train's own search where the
    settings ask for what only it does (crediting the chooser, quick
    searches); reference players or the network's policy where they play.
    ``seats``: who sat in each seat ("search", "policy", "greedy",
    "lookahead"). With a teacher, its choices replace the policies; policies
    None: the rest of each placement played (``training_records``)."""
    play = _player_game(config)
    if config.teacher == "none":
        return play
    from .. import _rules

    def taught(game_id, channel):
        history, _, payoff, seats = play(game_id, channel)
        # The same tie break through a game keeps each turn to one placement.
        placements = _rules.reference_placements(history, config.teacher, game_id & (2**64 - 1))
        return history, [[(tile, 1.0) for tile in tiles] for tiles in placements], payoff, seats

    return taught


def _engine_plays(config) -> bool:
    """Whether tarnex_self_play plays the games (its requests and replies
    are lists), not ``_match`` (bytes)."""
    return config.player == "search" and config.engine_search()


def _player_game(config):
    if config.player == "policy":
        return _policy_game(config)
    if config.player != "search":
        return _reference_game(config.player)
    if _engine_plays(config):
        from tarnex_self_play import play_training_game

        return lambda game_id, channel: (*play_training_game(game_id, config, channel, channel), ["search"] * 4)
    from .. import _match

    search = ("search", config.sims_per_move, config.c_init, config.c_base, config.credit, "tile", config.considered)
    return lambda game_id, channel: (*_match.play_training_game(
        game_id, search, channel, channel, sample_moves=config.sample_moves,
        dirichlet_alpha=config.dirichlet_alpha, exploration_fraction=config.exploration_fraction,
        cheap_sims=config.cheap_sims, full_share=config.full_share, policy_target=config.policy_target),
        ["search"] * 4)


def _policy_game(config):
    """Games of the network's policy, every tile drawn from it so that the
    games go where the network goes and differ from each other; with
    reference seats, some seats are greedy or lookahead players, so that
    the network also sees the positions competent opponents leave."""
    from .. import _match

    policy = ("policy", config.policy_temperature)
    # Seeded by the system, like the engine: game_id names a worker's slot,
    # which plays many games.
    draw = random.Random()

    def play(game_id, channel):
        seats = [("reference", draw.choice(REFERENCES)) if draw.random() < config.reference_seats else policy
                 for _ in range(4)]
        if policy not in seats:
            seats[draw.randrange(4)] = policy
        queues = [channel if seat == policy else None for seat in seats]
        history, scores, payoff = _match.play_match_game(game_id, seats, queues, channel)
        return history, scores, payoff, ["policy" if seat == policy else seat[1] for seat in seats]

    return play


def _reference_game(name: str):
    """Games of four reference players; each tile's policy target is the
    rest of the placement its player chose (the policies None: the records
    derive them from the replay they make anyway)."""
    from .. import _match

    def play(game_id, channel):
        history, _, payoff = _match.play_match_game(game_id, [("reference", name)] * 4, [None] * 4, channel)
        return history, None, payoff, [name] * 4

    return play


def _failed(error: BaseException, stop, what: str, stats: dict):
    """The FAILED message of a game that raised, its traceback logged; None
    when the worker is stopping (the error is then only the stop's echo).
    Call it inside the ``except`` block."""
    if stop.is_set():
        return None
    log.warning("%s failed", what, exc_info=True)
    return Message.FAILED, describe(error), stats


def _stats(started, ended, channel) -> dict:
    return {
        "seconds": ended - started,
        "put_seconds": channel.put_seconds,
        "recv_seconds": channel.recv_seconds,
        "evaluations": channel.calls,
    }


def match(options, stop):
    """A match game of any four players (``play.match``): game ``game``
    seats the players rotated by ``game % 4`` (when rotating) after the
    random opening of its rotation set (``game // 4``)."""
    from .. import _match

    players, networks = options["players"], options["networks"]
    rotate, opening_turns, seed = options["rotate"], options["opening_turns"], options["seed"]

    def play(batcher, game_id, game):
        rotation = game % len(players) if rotate else 0
        seats = [players[(seat - rotation) % len(players)] for seat in range(len(players))]
        nets = [networks[(seat - rotation) % len(players)] for seat in range(len(players))]
        channels = [None if net is None else PackedChannel(batcher, game_id, net) for net in nets]
        pipe = next((c for c in channels if c is not None), PackedChannel(batcher, game_id))
        started = time.perf_counter()
        try:
            opening = _match.random_opening(opening_turns, (seed * 1_000_003 + game // len(players)) & (2**63 - 1)) \
                if opening_turns else []
            # The game's own draws too (the reference players' ties), so that
            # a seed replays a match; answers of a network may still differ
            # in their last bits with the batches they come in.
            history, scores, payoff = _match.play_match_game(
                game_id, seats, channels, pipe, opening, seed=(seed * 2_000_003 + game + 1) & (2**63 - 1))
        except (KeyboardInterrupt, SystemExit, GreenletExit):
            raise
        except BaseException as error:
            return _failed(error, stop, f"match game {game}", {"seconds": time.perf_counter() - started})
        evaluations = sum(c.calls for c in channels if c is not None)
        return Message.DONE, {"history": [tuple(h) for h in history], "scores": list(scores),
                              "payoff": list(payoff), "rotation": rotation, "opening": len(opening)}, \
            {"seconds": time.perf_counter() - started, "evaluations": evaluations}

    return play
