"""One entry point per command of ``tarnex-train``: settings in, summary
printed, exit status out. ``cli`` only parses and calls ``run``."""

from __future__ import annotations

import importlib

EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


def run(command: str, options, given: dict) -> int:
    """Runs ``command`` (a module of this package) with its settings and the
    options the user gave (dotted names)."""
    module = importlib.import_module(f".{command}", __name__)
    return module.main(options, given)


def finish(summary, succeeded: bool) -> int:
    """Prints a run's summary; the exit status tells interrupted, failed and done apart."""
    print(summary.report(), flush=True)
    if summary.interrupted:
        return EXIT_INTERRUPTED
    return 0 if succeeded else EXIT_FAILED
