"""tarnex-train: self-play data, training, arena and the learning loop.

    tarnex-train loop --run runs/first --minutes 60
    tarnex-train selfplay --games 16 --workers 2 --output data/
    tarnex-train train --data data/ --steps 1000 --output model.pt
    tarnex-train arena --model model.pt --games 40

Every option comes from one settings field (``settings``): the parser is
made from the command's settings class, and the parsed arguments are read
back into it. This module only parses and calls ``commands``. Progress and
messages go to standard error, the final summary to standard output. Exit
status: 0 done, 1 no game could be played, 2 bad options, 130 interrupted
(Ctrl-C or SIGTERM; what was finished is kept).
"""

from __future__ import annotations

import argparse
import dataclasses
import logging
import signal
import sys

from . import commands
from .errors import OptionError
from .settings import (ArenaOptions, LadderOptions, LoopOptions, SelfPlayOptions, TrainOptions, ViewOptions,
                       check_value, group_class)

from .commands import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_USAGE

log = logging.getLogger(__name__)

COMMANDS = {
    "loop": (LoopOptions, "the learning loop: self-play, training and strength tests, generation after generation",
             "Runs generations of self-play with the newest network, training on a sliding window of the newest "
             "positions, and strength tests (against three random seats and against the previous generation, "
             "with 95% intervals and a rating); each new network becomes RUN/best.pt. Everything is kept in the "
             "run folder: metrics.jsonl, progress.png, every generation's shards and checkpoint. The same command "
             "resumes an interrupted run from its last complete generation, with the settings stored in "
             "RUN/run.json."),
    "selfplay": (SelfPlayOptions, "play training games and write their records as shards",
                 "Plays training games in worker processes (by default the tree search in every seat, its "
                 "completed-Q targets recorded; --player policy --teacher lookahead for the network's policy "
                 "beside reference players, every position labelled by the teacher); the main process evaluates their positions with the network in batches and writes "
                 "each position's planes, policy target and final payoff to compressed .npz shards in the "
                 "output folder."),
    "arena": (ArenaOptions, "play a match of any four players, or a model against a baseline",
              "With --seats: a match of any four players (random; greedy, the largest piece that fits where it "
              "most increases the mover's corner cells (opened minus closed) minus the opponents' corner cells it "
              "covers; "
              "lookahead, the largest piece that fits where it leaves the mover the most placements for its next "
              "turn minus those it takes from the opponents; policy:CKPT[:T], the network's most likely legal "
              "tile; search:CKPT:N, PUCT search with N simulations per tile), seats rotated when the players "
              "differ, each game opened with a few random turns; reports each player's mean payoff with a 95% "
              "interval, its mean score and its placings. Without: test games without search, the model in seat "
              "0 taking its network's most likely tile, the baseline in seats 1 to 3 drawing uniformly among the "
              "legal tiles (or from its network's policy, --baseline-temperature); the model's mean payoff with a "
              "95% interval."),
    "view": (ViewOptions, "a browser view of runs and games, and a seat for a person",
             "Serves pages on this machine: a run's curves and generations (updated while its loop runs), its "
             "recorded and saved games replayed, and a board to play on against computer seats."),
    "ladder": (LadderOptions, "rate a run's generations on one scale against fixed reference players",
               "Each rated generation's network plays as policy and as search against random, greedy, lookahead "
               "and an earlier generation; the ratings are fitted over every game of the ladder "
               "(RUN/ladder.jsonl) on an Elo-like scale, the random player at 0, with bootstrap 95% intervals, "
               "printed as a table and written to RUN/metrics.jsonl."),
    "train": (TrainOptions, "train the network on written shards and save a checkpoint",
              "Trains the network for a number of steps on the records of one or more data folders (policy "
              "cross-entropy against the search policy plus value cross-entropy against the value target) and "
              "saves a checkpoint usable by selfplay and arena."),
}


def _parser_for(meta):
    kind = meta["kind"]

    def parse(text: str):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not {'an integer' if kind is int else 'a number'}")
        problem = check_value(text, value, {**meta, "nargs": None})
        if problem:
            raise argparse.ArgumentTypeError(problem)
        return value

    return parse


