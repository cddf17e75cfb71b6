"""tarnex-train: self-play data, training and arena for the tarnex engine.

    tarnex-train selfplay --games 16 --workers 2 --output data/
    tarnex-train train --data data/ --steps 1000 --output model.pt
    tarnex-train arena --model model.pt --games 40

Progress and messages go to standard error, the final summary to standard
output. Exit status: 0 done, 1 no game could be played, 2 bad options,
130 interrupted (Ctrl-C; what was finished is kept).
"""

from __future__ import annotations

import argparse
import os
import signal
import sys

from .errors import OptionError
from .settings import HELP as SEARCH_HELP
from .settings import SearchConfig

EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


def _number(kind, low=None, high=None, low_open=False):
    def parse(text: str):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not {'an integer' if kind is int else 'a number'}")
        if kind is float and value != value:
            raise argparse.ArgumentTypeError("NaN is not allowed")
        if low is not None and (value <= low if low_open else value < low):
            raise argparse.ArgumentTypeError(f"{text} must be {'>' if low_open else '>='} {low}")
        if high is not None and value > high:
            raise argparse.ArgumentTypeError(f"{text} must be <= {high}")
        return value

    return parse


positive_int = _number(int, 1)
count = _number(int, 0)
positive_float = _number(float, 0.0, low_open=True)
non_negative_float = _number(float, 0.0)
fraction = _number(float, 0.0, 1.0)


class Formatter(argparse.HelpFormatter):
    """Shows each option's default, unless it has none worth showing or the
    help already tells it."""

    def _get_help_string(self, action):
        text = action.help or ""
        if action.option_strings and action.default not in (None, False, argparse.SUPPRESS) \
                and "default" not in text:
            text += " (default: %(default)s)"
        return text


def _add_network_shape(parser) -> None:
    group = parser.add_argument_group("network (for freshly initialised networks)")
    group.add_argument("--channels", type=positive_int, default=32, help="channels of the residual tower")
    group.add_argument("--blocks", type=count, default=2, help="residual blocks")
    group.add_argument("--seed", type=int, default=None,
                       help="seed for fresh network weights (and data order when training); random when omitted")


def _add_server(parser, batch_wait: float) -> None:
    group = parser.add_argument_group("inference")
    group.add_argument("--workers", type=positive_int, default=4,
                       help="worker processes playing games at the same time; they mostly wait for the "
                       "network, and more of them give larger batches")
    group.add_argument("--batch-size", type=positive_int, default=64,
                       help="most requests evaluated in one network run")
    group.add_argument("--batch-wait-ms", type=non_negative_float, default=batch_wait,
                       help="how long a batch smaller than the number of busy workers waits for more requests")
    group.add_argument("--device", default="cpu",
                       help="torch device for the network: cpu, or cuda / cuda:N when available")
    group.add_argument("--torch-threads", type=positive_int, default=1,
                       help="CPU threads for the network (the workers need the other cores)")
    group.add_argument("--quiet", action="store_true", help="no progress bar")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tarnex-train",
        description="Self-play training data, training and arena for the tarnex engine "
        "(a four-player polyomino game played tile by tile).",
        epilog="Run 'tarnex-train COMMAND --help' for the options of a command.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    selfplay = commands.add_parser(
        "selfplay", formatter_class=Formatter,
        help="play training games and write their records as shards",
        description="Plays training games with the engine's tree search in worker processes; the main "
        "process evaluates their positions with the network in batches and writes each position's planes, "
        "search policy and final payoff to compressed .npz shards in the output folder.",
    )
    selfplay.add_argument("--games", type=positive_int, default=16, help="games to play")
    selfplay.add_argument("--output", "-o", default="selfplay-data",
                          help="data folder for shards and metadata.json (created; existing data is kept)")
    selfplay.add_argument("--games-per-shard", type=positive_int, default=8,
                          help="games written together in one shard")
    selfplay.add_argument("--checkpoint", default=None,
                          help="network checkpoint to play with (default: a freshly initialised network)")
    selfplay.add_argument("--evaluator", choices=("network", "zero"), default="network",
                          help="'zero' answers every request at once with a flat policy instead of running "
                          "the network, to measure the rest of the pipeline")
    search = selfplay.add_argument_group("search settings")
    defaults = SearchConfig()
    search.add_argument("--sims-per-move", type=positive_int, default=defaults.sims_per_move,
                        help=SEARCH_HELP["sims_per_move"])
    search.add_argument("--sample-moves", type=count, default=defaults.sample_moves,
                        help=SEARCH_HELP["sample_moves"])
    search.add_argument("--c-base", type=positive_float, default=defaults.c_base, help=SEARCH_HELP["c_base"])
    search.add_argument("--c-init", type=positive_float, default=defaults.c_init, help=SEARCH_HELP["c_init"])
    search.add_argument("--dirichlet-alpha", type=positive_float, default=defaults.dirichlet_alpha,
                        help=SEARCH_HELP["dirichlet_alpha"])
    search.add_argument("--exploration-fraction", type=fraction, default=defaults.exploration_fraction,
                        help=SEARCH_HELP["exploration_fraction"])
    _add_server(selfplay, batch_wait=1.0)
    _add_network_shape(selfplay)

    arena = commands.add_parser(
        "arena", formatter_class=Formatter,
        help="play test games of a model against a baseline",
        description="Plays test games without search: the model plays seat 0 and takes its network's most "
        "likely tile, the baseline plays seats 1 to 3 and draws among the tiles its network rates above zero. "
        "Reports the model's mean payoff with a 95% confidence interval (0.25 means as strong as the baseline).",
    )
    arena.add_argument("--games", type=positive_int, default=20, help="games to play")
    arena.add_argument("--model", default=None, help="checkpoint of the model (default: a fresh network)")
    arena.add_argument("--baseline", default=None,
                       help="checkpoint of the baseline (default: a fresh network, seeded with --seed + 1)")
    arena.add_argument("--show-board", action="store_true", help="print the final board of one game")
    _add_server(arena, batch_wait=1.0)
    _add_network_shape(arena)

    train = commands.add_parser(
        "train", formatter_class=Formatter,
        help="train the network on written shards and save a checkpoint",
        description="Trains the network for a number of steps on the records of one or more data folders "
        "(policy cross-entropy against the search policy plus value cross-entropy against the final payoff) "
        "and saves a checkpoint usable by selfplay and arena.",
    )
    train.add_argument("--data", nargs="+", required=True, help="data folders (or shard files) written by selfplay")
    train.add_argument("--output", "-o", default="model.pt", help="checkpoint file to write")
    train.add_argument("--checkpoint", default=None, help="checkpoint to start from (default: a fresh network)")
    train.add_argument("--steps", type=positive_int, default=1000, help="optimiser steps")
    train.add_argument("--batch-size", type=positive_int, default=256, help="positions per step")
    train.add_argument("--lr", type=positive_float, default=1e-3, help="learning rate (AdamW)")
    train.add_argument("--weight-decay", type=non_negative_float, default=1e-4, help="weight decay (AdamW)")
    train.add_argument("--device", default="cpu", help="torch device: cpu, or cuda / cuda:N when available")
    train.add_argument("--torch-threads", type=positive_int, default=None,
                       help="CPU threads for torch (default: torch's own choice)")
    train.add_argument("--quiet", action="store_true", help="no progress bar")
    _add_network_shape(train)
    return parser


