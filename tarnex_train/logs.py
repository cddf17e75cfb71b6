"""Logging: what is not a user's progress line goes to the ``tarnex_train``
logger, with levels and timestamps, into a log file beside the command's
output (a run's ``logs/``, a data folder's ``logs/``). The progress bar and
the one-line errors stay on standard error as they are."""

from __future__ import annotations

import logging
import os

FORMAT = "%(asctime)s %(levelname)s %(processName)s %(name)s: %(message)s"
ROOT = "tarnex_train"


def log_to(path: str, level: str = "INFO") -> logging.Handler:
    """Adds a file handler at ``path`` to the package's logger (once per
    path); returns it."""
    logger = logging.getLogger(ROOT)
    path = os.path.abspath(path)
    for handler in logger.handlers:
        if isinstance(handler, logging.FileHandler) and handler.baseFilename == path:
            return handler
    os.makedirs(os.path.dirname(path), exist_ok=True)
    handler = logging.FileHandler(path, encoding="utf-8")
    handler.setFormatter(logging.Formatter(FORMAT))
    logger.addHandler(handler)
    logger.setLevel(level)
    return handler


def log_to_stderr(level: str = "INFO") -> None:
    """In a worker process, whose standard error is its log file."""
    logger = logging.getLogger(ROOT)
    handler = logging.StreamHandler()
    handler.setFormatter(logging.Formatter(FORMAT))
    logger.addHandler(handler)
    logger.setLevel(level)
