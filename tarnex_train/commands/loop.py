"""``tarnex-train loop``: the learning loop in a run folder."""

from __future__ import annotations

import dataclasses
import os

from ..errors import OptionError
from ..settings import LoopSettings
from .exits import EXIT_INTERRUPTED
from .checks import warn_idle, check_device

RUN_PREFIX = "settings."
CONFIG_HEADER = """Settings of a learning run, for: tarnex-train loop --run RUN --config THIS.toml
A group's setting may also stand at the top, by its option's name (c_init, train_lr)."""


def main(options, given: dict) -> int:
    from ..loop.folder import RUN_FILE, open_run, read_settings_file
    from ..loop.run import run_loop

    if options.run is None and not options.print_config:
        raise OptionError("--run is needed: the run folder to start or resume")
    existing = options.run is not None and os.path.exists(os.path.join(options.run, RUN_FILE))
    if existing and options.config:
        raise OptionError(f"{options.run} is an existing run; --config only starts new runs")
    changed = {name[len(RUN_PREFIX):]: value for name, value in given.items() if name.startswith(RUN_PREFIX)}
    settings = options.settings
    if options.config:
        settings = _apply(read_settings_file(options.config), changed)
    if not existing:
        warn_idle(dataclasses.replace(options, settings=settings), given)
    if options.print_config:
        from ..settings.tables import to_toml

        if existing:
            settings = open_run(options.run, None, changed)[0]
        print(to_toml(settings, CONFIG_HEADER), end="", flush=True)
        return 0
    check_device(options.device.device)
    summary = run_loop(options.run, settings, changed, generations=options.generations, minutes=options.minutes,
                       cluster=options.cluster, device=options.device, display=options.display)
    print(summary.report(), flush=True)
    return EXIT_INTERRUPTED if summary.interrupted else 0


def _apply(base: LoopSettings, changed: dict) -> LoopSettings:
    """``base`` with the given options (dotted names) put over it."""
    groups: dict = {}
    top = {}
    for name, value in changed.items():
        if "." in name:
            group, leaf = name.split(".", 1)
            groups.setdefault(group, {})[leaf] = value
        else:
            top[name] = value
    for group, values in groups.items():
        top[group] = dataclasses.replace(getattr(base, group), **values)
    return dataclasses.replace(base, **top)