def _shape(args):
    from .network import NetworkShape

    return NetworkShape(channels=args.channels, blocks=args.blocks)


def _check_checkpoints(*paths) -> None:
    for path in paths:
        if path is not None and not os.path.isfile(path):
            raise OptionError(f"checkpoint {path!r} does not exist")


def _selfplay(args) -> int:
    from .selfplay import SelfPlayOptions, run_selfplay

    search = SearchConfig(
        sims_per_move=args.sims_per_move,
        sample_moves=args.sample_moves,
        c_base=args.c_base,
        c_init=args.c_init,
        dirichlet_alpha=args.dirichlet_alpha,
        exploration_fraction=args.exploration_fraction,
    )
    _check_checkpoints(args.checkpoint)
    if os.path.exists(args.output) and not os.path.isdir(args.output):
        raise OptionError(f"output {args.output!r} exists and is not a folder")
    options = SelfPlayOptions(
        games=args.games, workers=args.workers, search=search, output=args.output,
        games_per_shard=args.games_per_shard, batch_size=args.batch_size, batch_wait_ms=args.batch_wait_ms,
        evaluator=args.evaluator, device=args.device, checkpoint=args.checkpoint, shape=_shape(args),
        seed=args.seed, torch_threads=args.torch_threads, progress=not args.quiet,
    )
    summary = run_selfplay(options)
    return _finish(summary, succeeded=summary.games_done > 0)


def _finish(summary, succeeded: bool) -> int:
    """Prints a run's summary; the exit status tells interrupted, failed and done apart."""
    print(summary.report(), flush=True)
    if summary.interrupted:
        return EXIT_INTERRUPTED
    return 0 if succeeded else EXIT_FAILED


def _arena(args) -> int:
    from .arena import ArenaOptions, run_arena

    _check_checkpoints(args.model, args.baseline)
    options = ArenaOptions(
        games=args.games, workers=args.workers, model=args.model, baseline=args.baseline, shape=_shape(args),
        seed=args.seed, device=args.device, batch_size=args.batch_size, batch_wait_ms=args.batch_wait_ms,
        torch_threads=args.torch_threads, show_board=args.show_board, progress=not args.quiet,
    )
    summary = run_arena(options)
    return _finish(summary, succeeded=bool(summary.payoffs))


def _train(args) -> int:
    from .training import TrainOptions, run_train

    _check_checkpoints(args.checkpoint)
    options = TrainOptions(
        data=args.data, output=args.output, checkpoint=args.checkpoint, shape=_shape(args), steps=args.steps,
        batch_size=args.batch_size, lr=args.lr, weight_decay=args.weight_decay, device=args.device,
        seed=args.seed, torch_threads=args.torch_threads, progress=not args.quiet,
    )
    summary = run_train(options)
    print(summary.report(), flush=True)
    return EXIT_INTERRUPTED if summary.interrupted else 0


def _interrupt(signum, frame):
    raise KeyboardInterrupt


def main(argv=None) -> int:
    # The main process owns Ctrl-C (even when started with SIGINT ignored, as
    # background jobs of a shell are) and treats SIGTERM the same way: stop
    # the workers, keep what is finished.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, _interrupt)
    parser = build_parser()
    args = parser.parse_args(argv)
    command = {"selfplay": _selfplay, "arena": _arena, "train": _train}[args.command]
    try:
        return command(args)
    except OptionError as error:
        print(f"tarnex-train {args.command}: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except OSError as error:
        print(f"tarnex-train {args.command}: error: {error}", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print(f"tarnex-train {args.command}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
