"""The three phases of a generation: self-play, training on the window,
strength tests. Each can be redone from its inputs after a kill: finished
games are kept, a training is redone unless its network was written, test
results are kept once written."""

from __future__ import annotations

import logging
import math
import os

from ..errors import OptionError
from ..files import atomic_write, read_json, write_json
from ..players.notation import HELD_OUT
from ..settings import RANDOM, ArenaOptions, SelfPlayOptions
from ..stats import interval
from .folder import games_in
from .ladder import Ladder, search_players_of
from .metrics import clean

log = logging.getLogger(__name__)

LOG_EVERY = 25  # training steps per metrics line


def selfplay(loop, g: int) -> dict:
    """Plays the generation's missing games: all of them, those a kill
    interrupted, and those lost in this run (a worker killed or stuck, a
    game that failed), until the generation is whole. A round that plays no
    game ends it: something keeps every game from being played."""
    from ..play.selfplay import run_selfplay

    s, folder = loop.settings, loop.folder
    data_dir = folder.data_dir(g)
    numbers = games_in(data_dir)
    want = s.games_per_generation
    result = {"games": len(numbers), "positions": 0, "evaluations_per_second": math.nan,
              "cache_hit_rate": math.nan, "network_positions_per_second": math.nan, "mean_batch": math.nan,
              "failed": 0}
    stats_path = os.path.join(folder.gen_dir(g), "selfplay.json")
    played = False
    while len(numbers) < want:
        if played:
            loop.say(f"selfplay: {want - len(numbers)} of {want} games were lost (see {folder.logs}); playing "
                     "them again")
        elif numbers:
            loop.say(f"selfplay: {len(numbers)} of {want} games kept from before; playing the other "
                     f"{want - len(numbers)}")
        options = SelfPlayOptions.make(
            games=want - len(numbers), output=data_dir, checkpoint=folder.network_path(g), log_dir=folder.logs,
            first_game=max(numbers, default=-1) + 1, shards=s.shards, search=s.search_of(g), shape=s.shape,
            pool=s.pool, device=loop.device, cluster=loop.cluster, seeding=s.seeding, display=loop.display)
        summary = run_selfplay(options, stream=loop.stream, net=loop.networks.get(g - 1), workers=loop.workers)
        if summary.interrupted:
            raise KeyboardInterrupt
        result.update(
            evaluations_per_second=summary.evaluations_per_second, cache_hit_rate=summary.cache_hit_rate,
            network_positions_per_second=summary.network_positions_per_second,
            mean_batch=summary.server.mean_batch, failed=result["failed"] + len(summary.failures),
            seconds=result.get("seconds", 0.0) + summary.server.wall,
            evaluations=result.get("evaluations", 0) + summary.server.evaluations)
        if summary.write_error is not None:
            raise OSError(f"{summary.games_unwritten} finished game(s) could not be written: {summary.write_error}")
        if summary.games_kept == 0:
            raise OptionError(f"generation {g}: no self-play game could be played; see {folder.logs}")
        played = True
        numbers = games_in(data_dir)
    if not played and os.path.exists(stats_path):
        result.update(read_json(stats_path, "self-play statistics"))
    result["games"] = len(numbers)
    result["positions"] = loop.window.add(g, data_dir)
    if played:  # with the generation's counts, which only the data folder knows once every game is in
        write_json(stats_path, result)
    return result


def train(loop, g: int) -> dict:
    import torch

    from ..data.dataset import Examples
    from ..model.checkpoints import load_checkpoint, load_optimiser_state, save_checkpoint
    from ..model.device import pick_device
    from ..model.siblings import sibling_spread
    from ..model.training import Trainer, fit
    from ..progress import Progress

    s, t, folder = loop.settings, loop.settings.train, loop.folder
    gen_dir = folder.gen_dir(g)
    out = folder.trained_path(g)
    optimiser_out = os.path.join(gen_dir, "optimizer.pt")
    window = loop.window.newest(g, s.window_positions)
    steps = max(1, math.ceil(s.reuse * loop.window.positions(g) / t.batch_size))
    total_before = int(loop.state.get("total_steps", 0))
    result = {"window_positions": len(window.get("mover", ())), "steps": steps,
              "total_steps": total_before + steps, "train": {}, "heldout": {}}
    if os.path.exists(out):  # trained before a kill, in the tests or promotion
        saved = read_json(os.path.join(gen_dir, "train.json"), "training record")
        result.update({k: v for k, v in saved.items() if k != "intervals"})
        return result
    torch.set_num_threads(loop.device.threads())
    net = loop.networks.get(g - 1)
    if net is None:
        net = load_checkpoint(folder.network_path(g))[0]
    state = None
    if g > 0:
        previous = os.path.join(folder.gen_dir(g - 1), "optimizer.pt")
        if os.path.exists(previous):
            state = load_optimiser_state(previous, net)
        else:
            loop.say(f"train: warning: {previous} is missing; generation {g} trains with a fresh optimiser "
                     "(its moment estimates start from zero)")
    trainer = Trainer(net, t, pick_device(loop.device.device), state)
    result["precision"] = str(trainer.dtype).removeprefix("torch.")
    generator = torch.Generator()
    generator.manual_seed(((s.seeding.seed or 0) * 1_000_003 + g) & 0x7FFFFFFF)

    intervals = []  # kept in train.json too, so the metrics lines can be written again

    def logged(step: int, losses: dict) -> None:
        record = {"kind": "train", "generation": g, "step": step, "total_steps": total_before + step,
                  **losses, "wall_seconds": loop.wall_seconds()}
        loop.metrics.write(record)
        intervals.append(clean(record))

    progress = Progress(f"train {g}", steps, "steps", loop.stream, enabled=not loop.display.quiet)
    fitted = fit(trainer, Examples(window, t), steps, generator, progress=progress, on_interval=logged,
                 every=LOG_EVERY)
    progress.close(steps)
    result["train"] = fitted.interval or {}
    heldout = loop.window.heldout(g)
    if len(heldout.get("mover", ())):  # a generation may hold no held-out game (a resumed one, a short one)
        result["heldout"] = trainer.measure(Examples(heldout, t))
        result["heldout"].update(sibling_spread(net, heldout, trainer.device))
    net.eval()
    atomic_write(optimiser_out, lambda f: torch.save(trainer.optimiser.state_dict(), f))
    write_json(os.path.join(gen_dir, "train.json"),
               {**{k: result[k] for k in ("steps", "total_steps", "train", "heldout", "window_positions", "precision")},
                "intervals": intervals})
    save_checkpoint(net, out, total_before + steps, settings={"loop": s.to_dict(), "generation": g})
    loop.networks = {g: net}
    return result


