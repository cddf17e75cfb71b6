"""The groups of settings that several commands share. Each default is the
one the learning loop uses, so every command and the loop agree."""

from __future__ import annotations

import os
from dataclasses import dataclass

from ..constants import MAX_SIMS, MAX_TEMPERATURE
from ..errors import OptionError
from .fields import Settings, same_as, setting

# Where a setting of the search acts at all: with the player it names.
SEARCH = ("player", "search")
POLICY = ("player", "policy")


def halving_lacks_chooser(considered: int, credit: str, branching: str = "tile") -> bool:
    """Whether a search would halve at its root (considered above 1)
    without the chooser's values to compare: with the 'next' credit a tile
    that completes a piece is valued for another seat. A search branching
    on placements always values them for the seat that places."""
    return considered > 1 and credit != "chooser" and branching == "tile"


@dataclass(frozen=True)
class SearchConfig(Settings):
    """Settings of the engine's tree search, read by attribute by the module.

    AlphaZero's c_base and exploration fraction, with few simulations (a move
    here is one tile, and the tools run on a CPU), a Dirichlet alpha for the
    15 to 100 legal tiles a position has, and a smaller exploration constant
    than AlphaZero's 1.25: values are seat shares (range 1, not 2) and with
    the larger constant the visits followed the priors whatever the values
    said.
    """

    TITLE = "search settings"

    sims_per_move: int = setting(16, "simulations of the tree search for every tile chosen", low=1, high=MAX_SIMS,
                                 only=SEARCH)
    sample_moves: int = setting(
        30, "the first N-1 tiles of a game (all seats together) are sampled in proportion to the visit counts, "
        "later ones are the most visited tile", low=0, high=2**63, only=SEARCH)
    c_base: float = setting(19652.0, "base constant of the PUCT exploration term (of self-play's search with "
                            "--player search, and of the ladder's search players)", low=0.0, low_open=True,
                            float32=True)
    c_init: float = setting(0.75, "initial constant of the PUCT exploration term (of self-play's search with "
                            "--player search, and of the ladder's search players)", low=0.0, low_open=True,
                            float32=True)
    dirichlet_alpha: float = setting(0.3, "concentration of the Dirichlet noise mixed into the root priors",
                                     low=0.0, low_open=True, float32=True, only=SEARCH)
    exploration_fraction: float = setting(0.25, "weight of that noise in the root priors (0 = no noise)",
                                          low=0.0, high=1.0, float32=True, only=SEARCH)
    player: str = setting(
        "search", "who plays the games: the tree search ('search', its targets the search's own, see "
        "--policy-target); the network's policy, each tile drawn from it ('policy', one evaluation a tile, needs "
        "--teacher; beside reference players, see --reference-seats); or four reference players ('greedy', "
        "'lookahead'), each tile's policy target then the rest of the placement the player chose",
        choices=("search", "policy", "greedy", "lookahead"))
    policy_temperature: float = setting(
        1.0, "the temperature the policy's tiles are drawn at (0: always the most likely tile)",
        low=0.0, high=MAX_TEMPERATURE, only=POLICY)
    reference_seats: float = setting(
        0.75, "the chance that each seat of a game goes to a reference player (greedy or lookahead, equally "
        "often), drawn afresh for each game; the network plays the others, at least one",
        low=0.0, high=1.0, only=POLICY)
    teacher: str = setting(
        "none", "a reference player whose choices are the policy targets: at every position of a game, whoever "
        "played it, the rest of the placement this player would choose there; the games then show the network "
        "its own positions, mistakes included, with the answer to each, and the teacher bounds what it learns "
        "('none': the search's targets)", choices=("none", "greedy", "lookahead"))
    credit: str = setting(
        "chooser", "whose value ranks the tiles that complete a piece: 'chooser', the seat choosing "
        "(tarnex_train's own search), or 'next', the seat that moves after it (tarnex_self_play's search, "
        "with --policy-target visits; its visits there mislead, see --train-completion-policy-weight)",
        choices=("chooser", "next"), only=SEARCH)
    policy_target: str = setting(
        "completed_q", "what a search teaches the policy: the network's priors moved by the values the search "
        "found ('completed_q', Gumbel MuZero's target for few simulations; needs --credit chooser), or its "
        "root visit shares ('visits'), which grow flatter with more simulations where the root has noise",
        choices=("completed_q", "visits"), only=SEARCH)
    cheap_sims: int = setting(
        0, "playout-cap randomisation: simulations of the quick searches that only move the game on; 0: every "
        "tile gets the full search and is a policy target; below --sims-per-move", low=0, high=MAX_SIMS,
        only=SEARCH)
    full_share: float = setting(0.25, "with --cheap-sims: share of the tiles that get the full search (with "
                                "noise) and become policy targets", low=0.0, high=1.0, low_open=True, only=SEARCH)
    considered: int = setting(
        0, "above 1: the searches spend their root's simulations by a sequential halving over this many "
        "children of highest (noised) prior, each round keeping the better half by prior and value (completed "
        "Q), and the game plays the best of the last where it does not draw by the visits (needs --credit "
        "chooser and --policy-target completed_q); 0: PUCT at the root as below it", low=0, high=MAX_SIMS,
        only=SEARCH)

    def __post_init__(self) -> None:
        super().__post_init__()
        # What the search's games need; with another player they do nothing.
        searching = self.player == "search"
        if searching and self.policy_target == "completed_q" and self.credit != "chooser":
            raise OptionError("policy_target completed_q needs credit chooser: its values must be the mover's (with "
                              "credit next, set policy_target visits)")
        if self.cheap_sims and self.cheap_sims >= self.sims_per_move:
            raise OptionError(f"cheap_sims ({self.cheap_sims}) must be below sims_per_move ({self.sims_per_move}): "
                              "the quick searches are the cheap ones")
        if searching and self.considered > 1 and (halving_lacks_chooser(self.considered, self.credit)
                                                   or self.policy_target != "completed_q"):
            raise OptionError("considered needs credit chooser and policy_target completed_q: the halving compares "
                              "the chooser's values, and its visits are its schedule, not a target (for PUCT at "
                              "the root, set considered 0)")
        if self.player == "policy" and self.teacher == "none":
            raise OptionError("player policy needs a teacher: its own policy is no target to learn from (without one, "
                              "play with player search)")

    def engine_search(self) -> bool:
        """Whether tarnex_self_play plays these games (else tarnex_train's own search)."""
        return self.credit == "next" and self.cheap_sims == 0 and self.policy_target == "visits" \
            and self.considered <= 1