def add_options(parser, container, cls, defaults, prefix: str = "", old_prefix: str | None = None,
                note: str | None = None) -> None:
    """One option per setting of ``cls`` and its groups; a group with a
    title gets an argument group of its own, wherever it nests. Options
    not given stay out of the parsed arguments (their defaults, shown in the
    help, come from the settings class), so that a command knows what was
    asked for: the loop's run settings come from the run file or --config
    where not given, and an option given where it does nothing is said to be so.
    ``old_prefix``: the prefix the group's options had before (still taken,
    with a warning)."""
    for f in dataclasses.fields(cls):
        nested = group_class(f)
        if nested is not None:
            inner_note = getattr(nested, "NOTE", note)
            title = getattr(nested, "TITLE", None)
            own_old = f.metadata["old_prefix"]
            if own_old is not None:
                inner_note = f"formerly --{own_old}NAME for --{f.metadata['prefix']}NAME (still taken, deprecated)"
            target = parser.add_argument_group(title, inner_note) if title else container
            inner_old = None if old_prefix is None and own_old is None else \
                (prefix if old_prefix is None else old_prefix) + (f.metadata["prefix"] if own_old is None else own_old)
            add_options(parser, target, nested, getattr(defaults, f.name), prefix + f.metadata["prefix"],
                        inner_old, inner_note)
            continue
        meta = f.metadata
        if "help" not in meta or not meta["option"]:
            continue
        name = (prefix + f.name).replace("_", "-")
        flags = ["--" + name, *meta["aliases"]]
        kwargs = dict(dest=name.replace("-", "_"), help=_help(meta, getattr(defaults, f.name), prefix),
                      default=argparse.SUPPRESS, required=meta["required"])
        if meta["kind"] is bool:
            action = "store_true" if meta["flag"] else argparse.BooleanOptionalAction
            container.add_argument(*flags, action=action, **kwargs)
            continue
        kinds = dict(type=_parser_for(meta), choices=meta["choices"], nargs=meta["nargs"], metavar=meta["metavar"])
        container.add_argument(*flags, **kinds, **kwargs)
        old = list(meta["deprecated"])
        if old_prefix is not None:
            old.append("--" + (old_prefix + f.name).replace("_", "-"))
        if old:
            container.add_argument(*old, **kinds, dest=kwargs["dest"], default=argparse.SUPPRESS,
                                   help=argparse.SUPPRESS, action=Deprecated, new="--" + name)


def _help(meta, default, prefix: str) -> str:
    """The setting's help, with where it acts and its default (0 and False
    included; nothing for a required or empty one)."""
    text = meta["help"]
    if meta["only"] is not None:
        other, value = meta["only"]
        text += f" (only with --{(prefix + other).replace('_', '-')} {value})"
    if meta["deprecated"]:
        text += f" (formerly {', '.join(meta['deprecated'])})"
    if not meta["required"] and default not in (None, "", []) and "(default" not in text:
        shown = " ".join(map(str, default)) if isinstance(default, (list, tuple)) else default
        text += f" (default: {shown})"
    return text.replace("%", "%%")


class Deprecated(argparse.Action):
    """A former spelling of an option: taken as the new one, with a warning."""

    def __init__(self, *args, new: str, **kwargs) -> None:
        super().__init__(*args, **kwargs)
        self.new = new

    def __call__(self, parser, namespace, values, option_string=None) -> None:
        log.warning("%s is deprecated: use %s", option_string, self.new)
        setattr(namespace, self.dest, values)


def read_options(cls, args, base, prefix: str = "", path: str = ""):
    """(settings of ``cls`` from the parsed ``args`` over ``base``, the
    dotted names of the options given -> their values)."""
    changes, given = {}, {}
    for f in dataclasses.fields(cls):
        nested = group_class(f)
        if nested is not None:
            value, inner = read_options(nested, args, getattr(base, f.name), prefix + f.metadata["prefix"],
                                        f"{path}{f.name}.")
            if inner:
                changes[f.name] = value
                given.update(inner)
            continue
        dest = (prefix + f.name).replace("-", "_")
        if "help" in f.metadata and f.metadata["option"] and hasattr(args, dest):
            value = getattr(args, dest)
            changes[f.name] = list(value) if f.metadata["nargs"] else value
            given[path + f.name] = changes[f.name]
    return (dataclasses.replace(base, **changes) if changes else base), given


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tarnex-train",
        description="Self-play training data, training, arena and the learning loop for the tarnex engine "
        "(a four-player polyomino game played tile by tile).",
        epilog="Run 'tarnex-train COMMAND --help' for the options of a command.",
    )
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, (cls, summary, description) in COMMANDS.items():
        sub = subparsers.add_parser(name, help=summary, description=description, usage=_usage(name, cls))
        add_options(sub, sub, cls, cls(**_required_placeholders(cls)))
    return parser


def _usage(name: str, cls) -> str:
    # The options are many and listed below: the line names the required ones only.
    required = [f for f in dataclasses.fields(cls) if f.metadata.get("required")]
    words = [f"--{f.name.replace('_', '-')} {f.name.upper()}{' ...' if f.metadata['nargs'] else ''}"
             for f in required]
    return " ".join([f"tarnex-train {name}", *words, "[options]"])


def _required_placeholders(cls) -> dict:
    """Values for required fields, so the class's defaults can be made."""
    return {f.name: ([] if f.metadata.get("nargs") else "") for f in dataclasses.fields(cls)
            if f.metadata.get("required")}


def options_of(args):
    """(the command's settings, the options given as dotted names)."""
    cls = COMMANDS[args.command][0]
    return read_options(cls, args, cls(**_required_placeholders(cls)))


def _interrupt(signum, frame):
    raise KeyboardInterrupt


def main(argv=None) -> int:
    # The main process owns Ctrl-C (even when started with SIGINT ignored, as
    # background jobs of a shell are) and treats SIGTERM the same way: stop
    # the workers, keep what is finished.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGTERM, _interrupt)
    args = build_parser().parse_args(argv)
    try:
        options, given = options_of(args)
        return commands.run(args.command, options, given)
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
