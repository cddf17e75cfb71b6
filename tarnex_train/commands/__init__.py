"""One entry point per command of ``tarnex-train``: settings in, summary
printed, exit status out. ``cli`` only parses and calls ``run``."""

from __future__ import annotations

import importlib

from .exits import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_USAGE  # noqa: F401 (for cli)


def run(command: str, options, given: dict) -> int:
    """Runs ``command`` (a module of this package) with its settings and the
    options the user gave (dotted names)."""
    module = importlib.import_module(f".{command}", __name__)
    return module.main(options, given)
