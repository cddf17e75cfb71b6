"""tarnex-train: self-play data, training, arena and the learning loop.

    tarnex-train loop --run runs/first --minutes 60
    tarnex-train selfplay --games 16 --workers 2 --output data/
    tarnex-train train --data data/ --steps 1000 --output model.pt
    tarnex-train arena --model model.pt --games 40

Every option comes from a settings dataclass (``settings``), which also
validates it. Progress and messages go to standard error, the final summary
to standard output. Exit status: 0 done, 1 no game could be played, 2 bad
options, 130 interrupted (Ctrl-C or SIGTERM; what was finished is kept).
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import signal
import sys

from .errors import OptionError
from .settings import (ClusterSettings, LoopSettings, NetworkShape, PoolSettings, SearchConfig, TrainSettings,
                       check_value)

EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


def _parser_for(meta):
    kind = meta["kind"]

    def parse(text: str):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not {'an integer' if kind is int else 'a number'}")
        problem = check_value(text, value, meta)
        if problem:
            raise argparse.ArgumentTypeError(problem)
        return value

    return parse


def add_settings(group, cls, defaults=None, prefix: str = "", skip=(), given_only: bool = False) -> None:
    """One option per declared setting of ``cls`` (those marked as options),
    with its help and bounds; ``defaults`` (an instance) overrides the
    class's own defaults. ``given_only``: options not given stay out of the
    parsed arguments (their defaults are only shown)."""
    defaults = defaults if defaults is not None else cls()
    for f in dataclasses.fields(cls):
        meta = f.metadata
        if "help" not in meta or not meta["option"] or f.name in skip:
            continue
        flag = "--" + (prefix + f.name).replace("_", "-")
        dest = (prefix + f.name).replace("-", "_")
        default = getattr(defaults, f.name)
        text = meta["help"]
        if given_only:
            if default is not None:
                text += f" (default: {default})"
            default = argparse.SUPPRESS
        if meta["kind"] is bool:
            group.add_argument(flag, dest=dest, action=argparse.BooleanOptionalAction, default=default, help=text)
        else:
            group.add_argument(flag, dest=dest, type=_parser_for(meta), default=default, choices=meta["choices"],
                               help=text)


def picked(cls, args, prefix: str = "", skip=()) -> dict:
    """The values of ``cls``'s options that ``args`` holds."""
    out = {}
    for f in dataclasses.fields(cls):
        dest = (prefix + f.name).replace("-", "_")
        if "help" in f.metadata and f.name not in skip and hasattr(args, dest):
            out[f.name] = getattr(args, dest)
    return out


class Formatter(argparse.HelpFormatter):
    """Shows each option's default, unless it has none worth showing or the
    help already tells it."""

    def _get_help_string(self, action):
        text = action.help or ""
        if action.option_strings and action.default not in (None, False, argparse.SUPPRESS) \
                and "default" not in text:
            text += " (default: %(default)s)"
        return text


def _fields_of(base) -> tuple:
    """The fields a command's options inherit from ``base`` (offered in their own group)."""
    return tuple(f.name for f in dataclasses.fields(base))