@dataclass(frozen=True)
class SearchPlayers(Settings):
    """How a match's search players (search:CKPT:N) search: the PUCT
    constants of self-play's search, and whose value ranks a tile that
    completes a piece."""

    TITLE = "search players (the search:CKPT:N seats)"

    c_init: float = same_as(SearchConfig, "c_init", help="initial constant of the PUCT exploration term")
    c_base: float = same_as(SearchConfig, "c_base", help="base constant of the PUCT exploration term")
    credit: str = same_as(
        SearchConfig, "credit", default="chooser", deprecated=("--search-credit",),
        help="whose value ranks a tile that completes a piece: 'chooser', the seat that chose it, or 'next', the "
        "seat that moves after it (as tarnex_self_play's search does)")
    branching: str = setting(
        "tile", "what a search node branches on: 'tile', one cell of the mover's piece at a time (as "
        "tarnex_self_play's search does), or 'placement', every whole placement that can end the mover's turn, "
        "valued for the seat that places it where the next seat's turn begins (the credit is then always "
        "'chooser')", choices=("tile", "placement"))
    considered: int = same_as(
        SearchConfig, "considered", default=16, help="above 1: a sequential halving at the root (Gumbel MuZero's, "
        "without its random draws): the simulations go in rounds to this many children of highest prior, each "
        "round keeping the better half by prior and value (completed Q), and the player takes the best of the "
        "last; 0: PUCT at the root as below it, the most visited tile played")

    def __post_init__(self) -> None:
        super().__post_init__()
        if halving_lacks_chooser(self.considered, self.credit, self.branching):
            raise OptionError("a halving (considered above 1) needs credit chooser: it compares the values of the "
                              "root's children for the seat choosing (with credit next, set considered 0)")


