"""How a command ends: its exit status, and the summary printed before it.
A module of its own, so that the commands import it and not the package
that imports them."""

from __future__ import annotations

EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


def finish(summary, succeeded: bool) -> int:
    """Prints a run's summary; the exit status tells interrupted, failed and done apart."""
    print(summary.report(), flush=True)
    if summary.interrupted:
        return EXIT_INTERRUPTED
    return 0 if succeeded else EXIT_FAILED