def build_parser() -> argparse.ArgumentParser:
    from .arena import ArenaOptions
    from .selfplay import SelfPlayOptions
    from .training import TrainOptions

    parser = argparse.ArgumentParser(
        prog="tarnex-train",
        description="Self-play training data, training, arena and the learning loop for the tarnex engine "
        "(a four-player polyomino game played tile by tile).",
        epilog="Run 'tarnex-train COMMAND --help' for the options of a command.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    quiet = dict(action="store_true", help="no progress bar")

    loop = commands.add_parser(
        "loop", formatter_class=Formatter, argument_default=argparse.SUPPRESS,
        help="the learning loop: self-play, training and strength tests, generation after generation",
        description="Runs generations of self-play with the newest network, training on a sliding window of "
        "the newest positions, and strength tests (against three random seats and against the previous "
        "generation, with 95% intervals and a rating); each new network becomes RUN/best.pt. Everything is "
        "kept in the run folder: metrics.jsonl, progress.png, every generation's shards and checkpoint. "
        "The same command resumes an interrupted run from its last complete generation, with the settings "
        "stored in RUN/run.json.",
    )
    loop.add_argument("--run", required=True, help="run folder (created; an existing one is resumed)")
    loop.add_argument("--generations", type=_parser_for(dict(kind=int, low=1, high=10**9, low_open=False,
                                                             choices=None, float32=False, optional=False)),
                      default=None, help="stop once the run has this many complete generations")
    loop.add_argument("--minutes", type=_parser_for(dict(kind=float, low=0.0, high=1e7, low_open=True,
                                                         choices=None, float32=False, optional=False)),
                      default=None, help="stop when another generation would not end within this many minutes "
                      "of this command's start")
    loop.add_argument("--config", default=None, help="start a new run from this settings file (another run's "
                      "run.json, or a JSON/TOML table of settings); options given beside it override it")
    defaults = LoopSettings()
    add_settings(loop.add_argument_group("loop"), LoopSettings, defaults, given_only=True)
    add_settings(loop.add_argument_group("search settings"), SearchConfig, defaults.search, given_only=True)
    add_settings(loop.add_argument_group("network (the first generation's)"), NetworkShape, defaults.shape,
                 given_only=True)
    add_settings(loop.add_argument_group("inference"), PoolSettings, defaults.pool, given_only=True)
    add_settings(loop.add_argument_group("training (options prefixed train-)"), TrainSettings, defaults.train,
                 prefix="train_", given_only=True)
    add_settings(loop.add_argument_group("cluster (not part of the run's settings: a run may move)"),
                 ClusterSettings, given_only=True)

    selfplay = commands.add_parser(
        "selfplay", formatter_class=Formatter,
        help="play training games and write their records as shards",
        description="Plays training games with the engine's tree search in worker processes; the main "
        "process evaluates their positions with the network in batches and writes each position's planes, "
        "search policy and final payoff to compressed .npz shards in the output folder.",
    )
    add_settings(selfplay, SelfPlayOptions, skip=_fields_of(PoolSettings))
    selfplay.add_argument("-o", dest="output", help=argparse.SUPPRESS)
    add_settings(selfplay.add_argument_group("search settings"), SearchConfig)
    add_settings(selfplay.add_argument_group("inference"), PoolSettings)
    add_settings(selfplay.add_argument_group("network (for freshly initialised networks)"), NetworkShape)
    add_settings(selfplay.add_argument_group("cluster"), ClusterSettings)
    selfplay.add_argument("--quiet", **quiet)

    arena = commands.add_parser(
        "arena", formatter_class=Formatter,
        help="play test games of a model against a baseline",
        description="Plays test games without search: the model plays seat 0 and takes its network's most "
        "likely tile, the baseline plays seats 1 to 3 and draws among the tiles its network rates above zero. "
        "Reports the model's mean payoff with a 95% confidence interval (0.25 means as strong as the baseline).",
    )
    add_settings(arena, ArenaOptions, skip=_fields_of(PoolSettings))
    add_settings(arena.add_argument_group("inference"), PoolSettings)
    add_settings(arena.add_argument_group("network (for freshly initialised networks)"), NetworkShape)
    add_settings(arena.add_argument_group("cluster"), ClusterSettings)
    arena.add_argument("--quiet", **quiet)

    train = commands.add_parser(
        "train", formatter_class=Formatter,
        help="train the network on written shards and save a checkpoint",
        description="Trains the network for a number of steps on the records of one or more data folders "
        "(policy cross-entropy against the search policy plus value cross-entropy against the value target) "
        "and saves a checkpoint usable by selfplay and arena.",
    )
    train.add_argument("--data", nargs="+", required=True, help="data folders (or shard files) written by selfplay")
    add_settings(train, TrainOptions)
    train.add_argument("-o", dest="output", help=argparse.SUPPRESS)
    add_settings(train.add_argument_group("network (for freshly initialised networks)"), NetworkShape)
    train.add_argument("--quiet", **quiet)

    view = commands.add_parser(
        "view", formatter_class=Formatter, help="a browser view of runs and games, and a seat for a person",
        description="Serves pages on this machine: a run's curves and generations (updated while its loop "
        "runs), its recorded and saved games replayed, and a board to play on against computer seats.")
    view.add_argument("--run", nargs="+", default=[], help="run folders to show (games played are saved in "
                      "the first, under games/)")
    view.add_argument("--host", default="127.0.0.1", help="address to listen on")
    view.add_argument("--port", type=int, default=8765, help="port to listen on (0: any free one)")
    return parser


def _check_checkpoints(*paths) -> None:
    for path in paths:
        if path is not None and path != "random" and not os.path.isfile(path):
            raise OptionError(f"checkpoint {path!r} does not exist")


def _selfplay(args) -> int:
    from .selfplay import SelfPlayOptions, run_selfplay

    _check_checkpoints(args.checkpoint)
    if os.path.exists(args.output) and not os.path.isdir(args.output):
        raise OptionError(f"output {args.output!r} exists and is not a folder")
    options = SelfPlayOptions(
        **picked(SelfPlayOptions, args), search=SearchConfig(**picked(SearchConfig, args)),
        shape=NetworkShape(**picked(NetworkShape, args)), cluster=ClusterSettings(**picked(ClusterSettings, args)),
        progress=not args.quiet)
    summary = run_selfplay(options)
    return _finish(summary, succeeded=summary.games_kept > 0 and summary.write_error is None)


def _finish(summary, succeeded: bool) -> int:
    """Prints a run's summary; the exit status tells interrupted, failed and done apart."""
    print(summary.report(), flush=True)
    if summary.interrupted:
        return EXIT_INTERRUPTED
    return 0 if succeeded else EXIT_FAILED


def _arena(args) -> int:
    from .arena import ArenaOptions, run_arena

    _check_checkpoints(args.model, args.baseline)
    options = ArenaOptions(**picked(ArenaOptions, args), shape=NetworkShape(**picked(NetworkShape, args)),
                           cluster=ClusterSettings(**picked(ClusterSettings, args)), progress=not args.quiet)
    summary = run_arena(options)
    return _finish(summary, succeeded=bool(summary.payoffs))


def _train(args) -> int:
    from .training import TrainOptions, run_train

    _check_checkpoints(args.checkpoint)
    options = TrainOptions(**picked(TrainOptions, args, skip=("data",)), data=args.data,
                           shape=NetworkShape(**picked(NetworkShape, args)), progress=not args.quiet)
    summary = run_train(options)
    print(summary.report(), flush=True)
    return EXIT_INTERRUPTED if summary.interrupted else 0


def loop_settings_from(args) -> tuple[LoopSettings | None, dict]:
    """(settings for a new run, the options given as dotted names -> value)."""
    from .loop.run import read_settings_file

    base = read_settings_file(args.config) if getattr(args, "config", None) else LoopSettings()
    given = {}
    groups = {"search": (SearchConfig, ""), "shape": (NetworkShape, ""), "pool": (PoolSettings, ""),
              "train": (TrainSettings, "train_")}
    top = picked(LoopSettings, args)
    given.update(top)
    changes = dict(top)
    for name, (cls, prefix) in groups.items():
        values = picked(cls, args, prefix)
        given.update({f"{name}.{k}": v for k, v in values.items()})
        if values:
            changes[name] = dataclasses.replace(getattr(base, name), **values)
    return dataclasses.replace(base, **changes), given


def _loop(args) -> int:
    from .loop.run import run_loop

    if os.path.exists(os.path.join(args.run, "run.json")) and getattr(args, "config", None):
        raise OptionError(f"{args.run} is an existing run; --config only starts new runs")
    settings, given = loop_settings_from(args)
    summary = run_loop(args.run, settings, given, generations=getattr(args, "generations", None),
                       minutes=getattr(args, "minutes", None), cluster=ClusterSettings(**picked(ClusterSettings, args)))
    print(summary.report(), flush=True)
    return EXIT_INTERRUPTED if summary.interrupted else 0


def _view(args) -> int:
    from .view.app import serve

    return serve(args.run, args.host, args.port)


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
    command = {"selfplay": _selfplay, "arena": _arena, "train": _train, "loop": _loop, "view": _view}[args.command]
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