# The held-out opponents of a strength test: both kinds at every game.
HELD_OUT_SEATS = [HELD_OUT[0], HELD_OUT[1], HELD_OUT[0]]


def strength(loop, g: int) -> dict:
    """The new network's policy: in seat 0 against three random seats (read
    beside the seat-0 payoff of equal players), and in rotated matches
    against three greedy seats, against held-out reference players it never
    met in training, and against three of the previous generation's; every
    ``search_test_every`` generations its search against its own policy."""
    from ..play.arena import run_arena
    from ..play.match import run_match

    s, folder = loop.settings, loop.folder
    path = os.path.join(folder.gen_dir(g), "strength.json")
    if os.path.exists(path):
        return read_json(path, "test results")
    network, previous = folder.trained_path(g), folder.network_path(g)
    quiet = loop.display.replace(quiet=True)
    common = dict(log_dir=folder.logs, pool=s.pool, device=loop.device, cluster=loop.cluster, display=quiet)
    results = {"vs_random": interval([])}
    if s.strength_games:
        summary = run_arena(ArenaOptions.make(games=s.strength_games, model=network, baseline=RANDOM, **common),
                            stream=loop.stream, model_net=loop.networks.get(g), workers=loop.workers)
        if summary.interrupted:
            raise KeyboardInterrupt
        results["vs_random"] = interval(summary.payoffs)
    temperature = f":{s.previous_temperature:g}" if s.previous_temperature else ""
    policy = f"policy:{network}"
    searching = bool(s.search_test_every) and g % s.search_test_every == 0
    for name, games, first, others in (
            ("vs_greedy", s.greedy_games, policy, ["greedy"] * 3),
            ("vs_heldout", s.heldout_games, policy, HELD_OUT_SEATS),
            ("vs_previous", s.previous_games, policy, [f"policy:{previous}{temperature}"] * 3),
            ("search_vs_policy", s.search_test_games if searching else 0, f"search:{network}:{s.search_test_sims}",
             [policy] * 3)):
        results[name] = interval([])
        if not games:
            continue
        seats = [first] + others
        networks = {network: loop.networks[g]} if g in loop.networks else None
        seed = None if s.seeding.seed is None else s.seeding.seed + g
        options = ArenaOptions.make(games=games, seats=seats, seed=seed, search=search_players_of(s.search), **common)
        summary = run_match(options, stream=loop.stream, networks=networks, workers=loop.workers)
        if summary.interrupted:
            raise KeyboardInterrupt
        results[name] = interval(summary.results[seats[0]].payoffs)
    write_json(path, results)
    return results


def calibrate(loop) -> None:
    """The seat-0 payoff of two equal players (the random player against
    itself), once per run: every strength is read beside it."""
    if loop.state.get("calibration"):
        return
    from ..play.arena import run_arena

    s = loop.settings
    loop.say(f"loop: measuring the seat-0 payoff of equal players ({s.calibration_games} random-player games)")
    options = ArenaOptions.make(games=s.calibration_games, model=RANDOM, baseline=RANDOM, log_dir=loop.folder.logs,
                                pool=s.pool, device=loop.device, cluster=loop.cluster,
                                display=loop.display.replace(quiet=True))
    summary = run_arena(options, stream=loop.stream)
    if summary.interrupted:
        raise KeyboardInterrupt
    if not summary.payoffs:
        raise OptionError("no calibration game could be played: " + "; ".join(str(f) for f in summary.failures))
    loop.state["calibration"] = interval(summary.payoffs)
    loop.save_state()


def ladder(loop, g: int) -> dict:
    """The generation joins the rating ladder every ``ladder_every``
    generations (and the last one of a run when asked); the ratings of
    every player on it, fitted anew."""
    s = loop.settings
    if not s.ladder_every or g % s.ladder_every:
        return {}
    board = Ladder(loop.folder, s.pool, loop.device, loop.cluster, loop.display, loop.stream, search=s.search)
    if g not in board.rated():
        board.add(g, s.ladder_games, s.ladder_sims, net=loop.networks.get(g), seed=s.seeding.seed,
                  workers=loop.workers)
    return board.ratings()
