"""The wire format of evaluation requests and replies between the worker
processes and the server: planes packed one byte per cell, replies as raw
32-bit floats (what the engine keeps of them anyway). The packing and
unpacking run natively in the rules binding."""

from __future__ import annotations

import pickle

from . import _rules

# The engine's 5 x 20 x 20 nested lists of bools as 2000 bytes.
pack_planes = _rules.pack_planes

RAW_REPLY = b"R"


def decode_reply(payload: bytes):
    """(policy, values) from an encoded reply: tuples of floats from a raw
    one, whatever was pickled from any other."""
    reply = _rules.unpack_reply(payload)
    return pickle.loads(payload) if reply is None else reply


def encode_replies(policy, values) -> list[bytes]:
    """One reply per row of ``policy`` (B, 400) and ``values`` (B, 4)
    (numpy arrays): b"R" and the row's 404 entries as 32-bit floats."""
    import numpy as np

    rows = np.ascontiguousarray(np.concatenate([policy, values], axis=1), dtype=np.float32)
    return [RAW_REPLY + row.tobytes() for row in rows]
