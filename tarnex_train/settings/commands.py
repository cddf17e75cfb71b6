"""The settings of each command and of a learning run, built from the
shared groups. No class inherits another's settings: a group appears as a
nested field wherever it is used, so each option is declared once."""

from __future__ import annotations

from dataclasses import dataclass, replace

from ..constants import MAX_SIMS, MAX_TEMPERATURE
from .fields import Settings, group, setting
from .groups import (ClusterSettings, DeviceSettings, Display, NetworkShape, PoolSettings, SearchConfig,
                     SearchPlayers, Seeding, ShardSettings, TrainSettings)

RANDOM = "random"


@dataclass(frozen=True)
class SelfPlayOptions(Settings):
    games: int = setting(16, "games to play", low=1, high=10**9)
    output: str = setting("selfplay-data", "data folder for shards and metadata.json (created; existing data is "
                          "kept)", aliases=("-o",))
    evaluator: str = setting("network", "'zero' answers every request at once with a flat policy instead of "
                             "running the network, to measure the rest of the pipeline", choices=("network", "zero"))
    checkpoint: str = setting(None, "network checkpoint to play with (default: a freshly initialised network)",
                              kind=str)
    log_dir: str = setting(None, "folder that keeps the worker logs (default: OUTPUT/logs)", kind=str,
                           option=False)
    first_game: int = setting(0, "number of the first game (a resumed run numbers on)", low=0, high=2**31 - 1,
                              option=False)
    shards: ShardSettings = group(ShardSettings)
    search: SearchConfig = group(SearchConfig)
    pool: PoolSettings = group(PoolSettings)
    device: DeviceSettings = group(DeviceSettings)
    shape: NetworkShape = group(NetworkShape)
    cluster: ClusterSettings = group(ClusterSettings)
    seeding: Seeding = group(Seeding)
    display: Display = group(Display)


@dataclass(frozen=True)
class ArenaOptions(Settings):
    games: int = setting(20, "games to play", low=1, high=10**9)
    model: str = setting(None, "checkpoint of the model, or 'random' for the uniformly random player "
                         "(default: a fresh network)", kind=str)
    baseline: str = setting(None, "checkpoint of the baseline, or 'random' (default: a fresh network, "
                            "seeded with --seed + 1)", kind=str)
    baseline_temperature: float = setting(
        0.0, "0: a baseline network's seats draw uniformly among the legal tiles, as the engine does; above 0 "
        "they draw from the network's policy sharpened by this temperature", low=0.0, high=MAX_TEMPERATURE)
    seats: list = setting([], "a match of any four players, seat 0 first: random, greedy, lookahead, centre, "
                          "blocker, policy:CKPT[:T] or search:CKPT:N (in place of --model and --baseline)", kind=str,
                          nargs=4, metavar="PLAYER")
    rotate: bool = setting(None, "every player takes every seat equally often (games in sets of four); seat 0 "
                           "moves first and is worth about 0.29 by itself (default: on when the players differ)",
                           kind=bool)
    opening_turns: int = setting(None, "a match game starts with this many turns of uniformly random "
                                 "placements, the same for the four games of a rotation set, so that "
                                 "near-deterministic players do not replay one game (default: 2, or 0 where a "
                                 "random player makes the games differ anyway)", kind=int, low=0, high=84)
    show_board: bool = setting(False, "print the final board of one game")
    save_games: str = setting(None, "keep every match game (seats, history, scores, payoffs) as a JSON file in "
                              "this folder; RUN/games lists them on the view's games page", kind=str)
    log_dir: str = setting(None, "folder that keeps the worker logs (default: a temporary one)", kind=str,
                           option=False)
    search: SearchPlayers = group(SearchPlayers)
    pool: PoolSettings = group(PoolSettings)
    device: DeviceSettings = group(DeviceSettings)
    shape: NetworkShape = group(NetworkShape)
    cluster: ClusterSettings = group(ClusterSettings)
    seeding: Seeding = group(Seeding)
    display: Display = group(Display)


