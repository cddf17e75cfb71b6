"""One inference form per network where the caller keeps them: the tests
and the ladder of a generation build up to six evaluators on the same two
or three networks, and each would make its networks' forms again (the ONNX
export, the precision checks). Inside ``shared()``, ``form`` hands out the
form made before for the same network object, device and precision; outside,
a new one every time. Only for networks whose weights do not change while
the scope lasts."""

from __future__ import annotations

import contextlib
import contextvars

_store: contextvars.ContextVar = contextvars.ContextVar("tarnex_inference_forms", default=None)


@contextlib.contextmanager
def shared():
    """A scope in which each network's form is made once."""
    token = _store.set({})
    try:
        yield
    finally:
        _store.reset(token)


def form(net, device, precision: str):
    """The inference form (``forms.InferenceNet``) of ``net``."""
    from .forms import InferenceNet

    store = _store.get()
    if store is None:
        return InferenceNet(net, device, precision)
    key = (id(net), str(device), precision)
    held = store.get(key)
    if held is None:
        # The network is kept with its form: alive, its id names no other.
        held = store[key] = (net, InferenceNet(net, device, precision))
    return held[1]