@dataclass(frozen=True)
class NetworkShape(Settings):
    """Size of a freshly initialised network."""

    TITLE = "network (for freshly initialised networks)"

    channels: int = setting(32, "channels of the residual tower", low=1, high=1024)
    blocks: int = setting(2, "residual blocks", low=0, high=64)
    value_head: str = setting("pooled", "value head over the channel means of the tower ('pooled'), over those "
                              "and the share of the board the ownership head expects each seat to end with "
                              "('owned', needs the ownership head), or a dense layer over all cells ('dense', "
                              "overfits small data)", choices=("pooled", "owned", "dense"))
    ownership_head: bool = setting(True, "a head that predicts who owns each cell at the end of the game, "
                                   "trained alongside (it teaches the tower territory from few games)")
    piece_inputs: bool = setting(True, "give the network each seat's remaining pieces (read from the planes) as "
                                 "an input beside the planes: the planes alone do not show which pieces are left")
    corner_inputs: bool = setting(True, "give the network each seat's corner cells (where it can still start a "
                                  "piece) and closed cells (where it never can) as extra planes, derived from the "
                                  "planes by fixed convolutions")
    placement_inputs: bool = setting(True, "give the network, as extra planes, the largest piece and the number of "
                                     "placements of each seat that cover each cell (the rules library lists every "
                                     "placement of the position read from the planes): what both reference players "
                                     "rank their moves by, and beyond the reach of a small tower")

    def __post_init__(self) -> None:
        super().__post_init__()
        if self.value_head == "owned" and not self.ownership_head:
            raise OptionError("value_head owned reads the ownership head: set ownership_head true, or value_head "
                              "pooled")


MAX_AUTO_GAMES_PER_WORKER = 32


@dataclass(frozen=True)
class DeviceSettings(Settings):
    """Where the network runs: a property of the machine, not of a run."""

    TITLE = "device"

    device: str = setting("cpu", "torch device for the network: cpu, or cuda / cuda:N when available")
    torch_threads: int = setting(0, "CPU threads for the network (0: one per core; the workers mostly wait "
                                 "for it, and its threads do not spin while idle)", low=0, high=1024)

    def threads(self, cpus: int | None = None) -> int:
        """CPU threads for the network on a machine with ``cpus`` cores."""
        return self.torch_threads or cpus or os.cpu_count() or 1