@dataclass(frozen=True)
class TrainOptions(Settings):
    data: list = setting([], "data folders (or shard files) written by selfplay", kind=str, nargs="+",
                         required=True)
    output: str = setting("model.pt", "checkpoint file to write", aliases=("-o",))
    checkpoint: str = setting(None, "checkpoint to start from (default: a fresh network)", kind=str)
    steps: int = setting(1000, "optimiser steps", low=1, high=10**9)
    # The loop's names (--batch-size is the inference batch everywhere else).
    train: TrainSettings = group(TrainSettings, prefix="train-", old_prefix="")
    device: DeviceSettings = group(DeviceSettings)
    shape: NetworkShape = group(NetworkShape)
    seeding: Seeding = group(Seeding)
    display: Display = group(Display)


@dataclass(frozen=True)
class LoopSettings(Settings):
    """A learning run: generations of self-play, training on a sliding window
    of the newest positions, and strength tests. The defaults are chosen to
    learn on a 2-core laptop within an hour. What is here is the run's
    (stored in run.json); where it runs (device, cluster) is not."""

    TITLE = "learning run"
    NOTE = "the run's settings: stored in RUN/run.json, kept when the run resumes"

    games_per_generation: int = setting(64, "self-play games per generation", low=1, high=10**7)
    window_positions: int = setting(150_000, "training draws from the newest this many positions; older ones "
                                    "age out", low=1, high=10**9)
    reuse: float = setting(2.0, "how many times each position is trained on, on average, over its time in the "
                           "window (sets the training steps of a generation)", low=0.0, high=1000.0, low_open=True)
    holdout_every: int = setting(20, "every N-th game is never trained on, to measure losses on unseen "
                                 "positions (0 = none)", low=0, high=10**6)
    strength_games: int = setting(100, "test games of each new network (seat 0, its most likely tile) against "
                                  "three uniformly random seats", low=1, high=10**6)
    greedy_games: int = setting(40, "match games of each new network's policy against three greedy seats, seats "
                                "rotated (equal players score 0.25; 0 = none)", low=0, high=10**6)
    heldout_games: int = setting(40, "match games of each new network's policy against reference players it never "
                                 "plays beside or learns from (centre, blocker, centre), seats rotated (equal "
                                 "players score 0.25; 0 = none)", low=0, high=10**6)
    search_test_every: int = setting(5, "every N-th generation the network's search plays its own policy: one "
                                     "search:NET:S seat against three policy:NET seats, seats rotated (equal "
                                     "players score 0.25; 0 = never)", low=0, high=10**6)
    search_test_games: int = setting(16, "games of that match", low=1, high=10**6)
    search_test_sims: int = setting(64, "simulations per tile of that match's search seat (the run's c_init and "
                                    "c_base; it credits the seat that chose a tile)", low=1, high=MAX_SIMS)
    previous_games: int = setting(40, "match games of each new network's policy against three seats of the "
                                  "previous generation's, seats rotated, random openings (0 = none)", low=0,
                                  high=10**6)
    previous_temperature: float = setting(0.0, "the previous generation's seats draw from its policy at this "
                                          "temperature (0: its most likely tile)", low=0.0, high=MAX_TEMPERATURE)
    ladder_every: int = setting(5, "every N-th generation joins the rating ladder (its policy and search "
                                "against random, greedy, lookahead and an earlier generation; 0 = never)",
                                low=0, high=10**6)
    ladder_games: int = setting(8, "games of each ladder match", low=1, high=10**6)
    ladder_sims: int = setting(16, "simulations per tile of the ladder's search player", low=1, high=MAX_SIMS)
    calibration_games: int = setting(400, "test games of the random player against itself, once per run: the "
                                     "seat-0 payoff of two equal players", low=1, high=10**6)
    bootstrap_player: str = setting(
        "none", "the first --bootstrap-generations generations' games are played by this reference player, "
        "whose placements the network learns to imitate before it plays itself", choices=("none", "greedy",
                                                                                          "lookahead"))
    bootstrap_generations: int = setting(2, "generations played by --bootstrap-player", low=0, high=10**6)
    shards: ShardSettings = group(ShardSettings)
    seeding: Seeding = group(Seeding)
    search: SearchConfig = group(SearchConfig)
    shape: NetworkShape = group(NetworkShape)
    pool: PoolSettings = group(PoolSettings)
    train: TrainSettings = group(TrainSettings, prefix="train-")

    def search_of(self, generation: int) -> SearchConfig:
        """How the generation's games are played."""
        if self.bootstrap_player != "none" and generation < self.bootstrap_generations:
            return replace(self.search, player=self.bootstrap_player)
        return self.search


