"""``tarnex-train view``: the browser view of run folders."""

from __future__ import annotations


def main(options, given: dict) -> int:
    from ..view.app import serve

    return serve(options.run, options.host, options.port, options.token, options.request_seconds)