@dataclass(frozen=True)
class PoolSettings(Settings):
    """Worker processes and the inference server that answers them."""

    TITLE = "inference"

    workers: int = setting(0, "worker processes playing games (0: one per core)", low=0, high=1024)
    games_per_worker: int = setting(
        0, "games each worker process plays at once; their requests go to the network together (0: enough "
        "for the batch size, at most 32 and at most the worker's share of the games)", low=0, high=1024)
    batch_size: int = setting(64, "most requests evaluated in one network run", low=1, high=65536)
    batch_wait_ms: float = setting(1.0, "how long requests for the network wait for more to join them while "
                                   "other games still run", low=0.0, high=1000.0)
    cache_mb: float = setting(512.0, "memory for the evaluation cache, which answers a position seen before "
                              "without the network (0 = no cache)", low=0.0, high=1e6)
    stall_seconds: float = setting(300.0, "a worker silent this long is reported and ended, and its open games "
                                   "skipped", low=0.0, high=1e6, low_open=True)
    inference_precision: str = setting(
        "auto", "arithmetic of the network's answers on a CPU: 'float32'; 'bfloat16' (on a CPU with AMX tiles "
        "about twice as fast on one thread, far slower on more); 'int8' (for a CPU with VNNI but no AMX); or "
        "'auto': float32 for now, as bfloat16 ran slower in the match pipeline's small batches. A form asked for "
        "is checked against float32 on a few hundred positions of reference games (the same best tile at 99% "
        "of them, values within 0.01) and a warning says where it differs. On CUDA the network runs in half "
        "precision",
        choices=("auto", "float32", "bfloat16", "int8"))

    def processes(self, cpus: int | None = None) -> int:
        """Worker processes on a machine with ``cpus`` cores (default this one)."""
        return self.workers or cpus or os.cpu_count() or 1

    def games_at_once(self, processes: int | None = None, games: int | None = None) -> int:
        """Games per worker process, for ``processes`` of them (default
        ``processes()``) and, when given, a run of ``games`` games (no more
        than each worker's share, so every worker gets some)."""
        if self.games_per_worker:
            return self.games_per_worker
        processes = processes or self.processes()
        wanted = min(MAX_AUTO_GAMES_PER_WORKER, -(-self.batch_size // processes))
        if games is not None:
            wanted = min(wanted, -(-games // processes))
        return max(1, wanted)


@dataclass(frozen=True)
class ClusterSettings(Settings):
    """Where the games are played: this machine, or the nodes of a Ray
    cluster (one actor per node running the local pipeline there: its
    worker processes and its own inference server on the node's device)."""

    TITLE = "cluster (not part of a run's settings: a run may move)"

    ray: str = setting(None, "play on the Ray cluster at this address ('auto', HOST:PORT or ray://HOST:PORT) "
                       "instead of this machine alone; --workers then counts per node", kind=str)
    node_share: float = setting(1.0, "on Ray: share of each node's CPUs its worker processes use (with --workers "
                                "0)", low=0.0, high=1.0, low_open=True)
    games_per_chunk: int = setting(0, "on Ray: games handed to a node at a time, so faster nodes play more (0: as "
                                   "many as the node plays at once, at most half a node's share of the games)",
                                   low=0, high=10**6)


@dataclass(frozen=True)
class TrainSettings(Settings):
    """How the network is fitted to the records."""

    TITLE = "training"

    batch_size: int = setting(256, "positions per step", low=1, high=65536)
    lr: float = setting(2e-3, "learning rate (AdamW)", low=0.0, high=10.0, low_open=True)
    weight_decay: float = setting(3e-4, "weight decay (AdamW)", low=0.0, high=10.0)
    value_score_weight: float = setting(
        0.7, "share of the value target taken from the final scores (a softmax over the seats' scores) "
        "instead of the win shares; scores say more than the winner alone", low=0.0, high=1.0)
    value_temperature: float = setting(8.0, "temperature of that softmax, in cells", low=0.0, high=1000.0,
                                       low_open=True)
    value_loss_weight: float = setting(0.25, "weight of the value loss against the policy loss", low=0.0,
                                       high=100.0)
    ownership_loss_weight: float = setting(
        1.0, "weight of the ownership loss (cross-entropy per cell, averaged over the board) against the policy "
        "loss; used when the network has an ownership head", low=0.0, high=100.0)
    completion_policy_weight: float = setting(
        1.0, "weight of the policy loss at positions where some legal tile completes the mover's piece: the "
        "tile that completes a piece decides which piece is placed, so targets of a teacher or reference "
        "players there are worth learning; set 0 for the visits of --credit next searches without a "
        "teacher, which value such a tile for the next seat, not the mover", low=0.0, high=1.0)
    mirror: bool = setting(
        False, "train on each drawn position or, at even odds, its reflection across the diagonal through the "
        "mover's corner: the rules and the pieces are symmetric under it, so it is as good a position, with "
        "its targets reflected (an hour with it learnt no faster: off by default)")
    precision: str = setting(
        "auto", "arithmetic of the training steps: 'bfloat16' (mixed precision: about 2.5 times faster on a CPU "
        "with AMX tiles or on a GPU that has it, slower elsewhere), 'float32', or 'auto' (bfloat16 where the "
        "device has it built in)", choices=("auto", "float32", "bfloat16"))


@dataclass(frozen=True)
class ShardSettings(Settings):
    """How finished games are written."""

    TITLE = "data"

    games_per_shard: int = setting(16, "games written together in one shard", low=1, high=10**6)


@dataclass(frozen=True)
class Seeding(Settings):
    """Reproducible randomness where the tools draw it themselves."""

    TITLE = "seeding"

    seed: int = setting(None, "seed of fresh network weights (and of the training's data order); random when "
                        "omitted", kind=int, low=0, high=2**63 - 1)


@dataclass(frozen=True)
class Display(Settings):
    """What a command shows while it runs."""

    TITLE = "display"

    quiet: bool = setting(False, "no progress bar")
    log_level: str = setting("INFO", "level of the log file written beside the output (the worker logs and "
                             "RUN/logs/loop.log)", choices=("DEBUG", "INFO", "WARNING", "ERROR"))