@dataclass(frozen=True)
class LoopOptions(Settings):
    run: str = setting(None, "run folder (created; an existing one is resumed); may be left out with --print-config",
                       kind=str)
    generations: int = setting(None, "stop once the run has this many complete generations", kind=int, low=1,
                               high=10**9)
    minutes: float = setting(None, "stop when another generation would not end within this many minutes of "
                             "this command's start", kind=float, low=0.0, high=1e7, low_open=True)
    config: str = setting(None, "start a new run from this settings file (another run's run.json, or a "
                          "JSON/TOML table of settings); options given beside it override it", kind=str)
    print_config: bool = setting(False, "print the run's settings as a TOML file for --config (those of --config "
                                 "and the options given, or those of the existing run --run names) and stop",
                                 flag=True)
    settings: LoopSettings = group(LoopSettings)
    device: DeviceSettings = group(DeviceSettings)
    cluster: ClusterSettings = group(ClusterSettings)
    display: Display = group(Display)


@dataclass(frozen=True)
class LadderOptions(Settings):
    run: str = setting(None, "run folder of a learning loop", kind=str, required=True)
    every: int = setting(5, "rate every N-th complete generation (and the newest) not rated yet", low=1,
                         high=10**6)
    games: int = setting(8, "games of each ladder match (rounded up to whole rotation sets of four)", low=1,
                         high=10**6)
    sims: int = setting(16, "simulations per tile of each generation's search player (its PUCT constants the "
                        "run's c_init and c_base; it credits the seat that chose a tile)", low=1, high=MAX_SIMS)
    seeding: Seeding = group(Seeding)
    pool: PoolSettings = group(PoolSettings)
    device: DeviceSettings = group(DeviceSettings)
    cluster: ClusterSettings = group(ClusterSettings)
    display: Display = group(Display)


@dataclass(frozen=True)
class ViewOptions(Settings):
    run: list = setting([], "run folders to show (a game played on the play page is saved in RUN/games/)",
                        kind=str, nargs="+")
    host: str = setting("127.0.0.1", "address to listen on")
    port: int = setting(8765, "port to listen on (0: any free one)", low=0, high=65535)
    token: str = setting(None, "a secret every request must carry: the printed address carries it once, then the "
                         "browser keeps it in a cookie (default: none on the loopback; one is made up when --host "
                         "listens beyond it)", kind=str)
    request_seconds: float = setting(20.0, "time a client has to send a whole request; slower connections are "
                                     "closed", low=0.0, high=3600.0, low_open=True)


def upgrade_run_settings(data: dict) -> dict:
    """Run files written before the settings were grouped (the shard size
    and seed were top-level, the device part of the pool), before the
    network had its extra inputs, before self-play had its own search,
    teachers and bootstrap games, or before training in mixed precision or
    on reflected positions."""
    if not isinstance(data, dict):
        return data
    data = dict(data)
    if "games_per_shard" in data:
        data["shards"] = {"games_per_shard": data.pop("games_per_shard")}
    if "seed" in data:
        data["seeding"] = {"seed": data.pop("seed")}
    if isinstance(data.get("pool"), dict):
        data["pool"] = {k: v for k, v in data["pool"].items() if k not in ("device", "torch_threads")}
    if isinstance(data.get("shape"), dict):
        # Its networks were made without the inputs added since.
        data["shape"] = {"piece_inputs": False, "corner_inputs": False, "placement_inputs": False, **data["shape"]}
    if isinstance(data.get("train"), dict):
        # Its networks trained in float32, on the positions as played.
        data["train"] = {"precision": "float32", "mirror": False, **data["train"]}
    if isinstance(data.get("search"), dict):
        # Its games came from the engine's search, its targets were the visits.
        data["search"] = {"player": "search", "credit": "next", "policy_target": "visits", "teacher": "none",
                          "reference_seats": 0.0,
                          **data["search"]}
        data.setdefault("bootstrap_player", "none")
    return data
