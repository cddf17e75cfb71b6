"""The messages between a worker process and the server, named once for
both ends. Each travels as a pickled tuple whose first item is its kind:

- ``(EVAL, requests)``: a batch of evaluation requests (see ``channel``);
- ``(START, worker, game)``: one of the worker's game slots took ``game``;
- ``(DONE, worker, game, payload, stats)``: the game finished;
- ``(FAILED, worker, game, error_text, stats)``: the game raised and was skipped;
- ``(FATAL, worker, error_text)``: the worker cannot run at all;
- ``(EXIT, worker)``: the worker is done with its job.

To a worker: a job, ``(role, total_games, options, log_path)`` pickled
(see ``worker.run_worker``), and replies as raw bytes: a pickled list of
``(id, reply)``.
"""

from __future__ import annotations

import enum
import pickle

PROTOCOL = pickle.HIGHEST_PROTOCOL


class Message(str, enum.Enum):
    EVAL = "eval"
    START = "start"
    DONE = "done"
    FAILED = "failed"
    FATAL = "fatal"
    EXIT = "exit"
